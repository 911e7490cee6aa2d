#include "transport/lan_link.h"

namespace zpx::transport {

namespace {

// At most this much is dropped before a request: a late memory block fits many times over. A peer
// that keeps sending beyond it is looked at again before the next request.
constexpr size_t kStaleDropLimit = 1 << 20;

}  // namespace

void LanLink::DropStale() {
    const platform::Io dropped = socket_->DiscardWaiting(kStaleDropLimit);
    if (!dropped.done()) {
        // Closed or failed: nothing more will come on this stream.
        broken_ = true;
        return;
    }
    stale_ = dropped.bytes == kStaleDropLimit;
}

Result LanLink::SendAll(const void* data, size_t length, bool more) {
    if (stale_ && !broken_) DropStale();
    if (broken_) return kFail;
    const auto* bytes = static_cast<const uint8_t*>(data);
    size_t sent = 0;
    while (sent < length) {
        const platform::Io io = socket_->Send(bytes + sent, length - sent, more);
        if (!io.done()) {
            broken_ = true;
            return kFail;
        }
        sent += io.bytes;
    }
    return kOk;
}

Result LanLink::Flush() {
    if (broken_) return kFail;
    if (socket_->Flush()) return kOk;
    broken_ = true;
    return kFail;
}

Result LanLink::Receive(void* buffer, uint32_t* length) {
    const uint32_t wanted = *length;
    *length = 0;
    if (broken_) return kFail;
    auto* bytes = static_cast<uint8_t*>(buffer);
    uint32_t received = 0;
    int waits = 0;
    while (received < wanted && waits < kLanReceiveWaits) {
        const platform::Io io =
            socket_->ReceiveWithin(bytes + received, wanted - received, kLanWaitMs);
        if (io.outcome == platform::Io::kTimedOut) {
            platform::Use<platform::Clock>().SleepMs(kLanPauseMs);
            ++waits;
            continue;
        }
        if (!io.done()) {
            // Closed or failed: nothing more will come on this stream.
            broken_ = true;
            break;
        }
        received += static_cast<uint32_t>(io.bytes);
    }
    *length = received;
    if (received < wanted && !broken_) stale_ = true;
    return received == 0 || broken_ ? kFail : kOk;
}

Result LanLink::Exchange(LanPacket& packet) {
    if (Send(packet).failed()) return kFail;
    uint32_t length = LanPacket::kSize;
    return Receive(packet.bytes, &length);
}

}  // namespace zpx::transport
