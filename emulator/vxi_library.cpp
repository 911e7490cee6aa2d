// An emulated VXI-PCI board driver library (libvxi5120.so) in front of the controller model: one
// 5120-family controller in a VXI mainframe behind board 0. Built twice from this source, once
// per interface generation: with ZPX_VXI_SESSION the session interface ("OpenSession", and every
// entry takes the session value first), without it the plain interface ("set_vxi_address",
// "close_board", one board open at a time).
//
// Like a driver it decodes the little-endian request records itself and refuses what the board
// would not take: an unknown VXI register or counter select, a memory piece larger than the
// board's 4096-byte buffer, a call without an open board or with a session value it did not hand
// out. The entries prefixed ZpxEmuVxi are for tests: the controller behind the board, its
// configuration, faults and a call log.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "controller.h"
#include "faults.h"
#include "wire.h"

// The entry points a driver library exports by their C names; everything else stays inside it.
#ifdef _WIN32
#define ZPX_VXI_EXPORT extern "C" __declspec(dllexport)
#else
#define ZPX_VXI_EXPORT extern "C" __attribute__((visibility("default")))
#endif

namespace zpx::emu {
namespace {

constexpr uint32_t kBoardBuffer = 4096;
constexpr uint16_t kBoardNumber = 0;
constexpr uint32_t kMemoryHeader = 12;
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

constexpr int32_t kOk = 0;
constexpr int32_t kRefused = -1;

class Board {
  public:
    Board() { Configure(ControllerConfig{.type = 0}, 8); }

    void Configure(const ControllerConfig& config, uint16_t address) {
        std::lock_guard lock(mutex_);
        controller_ = std::make_unique<Controller>(config);
        address_ = address;
        open_ = false;
        sessions_.clear();
    }
    Controller& controller() { return *controller_; }
    void SetFaults(std::vector<Fault> faults) { faults_.Set(std::move(faults)); }
    uint64_t Calls() const { return faults_.RequestCount(); }
    void SetLog(LogSink sink) {
        std::lock_guard lock(mutex_);
        log_ = std::move(sink);
    }

    // ---- opening ----
    void* OpenSession(uint16_t board, uint16_t address) {
        std::lock_guard lock(mutex_);
        Note("OpenSession", board, address, true);
        if (board != kBoardNumber || address != address_) return nullptr;
        auto* session = new int(0);
        sessions_.insert(session);
        return session;
    }
    int32_t CloseSession(void* session) {
        std::lock_guard lock(mutex_);
        const bool known = sessions_.erase(session) != 0;
        Note("CloseSession", 0, 0, known);
        if (known) delete static_cast<int*>(session);
        return known ? kOk : kRefused;
    }
    int32_t SetAddress(uint32_t address) {
        std::lock_guard lock(mutex_);
        const bool done = !open_ && address == address_;
        Note("set_vxi_address", address, 0, done);
        if (done) open_ = true;
        return done ? kOk : kRefused;
    }
    int32_t CloseBoard() {
        std::lock_guard lock(mutex_);
        Note("close_board", 0, 0, open_);
        const bool was = open_;
        open_ = false;
        return was ? kOk : kRefused;
    }

    // ---- the entries both generations share; `session` is null in the plain interface ----
    int32_t ReadRegister(void* session, uint8_t* request) {
        return Serve("DrvReadRegister", session, request, [&] {
            const uint32_t reg = LoadU32(request);
            uint32_t low = 0, high = 0;
            switch (reg) {
                case kVxiControl:
                    controller_->ReadRegister(kControlRegister, &low);
                    controller_->ReadRegister(kErrorRegister, &high);
                    break;
                case kVxiPod:
                    controller_->ReadRegister(kPodRegister, &low);
                    controller_->ReadRegister(kSelectRegister, &high);
                    break;
                case kVxiCounter:
                    controller_->ReadRegister(kWordRegister, &low);
                    break;
                case kVxiClock:
                    controller_->ReadRegister(kClockValueRegister, &low);
                    controller_->ReadRegister(kClockRangeRegister, &high);
                    break;
                case kVxiPower:
                    controller_->ReadRegister(kPowerRegister, &low);
                    break;
                default:
                    return false;
            }
            StoreU32(request + 4, (high << 8) | low);
            return true;
        });
    }
    int32_t WriteRegister(void* session, const uint8_t* request) {
        return Serve("DrvWriteRegister", session, request, [&] {
            const uint32_t word = LoadU32(request + 4);
            const uint32_t low = word & 0xFF, high = (word >> 8) & 0xFF;
            switch (LoadU32(request)) {
                case kVxiControl:
                    controller_->WriteRegister(kControlRegister, low);
                    controller_->WriteRegister(kErrorRegister, high);
                    return true;
                case kVxiPod:
                    controller_->WriteRegister(kPodRegister, low);
                    controller_->WriteRegister(kSelectRegister, high);
                    return true;
                case kVxiCounter:
                    controller_->WriteRegister(kWordRegister, word & 0xFFFF);
                    return true;
                case kVxiClock:
                    controller_->WriteRegister(kClockValueRegister, low);
                    controller_->WriteRegister(kClockRangeRegister, high);
                    return true;
                case kVxiPower:
                    controller_->WriteRegister(kPowerRegister, high);
                    return true;
                default:
                    return false;
            }
        });
    }
    int32_t SetCounter(void* session, const uint8_t* request) {
        return Serve("DrvSetAddress", session, request, [&] {
            const uint32_t select = LoadU32(request);
            if (select > 3) return false;
            controller_->WriteCounter(kCounterOfSelect[select], LoadU32(request + 4));
            return true;
        });
    }
    int32_t WriteImmediate(void* session, uint32_t value) {
        uint8_t request[8] = {};
        StoreU32(request, value);
        return Serve("DrvWriteImmAddr", session, request, [&] {
            controller_->WriteCounter(4, value);
            return true;
        });
    }
    int32_t ReadImmediate(void* session, uint8_t* value) {
        return Serve("DrvReadImmAddr", session, nullptr, [&] {
            StoreU32(value, controller_->ReadCounter(4));
            return true;
        });
    }
    int32_t WriteMemory(void* session, const uint8_t* request) {
        return Serve("DrvWriteMemory", session, request, [&] {
            const uint32_t select = LoadU32(request), count = LoadU32(request + 8);
            if (select > 5 || LoadU32(request + 4) != 0 || count > kBoardBuffer) return false;
            return controller_->WriteMemory(kMemoryOfSelect[select], request + kMemoryHeader,
                                            count);
        });
    }
    int32_t ReadMemory(void* session, uint8_t* request) {
        return Serve("DrvReadMemory", session, request, [&] {
            const uint32_t select = LoadU32(request), count = LoadU32(request + 8);
            if (select > 5 || LoadU32(request + 4) != 0 || count > kBoardBuffer) return false;
            return controller_->ReadMemory(kMemoryOfSelect[select], request + kMemoryHeader, count);
        });
    }
    int32_t BoardValid(void* session, uint8_t* answer) {
        return Serve("DrvBoardValid", session, nullptr, [&] {
            // 0 tells an older pod with fixed TAPs, as the drivers' pod sense does.
            const ControllerConfig& c = controller_->Config();
            StoreU32(answer, c.podPresent && c.podKind == 0 ? 0 : 1);
            return true;
        });
    }

  private:
    // Runs one entry under the board's lock, the faults and the log.
    template <typename Body>
    int32_t Serve(const char* entry, void* session, const uint8_t* request, Body body) {
        Fault fault;
        const bool faulty = faults_.Next(&fault);
        if (faulty && fault.kind == FaultKind::kDelayReply)
            std::this_thread::sleep_for(std::chrono::milliseconds(fault.delayMs));
        std::lock_guard lock(mutex_);
        const bool reachable = session != nullptr ? sessions_.count(session) != 0 : open_;
        const bool done = reachable && !(faulty && fault.kind == FaultKind::kFailRequest) && body();
        Note(entry, request != nullptr ? LoadU32(request) : 0,
             request != nullptr ? LoadU32(request + 4) : 0, done);
        return done ? kOk : kRefused;
    }
    void Note(const char* entry, uint32_t a, uint32_t b, bool done) {
        if (!log_) return;
        char line[120];
        std::snprintf(line, sizeof line, "vxi: %s [%u, 0x%X] -> %s", entry, a, b,
                      done ? "done" : "refused");
        log_(line);
    }

    std::mutex mutex_;
    std::unique_ptr<Controller> controller_;
    uint16_t address_ = 8;
    bool open_ = false;         // plain interface: the board is open
    std::set<void*> sessions_;  // session interface: the session values handed out
    FaultPlan faults_;
    LogSink log_;
};

Board& TheBoard() {
    static Board board;
    return board;
}

uint8_t* Bytes(void* p) {
    return static_cast<uint8_t*>(p);
}

}  // namespace
}  // namespace zpx::emu

using zpx::emu::Bytes;
using zpx::emu::TheBoard;

#if ZPX_VXI_SESSION

ZPX_VXI_EXPORT void* OpenSession(uint16_t board, uint16_t address) {
    return TheBoard().OpenSession(board, address);
}
ZPX_VXI_EXPORT int32_t CloseSession(void* session) {
    return TheBoard().CloseSession(session);
}
ZPX_VXI_EXPORT int32_t DrvReadRegister(void* session, void* request) {
    return TheBoard().ReadRegister(session, Bytes(request));
}
ZPX_VXI_EXPORT int32_t DrvWriteRegister(void* session, void* request) {
    return TheBoard().WriteRegister(session, Bytes(request));
}
ZPX_VXI_EXPORT int32_t DrvSetAddress(void* session, void* request) {
    return TheBoard().SetCounter(session, Bytes(request));
}
ZPX_VXI_EXPORT int32_t DrvWriteImmAddr(void* session, uint32_t value) {
    return TheBoard().WriteImmediate(session, value);
}
ZPX_VXI_EXPORT int32_t DrvReadImmAddr(void* session, void* value) {
    return TheBoard().ReadImmediate(session, Bytes(value));
}
ZPX_VXI_EXPORT int32_t DrvWriteMemory(void* session, void* request) {
    return TheBoard().WriteMemory(session, Bytes(request));
}
ZPX_VXI_EXPORT int32_t DrvReadMemory(void* session, void* request) {
    return TheBoard().ReadMemory(session, Bytes(request));
}
ZPX_VXI_EXPORT int32_t DrvPresetImmMem(void*) {
    return 0;
}
ZPX_VXI_EXPORT int32_t DrvBoardValid(void* session, void* answer) {
    return TheBoard().BoardValid(session, Bytes(answer));
}

#else

ZPX_VXI_EXPORT int32_t set_vxi_address(uint32_t address) {
    return TheBoard().SetAddress(address);
}
ZPX_VXI_EXPORT int32_t close_board() {
    return TheBoard().CloseBoard();
}
ZPX_VXI_EXPORT int32_t DrvReadRegister(void* request) {
    return TheBoard().ReadRegister(nullptr, Bytes(request));
}
ZPX_VXI_EXPORT int32_t DrvWriteRegister(void* request) {
    return TheBoard().WriteRegister(nullptr, Bytes(request));
}
ZPX_VXI_EXPORT int32_t DrvSetAddress(void* request) {
    return TheBoard().SetCounter(nullptr, Bytes(request));
}
ZPX_VXI_EXPORT int32_t DrvWriteImmAddr(uint32_t value) {
    return TheBoard().WriteImmediate(nullptr, value);
}
ZPX_VXI_EXPORT int32_t DrvReadImmAddr(void* value) {
    return TheBoard().ReadImmediate(nullptr, Bytes(value));
}
ZPX_VXI_EXPORT int32_t DrvWriteMemory(void* request) {
    return TheBoard().WriteMemory(nullptr, Bytes(request));
}
ZPX_VXI_EXPORT int32_t DrvReadMemory(void* request) {
    return TheBoard().ReadMemory(nullptr, Bytes(request));
}
ZPX_VXI_EXPORT int32_t DrvPresetImmMem() {
    return 0;
}
ZPX_VXI_EXPORT int32_t DrvBoardValid(void* answer) {
    return TheBoard().BoardValid(nullptr, Bytes(answer));
}

#endif

// ---- for tests ----
ZPX_VXI_EXPORT zpx::emu::Controller* ZpxEmuVxiController() {
    return &TheBoard().controller();
}
// A new controller of `config` behind the board at logical `address`; every session and the open
// board are forgotten.
ZPX_VXI_EXPORT void ZpxEmuVxiConfigure(const zpx::emu::ControllerConfig* config, uint16_t address) {
    TheBoard().Configure(*config, address);
}
ZPX_VXI_EXPORT void ZpxEmuVxiSetFaults(const std::vector<zpx::emu::Fault>* faults) {
    TheBoard().SetFaults(*faults);
}
ZPX_VXI_EXPORT uint64_t ZpxEmuVxiCalls() {
    return TheBoard().Calls();
}
ZPX_VXI_EXPORT void ZpxEmuVxiSetLog(const zpx::emu::LogSink* sink) {
    TheBoard().SetLog(sink != nullptr ? *sink : zpx::emu::LogSink{});
}
