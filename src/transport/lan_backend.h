// Back-end of the Ethernet controllers: registers travel as LanPackets on the session's socket.
#pragma once

#include <cstdint>
#include <memory>
#include <string_view>

#include "platform/platform.h"
#include "transport/backend.h"
#include "transport/backend_table.h"
#include "transport/lan_link.h"

namespace zpx::transport {

class LanBackend : public Backend {
  public:
    LanBackend(std::unique_ptr<platform::TcpConnection> socket, uint32_t peerAddress,
               uint32_t chunkSize);

    Result ReadRegister(uint32_t reg, uint32_t* value) override;
    Result WriteRegister(uint32_t reg, uint32_t value, uint32_t partner) override;
    Result ReadRegisterWord(uint32_t* value) override;
    Result WriteRegisterWord(uint32_t value) override;
    Result ReadClockRegister(uint32_t reg, uint32_t* value) override;
    Result WriteClockRegister(uint32_t reg, uint32_t value) override;
    Result WriteCounter(uint32_t counter, uint32_t value) override;
    Result ReadCounter(uint32_t counter, uint32_t* value) override;
    // One header, then the data in 512-byte pieces; nothing is answered.
    Result WriteMemoryBlock(uint32_t memory, uint32_t length, const uint8_t* data) override;
    // One header and one receive per piece of at most 8192 bytes.
    Result ReadMemoryBlock(uint32_t memory, uint32_t length, uint8_t* buffer) override;
    bool CarriesConfiguration() const override { return true; }
    Result ConfigWrite(const LanPacket& packet) override;
    Result ConfigRead(LanPacket& packet) override;
    // The header and the whole image without waiting, then up to 50 one-second waits for the
    // controller's reply.
    Result UploadImage(LanPacket& header, const uint8_t* image, uint32_t length,
                       uint32_t* verdict) override;

    // Held writes wait in the connection's send buffer, so that a pod-link frame of dozens of
    // writes leaves in one send.
    void HoldWrites() override { ++holds_; }
    Result ReleaseWrites() override;
    Result FlushWrites() override;

    // Tests compare the bytes on the wire with and without holding.
    void SetHoldingEnabled(bool enabled) { holdingEnabled_ = enabled; }

    LanLink& link() { return link_; }

    // One read packet with `command` and the reply's data0 in *value.
    Result ReadCommand(uint32_t command, uint32_t* value);
    // One read packet of a byte register (0 to 3, 0x0B, 6, 7); the low byte of data0.
    Result ReadByteRegister(uint32_t reg, uint32_t* value);
    // One unanswered write packet.
    Result WriteCommand(uint32_t command, uint32_t data0, uint32_t data1 = 0);

  private:
    bool Holding() const { return holds_ > 0 && holdingEnabled_; }

    LanLink link_;
    uint32_t peerAddress_;  // IPv4, host byte order; the port is always kLanPort
    uint32_t holds_ = 0;
    bool holdingEnabled_ = true;
};

// Opens an Ethernet row: the controller's IPv4 address behind the prefix, read as inet_addr
// reads it, connected on port 5104.
bool OpenLanBackEnd(const BackEndRow& row, std::string_view rest, OpenedBackEnd* opened,
                    OpenFailure* failure);

}  // namespace zpx::transport
