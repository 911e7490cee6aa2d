#include "platform/gathering_connection.h"

namespace zpx::platform {

Io GatheringConnection::Send(const void* data, size_t length, bool more) {
    const auto* bytes = static_cast<const uint8_t*>(data);
    if (more) {
        if (pending_.size() + length > kGatherLimit && !SendPending(true)) return {Io::kFailed};
        if (length >= kGatherLimit) return SendOnce(bytes, length, true);
        pending_.insert(pending_.end(), bytes, bytes + length);
        return Io::Moved(length);
    }
    if (pending_.empty()) return SendOnce(bytes, length, false);
    if (pending_.size() + length <= kGatherLimit) {
        pending_.insert(pending_.end(), bytes, bytes + length);
        return SendPending(false) ? Io::Moved(length) : Io{Io::kFailed};
    }
    if (!SendPending(true)) return {Io::kFailed};
    return SendOnce(bytes, length, false);
}

bool GatheringConnection::SendPending(bool more) {
    size_t sent = 0;
    while (sent < pending_.size()) {
        const Io io = SendOnce(pending_.data() + sent, pending_.size() - sent, more);
        if (!io.done()) {
            pending_.clear();
            return false;
        }
        sent += io.bytes;
    }
    pending_.clear();
    return true;
}

}  // namespace zpx::platform
