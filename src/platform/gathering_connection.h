// The part of a TCP connection that is the same on every system: bytes marked as followed by
// more of the same block are gathered and leave in large sends.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/platform.h"

namespace zpx::platform {

// A block written as many small pieces (a memory block goes out in 512-byte pieces) would
// otherwise pay a system call per piece. The byte stream is the same; the gathered bytes go out
// at the latest with the first piece that is not marked, at a flush, or before any receive. An
// error of a deferred send is reported by the call that flushes it.
class GatheringConnection : public TcpConnection {
  public:
    Io Send(const void* data, size_t length, bool more) final;
    bool Flush() final { return SendPending(false); }
    Io WaitReadable(uint32_t timeoutMs) final {
        return SendPending(false) ? WaitReadableNow(timeoutMs) : Io{Io::kFailed};
    }
    Io Receive(void* buffer, size_t length) final {
        return SendPending(false) ? ReceiveNow(buffer, length) : Io{Io::kFailed};
    }
    Io ReceiveWithin(void* buffer, size_t length, uint32_t timeoutMs) final {
        return SendPending(false) ? ReceiveWithinNow(buffer, length, timeoutMs) : Io{Io::kFailed};
    }

  protected:
    // One send of the system. `more` may hold the bytes back briefly where the system can (they
    // belong to a block whose rest follows at once).
    virtual Io SendOnce(const uint8_t* data, size_t length, bool more) = 0;
    virtual Io WaitReadableNow(uint32_t timeoutMs) = 0;
    virtual Io ReceiveNow(void* buffer, size_t length) = 0;
    virtual Io ReceiveWithinNow(void* buffer, size_t length, uint32_t timeoutMs) {
        if (!WaitReadableNow(timeoutMs).done()) return {Io::kTimedOut};
        return ReceiveNow(buffer, length);
    }

    // Sends every gathered byte; false (and the gathered bytes dropped) on an error. A system's
    // connection calls it before closing, so that bytes a caller left marked still go out.
    bool SendPending(bool more);

  private:
    static constexpr size_t kGatherLimit = 64 * 1024;
    std::vector<uint8_t> pending_;
};

}  // namespace zpx::platform
