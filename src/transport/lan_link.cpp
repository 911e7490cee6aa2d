#include "transport/lan_link.h"

namespace zpx::transport {

Result LanSendAll(platform::TcpConnection& socket, const void* data, size_t length, bool more) {
    const auto* bytes = static_cast<const uint8_t*>(data);
    size_t sent = 0;
    while (sent < length) {
        const long n = socket.Send(bytes + sent, length - sent, more);
        if (n < 0) return kFail;
        sent += static_cast<size_t>(n);
    }
    return kOk;
}

Result LanSend(platform::TcpConnection& socket, const LanPacket& packet) {
    return LanSendAll(socket, packet.bytes, LanPacket::kSize);
}

uint32_t LanReceive(platform::TcpConnection& socket, void* buffer, uint32_t* length) {
    auto* bytes = static_cast<uint8_t*>(buffer);
    const uint32_t wanted = *length;
    uint32_t received = 0;
    int waits = 0;
    long last = 0;
    while (received < wanted && waits < kLanReceiveWaits) {
        const long n = socket.ReceiveWithin(bytes + received, wanted - received, kLanWaitMs);
        if (n == platform::TcpConnection::kReceiveTimedOut) {
            platform::Use<platform::Clock>().SleepMs(kLanPauseMs);
            ++waits;
            continue;
        }
        last = n;
        if (last <= 0) break;
        received += static_cast<uint32_t>(last);
    }
    *length = received;
    return last <= 0 ? kLanReceiveFailed : 0;
}

Result LanExchange(platform::TcpConnection& socket, LanPacket& packet) {
    if (LanSend(socket, packet).failed()) return kFail;
    uint32_t length = LanPacket::kSize;
    if (LanReceive(socket, packet.bytes, &length) == kLanReceiveFailed) return kFail;
    return kOk;
}

}  // namespace zpx::transport
