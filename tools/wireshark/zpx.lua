-- Wireshark dissector for the Ethernet protocol of the boundary-scan controllers that zpx drives
-- (Wireshark and tshark 4.0 or later).
--
--   tshark -X lua_script:tools/wireshark/zpx.lua -r rec.pcap
--
-- or copy this file into ~/.local/lib/wireshark/plugins/. The controller listens on TCP port 5104;
-- a recording made on another port is read with -o zpx.port:NNNN (or Decode As). The side on
-- that port is the controller.
--
-- The stream has no framing, sequence numbers or checksums: a request is a 12-byte packet (a
-- 16-byte header for memory blocks) followed by its data where it has any, and the replies come
-- back in the order of the requests that are due one, with nothing to tell which is which. So the
-- dissector keeps the order itself: on the first pass over a capture it walks each conversation's
-- requests and replies in order and remembers, per frame, what it found; later passes (the GUI
-- redissecting a packet, tshark -2) show those results and never walk the stream again.
--
-- Register 2 also carries the bit-serial link to the pod. The writes and reads of one link frame
-- are spread over many packets; the frame is decoded (which TAP, which voltage code, the pins, the
-- ADC sample) in the packet whose register-2 write closes it.

local zpx = Proto("zpx", "ZPX controller protocol")

local DEFAULT_PORT = 5104

local READ_REGISTER, WRITE_REGISTER = 0x0001, 0x0002
local READ_COUNTER, WRITE_COUNTER = 0x0004, 0x0008
local READ_MEMORY, WRITE_MEMORY = 0x0010, 0x0020
local READ_ITEM, WRITE_ITEM, IMAGE = 0x2000, 0x4000, 0x8000

local PACKET_SIZE, MEMORY_HEADER_SIZE = 12, 16
-- Beyond any memory or image: a length above it is not taken for data to reassemble.
local MAX_DATA = 64 * 1024 * 1024

local band, bor, bxor = bit32.band, bit32.bor, bit32.bxor
local lshift, rshift = bit32.lshift, bit32.rshift

local opcode_names = {
    [0x0000] = "empty packet",
    [READ_REGISTER] = "read register",
    [WRITE_REGISTER] = "write register",
    [READ_COUNTER] = "read counter",
    [WRITE_COUNTER] = "write counter",
    [READ_MEMORY] = "read memory",
    [WRITE_MEMORY] = "write memory",
    [READ_ITEM] = "read configuration item",
    [WRITE_ITEM] = "write configuration item",
    [IMAGE] = "image",
}

-- Register number -> width in bytes and what the register is for. 6 and 7 are the clock's.
local registers = {
    [0x00] = { width = 1, name = "control" },
    [0x01] = { width = 1, name = "error and mode" },
    [0x02] = { width = 1, name = "pod and TAP" },
    [0x03] = { width = 1, name = "index and data" },
    [0x04] = { width = 2, name = "continuous-mode counter" },
    [0x06] = { width = 1, name = "clock value" },
    [0x07] = { width = 1, name = "clock range" },
    [0x0B] = { width = 1, name = "pod power" },
}

-- What a read of register 3 returns after each select value written to it.
local register3_selects = {
    [0] = "revision and identification bits",
    [1] = "flash code",
    [6] = "controller serial ROM",
    [7] = "routed serial ROM",
}

-- Counter addresses. Writes carry the value in 6-bit groups ("packed": group k in bits 1-6 of
-- byte k), the immediate address counter as a plain 24-bit value, counter 5 with its top groups
-- in data1. Reads answer plain values, 24 bits wide but for counter 5's.
local write_counters = {
    [0x10] = { width = 4, form = "packed", name = "memory 0 address counter" },
    [0x18] = { width = 4, form = "packed", name = "memory 1 address counter" },
    [0x20] = { width = 4, form = "packed", name = "memory 2 address counter" },
    [0x30] = { width = 4, form = "packed", name = "memories 3-5 address counter" },
    [0x08] = { width = 3, form = "low24", name = "immediate address counter" },
    [0x34] = { width = 6, form = "packed6", name = "counter 5" },
}
local read_counters = {
    [0x08] = { width = 3, mask = 0xFFFFFF, name = "immediate address counter" },
    [0x30] = { width = 3, mask = 0xFFFFFF, name = "memories 3-5 address counter" },
    [0x34] = { width = 4, mask = 0xFFFFFFFF, name = "counter 5" },
}

-- Memory select code -> memory index.
local select_memories = { [0x0C] = 0, [0x14] = 1, [0x1C] = 2, [0x24] = 3, [0x28] = 4, [0x2C] = 5 }

local items = {
    [1] = "FPGA version",
    [2] = "firmware version",
    [4] = "MAC address",
    [8] = "IP address",
    [16] = "DHCP flag",
}
local writable_items = { [4] = true, [8] = true, [16] = true }

local image_kinds = { [1] = "FPGA", [2] = "firmware" }

local function names_of(t, field)
    local out = {}
    for k, v in pairs(t) do out[k] = field and v[field] or v end
    return out
end

local select_names = {}
for code, memory in pairs(select_memories) do select_names[code] = "memory " .. memory end
local counter_names = names_of(write_counters, "name")
for address, c in pairs(read_counters) do counter_names[address] = c.name end

-- Pod-link frame kinds.
local POD_READ_PINS, POD_EXCHANGE_PINS, POD_WRITE_PINS = 1, 2, 3
local POD_OUTPUT_CODE, POD_THRESHOLD_CODE = 4, 5
local POD_OUTPUT_READING, POD_THRESHOLD_READING = 6, 7
local POD_EXTENDER, POD_PARALLEL_ON, POD_PARALLEL_OFF = 8, 9, 10
local POD_ROUTE_TRANSCEIVER, POD_ROUTE_POD, POD_UNKNOWN = 11, 12, 13
local pod_kind_names = {
    [POD_READ_PINS] = "read pins",
    [POD_EXCHANGE_PINS] = "exchange pins",
    [POD_WRITE_PINS] = "write pins",
    [POD_OUTPUT_CODE] = "output voltage",
    [POD_THRESHOLD_CODE] = "threshold voltage",
    [POD_OUTPUT_READING] = "output voltage reading",
    [POD_THRESHOLD_READING] = "threshold voltage reading",
    [POD_EXTENDER] = "extender",
    [POD_PARALLEL_ON] = "parallel mode on",
    [POD_PARALLEL_OFF] = "parallel mode off",
    [POD_ROUTE_TRANSCEIVER] = "route transceiver ROM",
    [POD_ROUTE_POD] = "route pod ROM",
    [POD_UNKNOWN] = "unrecognised",
}

local f = {
    command = ProtoField.uint32("zpx.command", "Command word", base.HEX),
    opcode = ProtoField.uint16("zpx.opcode", "Opcode", base.HEX, opcode_names),
    address = ProtoField.uint8("zpx.address", "Address", base.HEX),
    register = ProtoField.uint8("zpx.register", "Register", base.HEX, names_of(registers, "name")),
    counter = ProtoField.uint8("zpx.counter", "Counter", base.HEX, counter_names),
    select = ProtoField.uint8("zpx.select", "Memory select code", base.HEX, select_names),
    item = ProtoField.uint8("zpx.item", "Configuration item", base.DEC, items),
    image_kind = ProtoField.uint16("zpx.image.kind", "Image kind", base.DEC, image_kinds),
    width = ProtoField.uint8("zpx.width", "Width", base.DEC),
    data0 = ProtoField.uint32("zpx.data0", "data0", base.HEX),
    data1 = ProtoField.uint32("zpx.data1", "data1", base.HEX),
    value = ProtoField.uint32("zpx.value", "Value", base.HEX),
    length = ProtoField.uint32("zpx.length", "Data length", base.DEC),
    pad = ProtoField.uint32("zpx.header_pad", "Header bytes 12-15", base.HEX),
    data = ProtoField.bytes("zpx.data", "Data"),
    image_crc = ProtoField.uint16("zpx.image.crc", "Image CRC", base.HEX),
    image_crc_computed = ProtoField.uint16("zpx.image.crc_computed", "Image CRC computed", base.HEX),
    image_crc_good = ProtoField.bool("zpx.image.crc_good", "Image CRC good"),
    image_byte1 = ProtoField.uint8("zpx.image.byte1", "First caller byte", base.HEX),
    image_byte2 = ProtoField.uint8("zpx.image.byte2", "Second caller byte", base.HEX),
    reply_in = ProtoField.framenum("zpx.reply_in", "Reply in", base.NONE, frametype.RESPONSE),
    request_in = ProtoField.framenum("zpx.request_in", "Request in", base.NONE, frametype.REQUEST),
    time = ProtoField.relative_time("zpx.time", "Time since request"),
    reply_command = ProtoField.uint32("zpx.reply.command", "Reply command word", base.HEX),
    reply_data0 = ProtoField.uint32("zpx.reply.data0", "Reply data0", base.HEX),
    reply_data1 = ProtoField.uint32("zpx.reply.data1", "Reply data1", base.HEX),
    reply_status = ProtoField.uint32("zpx.reply.status", "Image status", base.DEC),
    reply_data = ProtoField.bytes("zpx.reply.data", "Memory data"),
    stray = ProtoField.bytes("zpx.stray", "Controller data where no reply was due"),
    pod = ProtoField.string("zpx.pod", "Pod-link frame"),
    pod_kind = ProtoField.uint8("zpx.pod.kind", "Kind", base.DEC, pod_kind_names),
    pod_tap = ProtoField.uint8("zpx.pod.tap", "TAP", base.DEC),
    pod_number = ProtoField.uint8("zpx.pod.pod", "Pod", base.DEC),
    pod_bits = ProtoField.string("zpx.pod.bits", "Bits sent"),
    pod_code = ProtoField.uint16("zpx.pod.code", "Voltage code", base.DEC),
    pod_adc = ProtoField.uint8("zpx.pod.adc", "ADC sample", base.HEX),
    pod_mv = ProtoField.uint32("zpx.pod.mv", "Millivolts", base.DEC),
    pod_identity = ProtoField.uint8("zpx.pod.identity", "TAP identity", base.DEC),
    pod_data = ProtoField.uint8("zpx.pod.data_pins", "Data pins", base.HEX),
    pod_control = ProtoField.uint8("zpx.pod.control_pins", "Control pins", base.HEX),
    pod_word = ProtoField.uint16("zpx.pod.word", "Read-back word", base.HEX),
    pod_driven = ProtoField.uint16("zpx.pod.driven", "Driven word", base.HEX),
    pod_in = ProtoField.framenum("zpx.pod.frame", "Link frame packet in", base.NONE),
}
zpx.fields = {}
for _, field in pairs(f) do table.insert(zpx.fields, field) end

local e = {
    unknown_opcode = ProtoExpert.new("zpx.unknown_opcode", "Unknown opcode",
        expert.group.PROTOCOL, expert.severity.ERROR),
    bad_address = ProtoExpert.new("zpx.bad_address", "No such register, counter, memory, item or image kind",
        expert.group.PROTOCOL, expert.severity.WARN),
    bad_width = ProtoExpert.new("zpx.bad_width", "Width does not fit",
        expert.group.PROTOCOL, expert.severity.WARN),
    bad_field = ProtoExpert.new("zpx.bad_field", "Field not as the protocol has it",
        expert.group.PROTOCOL, expert.severity.WARN),
    too_long = ProtoExpert.new("zpx.too_long", "Data length beyond any memory or image",
        expert.group.PROTOCOL, expert.severity.ERROR),
    unexpected = ProtoExpert.new("zpx.unexpected_reply", "Controller data where no reply was due",
        expert.group.SEQUENCE, expert.severity.WARN),
    no_reply = ProtoExpert.new("zpx.no_reply", "No reply to this request",
        expert.group.SEQUENCE, expert.severity.WARN),
    crc = ProtoExpert.new("zpx.image.crc_bad", "Image CRC does not match the image",
        expert.group.CHECKSUM, expert.severity.WARN),
    refused = ProtoExpert.new("zpx.image.refused", "Image refused by the controller",
        expert.group.RESPONSE_CODE, expert.severity.NOTE),
    reply_differs = ProtoExpert.new("zpx.reply_differs", "Reply does not repeat its request's command word",
        expert.group.SEQUENCE, expert.severity.NOTE),
    pod_unknown = ProtoExpert.new("zpx.pod.unknown", "Unrecognised pod-link frame",
        expert.group.PROTOCOL, expert.severity.NOTE),
    unordered = ProtoExpert.new("zpx.unordered", "Not seen on the first pass: replies and pod-link frames unmatched",
        expert.group.SEQUENCE, expert.severity.NOTE),
}
zpx.experts = {}
for _, ex in pairs(e) do table.insert(zpx.experts, ex) end

zpx.prefs.port = Pref.uint("Controller TCP port", DEFAULT_PORT,
    "The TCP port the controller listens on; the side of a conversation on it is the controller")

local f_tcp_stream = Field.new("tcp.stream")

-- The image CRC: CRC-16 with polynomial 0x1021, initial value 0, no reflection, no final XOR,
-- over the image's whole 32-bit little-endian words fed most significant nibble first. That is
-- the byte-wise CRC over each 4-byte group taken in reverse order; trailing bytes do not count.
local crc_table = {}
for i = 0, 255 do
    local c = lshift(i, 8)
    for _ = 1, 8 do
        c = band(0x8000, c) ~= 0 and bxor(lshift(c, 1), 0x1021) or lshift(c, 1)
        c = band(c, 0xFFFF)
    end
    crc_table[i] = c
end

local function image_crc(image)
    local crc = 0
    for at = 1, #image - 3, 4 do
        local b0, b1, b2, b3 = image:byte(at, at + 3)
        crc = bxor(band(lshift(crc, 8), 0xFFFF), crc_table[bxor(rshift(crc, 8), b3)])
        crc = bxor(band(lshift(crc, 8), 0xFFFF), crc_table[bxor(rshift(crc, 8), b2)])
        crc = bxor(band(lshift(crc, 8), 0xFFFF), crc_table[bxor(rshift(crc, 8), b1)])
        crc = bxor(band(lshift(crc, 8), 0xFFFF), crc_table[bxor(rshift(crc, 8), b0)])
    end
    return crc
end

-- The value of a counter write: group k of the value lies in bits 1-6 of byte k.
local function unpack_groups(field, groups)
    local value = 0
    for k = 0, groups - 1 do
        value = value + lshift(band(rshift(field, 8 * k + 1), 0x3F), 6 * k)
    end
    return value
end

local function counter_write_value(c, data0, data1)
    if c.form == "low24" then return band(data0, 0xFFFFFF) end
    local value = unpack_groups(data0, 4)
    if c.form == "packed6" then
        -- Groups 4 (6 bits) and 5 (2 bits) in the two low bytes of data1.
        value = value + lshift(band(rshift(data1, 1), 0x3F), 24) + lshift(band(rshift(data1, 9), 0x3), 30)
    end
    return value
end

local function hex(value, digits)
    return string.format("0x%0" .. (digits or 1) .. "X", value)
end

-- Bytes of a request: its packet or memory header, and the block or image that follows. A length
-- beyond any memory or image is not believed: the header alone is the request.
local function request_length(opcode, data0)
    local header = (opcode == READ_MEMORY or opcode == WRITE_MEMORY) and MEMORY_HEADER_SIZE or PACKET_SIZE
    if (opcode == WRITE_MEMORY or opcode == IMAGE) and data0 <= MAX_DATA then return header + data0 end
    return header
end

-- Reply bytes the controller owes for a request.
local function reply_length(opcode, data0)
    if opcode == READ_REGISTER or opcode == READ_COUNTER or opcode == READ_ITEM or opcode == IMAGE then
        return PACKET_SIZE
    end
    if opcode == READ_MEMORY and data0 <= MAX_DATA then return data0 end
    return 0
end

-- Registers as the library numbers them: 0 to 7, and 0x0B.
local function register_number(a)
    return a < 10 and tostring(a) or hex(a, 2)
end

-- What a request does, in the words of the Info column.
local function describe(r)
    local op, a = r.opcode, r.address
    if op == READ_REGISTER then
        return "read register " .. register_number(a)
    elseif op == WRITE_REGISTER then
        local reg = registers[a]
        return string.format("write register %s = %s", register_number(a), hex(r.data0, reg and reg.width * 2 or 2))
    elseif op == READ_COUNTER then
        local c = read_counters[a]
        return "read " .. (c and c.name or "counter " .. hex(a, 2))
    elseif op == WRITE_COUNTER then
        local c = write_counters[a]
        if not c then return "write counter " .. hex(a, 2) end
        return string.format("write %s = %s", c.name, hex(counter_write_value(c, r.data0, r.data1)))
    elseif op == READ_MEMORY or op == WRITE_MEMORY then
        local m = select_memories[a]
        return string.format("%s %s, %d bytes", op == READ_MEMORY and "read" or "write",
            m and "memory " .. m or "select code " .. hex(a, 2), r.data0)
    elseif op == READ_ITEM then
        return "read " .. (items[a] or "item " .. a)
    elseif op == WRITE_ITEM then
        local text = "write " .. (items[a] or "item " .. a) .. " = " .. hex(r.data0, 8)
        if a == 4 then text = text .. " " .. hex(r.data1, 8) end
        return text
    elseif op == IMAGE then
        return string.format("%s image, %d bytes, CRC %s", image_kinds[a] or "kind " .. a, r.data0,
            hex(band(r.data1, 0xFFFF), 4))
    elseif op == 0 then
        return "empty packet"
    end
    return "unknown opcode " .. hex(op, 4)
end

-- The checks of one request's fields against the protocol: the expert infos it deserves.
local function check_request(t, r)
    local op, a, w = r.opcode, r.address, r.width
    local function bad(ex, text) t:add_proto_expert_info(ex, text) end
    if op == READ_REGISTER or op == WRITE_REGISTER then
        local reg = registers[a]
        if not reg then
            bad(e.bad_address, "No register " .. hex(a, 2))
        elseif w ~= reg.width then
            bad(e.bad_width, string.format("Width %d does not fit register %s, which is %d byte%s wide",
                w, register_number(a), reg.width, reg.width == 1 and "" or "s"))
        end
        if op == READ_REGISTER and r.data0 ~= 0 then bad(e.bad_field, "data0 not 0 in a read") end
        if r.data1 ~= 0 then bad(e.bad_field, "data1 not 0") end
    elseif op == READ_COUNTER or op == WRITE_COUNTER then
        local c = (op == READ_COUNTER and read_counters or write_counters)[a]
        if not c then
            bad(e.bad_address, "No counter at " .. hex(a, 2))
        elseif w ~= c.width then
            bad(e.bad_width, string.format("Width %d does not fit counter %s, which is %d bytes wide",
                w, hex(a, 2), c.width))
        elseif op == READ_COUNTER and (r.data0 ~= 0 or r.data1 ~= 0) then
            bad(e.bad_field, "data0 and data1 not 0 in a read")
        elseif op == WRITE_COUNTER then
            local spare0 = c.form == "low24" and 0xFF000000 or 0x81818181
            local spare1 = c.form == "packed6" and 0xFFFFF981 or 0xFFFFFFFF
            if band(r.data0, spare0) ~= 0 or band(r.data1, spare1) ~= 0 then
                bad(e.bad_field, "Counter value not in the form of counter " .. hex(a, 2))
            end
        end
    elseif op == READ_MEMORY or op == WRITE_MEMORY then
        if not select_memories[a] then bad(e.bad_address, "No memory select code " .. hex(a, 2)) end
        if w ~= 0 then bad(e.bad_width, "Width " .. w .. " in a memory header") end
        if r.data1 ~= 0 or r.pad ~= 0 then bad(e.bad_field, "data1 or header bytes 12-15 not 0") end
    elseif op == READ_ITEM or op == WRITE_ITEM then
        if not (op == READ_ITEM and items or writable_items)[a] then
            bad(e.bad_address, string.format("No %s item %d", op == READ_ITEM and "readable" or "writable", a))
        end
        if w ~= 0 then bad(e.bad_width, "Width " .. w .. " in a configuration packet") end
        if op == READ_ITEM and (r.data0 ~= 0 or r.data1 ~= 0) then
            bad(e.bad_field, "data0 and data1 not 0 in a read")
        elseif op == WRITE_ITEM and a ~= 4 and r.data1 ~= 0 then
            bad(e.bad_field, "data1 not 0")
        end
    elseif op == IMAGE then
        -- The kind is a u16: its high byte stands where the width does.
        if not image_kinds[a] or w ~= 0 then bad(e.bad_address, "No image kind " .. (w * 256 + a)) end
    elseif op == 0 then
        if a ~= 0 or w ~= 0 or r.data0 ~= 0 or r.data1 ~= 0 then bad(e.bad_field, "Opcode 0 with fields set") end
    else
        bad(e.unknown_opcode, "Unknown opcode " .. hex(op, 4))
    end
end

------------------------------------------------------------------------------------------------
-- The pod link. Register 2 during a link frame: bit 0 and bit 3 are 1, bits 1 and 2 are 0, bit 4
-- is the data bit, bit 5 the clock, bits 6-7 the TAP. A bit is sent by a write with the clock low
-- and one with it high; the pod takes the data bit on the rising clock. The pod's answers are bit
-- 0 of register-2 reads. A write outside that pattern (the session's copy of register 2, or 0)
-- ends the frame.

local function is_link_value(v)
    return band(v, 0x0F) == 0x09
end

local function bits_value(bits, from, count)
    local v = 0
    for i = from, from + count - 1 do v = v * 2 + bits[i] end
    return v
end

-- The samples taken once at least `pos` bits had been sent.
local function samples_from(frame, pos)
    local out = {}
    for _, s in ipairs(frame.samples) do
        if s.pos >= pos then out[#out + 1] = s.bit end
    end
    return out
end

local function pins_of(word)
    -- Bits 0-1 the identity (first bit high), 2-5 the data pins inverted, 6-9 the control pins;
    -- pin 0 is the earliest bit of each group.
    local identity = 2 * band(word, 1) + band(rshift(word, 1), 1)
    local data = band(bxor(rshift(word, 2), 0xF), 0xF)
    local control = band(rshift(word, 6), 0xF)
    return identity, data, control
end

local function decode_link_frame(frame)
    local b, n = frame.bits, #frame.bits
    local s = table.concat(b)
    local tap = frame.tap
    local d = { bits = s, tap = tap + 1, frames = frame.frames }
    if n == 3 and s == "111" then
        d.kind, d.tap, d.text = POD_ROUTE_TRANSCEIVER, nil, "route the transceiver serial ROM to register 3"
    elseif n == 3 and s == "011" then
        d.kind, d.tap, d.pod = POD_ROUTE_POD, nil, tap
        d.text = string.format("route the serial ROM of pod %d to register 3", tap)
    elseif n == 3 and s == "110" then
        d.kind, d.tap, d.text = POD_EXTENDER, nil, "pod extender command"
    elseif n == 3 and (s == "101" or s == "000") then
        d.kind = s == "101" and POD_PARALLEL_ON or POD_PARALLEL_OFF
        d.text = string.format("TAP %d parallel mode %s", d.tap, s == "101" and "on" or "off")
    elseif n == 15 and s:sub(1, 5) == "01001" then
        local got = samples_from(frame, 5)
        if #got == 10 then
            local word, driven = 0, 0
            for k = 0, 9 do
                word = word + lshift(got[k + 1], k)
                driven = driven + lshift(b[6 + k], k)
            end
            d.word, d.identity, d.data, d.control = word, pins_of(word)
            d.text = string.format("TAP %d pins: data 0x%X control 0x%X, identity %d", d.tap, d.data,
                d.control, d.identity)
            if driven == word then
                d.kind = POD_READ_PINS
            else
                d.kind, d.driven = POD_EXCHANGE_PINS, driven
                local _, data, control = pins_of(driven)
                d.text = d.text .. string.format("; set data 0x%X control 0x%X", data, control)
            end
        end
    elseif n == 14 and s:sub(1, 6) == "010000" then
        local data, control = 0, 0
        for i = 0, 3 do
            data = data + lshift(1 - b[7 + i], i)
            control = control + lshift(b[11 + i], i)
        end
        d.kind, d.data, d.control = POD_WRITE_PINS, data, control
        d.text = string.format("TAP %d set pins: data 0x%X control 0x%X", d.tap, data, control)
    elseif n == 19 and (s:sub(1, 7) == "0011001" or s:sub(1, 7) == "0011010") and s:sub(18) == "00" then
        d.code = bits_value(b, 8, 10)
        if s:sub(1, 7) == "0011001" then
            d.kind, d.mv = POD_OUTPUT_CODE, 600 + 4 * d.code
        else
            d.kind, d.mv = POD_THRESHOLD_CODE, 4 * d.code
        end
        d.text = string.format("TAP %d %s code %d = %d mV", d.tap, pod_kind_names[d.kind], d.code, d.mv)
    elseif n == 19 and (s:sub(1, 11) == "10011011111" or s:sub(1, 11) == "10011001111") then
        -- Eight clocks after the command, each sample taken after its rising edge.
        local got = samples_from(frame, 12)
        if #got == 8 then
            d.kind = s:sub(7, 7) == "1" and POD_OUTPUT_READING or POD_THRESHOLD_READING
            d.adc = bits_value(got, 1, 8)
            d.mv = math.floor(d.adc * 4096 / 255)
            d.text = string.format("TAP %d %s 0x%02X = %d mV", d.tap, pod_kind_names[d.kind], d.adc, d.mv)
        end
    end
    if not d.kind then
        d.kind = POD_UNKNOWN
        d.text = string.format("unrecognised frame on TAP %d: %d bits %s, %d samples", d.tap, n, s,
            #frame.samples)
    end
    return d
end

local function link_touch(frame, number)
    if not frame.seen[number] then
        frame.seen[number] = true
        frame.frames[#frame.frames + 1] = number
    end
end

-- Follows a request on the conversation's pod link (first pass only).
local function link_request(conv, r)
    if r.address ~= 2 or r.width ~= 1 then return end
    local frame = conv.link
    if r.opcode == WRITE_REGISTER then
        local v = band(r.data0, 0xFF)
        if is_link_value(v) then
            if not frame then
                frame = { tap = rshift(v, 6), bits = {}, samples = {}, frames = {}, seen = {}, clock = band(v, 0x20) }
                conv.link = frame
            else
                local clock = band(v, 0x20)
                if clock ~= 0 and frame.clock == 0 then frame.bits[#frame.bits + 1] = band(rshift(v, 4), 1) end
                frame.clock = clock
            end
            link_touch(frame, r.frame)
        elseif frame then
            link_touch(frame, r.frame)
            r.link = decode_link_frame(frame)
            conv.link = nil
        end
    elseif r.opcode == READ_REGISTER and frame then
        r.link_frame, r.link_pos = frame, #frame.bits
        link_touch(frame, r.frame)
    end
end

-- A reply to a register-2 read inside a link frame is one of the pod's answer bits.
local function link_reply(r, data0, number)
    local frame = r.link_frame
    if not frame then return end
    frame.samples[#frame.samples + 1] = { pos = r.link_pos, bit = band(data0, 1) }
    link_touch(frame, number)
end

------------------------------------------------------------------------------------------------
-- State of the first pass, rebuilt whenever the capture is dissected from its start.

-- tcp.stream -> { due = the requests owed a reply, in order, from head to tail; link = the open
-- pod-link frame }
local conversations
local calls         -- frame number -> what each call of the dissector for that frame found
local last_frame, last_call

function zpx.init()
    conversations, calls = {}, {}
    last_frame, last_call = nil, 0
end

local function read_request(tvb, off, number, time)
    local r = {
        frame = number,
        time = time,
        opcode = tvb(off, 2):le_uint(),
        address = tvb(off + 2, 1):uint(),
        width = tvb(off + 3, 1):uint(),
        data0 = tvb(off + 4, 4):le_uint(),
        data1 = tvb(off + 8, 4):le_uint(),
    }
    r.reply_length = reply_length(r.opcode, r.data0)
    return r
end

-- Cuts the bytes of one call into requests, replies and stray controller data, keeping the
-- conversation's order (first pass).
local function walk(tvb, pinfo, conv, to_controller)
    local result = { len = tvb:len(), pdus = {} }
    local len, off = tvb:len(), 0
    while off < len do
        local available = len - off
        if to_controller then
            if available < 8 then
                -- The length is not known before data0: the next segment is taken whole, so
                -- that the rest of this request is never asked for inside a segment that TCP
                -- has already cut.
                result.more = DESEGMENT_ONE_MORE_SEGMENT
                break
            end
            local opcode, data0 = tvb(off, 2):le_uint(), tvb(off + 4, 4):le_uint()
            local size = request_length(opcode, data0)
            if available < size then
                result.more = size - available
                break
            end
            local r = read_request(tvb, off, pinfo.number, pinfo.rel_ts)
            if r.reply_length > 0 then
                conv.tail = conv.tail + 1
                conv.due[conv.tail] = r
            end
            link_request(conv, r)
            result.pdus[#result.pdus + 1] = { kind = "request", offset = off, length = size, r = r }
            off = off + size
        else
            local r = conv.due[conv.head]
            if not r then
                result.pdus[#result.pdus + 1] = { kind = "stray", offset = off, length = available }
                off = len
            else
                local size = r.reply_length
                if available < size then
                    result.more = size - available
                    break
                end
                conv.head = conv.head + 1
                conv.due[conv.head - 1] = nil
                r.reply_frame, r.reply_time = pinfo.number, pinfo.rel_ts
                if r.opcode == READ_REGISTER then link_reply(r, tvb(off + 4, 4):le_uint(), pinfo.number) end
                result.pdus[#result.pdus + 1] = { kind = "reply", offset = off, length = size, r = r }
                off = off + size
            end
        end
    end
    result.offset = off
    return result
end

-- The stored result of this call. TCP calls the dissector once per segment, and once more in
-- the segment that completes a reassembled request or reply; every dissection of a frame makes
-- its calls in the same order, so the calls are told apart by their order, checked by length.
-- A reassembled call of the first pass may have held the start of a later request too; later
-- passes get only the bytes it used.
local function stored_call(pinfo, len)
    local number = pinfo.number
    if last_frame ~= number then last_call = 0 end
    last_frame, last_call = number, last_call + 1
    local list = calls[number]
    if not list then return nil end
    if last_call > #list then last_call = 1 end
    local function fits(c) return c.len == len or c.offset == len end
    if fits(list[last_call]) then return list[last_call], last_call end
    for i, c in ipairs(list) do
        if fits(c) then
            last_call = i
            return c, i
        end
    end
    return nil
end

------------------------------------------------------------------------------------------------
-- The tree and the Info column.

local function seconds_to_nstime(seconds)
    if seconds < 0 then seconds = 0 end
    local whole = math.floor(seconds)
    return NSTime.new(whole, math.floor((seconds - whole) * 1e9 + 0.5))
end

local function show_link(t, tvb, d)
    local lt = t:add(f.pod, tvb, d.text)
    lt:set_generated()
    lt:add(f.pod_kind, d.kind):set_generated()
    if d.tap then lt:add(f.pod_tap, d.tap):set_generated() end
    if d.pod then lt:add(f.pod_number, d.pod):set_generated() end
    lt:add(f.pod_bits, d.bits):set_generated()
    if d.code then lt:add(f.pod_code, d.code):set_generated() end
    if d.adc then lt:add(f.pod_adc, d.adc):set_generated() end
    if d.mv then lt:add(f.pod_mv, d.mv):set_generated() end
    if d.word then lt:add(f.pod_word, d.word):set_generated() end
    if d.driven then lt:add(f.pod_driven, d.driven):set_generated() end
    if d.identity then lt:add(f.pod_identity, d.identity):set_generated() end
    if d.data then lt:add(f.pod_data, d.data):set_generated() end
    if d.control then lt:add(f.pod_control, d.control):set_generated() end
    local frames = d.frames
    local span = lt:add(#frames == 1 and "In frame " .. frames[1] or
        string.format("Spans frames %d to %d (%d packets)", frames[1], frames[#frames], #frames))
    span:set_generated()
    for _, number in ipairs(frames) do span:add(f.pod_in, number):set_generated() end
    if d.kind == POD_UNKNOWN then lt:add_proto_expert_info(e.pod_unknown) end
end

local function show_request(tvb, pinfo, tree, pdu, r, visited)
    local off, size = pdu.offset, pdu.length
    local op, a = r.opcode, r.address
    local t = tree:add(zpx, tvb(off, size))
    local text = describe(r)
    local command = t:add_le(f.command, tvb(off, 4))
    command:append_text(" (" .. text .. ")")
    t:add_le(f.opcode, tvb(off, 2))
    local address_item
    if op == READ_REGISTER or op == WRITE_REGISTER then
        address_item = f.register
    elseif op == READ_COUNTER or op == WRITE_COUNTER then
        address_item = f.counter
    elseif op == READ_MEMORY or op == WRITE_MEMORY then
        address_item = f.select
    elseif op == READ_ITEM or op == WRITE_ITEM then
        address_item = f.item
    end
    if op == IMAGE then
        t:add_le(f.image_kind, tvb(off + 2, 2))
        t:add(f.address, tvb(off + 2, 1)):set_hidden()
        t:add(f.width, tvb(off + 3, 1)):set_hidden()
    else
        if address_item then
            t:add(address_item, tvb(off + 2, 1))
            t:add(f.address, tvb(off + 2, 1)):set_hidden()
        else
            t:add(f.address, tvb(off + 2, 1))
        end
        t:add(f.width, tvb(off + 3, 1))
    end
    if op == IMAGE then
        t:add_le(f.length, tvb(off + 4, 4))
        t:add(f.data0, tvb(off + 4, 4), r.data0):set_hidden()
        t:add(f.data1, tvb(off + 8, 4), r.data1):set_hidden()
        t:add_le(f.image_crc, tvb(off + 8, 2))
        t:add(f.image_byte1, tvb(off + 10, 1))
        t:add(f.image_byte2, tvb(off + 11, 1))
    else
        local data0 = t:add_le(f.data0, tvb(off + 4, 4))
        t:add_le(f.data1, tvb(off + 8, 4))
        if op == WRITE_REGISTER and a == 3 and register3_selects[r.data0] then
            data0:append_text(" (reads return the " .. register3_selects[r.data0] .. ")")
        end
    end
    if op == READ_MEMORY or op == WRITE_MEMORY then
        r.pad = tvb(off + 12, 4):le_uint()
        t:add(f.length, tvb(off + 4, 4), r.data0):set_generated()
        t:add_le(f.pad, tvb(off + 12, 4))
    end
    if op == WRITE_COUNTER and write_counters[a] then
        t:add(f.value, tvb(off + 4, 8), counter_write_value(write_counters[a], r.data0, r.data1)):set_generated()
    end
    check_request(t, r)

    local header = (op == READ_MEMORY or op == WRITE_MEMORY) and MEMORY_HEADER_SIZE or PACKET_SIZE
    if size > header then
        local data = tvb(off + header, size - header)
        t:add(f.data, data)
        if op == IMAGE then
            local computed = image_crc(data:raw())
            local stated = band(r.data1, 0xFFFF)
            t:add(f.image_crc_computed, computed):set_generated()
            t:add(f.image_crc_good, computed == stated):set_generated()
            if computed ~= stated then
                t:add_proto_expert_info(e.crc, string.format("Image CRC %s does not match the image's %s",
                    hex(stated, 4), hex(computed, 4)))
                text = text .. string.format(" (image's CRC %s)", hex(computed, 4))
            end
        end
    elseif (op == WRITE_MEMORY or op == IMAGE) and r.data0 > MAX_DATA then
        t:add_proto_expert_info(e.too_long, "Data length " .. r.data0 .. " beyond any memory or image")
    end

    if r.reply_frame then
        t:add(f.reply_in, r.reply_frame):set_generated()
    elseif r.reply_length > 0 and visited then
        -- Everything the capture holds has been walked: the reply never came.
        t:add_proto_expert_info(e.no_reply)
        text = text .. " (no reply)"
    end
    if r.link then
        show_link(t, tvb(off, size), r.link)
        text = text .. " [pod link: " .. r.link.text .. "]"
    end
    t:append_text(": " .. text)
    return text, t
end

local function show_reply(tvb, pinfo, tree, pdu, r)
    local off, size = pdu.offset, pdu.length
    local t = tree:add(zpx, tvb(off, size))
    t:add(f.request_in, r.frame):set_generated()
    t:add(f.time, seconds_to_nstime((r.reply_time or pinfo.rel_ts) - r.time)):set_generated()
    local op, text = r.opcode, describe(r)
    if op == READ_MEMORY then
        t:add(f.reply_data, tvb(off, size))
        text = string.format("%s -> %d bytes", text, size)
    else
        t:add_le(f.reply_command, tvb(off, 4))
        t:add_le(f.reply_data0, tvb(off + 4, 4))
        t:add_le(f.reply_data1, tvb(off + 8, 4))
        local data0, data1 = tvb(off + 4, 4):le_uint(), tvb(off + 8, 4):le_uint()
        if tvb(off, 4):le_uint() ~= bor(lshift(r.width, 24), lshift(r.address, 16), op) then
            t:add_proto_expert_info(e.reply_differs)
        end
        if op == IMAGE then
            t:add(f.reply_status, tvb(off + 4, 4), data0)
            if data0 == 0 then
                text = text .. " -> accepted"
            else
                text = text .. " -> refused, status " .. data0
                t:add_proto_expert_info(e.refused, "Image refused with status " .. data0)
            end
        else
            local value, digits = data0, 1
            if op == READ_REGISTER then
                -- The host takes the register's bytes of data0.
                local reg = registers[r.address]
                digits = reg and reg.width * 2 or 8
                value = band(data0, reg and (reg.width == 2 and 0xFFFF or 0xFF) or 0xFFFFFFFF)
            elseif op == READ_COUNTER and read_counters[r.address] then
                value = band(data0, read_counters[r.address].mask)
            elseif op == READ_ITEM then
                digits = 8
            end
            t:add(f.value, tvb(off + 4, 4), value):set_generated()
            text = text .. " -> " .. hex(value, digits)
            if op == READ_ITEM and r.address == 4 then text = text .. " " .. hex(data1, 8) end
        end
    end
    t:append_text(": reply, " .. text)
    return text, t
end

local function show_stray(tvb, tree, pdu)
    local t = tree:add(zpx, tvb(pdu.offset, pdu.length))
    t:add(f.stray, tvb(pdu.offset, pdu.length))
    t:add_proto_expert_info(e.unexpected)
    local text = string.format("%d bytes where no reply was due", pdu.length)
    t:append_text(": " .. text)
    return text, t
end

-- Without the first pass's results for this call (a capture that the first pass did not see
-- this way), a request is still shown on its own; controller bytes cannot be told apart.
local function walk_without_state(tvb, pinfo, to_controller)
    local result
    if to_controller then
        result = walk(tvb, pinfo, { due = {}, head = 1, tail = 0 }, true)
    else
        result = { len = tvb:len(), pdus = { { kind = "unknown", offset = 0, length = tvb:len() } }, offset = tvb:len() }
    end
    result.unordered = true
    return result
end

function zpx.dissector(tvb, pinfo, tree)
    local len = tvb:len()
    if len == 0 then return 0 end
    -- The port the dissector was found by (Decode As included) is the controller's; a call
    -- through the conversation may carry another table's match, which is no port of this one.
    local port = pinfo.match_uint
    if port ~= pinfo.src_port and port ~= pinfo.dst_port then port = zpx.prefs.port end
    local to_controller = pinfo.dst_port == port

    local result, index
    if not pinfo.visited then
        local streams = { f_tcp_stream() }
        local key = #streams > 0 and streams[#streams].value or -1
        local conv = conversations[key]
        if not conv then
            conv = { due = {}, head = 1, tail = 0 }
            conversations[key] = conv
        end
        result = walk(tvb, pinfo, conv, to_controller)
        local list = calls[pinfo.number] or {}
        calls[pinfo.number] = list
        list[#list + 1] = result
        index = #list
    else
        result, index = stored_call(pinfo, len)
        if not result then result, index = walk_without_state(tvb, pinfo, to_controller), 1 end
    end

    if result.more and result.offset < len then
        pinfo.desegment_offset = result.offset
        pinfo.desegment_len = result.more
    end
    if #result.pdus == 0 then return len end

    -- The first request or reply of the frame replaces TCP's Info text, the others follow it.
    local first = true
    for j = 1, index - 1 do
        if #calls[pinfo.number][j].pdus > 0 then first = false end
    end
    pinfo.cols.protocol = "ZPX"
    for _, pdu in ipairs(result.pdus) do
        local text, t
        if pdu.kind == "request" then
            text, t = show_request(tvb, pinfo, tree, pdu, pdu.r, pinfo.visited and not result.unordered)
        elseif pdu.kind == "reply" then
            text, t = show_reply(tvb, pinfo, tree, pdu, pdu.r)
        elseif pdu.kind == "stray" then
            text, t = show_stray(tvb, tree, pdu)
        else
            text = "controller data"
            t = tree:add(zpx, tvb(pdu.offset, pdu.length)):append_text(": " .. text)
        end
        if result.unordered then t:add_proto_expert_info(e.unordered) end
        if first then
            pinfo.cols.info:set(text)
            first = false
        else
            pinfo.cols.info:append("; " .. text)
        end
    end
    return len
end

local tcp_port = DissectorTable.get("tcp.port")
local registered_port = zpx.prefs.port
tcp_port:add(registered_port, zpx)

function zpx.prefs_changed()
    if zpx.prefs.port ~= registered_port then
        tcp_port:remove(registered_port, zpx)
        registered_port = zpx.prefs.port
        tcp_port:add(registered_port, zpx)
    end
end
