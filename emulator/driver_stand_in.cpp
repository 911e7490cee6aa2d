#include "driver_stand_in.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

#include "lan_protocol.h"
#include "wire.h"
#include "zpx/driver_abi.h"

namespace zpx::emu {

namespace {

constexpr uint32_t kIdFamily51x4 = 0x9030;
constexpr uint32_t kIdFamily5120 = 0x9050;

// A memory or image piece: u32 select, u32 0, u32 count, the data, 4 trailing bytes.
constexpr uint32_t kPieceOverhead = 16;
constexpr uint32_t kPieceData = 12;

// A memory request names its memory by a select in which memories 1 and 2 are exchanged.
constexpr int kMemoryOfSelect[6] = {0, 2, 1, 3, 4, 5};
// The address counter behind each select of the older drivers' set-address request.
constexpr int kCounterOfSelect[4] = {0, 2, 1, 3};
// Counters of the current drivers' requests, read and written by the same numbers: 0-3 the
// address counters (3 shared by memories 3-5), 4 the immediate address counter, 5 the further
// counter.
constexpr uint32_t kLastCounter = 5;

bool AllZero(const uint8_t* p, uint32_t length) {
    for (uint32_t i = 0; i < length; ++i)
        if (p[i] != 0) return false;
    return true;
}

const char* RequestName(uint32_t code) {
    switch (code) {
        case ZPX_REQ_SET_ADDRESS:
            return "set address";
        case ZPX_REQ_REGISTER_READ:
            return "register read";
        case ZPX_REQ_REGISTER_WRITE:
            return "register write";
        case ZPX_REQ_WRITE_IMM_ADDR:
            return "write imm addr";
        case ZPX_REQ_READ_IMM_ADDR:
            return "read imm addr";
        case ZPX_REQ_MEMORY_WRITE:
            return "memory write";
        case ZPX_REQ_MEMORY_READ:
            return "memory read";
        case ZPX_REQ_POD_SENSE:
            return "pod sense";
        case ZPX_REQ_COUNTER_WRITE:
            return "counter write";
        case ZPX_REQ_COUNTER_READ:
            return "counter read";
        case ZPX_REQ_STATUS_REGISTERS:
            return "status registers";
        case ZPX_REQ_CONFIG_WRITE:
            return "config write";
        case ZPX_REQ_CONFIG_READ:
            return "config read";
        case ZPX_REQ_IMAGE_PIECE:
            return "image piece";
        case ZPX_REQ_DRIVER_ID:
            return "driver id";
        default:
            return "unknown request";
    }
}

const char* KindName(DriverKind kind) {
    switch (kind) {
        case DriverKind::kIsa:
            return "isa";
        case DriverKind::kPci:
            return "pci";
        case DriverKind::kUsb:
            return "usb";
        case DriverKind::kFireWire:
            return "firewire";
    }
    return "?";
}

}  // namespace

DriverStandIn::DriverStandIn(Controller& controller, DriverOptions options)
    : controller_(controller), options_(std::move(options)) {}

uint32_t DriverStandIn::ChunkLimit() const {
    switch (options_.kind) {
        case DriverKind::kUsb:
            return controller_.Type() == 0 ? 4096 : 131072;
        case DriverKind::kFireWire:
            return 16384;
        default:
            return 4096;
    }
}

// What a request does, for faults aimed at a kind of request; the register of a register request
// is the first word of its input.
RequestTarget DriverStandIn::TargetOf(uint32_t code, const uint8_t* in, uint32_t inLength) {
    const int first = in != nullptr && inLength >= 4 ? static_cast<int>(LoadU32(in)) : -1;
    switch (code) {
        case ZPX_REQ_REGISTER_READ:
            // FireWire reads a quadlet: four byte registers at once.
            return {RequestKind::kReadRegister, first,
                    options_.kind == DriverKind::kFireWire ? first + 3 : first};
        case ZPX_REQ_STATUS_REGISTERS:
            return {RequestKind::kReadRegister, 1};
        case ZPX_REQ_REGISTER_WRITE:
            return {RequestKind::kWriteRegister, first};
        case ZPX_REQ_COUNTER_READ:
        case ZPX_REQ_READ_IMM_ADDR:
            return {RequestKind::kReadCounter, -1};
        case ZPX_REQ_COUNTER_WRITE:
        case ZPX_REQ_WRITE_IMM_ADDR:
        case ZPX_REQ_SET_ADDRESS:
            return {RequestKind::kWriteCounter, -1};
        case ZPX_REQ_MEMORY_READ:
            return {RequestKind::kReadMemory, -1};
        case ZPX_REQ_MEMORY_WRITE:
            return {RequestKind::kWriteMemory, -1};
        case ZPX_REQ_CONFIG_READ:
            return {RequestKind::kReadItem, -1};
        case ZPX_REQ_CONFIG_WRITE:
            return {RequestKind::kWriteItem, -1};
        case ZPX_REQ_IMAGE_PIECE:
            return {RequestKind::kImage, -1};
        default:
            return {};
    }
}

bool DriverStandIn::Request(uint32_t code, const void* inVoid, uint32_t inLength, void* outVoid,
                            uint32_t outLength) {
    const auto* in = static_cast<const uint8_t*>(inVoid);
    auto* out = static_cast<uint8_t*>(outVoid);
    std::lock_guard lock(mutex_);
    violation_.clear();
    if ((in == nullptr && inLength != 0) || (out == nullptr && outLength != 0)) {
        Violation("a length without its buffer");
        ++protocolErrors_;
        Log(code, nullptr, 0, nullptr, 0, false);
        return false;
    }

    Fault fault;
    const bool faulty = faults_.Next(&fault, TargetOf(code, in, inLength));
    if (faulty && RefusesCall(fault)) {
        Log(code, in, inLength, nullptr, 0, false);
        return false;
    }
    const bool partial =
        faulty && (fault.kind == FaultKind::kDropReply || fault.kind == FaultKind::kShortReply);
    uint8_t* target = out;
    if (partial) {
        scratch_.assign(outLength, 0);
        target = scratch_.data();
    }
    const bool done = Dispatch(code, in, inLength, target, outLength);
    if (!done && !violation_.empty()) ++protocolErrors_;
    if (partial && done) {
        const uint32_t keep =
            fault.kind == FaultKind::kDropReply ? 0 : std::min(fault.bytes, outLength);
        if (keep) std::memcpy(out, scratch_.data(), keep);
    }
    Log(code, in, inLength, out, outLength, done);
    return done;
}

bool DriverStandIn::Violation(std::string what) {
    violation_ = std::move(what);
    return false;
}

bool DriverStandIn::Lengths(uint32_t inLength, uint32_t outLength, uint32_t wantIn,
                            uint32_t wantOut) {
    if (inLength == wantIn && outLength == wantOut) return true;
    return Violation("buffers of " + std::to_string(inLength) + " and " +
                     std::to_string(outLength) + " bytes, not " + std::to_string(wantIn) + " and " +
                     std::to_string(wantOut));
}

bool DriverStandIn::Dispatch(uint32_t code, const uint8_t* in, uint32_t inLength, uint8_t* out,
                             uint32_t outLength) {
    switch (code) {
        case ZPX_REQ_REGISTER_READ:
            return RegisterRead(in, inLength, out, outLength);
        case ZPX_REQ_REGISTER_WRITE:
            return RegisterWrite(in, inLength, out, outLength);
        case ZPX_REQ_MEMORY_WRITE:
            return MemoryWrite(in, inLength, outLength);
        case ZPX_REQ_MEMORY_READ:
            return MemoryRead(in, inLength, out, outLength);
        case ZPX_REQ_SET_ADDRESS: {
            if (!Lengths(inLength, outLength, 8, 0)) return false;
            const uint32_t select = LoadU32(in);
            if (select > 3) return Violation("no address counter select " + std::to_string(select));
            controller_.WriteCounter(kCounterOfSelect[select], LoadU32(in + 4));
            return true;
        }
        case ZPX_REQ_WRITE_IMM_ADDR:
            if (!Lengths(inLength, outLength, 4, 0)) return false;
            controller_.WriteCounter(4, LoadU32(in));
            return true;
        case ZPX_REQ_READ_IMM_ADDR:
            if (!Lengths(inLength, outLength, 4, 4)) return false;
            if (LoadU32(in) != 0) return Violation("input not 0");
            StoreU32(out, controller_.ReadCounter(4));
            return true;
        case ZPX_REQ_COUNTER_WRITE: {
            if (options_.olderDriver) return false;
            if (!Lengths(inLength, outLength, 8, 8)) return false;
            const uint32_t counter = LoadU32(in);
            const uint32_t value = LoadU32(in + 4);
            if (counter > kLastCounter) return Violation("no counter " + std::to_string(counter));
            controller_.WriteCounter(counter, value);
            StoreU32(out, counter);
            StoreU32(out + 4, value);
            return true;
        }
        case ZPX_REQ_COUNTER_READ: {
            if (options_.olderDriver) return false;
            if (!Lengths(inLength, outLength, 8, 8)) return false;
            const uint32_t counter = LoadU32(in);
            if (counter > kLastCounter) return Violation("no counter " + std::to_string(counter));
            if (LoadU32(in + 4) != 0) return Violation("value field not 0 in a read");
            StoreU32(out, counter);
            StoreU32(out + 4, controller_.ReadCounter(counter));
            return true;
        }
        case ZPX_REQ_POD_SENSE: {
            if (!Lengths(inLength, outLength, 4, 4)) return false;
            if (LoadU32(in) != 0) return Violation("input not 0");
            // 0 tells an older pod with fixed TAPs; any other answer sends the caller on to the
            // pod kind bits of register 3.
            const ControllerConfig& c = controller_.Config();
            StoreU32(out, c.podPresent && c.podKind == 0 ? 0 : 1);
            return true;
        }
        case ZPX_REQ_STATUS_REGISTERS: {
            if (options_.olderDriver) return false;
            if (!Lengths(inLength, outLength, 8, 8)) return false;
            if (!AllZero(in, 8)) return Violation("input not 0");
            uint8_t r1 = 0, r2 = 0;
            controller_.WrittenStatusRegisters(&r1, &r2);
            StoreU32(out, r1);
            StoreU32(out + 4, r2);
            return true;
        }
        case ZPX_REQ_DRIVER_ID: {
            if (options_.olderDriver) return false;
            if (!Lengths(inLength, outLength, 4, 4)) return false;
            if (LoadU32(in) != 0) return Violation("input not 0");
            uint32_t id = options_.driverId;
            if (id == 0) id = controller_.Type() == 0 ? kIdFamily5120 : kIdFamily51x4;
            StoreU32(out, (id << 16) | options_.driverBuild);
            return true;
        }
        case ZPX_REQ_CONFIG_WRITE:
            return ConfigWrite(in, inLength, outLength);
        case ZPX_REQ_CONFIG_READ:
            return ConfigRead(in, inLength, out, outLength);
        case ZPX_REQ_IMAGE_PIECE:
            return ImagePiece(in, inLength, outLength);
        default:
            return false;  // a request this driver does not know
    }
}

bool DriverStandIn::ReadByteRegister(uint32_t r, uint32_t* value) {
    uint32_t word = 0;
    switch (options_.kind) {
        case DriverKind::kIsa:
            // The ISA board has the word register at 3/4 and the clock at 30/31.
            if (r <= 2) return controller_.ReadRegister(r, value);
            if (r == 3 || r == 4) {
                controller_.ReadRegister(kWordRegister, &word);
                *value = r == 3 ? (word & 0xFF) : (word >> 8);
                return true;
            }
            if (r == 30) return controller_.ReadRegister(kClockValueRegister, value);
            if (r == 31) return controller_.ReadRegister(kClockRangeRegister, value);
            return false;
        case DriverKind::kPci:
        case DriverKind::kUsb:
        case DriverKind::kFireWire:
            if (r <= 3 || r == kPowerRegister || r == 6 || r == 7)
                return controller_.ReadRegister(r, value);
            if (r == 4 || r == 5) {
                controller_.ReadRegister(kWordRegister, &word);
                *value = r == 4 ? (word & 0xFF) : (word >> 8);
                return true;
            }
            return false;
    }
    return false;
}

bool DriverStandIn::WriteByteRegister(uint32_t r, uint32_t value) {
    const uint32_t byte = value & 0xFF;
    uint32_t word = 0;
    const bool isa = options_.kind == DriverKind::kIsa;
    const uint32_t wordLow = isa ? 3 : 4;
    if (r == wordLow || r == wordLow + 1) {
        // On ISA the word's low byte and register 3 share driver register 3: a write there also
        // selects (and carries a boot image number), while reads return the word's low byte.
        if (isa && r == 3) controller_.WriteRegister(kSelectRegister, byte);
        controller_.ReadRegister(kWordRegister, &word);
        word = r == wordLow ? (word & 0xFF00) | byte : (word & 0x00FF) | (byte << 8);
        return controller_.WriteRegister(kWordRegister, word);
    }
    // The clock registers take one byte; the others latch the low byte of the value.
    const bool clock = isa ? (r == 30 || r == 31) : (r == 6 || r == 7);
    if (clock && value > 0xFF)
        return Violation("clock register " + std::to_string(r) + " written with " +
                         std::to_string(value));
    if (isa) {
        if (r <= 2) return controller_.WriteRegister(r, byte);
        if (r == 30) return controller_.WriteRegister(kClockValueRegister, byte);
        if (r == 31) return controller_.WriteRegister(kClockRangeRegister, byte);
    } else if (r <= 3 || r == kPowerRegister || r == 6 || r == 7) {
        return controller_.WriteRegister(r, byte);
    }
    return Violation("no driver register " + std::to_string(r));
}

bool DriverStandIn::RegisterRead(const uint8_t* in, uint32_t inLength, uint8_t* out,
                                 uint32_t outLength) {
    if (!Lengths(inLength, outLength, 8, 8)) return false;
    const uint32_t r = LoadU32(in);
    if (LoadU32(in + 4) != 0) return Violation("value field not 0 in a read");
    if (options_.kind == DriverKind::kFireWire) {
        // FireWire reads whole quadlets: four consecutive byte registers in bytes 4 to 7.
        if (r != 0 && r != 4 && r != 8)
            return Violation("no quadlet at driver register " + std::to_string(r));
        uint8_t bytes[4] = {};
        for (uint32_t i = 0; i < 4; ++i) {
            uint32_t v = 0;
            if (r + i == kPowerRegister || r < 8) {
                if (!ReadByteRegister(r + i, &v)) v = 0;
            }
            bytes[i] = static_cast<uint8_t>(v);
        }
        StoreU32(out, r);
        std::memcpy(out + 4, bytes, 4);
        return true;
    }
    uint32_t value = 0;
    if (!ReadByteRegister(r, &value)) return Violation("no driver register " + std::to_string(r));
    StoreU32(out, r);
    StoreU32(out + 4, value & 0xFF);
    return true;
}

bool DriverStandIn::RegisterWrite(const uint8_t* in, uint32_t inLength, uint8_t* out,
                                  uint32_t outLength) {
    if (!Lengths(inLength, outLength, 8, 8)) return false;
    const uint32_t r = LoadU32(in);
    const uint32_t value = LoadU32(in + 4);
    if (!WriteByteRegister(r, value)) return false;
    StoreU32(out, r);
    StoreU32(out + 4, value);
    return true;
}

// The head of a memory or image piece: `select` in 0..maxSelect, the reserved word 0, a count
// the driver's buffer takes.
bool DriverStandIn::PieceHead(const uint8_t* in, uint32_t inLength, uint32_t maxSelect) {
    if (inLength < kPieceOverhead)
        return Violation("a piece of " + std::to_string(inLength) + " bytes, no room for its head");
    const uint32_t select = LoadU32(in);
    const uint32_t count = LoadU32(in + 8);
    if (select > maxSelect) return Violation("select " + std::to_string(select));
    if (LoadU32(in + 4) != 0) return Violation("offset 4 not 0");
    if (count > ChunkLimit())
        return Violation("a piece of " + std::to_string(count) + " bytes, more than " +
                         std::to_string(ChunkLimit()));
    return true;
}

bool DriverStandIn::MemoryWrite(const uint8_t* in, uint32_t inLength, uint32_t outLength) {
    if (!PieceHead(in, inLength, 5)) return false;
    const uint32_t count = LoadU32(in + 8);
    // The request carries 4 trailing bytes after the data. The USB driver of the 51x4 family
    // moves whole quadlets and is also handed the data rounded up to a multiple of 4 (which the
    // trailing bytes cover); which of the two lengths a piece has is up to the host.
    const uint32_t exact = count + kPieceOverhead;
    const uint32_t rounded = kPieceOverhead + ((count + 3) & ~3u);
    const bool lengthFits =
        inLength == exact || (options_.kind == DriverKind::kUsb && inLength == rounded);
    if (!lengthFits || outLength != 0) {
        return Violation("buffers of " + std::to_string(inLength) + " and " +
                         std::to_string(outLength) + " bytes for a piece of " +
                         std::to_string(count));
    }
    return controller_.WriteMemory(kMemoryOfSelect[LoadU32(in)], in + kPieceData, count);
}

bool DriverStandIn::MemoryRead(const uint8_t* in, uint32_t inLength, uint8_t* out,
                               uint32_t outLength) {
    if (!PieceHead(in, inLength, 5)) return false;
    const uint32_t select = LoadU32(in);
    const uint32_t count = LoadU32(in + 8);
    if (!Lengths(inLength, outLength, count + kPieceOverhead, count + kPieceOverhead)) return false;
    StoreU32(out, select);
    StoreU32(out + 4, 0);
    StoreU32(out + 8, count);
    return controller_.ReadMemory(kMemoryOfSelect[select], out + kPieceData, count);
}

bool DriverStandIn::ConfigWrite(const uint8_t* in, uint32_t inLength, uint32_t outLength) {
    if (options_.kind != DriverKind::kUsb && options_.kind != DriverKind::kFireWire) return false;
    if (!Lengths(inLength, outLength, kLanPacketSize, 0)) return false;
    if (options_.kind == DriverKind::kFireWire) {
        // The FireWire driver has no items behind the request: what it takes is the
        // announcement of an update, twelve bytes of 0.
        if (!AllZero(in, kLanPacketSize)) return Violation("an announcement that is not all 0");
        return true;
    }
    const uint16_t opcode = LoadU16(in);
    if (opcode != kLanWriteConfig && opcode != kLanImage)
        return Violation("opcode " + std::to_string(opcode) + " in a configuration write");
    if (const std::string error = LanProtocolError(in); !error.empty()) return Violation(error);
    if (opcode == kLanWriteConfig)
        return controller_.WriteConfigItem(in[2], LoadU32(in + 4), LoadU32(in + 8));
    std::memcpy(imageHeader_, in, kLanPacketSize);
    imageLength_ = LoadU32(in + 4);
    image_.clear();
    image_.reserve(imageLength_);
    imagePending_ = true;
    return true;
}

bool DriverStandIn::ConfigRead(const uint8_t* in, uint32_t inLength, uint8_t* out,
                               uint32_t outLength) {
    if (options_.kind != DriverKind::kUsb) return false;
    if (inLength == 0) {
        // The status of the image announced last.
        if (!Lengths(inLength, outLength, 0, kLanPacketSize)) return false;
        if (!imagePending_) return Violation("an image status without an image");
        imagePending_ = false;
        uint32_t status = controller_.Config().imageRefusedStatus;
        if (image_.size() == imageLength_)
            status =
                controller_.ReceiveImage(LoadU16(imageHeader_ + 2), LoadU16(imageHeader_ + 8),
                                         imageHeader_[10], imageHeader_[11], std::move(image_));
        image_ = {};
        std::memcpy(out, imageHeader_, kLanPacketSize);
        StoreU32(out + 4, status);
        return true;
    }
    if (!Lengths(inLength, outLength, kLanPacketSize, kLanPacketSize)) return false;
    const uint16_t opcode = LoadU16(in);
    if (opcode != kLanReadConfig)
        return Violation("opcode " + std::to_string(opcode) + " in a configuration read");
    if (const std::string error = LanProtocolError(in); !error.empty()) return Violation(error);
    uint32_t d0 = 0, d1 = 0;
    const uint8_t item = in[2];
    if (!controller_.ReadConfigItem(item, &d0, &d1)) return false;
    std::memmove(out, in, 4);
    StoreU32(out + 4, d0);
    StoreU32(out + 8, d1);
    return true;
}

bool DriverStandIn::ImagePiece(const uint8_t* in, uint32_t inLength, uint32_t outLength) {
    if (options_.kind != DriverKind::kUsb) return false;
    if (!PieceHead(in, inLength, 0)) return false;
    const uint32_t length = LoadU32(in + 8);
    if (!Lengths(inLength, outLength, length + kPieceOverhead, 0)) return false;
    if (!imagePending_) return Violation("an image piece without an image header");
    if (image_.size() + length > imageLength_)
        return Violation("image pieces beyond the announced length");
    image_.insert(image_.end(), in + kPieceData, in + kPieceData + length);
    return true;
}

void DriverStandIn::Log(uint32_t code, const uint8_t* in, uint32_t inLength, const uint8_t* out,
                        uint32_t outLength, bool done) {
    if (!options_.log) return;
    char line[200];
    int n = std::snprintf(line, sizeof line, "%s: %s (0x%08X) in %u", KindName(options_.kind),
                          RequestName(code), code, inLength);
    if (inLength >= 8)
        n += std::snprintf(line + n, sizeof line - n, " [%u, 0x%X]", LoadU32(in), LoadU32(in + 4));
    else if (inLength >= 4)
        n += std::snprintf(line + n, sizeof line - n, " [0x%X]", LoadU32(in));
    n += std::snprintf(line + n, sizeof line - n, " out %u", outLength);
    if (done && out != nullptr && outLength >= 8)
        n += std::snprintf(line + n, sizeof line - n, " [0x%X, 0x%X]", LoadU32(out),
                           LoadU32(out + 4));
    else if (done && out != nullptr && outLength >= 4)
        n += std::snprintf(line + n, sizeof line - n, " [0x%X]", LoadU32(out));
    std::string text(line);
    if (done)
        text += " -> done";
    else if (!violation_.empty())
        text += " -> protocol error: " + violation_;
    else
        text += " -> refused";
    options_.log(text);
}

}  // namespace zpx::emu
