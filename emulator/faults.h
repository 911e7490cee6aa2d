// Deliberate misbehaviour of a front-end, so that the library's time-outs and failure paths can be
// exercised without a broken cable.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace zpx::emu {

enum class FaultKind {
    kDropReply,        // carry the request out but send no reply
    kShortReply,       // send only the first `bytes` bytes of the reply
    kDelayReply,       // wait `delayMs` before replying
    kCloseConnection,  // close the connection instead of carrying the request out (LAN only)
    kFailRequest,      // do not carry the request out (driver: report failure; LAN: no effect)
    kStopReading,      // stop reading the connection, as a hung controller does (LAN only; a
                       // driver fails the request)
    kCutReply,         // send the first `bytes` bytes of the reply, the rest `delayMs` later
    kResetConnection,  // reset the connection instead of carrying the request out (LAN only)
};

// What a request does, for faults aimed at a kind of request rather than at its number.
enum class RequestKind {
    kAny,
    kReadRegister,
    kWriteRegister,
    kReadCounter,
    kWriteCounter,
    kReadMemory,
    kWriteMemory,
    kReadItem,
    kWriteItem,
    kImage,
};
struct RequestTarget {
    RequestKind kind = RequestKind::kAny;
    // The register of a register request; -1 for any. A request that carries several registers
    // at once (a FireWire quadlet, a 16-bit VXI register) names them `address` to `last`.
    int address = -1;
    int last = -1;
};

// Applies to requests `first` .. `first + count - 1`, counted from 1 over the front-end's life
// (across connections). A count of 0 means every request from `first` on. A fault aimed at a
// kind of request (`target.kind` not kAny) counts only the requests of that kind from when it
// was set, `first` being 1: "the next read of register 1".
struct Fault {
    FaultKind kind = FaultKind::kDropReply;
    uint64_t first = 1;
    uint64_t count = 1;
    uint32_t bytes = 0;
    uint32_t delayMs = 0;
    RequestTarget target = {};
};

// Parses "drop:N", "short:N:BYTES", "delay:N:MS", "cut:N:BYTES:MS", "close:N", "reset:N",
// "fail:N", "stall:N", each optionally followed by "xCOUNT" ("drop:3x2"), as the tool's command
// line gives them. In place of N a kind of request: "read-register", "read-register-R" (register
// R), "write-register[-R]", "read-counter", "write-counter", "read-memory", "write-memory",
// "read-item", "write-item", "image": "fail:read-register-1" fails the next read of register 1.
// False on bad text.
bool ParseFault(std::string_view text, Fault* fault);

// The fault plan of one front-end with its request counter; thread-safe.
class FaultPlan {
  public:
    void Set(std::vector<Fault> faults);
    // Adds a fault to those set; one aimed at a kind of request counts from now.
    void Add(Fault fault);
    // Counts one request, of kind `what`, and returns the fault that applies to it, if any (the
    // first match).
    bool Next(Fault* fault, RequestTarget what = {});
    uint64_t RequestCount() const;

  private:
    struct Planned {
        Fault fault;
        uint64_t seen = 0;  // requests of its target kind so far
    };
    mutable std::mutex mutex_;
    std::vector<Planned> faults_;
    uint64_t requests_ = 0;
};

// How a front-end whose calls return once (a driver, a driver library) takes `fault`: true when
// the call is to be refused (fail, close, stall, reset); delay and cut make the whole answer late
// and wait here; drop and short are the front-end's to shape.
bool RefusesCall(const Fault& fault);

// Where the request log goes; empty means no log, and then no text is formatted at all.
using LogSink = std::function<void(std::string_view line)>;

}  // namespace zpx::emu
