#include "vxi_board.h"

#include <cstdio>

#include "wire.h"

namespace zpx::emu {

namespace {

constexpr uint32_t kBoardNumber = 0;
// VXI registers: 16-bit words carrying two byte registers each, or the 16-bit counter register.
constexpr uint32_t kVxiControl = 8;   // registers 0 (low) and 1 (high)
constexpr uint32_t kVxiPod = 10;      // registers 2 (low) and 3 (high)
constexpr uint32_t kVxiCounter = 12;  // register 4
constexpr uint32_t kVxiClock = 14;    // clock registers 6 (low) and 7 (high)
constexpr uint32_t kVxiPower = 18;    // register 0x0B: read in the low byte, written in the high

// A memory request names its memory by a select in which memories 1 and 2 are exchanged; so do
// the address counters of the set-address request.
constexpr unsigned kMemoryOfSelect[6] = {0, 2, 1, 3, 4, 5};
constexpr unsigned kCounterOfSelect[4] = {0, 2, 1, 3};

// The byte registers behind a VXI register: low and high (the same for a single one).
bool RegistersOf(uint32_t vxiRegister, uint32_t* low, uint32_t* high) {
    switch (vxiRegister) {
        case kVxiControl:
            *low = kControlRegister, *high = kErrorRegister;
            return true;
        case kVxiPod:
            *low = kPodRegister, *high = kSelectRegister;
            return true;
        case kVxiCounter:
            *low = *high = kWordRegister;
            return true;
        case kVxiClock:
            *low = kClockValueRegister, *high = kClockRangeRegister;
            return true;
        case kVxiPower:
            *low = *high = kPowerRegister;
            return true;
        default:
            return false;
    }
}

RequestTarget TargetOf(VxiCall call, const uint8_t* buffer) {
    uint32_t low = 0, high = 0;
    switch (call) {
        case VxiCall::kReadRegister:
        case VxiCall::kWriteRegister:
            if (!RegistersOf(LoadU32(buffer), &low, &high)) return {};
            return {call == VxiCall::kReadRegister ? RequestKind::kReadRegister
                                                   : RequestKind::kWriteRegister,
                    static_cast<int>(low), static_cast<int>(high)};
        case VxiCall::kSetCounter:
        case VxiCall::kWriteImmediate:
            return {RequestKind::kWriteCounter};
        case VxiCall::kReadImmediate:
            return {RequestKind::kReadCounter};
        case VxiCall::kWriteMemory:
            return {RequestKind::kWriteMemory};
        case VxiCall::kReadMemory:
            return {RequestKind::kReadMemory};
        default:
            return {};
    }
}

constexpr const char* kEntryNames[kVxiCallCount] = {
    "open",          "close",           "DrvReadRegister", "DrvWriteRegister",
    "DrvSetAddress", "DrvWriteImmAddr", "DrvReadImmAddr",  "DrvWriteMemory",
    "DrvReadMemory", "DrvBoardValid"};

}  // namespace

uint32_t VxiCallBytes(uint32_t call, const uint8_t* buffer) {
    switch (static_cast<VxiCall>(call)) {
        case VxiCall::kOpen:
        case VxiCall::kReadRegister:
        case VxiCall::kWriteRegister:
        case VxiCall::kSetCounter:
            return 8;
        case VxiCall::kClose:
            return 0;
        case VxiCall::kWriteImmediate:
        case VxiCall::kReadImmediate:
        case VxiCall::kBoardValid:
            return 4;
        case VxiCall::kWriteMemory:
        case VxiCall::kReadMemory:
            // A count beyond the board's buffer travels as the header alone, to be refused.
            return kVxiMemoryHeader +
                   (LoadU32(buffer + 8) <= kVxiBoardBuffer ? LoadU32(buffer + 8) : 0);
    }
    return 0;
}

void VxiBoard::Attach(uint16_t address, Controller* controller) {
    std::lock_guard lock(mutex_);
    controllers_[address] = controller;
    open_.clear();
}

void VxiBoard::Clear() {
    std::lock_guard lock(mutex_);
    controllers_.clear();
    open_.clear();
}

int32_t VxiBoard::Call(const void* client, uint32_t call, uint8_t* buffer, uint32_t length) {
    const bool memory = call == static_cast<uint32_t>(VxiCall::kWriteMemory) ||
                        call == static_cast<uint32_t>(VxiCall::kReadMemory);
    if (call >= kVxiCallCount || (memory && length < kVxiMemoryHeader) ||
        length != VxiCallBytes(call, buffer))
        return kRefused;
    return Call(client, static_cast<VxiCall>(call), buffer);
}

void VxiBoard::SetLog(LogSink sink) {
    std::lock_guard lock(mutex_);
    log_ = std::move(sink);
}

void VxiBoard::Gone(const void* client) {
    std::lock_guard lock(mutex_);
    open_.erase(client);
}

bool VxiBoard::Open(const void* client, uint32_t board, uint32_t address) {
    // The plain generation opens the one board; its clients cannot hold two.
    if (board != kBoardNumber || address > 0xFFFF ||
        controllers_.count(static_cast<uint16_t>(address)) == 0 || open_.count(client) != 0 ||
        (!sessions_ && !open_.empty()))
        return false;
    open_[client] = static_cast<uint16_t>(address);
    return true;
}

bool VxiBoard::Close(const void* client) {
    return open_.erase(client) != 0;
}

int32_t VxiBoard::Call(const void* client, VxiCall call, uint8_t* buffer) {
    const auto index = static_cast<uint32_t>(call);
    if (index >= kVxiCallCount) return kRefused;
    const uint32_t a = call == VxiCall::kClose ? 0 : LoadU32(buffer);
    const uint32_t b = VxiCallBytes(index, buffer) >= 8 ? LoadU32(buffer + 4) : 0;
    if (call == VxiCall::kOpen || call == VxiCall::kClose) {
        std::lock_guard lock(mutex_);
        const bool done = call == VxiCall::kOpen ? Open(client, a, b) : Close(client);
        Note(kEntryNames[index], a, b, done);
        return done ? kOk : kRefused;
    }
    Fault fault;
    const bool faulty = faults_.Next(&fault, TargetOf(call, buffer));
    const bool refuse = faulty && RefusesCall(fault);
    std::lock_guard lock(mutex_);
    const auto opened = open_.find(client);
    const bool done =
        opened != open_.end() && !refuse && Serve(*controllers_.at(opened->second), call, buffer);
    Note(kEntryNames[index], a, b, done);
    return done ? kOk : kRefused;
}

bool VxiBoard::Serve(Controller& c, VxiCall call, uint8_t* buffer) {
    uint32_t low = 0, high = 0;
    switch (call) {
        case VxiCall::kReadRegister: {
            if (!RegistersOf(LoadU32(buffer), &low, &high)) return false;
            uint32_t lowValue = 0, highValue = 0;
            c.ReadRegister(low, &lowValue);
            if (high != low) c.ReadRegister(high, &highValue);
            StoreU32(buffer + 4, (highValue << 8) | lowValue);
            return true;
        }
        case VxiCall::kWriteRegister: {
            const uint32_t reg = LoadU32(buffer), word = LoadU32(buffer + 4);
            if (!RegistersOf(reg, &low, &high)) return false;
            if (reg == kVxiCounter) {
                c.WriteRegister(low, word & 0xFFFF);
            } else if (reg == kVxiPower) {
                c.WriteRegister(low, (word >> 8) & 0xFF);  // written through the high byte
            } else {
                c.WriteRegister(low, word & 0xFF);
                c.WriteRegister(high, (word >> 8) & 0xFF);
            }
            return true;
        }
        case VxiCall::kSetCounter: {
            const uint32_t select = LoadU32(buffer);
            if (select > 3) return false;
            c.WriteCounter(kCounterOfSelect[select], LoadU32(buffer + 4));
            return true;
        }
        case VxiCall::kWriteImmediate:
            c.WriteCounter(4, LoadU32(buffer));
            return true;
        case VxiCall::kReadImmediate:
            StoreU32(buffer, c.ReadCounter(4));
            return true;
        case VxiCall::kWriteMemory:
        case VxiCall::kReadMemory: {
            const uint32_t select = LoadU32(buffer), count = LoadU32(buffer + 8);
            if (select > 5 || LoadU32(buffer + 4) != 0 || count > kVxiBoardBuffer) return false;
            uint8_t* data = buffer + kVxiMemoryHeader;
            return call == VxiCall::kWriteMemory
                       ? c.WriteMemory(kMemoryOfSelect[select], data, count)
                       : c.ReadMemory(kMemoryOfSelect[select], data, count);
        }
        case VxiCall::kBoardValid: {
            // 0 tells an older pod with fixed TAPs, as the drivers' pod sense does.
            const ControllerConfig& config = c.Config();
            StoreU32(buffer, config.podPresent && config.podKind == 0 ? 0 : 1);
            return true;
        }
        default:
            return false;
    }
}

void VxiBoard::Note(const char* entry, uint32_t a, uint32_t b, bool done) {
    if (!log_) return;
    char line[120];
    std::snprintf(line, sizeof line, "vxi: %s [%u, 0x%X] -> %s", entry, a, b,
                  done ? "done" : "refused");
    log_(line);
}

}  // namespace zpx::emu
