#include "platform/gathering_connection.h"

namespace zpx::platform {

long GatheringConnection::Send(const void* data, size_t length, bool more) {
    const auto* bytes = static_cast<const uint8_t*>(data);
    if (more) {
        if (pending_.size() + length > kGatherLimit && !SendPending(true)) return -1;
        if (length >= kGatherLimit) return SendOnce(bytes, length, true);
        pending_.insert(pending_.end(), bytes, bytes + length);
        return static_cast<long>(length);
    }
    if (pending_.empty()) return SendOnce(bytes, length, false);
    if (pending_.size() + length <= kGatherLimit) {
        pending_.insert(pending_.end(), bytes, bytes + length);
        return SendPending(false) ? static_cast<long>(length) : -1;
    }
    if (!SendPending(true)) return -1;
    return SendOnce(bytes, length, false);
}

bool GatheringConnection::SendPending(bool more) {
    size_t sent = 0;
    while (sent < pending_.size()) {
        const long n = SendOnce(pending_.data() + sent, pending_.size() - sent, more);
        if (n < 0) {
            pending_.clear();
            return false;
        }
        sent += static_cast<size_t>(n);
    }
    pending_.clear();
    return true;
}

}  // namespace zpx::platform
