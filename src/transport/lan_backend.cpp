#include "transport/lan_backend.h"

namespace zpx::transport {

namespace {

bool IsByteRegister(uint32_t reg) {
    return reg <= kSelectRegister || reg == kPodPowerRegister;
}

constexpr uint32_t RegisterCommand(uint32_t width, uint32_t reg, uint16_t opcode) {
    return (width << 24) | (reg << 16) | opcode;
}

constexpr uint32_t kWordRegister = 4;

}  // namespace

LanBackend::LanBackend(std::unique_ptr<platform::TcpConnection> socket, uint32_t peerAddress)
    : lanSocket_(std::move(socket)), peerAddress_(peerAddress) {}

Result LanBackend::ReadCommand(uint32_t command, uint32_t* value) {
    // The reply overwrites the request; bytes that never arrive keep the request's zeros.
    LanPacket packet = LanPacket::FromCommand(command, 0);
    if (LanExchange(*lanSocket_, packet).failed()) return kFail;
    *value = packet.data0();
    return kOk;
}

Result LanBackend::WriteCommand(uint32_t command, uint32_t data0, uint32_t data1) {
    return LanSend(*lanSocket_, LanPacket::FromCommand(command, data0, data1));
}

Result LanBackend::ReadRegister(ControllerSession&, uint32_t reg, uint32_t* value) {
    if (!IsByteRegister(reg)) return kFail;
    uint32_t data0 = 0;
    if (ReadCommand(RegisterCommand(1, reg, kLanReadRegister), &data0).failed()) return kFail;
    *value = data0 & 0xFF;
    return kOk;
}

Result LanBackend::WriteRegister(ControllerSession&, uint32_t reg, uint32_t value) {
    if (!IsByteRegister(reg)) return kFail;
    return WriteCommand(RegisterCommand(1, reg, kLanWriteRegister), value);
}

Result LanBackend::ReadRegisterWord(ControllerSession&, uint32_t* value) {
    uint32_t data0 = 0;
    if (ReadCommand(RegisterCommand(2, kWordRegister, kLanReadRegister), &data0).failed()) {
        return kFail;
    }
    *value = data0 & 0xFFFF;
    return kOk;
}

Result LanBackend::WriteRegisterWord(ControllerSession&, uint32_t value) {
    return WriteCommand(RegisterCommand(2, kWordRegister, kLanWriteRegister), value);
}

}  // namespace zpx::transport
