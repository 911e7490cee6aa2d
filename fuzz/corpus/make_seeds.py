#!/usr/bin/env python3
"""Writes the fuzzers' seed inputs: a few small, valid examples per target, in the input formats
the fuzzers' sources describe. Run from anywhere; it rewrites fuzz/corpus/<target>/seed_*."""
import pathlib
import struct

HERE = pathlib.Path(__file__).resolve().parent


def write(target, seeds):
    folder = HERE / target
    folder.mkdir(exist_ok=True)
    for old in folder.glob("seed_*"):
        old.unlink()
    for name, data in seeds.items():
        (folder / f"seed_{name}").write_bytes(data)


def crc8_maxim(data):
    crc = 0
    for byte in data:
        for _ in range(8):
            mix = (crc ^ byte) & 1
            crc >>= 1
            if mix:
                crc ^= 0x8C
            byte >>= 1
    return crc


def rom(serial):
    body = bytes([1]) + serial.to_bytes(6, "little")
    return body + bytes([crc8_maxim(body)])


# ---- controller names and VXI address texts: the text itself ----
write("controller_name", {
    "pci_index": b"PCI0",
    "pci_5120_default": b"PCI,5120",
    "usb_blank_index": b"USB 3",
    "usb_suffix_letters": b"usb1,5120abc",
    "isa": b"ISA0,5120",
    "firewire": b"FW1",
    "vxi": b"VXIPCI2,24,5120",
    "ethernet": b"ETH127.0.0.2",
    "ethernet_5120": b"ETH1.2.3.4,5120",
    "ethernet_short_hex": b"ETH0x7f.01.2",
    "bad_index": b"PCI3x",
})
write("vxi_address", {
    "empty": b"",
    "board": b"2",
    "board_address": b"2,24",
    "address": b",24",
    "blanks": b" 3 , 9 ",
    "limits": b"199,255",
    "board_too_big": b"200",
    "address_zero": b"3,0",
    "no_address": b"3,",
})

# ---- status file text: text, section, key, value, other section, other key ----
STATUS = b"[PCI0,5120]\r\nRegister1=5\r\nRegister2=1\r\n\r\n[ISA0,5120]\r\nRegister1=0\r\n"
write("profile_text", {
    "replace": b"\0".join([STATUS, b"pci0,5120", b"register1", b"7", b"ISA0,5120", b"Register1"]),
    "new_key": b"\0".join([STATUS, b"ISA0,5120", b"Register2", b"32", b"PCI0,5120", b"Register2"]),
    "new_section": b"\0".join([b"; comment\n[a]\nk = v\n", b"USB1,5120", b"Register1", b"0",
                               b"a", b"k"]),
    "empty_text": b"\0".join([b"", b"s", b"k", b"v", b"s", b"other"]),
    "odd_lines": b"\0".join([b"[ s ]\n =x\nk\n[t\nk=1", b"s", b"k", b"2", b"t", b"k"]),
})

# ---- export calls (fuzz/session_exports.cpp): op byte, two u32 ----
def call(op, a=0, b=0):
    return struct.pack("<BII", op, a, b)


def calls(*records):
    return bytes([len(records)]) + b"".join(records)


MEM = lambda length, memory=0, variant=0: length | (memory << 18) | (variant << 21)

# ---- Ethernet replies: events of the connection ----
def reply(data0, data1=0, opcode=1, address=3, width=1):
    return bytes([11]) + struct.pack("<HBBII", opcode, address, width, data0, data1)


def data(payload):
    out = b""
    for i in range(0, len(payload), 0xF0):
        piece = payload[i:i + 0xF0]
        out += bytes([len(piece) - 1]) + piece
    return out


def fill(pages, value):  # pages of 4096 bytes
    return bytes([0xF2 + pages, value])


OPEN_51X4 = (reply(0x04)            # register 3 after select 0: bits 3..2 = 1, model 1
             + reply(0) + reply(1) + reply(0xC0)   # registers 1, 2 and 0x0B
             + b"".join(reply(b) for b in rom(0xA1B2C3D4E5)))  # the controller serial ROM
GENERIC = b"".join(reply(v) for v in [0x45, 0x13, 0x80, 0xC3, 0x01, 0x30, 0x11, 0xFF] * 6)
write("lan_replies", {
    "open": bytes([0]) + calls() + OPEN_51X4,
    "open_5120_suffix_then_close": bytes([1]) + calls(call(0)) + OPEN_51X4 + bytes([0xF1]),
    "memory": bytes([0]) + calls(call(10, MEM(256, 0)), call(11, MEM(9000, 2), 0x100),
                                 call(12, 3, 0x1234), call(13, 2, 1)) +
              OPEN_51X4 + fill(2, 0x5A) + data(bytes(range(256)) * 3 + bytes(40)) +
              reply(0x123456),
    "information": bytes([0]) + calls(call(39), call(40, 0x7FFF, 1), call(16), call(15),
                                      call(41, 1, 0), call(14, 2)) + OPEN_51X4 + GENERIC,
    "network": bytes([0]) + calls(call(24), call(23, 1, 0x0100007F), call(25, 0x1040, 7)) +
               OPEN_51X4 + reply(0x0200007F, 0, 0x2000, 8, 0) + reply(0x00504D5A, 0x102, 0x2000, 4, 0) +
               reply(0, 0, 0x2000, 16, 0) + reply(0x103, 0, 0x2000, 1, 0) +
               reply(0x206, 0, 0x2000, 2, 0) + bytes([0xF0]) + reply(0, 0, 0x8000, 1, 0),
    "pod": bytes([0]) + calls(call(26), call(27), call(28, 1), call(32, 0, 33), call(33, 0, 1),
                              call(35, 1, 0x0F0F), call(37, 1, 1), call(20), call(21, 3, 10000),
                              call(1), call(4), call(3)) + OPEN_51X4 + GENERIC + GENERIC,
})

# ---- driver replies: control byte, then the output ----
def out(payload):
    return bytes([0]) + payload


def reg(value):  # a register read answer: request echo, then the value in byte 4
    return out(struct.pack("<II", 0, value))


ID_51X4 = out(struct.pack("<I", 0x90300000))
ID_5120 = out(struct.pack("<I", 0x90500000))
REFUSE = bytes([0xFF])
OPEN_DRIVER_51X4 = (ID_51X4 + reg(0) + reg(0x08)   # select 0, then register 3: model 2
                    + reg(0) + reg(1) + reg(0xC0)  # registers 1, 2 and 0x0B
                    + reg(0) + b"".join(reg(b) for b in rom(0x0011223344)) + reg(0))
WRITES = b"".join(reg(v) for v in [0x45, 0x13, 0x80, 0xC3, 0x01, 0x30] * 8)


def driver(choice, records, r1=0, r2=0):
    return bytes([choice, len(records)]) + struct.pack("<II", r1, r2) + b"".join(records)


write("driver_replies", {
    "pci_51x4_open": driver(0x00, []) + OPEN_DRIVER_51X4,
    "usb_51x4_memory": driver(0x01, [call(10, MEM(140000, 1)), call(11, MEM(140000, 2), 0x40),
                                     call(13, 4, 0)]) +
                       OPEN_DRIVER_51X4 + reg(0) + reg(0) + bytes([0xF5, 0x33]) +
                       bytes([0xF6, 0x44]) + out(struct.pack("<II", 4, 0x4321)),
    "pci_5120_status_registers": driver(0x03, [call(6, 2), call(4)]) + ID_5120 +
                                 out(struct.pack("<II", 0x21, 0x01)) + WRITES,
    "usb_5120_old_driver": driver(0x04, [call(38, 0, 1), call(42, 0x0100, 0), call(22, 5, 4000)],
                                  r1=33, r2=1) + REFUSE + WRITES,
    "isa_legacy_host": driver(0x25, [call(7, 0xF), call(9, 100), call(11, MEM(300, 0))],
                              r1=4294967295, r2=7) + WRITES + bytes([0xF0, 0x77]),
    "firewire": driver(0x02, [call(24), call(25, 0x1010, 3), call(39)]) + reg(0) + reg(0x0C) +
                WRITES,
})

# ---- emulator: controller byte, then pieces of the client's stream ----
def packet(opcode, address=0, width=0, data0=0, data1=0):
    return struct.pack("<HBBII", opcode, address, width, data0, data1)


def piece(payload):
    return bytes([len(payload) - 1]) + payload


def emu(setup, *pieces):
    return bytes([setup]) + b"".join(pieces)


def memory_header(opcode, select, count):
    return packet(opcode, select, 0, count) + bytes(4)


def image(kind, payload):
    crc = 0
    for offset in range(0, len(payload) - len(payload) % 4, 4):
        word = int.from_bytes(payload[offset:offset + 4], "little")
        for shift in range(28, -1, -4):
            t = ((word >> shift) ^ (crc >> 12)) & 0xF
            crc = ((crc << 4) ^ (t << 12) ^ (t << 5) ^ t) & 0xFFFF
    header = struct.pack("<HHIHBB", 0x8000, kind, len(payload), crc, 1, 2)
    return header + payload


write("emulator_requests", {
    "registers": emu(0x06, piece(packet(2, 3, 1, 0)), piece(packet(1, 3, 1)),
                     piece(packet(2, 0, 1, 0x06)), piece(packet(1, 0x0B, 1)),
                     piece(packet(2, 4, 2, 0x1234)), piece(packet(1, 4, 2))),
    "split_packets": emu(0x02, piece(packet(1, 3, 1)[:5]), piece(packet(1, 3, 1)[5:] +
                                                                 packet(1, 1, 1)[:11]),
                         piece(packet(1, 1, 1)[11:])),
    "counters": emu(0x02, piece(packet(8, 0x10, 4, 0x7E7E7E7E)), piece(packet(8, 0x34, 6, 2, 4)),
                    piece(packet(4, 0x08, 3)), piece(packet(4, 0x34, 4)), piece(packet(0))),
    "memory": emu(0x03, piece(memory_header(0x20, 0x0C, 600)), piece(bytes(range(200))),
                  bytes([0xF0, 0x11]), piece(memory_header(0x10, 0x1C, 700))),
    "config_image": emu(0x01, piece(packet(0x2000, 8)), piece(packet(0x4000, 16, 0, 1)),
                        piece(packet(0x2000, 4)), piece(image(1, bytes(range(64))))),
    "bad_count": emu(0x00, piece(memory_header(0x10, 0x0C, 0x7FFFFFFF))),
})
