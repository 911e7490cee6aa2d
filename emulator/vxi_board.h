// A VXI-PCI board with 5120-family controllers in its mainframe, as its driver library serves
// them: board 0, each controller at a logical address of its own.
//
// Like the driver it decodes the little-endian request records itself and refuses what the board
// would not take: an unknown VXI register or counter select, a memory piece larger than the
// board's 4096-byte buffer, a call from a client that has nothing open. It serves both interface
// generations of the library: with sessions any number of clients may each open a session; the
// plain generation has one board open at a time.
//
// Clients are named by an opaque value: the session value the library handed out, or the
// connection that carries a program's calls to zpx-emu (device_link.h).
#pragma once

#include <cstdint>
#include <map>
#include <mutex>

#include "controller.h"
#include "faults.h"

namespace zpx::emu {

// The library's entries that reach the board, by the number they travel under on a device link.
// Each takes one buffer, in and out; its length is VxiCallBytes.
enum class VxiCall : uint32_t {
    kOpen,            // u32 board, u32 logical address
    kClose,           // nothing
    kReadRegister,    // u32 VXI register, u32 value (out)
    kWriteRegister,   // u32 VXI register, u32 value
    kSetCounter,      // u32 counter select, u32 value
    kWriteImmediate,  // u32 value
    kReadImmediate,   // u32 value (out)
    kWriteMemory,     // u32 memory select, u32 0, u32 count, then count bytes
    kReadMemory,      // the same header, then count bytes (out)
    kBoardValid,      // u32 answer (out)
};
inline constexpr uint32_t kVxiCallCount = 10;
inline constexpr uint32_t kVxiBoardBuffer = 4096;
inline constexpr uint32_t kVxiMemoryHeader = 12;

// The bytes of a call's buffer; for a memory call from the header's count, which must be there
// already (`buffer` holds at least the header). 0 for an unknown call.
uint32_t VxiCallBytes(uint32_t call, const uint8_t* buffer);

class VxiBoard {
  public:
    static constexpr int32_t kOk = 0;
    static constexpr int32_t kRefused = -1;

    explicit VxiBoard(bool sessions) : sessions_(sessions) {}

    // `controller` answers at logical `address` (1-255) from now on; every open is forgotten.
    void Attach(uint16_t address, Controller* controller);
    // No controller answers any more; every open is forgotten.
    void Clear();
    // Carries out one call of `client` on `buffer` (VxiCallBytes of it); kOk or kRefused.
    int32_t Call(const void* client, VxiCall call, uint8_t* buffer);
    // The same for a call that came as a number and `length` bytes (from another process):
    // refused when they do not make a call.
    int32_t Call(const void* client, uint32_t call, uint8_t* buffer, uint32_t length);
    // The client is gone without closing (its program ended): what it had open is closed.
    void Gone(const void* client);

    void SetFaults(std::vector<Fault> faults) { faults_.Set(std::move(faults)); }
    void AddFault(Fault fault) { faults_.Add(std::move(fault)); }
    uint64_t Calls() const { return faults_.RequestCount(); }
    void SetLog(LogSink sink);

  private:
    bool Open(const void* client, uint32_t board, uint32_t address);
    bool Close(const void* client);
    bool Serve(Controller& c, VxiCall call, uint8_t* buffer);
    void Note(const char* entry, uint32_t a, uint32_t b, bool done);

    const bool sessions_;
    std::mutex mutex_;
    std::map<uint16_t, Controller*> controllers_;
    std::map<const void*, uint16_t> open_;  // client -> the logical address it opened
    FaultPlan faults_;
    LogSink log_;
};

}  // namespace zpx::emu
