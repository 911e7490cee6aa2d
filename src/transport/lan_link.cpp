#include "transport/lan_link.h"

#include <algorithm>

namespace zpx::transport {

Result LanLink::SendAll(const void* data, size_t length, bool more) {
    if (broken_) return kFail;
    const auto* bytes = static_cast<const uint8_t*>(data);
    size_t sent = 0;
    while (sent < length) {
        const long n = socket_->Send(bytes + sent, length - sent, more);
        if (n < 0) {
            broken_ = true;
            return kFail;
        }
        sent += static_cast<size_t>(n);
    }
    return kOk;
}

Result LanLink::Flush() {
    if (broken_) return kFail;
    if (socket_->Flush()) return kOk;
    broken_ = true;
    return kFail;
}

uint32_t LanLink::Receive(void* buffer, uint32_t* length, bool owe) {
    const uint32_t wanted = *length;
    *length = 0;
    if (broken_) return kLanReceiveFailed;
    auto* bytes = static_cast<uint8_t*>(buffer);
    uint8_t dropped[512];
    uint32_t received = 0;
    int waits = 0;
    // The bytes still owed come first on the stream; they share the reply's waits.
    while ((owed_ > 0 || received < wanted) && waits < kLanReceiveWaits) {
        const bool dropping = owed_ > 0;
        const long n =
            dropping ? socket_->ReceiveWithin(
                           dropped, static_cast<size_t>(std::min<uint64_t>(owed_, sizeof dropped)),
                           kLanWaitMs)
                     : socket_->ReceiveWithin(bytes + received, wanted - received, kLanWaitMs);
        if (n == platform::TcpConnection::kReceiveTimedOut) {
            platform::Use<platform::Clock>().SleepMs(kLanPauseMs);
            ++waits;
            continue;
        }
        if (n <= 0) {
            // Closed or failed: nothing more will come on this stream.
            broken_ = true;
            break;
        }
        if (dropping) {
            owed_ -= static_cast<uint64_t>(n);
        } else {
            received += static_cast<uint32_t>(n);
        }
    }
    *length = received;
    // What did not come is owed, a reply that never began included: the controller answers in
    // order, so a late reply would otherwise be read as the answer to the next request. If it
    // dropped the request instead, later reads drop the next replies and time out; they fail,
    // but none returns another request's answer.
    if (!broken_ && owe) owed_ += wanted - received;
    return received == 0 || broken_ ? kLanReceiveFailed : 0;
}

Result LanLink::Exchange(LanPacket& packet) {
    if (Send(packet).failed()) return kFail;
    uint32_t length = LanPacket::kSize;
    if (Receive(packet.bytes, &length) == kLanReceiveFailed) return kFail;
    return kOk;
}

}  // namespace zpx::transport
