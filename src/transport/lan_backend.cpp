#include "transport/lan_backend.h"

#include "platform/platform.h"
#include "transport/backend_table.h"
#include "transport/counters.h"
#include "transport/name_text.h"

namespace zpx::transport {

namespace {

bool IsByteRegister(uint32_t reg) {
    return reg <= kSelectRegister || reg == kPodPowerRegister;
}

bool IsClockRegister(uint32_t reg) {
    return reg == kClockValueRegister || reg == kClockRangeRegister;
}

constexpr uint32_t RegisterCommand(uint32_t width, uint32_t reg, uint16_t opcode) {
    return (width << 24) | (reg << 16) | opcode;
}

constexpr uint32_t kWordRegister = 4;

enum class CounterForm {
    kPacked,     // PackAddressGroups of the value in data0
    kPacked6,    // ... and groups 4 and 5 in data1
    kLow24Bits,  // value & 0xFFFFFF in data0
};

struct LanCounterWrite {
    uint32_t command;
    CounterForm form;
};

// Indexed by write counter.
constexpr LanCounterWrite kLanCounterWrites[] = {
    {0x04100008, CounterForm::kPacked},    {0x04180008, CounterForm::kPacked},
    {0x04200008, CounterForm::kPacked},    {0x04300008, CounterForm::kPacked},
    {0x03080008, CounterForm::kLow24Bits}, {0x06340008, CounterForm::kPacked6},
};

struct LanCounterRead {
    uint32_t command;
    uint32_t mask;  // bits of the reply's data0 that are the counter
};

// Indexed by read counter.
constexpr LanCounterRead kLanCounterReads[] = {
    {0x03080004, 0x00FFFFFF},
    {0x03300004, 0x00FFFFFF},
    {0x04340004, 0xFFFFFFFF},
};

// The address text behind "ETH" is at most this long.
constexpr size_t kEthernetAddressMax = 31;

constexpr size_t kLanCounterWriteCount = sizeof kLanCounterWrites / sizeof kLanCounterWrites[0];
constexpr size_t kLanCounterReadCount = sizeof kLanCounterReads / sizeof kLanCounterReads[0];

}  // namespace

bool OpenLanBackEnd(const BackEndRow& row, std::string_view rest, OpenedBackEnd* opened,
                    OpenFailure* failure) {
    if (rest.size() > kEthernetAddressMax) {
        *failure = OpenFailure::kBadName;
        return false;
    }
    uint32_t ip = 0;
    // An address that does not parse cannot be connected to, as with a refused connection.
    auto socket = ParseIpv4(rest, &ip)
                      ? platform::Use<platform::Network>().ConnectTcp(ip, kLanPort, kLanSendLimitMs)
                      : nullptr;
    if (!socket) {
        *failure = OpenFailure::kFailed;
        return false;
    }
    opened->backend = std::make_unique<LanBackend>(std::move(socket), ip, row.chunkSize);
    platform::Use<platform::Clock>().SleepMs(1);
    return true;
}

// No driver stands between: nothing is legacy.
LanBackend::LanBackend(std::unique_ptr<platform::TcpConnection> socket, uint32_t peerAddress,
                       uint32_t chunkSize)
    : Backend(chunkSize, 0), link_(std::move(socket)), peerAddress_(peerAddress) {}

Result LanBackend::ReadCommand(uint32_t command, uint32_t* value) {
    // The reply overwrites the request; bytes that never arrive keep the request's zeros.
    LanPacket packet = LanPacket::FromCommand(command, 0);
    if (link_.Exchange(packet).failed()) return kFail;
    *value = packet.data0();
    return kOk;
}

Result LanBackend::WriteCommand(uint32_t command, uint32_t data0, uint32_t data1) {
    const LanPacket packet = LanPacket::FromCommand(command, data0, data1);
    // A held write is marked as followed by more: the connection keeps it until its next read,
    // an unmarked send or a flush.
    return link_.SendAll(packet.bytes, LanPacket::kSize, Holding());
}

Result LanBackend::ConfigWrite(const LanPacket& packet) {
    return link_.Send(packet);
}

Result LanBackend::ConfigRead(LanPacket& packet) {
    return link_.Exchange(packet);
}

Result LanBackend::UploadImage(LanPacket& header, const uint8_t* image, uint32_t length,
                               uint32_t* verdict) {
    // The controller checks the image before it answers: it first gets a second, then up to 50
    // more, one a try.
    constexpr uint32_t kReplyPauseMs = 1000;
    constexpr int kReplyAttempts = 50;
    if (link_.SendAll(header.bytes, LanPacket::kSize, length > 0).failed() ||
        link_.SendAll(image, length).failed()) {
        return kFail;
    }
    platform::Clock& p = platform::Use<platform::Clock>();
    p.SleepMs(kReplyPauseMs);
    // Every try waits for the same one reply; whatever of it comes after the last try is dropped
    // before the next request.
    for (int attempt = 0; attempt < kReplyAttempts && !link_.broken(); ++attempt) {
        p.SleepMs(kReplyPauseMs);
        uint32_t received = LanPacket::kSize;
        if (link_.Receive(header.bytes, &received).ok()) {
            *verdict = header.data0();
            return kOk;
        }
    }
    return kFail;
}

Result LanBackend::ReleaseWrites() {
    if (holds_ == 0) return kOk;
    return --holds_ == 0 ? FlushWrites() : kOk;
}

Result LanBackend::FlushWrites() {
    return link_.Flush();
}

Result LanBackend::ReadByteRegister(uint32_t reg, uint32_t* value) {
    uint32_t data0 = 0;
    if (ReadCommand(RegisterCommand(1, reg, kLanReadRegister), &data0).failed()) return kFail;
    *value = data0 & 0xFF;
    return kOk;
}

Result LanBackend::ReadRegister(uint32_t reg, uint32_t* value) {
    if (!IsByteRegister(reg)) return kFail;
    return ReadByteRegister(reg, value);
}

Result LanBackend::WriteRegister(uint32_t reg, uint32_t value, uint32_t) {
    if (!IsByteRegister(reg)) return kFail;
    return WriteCommand(RegisterCommand(1, reg, kLanWriteRegister), value);
}

Result LanBackend::ReadRegisterWord(uint32_t* value) {
    uint32_t data0 = 0;
    if (ReadCommand(RegisterCommand(2, kWordRegister, kLanReadRegister), &data0).failed()) {
        return kFail;
    }
    *value = data0 & 0xFFFF;
    return kOk;
}

Result LanBackend::WriteRegisterWord(uint32_t value) {
    return WriteCommand(RegisterCommand(2, kWordRegister, kLanWriteRegister), value);
}

Result LanBackend::ReadClockRegister(uint32_t reg, uint32_t* value) {
    if (!IsClockRegister(reg)) return kFail;
    return ReadByteRegister(reg, value);
}

Result LanBackend::WriteClockRegister(uint32_t reg, uint32_t value) {
    if (!IsClockRegister(reg)) return kFail;
    return WriteCommand(RegisterCommand(1, reg, kLanWriteRegister), value & 0xFF);
}

Result LanBackend::WriteCounter(uint32_t counter, uint32_t value) {
    // A counter the protocol does not know still costs a packet: twelve zero bytes.
    if (counter >= kLanCounterWriteCount) return link_.Send(LanPacket{});
    const LanCounterWrite& row = kLanCounterWrites[counter];
    switch (row.form) {
        case CounterForm::kPacked:
            return WriteCommand(row.command, PackAddressGroups(value));
        case CounterForm::kPacked6:
            return WriteCommand(row.command, PackAddressGroups(value),
                                PackAddressGroupsHigh(value));
        case CounterForm::kLow24Bits:
            return WriteCommand(row.command, value & 0x00FFFFFF);
    }
    return kFail;
}

Result LanBackend::ReadCounter(uint32_t counter, uint32_t* value) {
    if (counter >= kLanCounterReadCount) return kOk;
    const LanCounterRead& row = kLanCounterReads[counter];
    uint32_t data0 = 0;
    if (ReadCommand(row.command, &data0).failed()) return kFail;
    *value = data0 & row.mask;
    return kOk;
}

}  // namespace zpx::transport
