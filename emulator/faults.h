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

// Applies to requests `first` .. `first + count - 1`, counted from 1 over the front-end's life
// (across connections). A count of 0 means every request from `first` on.
struct Fault {
    FaultKind kind = FaultKind::kDropReply;
    uint64_t first = 1;
    uint64_t count = 1;
    uint32_t bytes = 0;
    uint32_t delayMs = 0;
};

// Parses "drop:N", "short:N:BYTES", "delay:N:MS", "cut:N:BYTES:MS", "close:N", "reset:N",
// "fail:N", "stall:N", each optionally followed by "xCOUNT" ("drop:3x2"), as the tool's command
// line gives them. False on bad text.
bool ParseFault(std::string_view text, Fault* fault);

// The fault plan of one front-end with its request counter; thread-safe.
class FaultPlan {
  public:
    void Set(std::vector<Fault> faults);
    // Counts one request and returns the fault that applies to it, if any (the first match).
    bool Next(Fault* fault);
    uint64_t RequestCount() const;

  private:
    mutable std::mutex mutex_;
    std::vector<Fault> faults_;
    uint64_t requests_ = 0;
};

// Where the request log goes; empty means no log, and then no text is formatted at all.
using LogSink = std::function<void(std::string_view line)>;

}  // namespace zpx::emu
