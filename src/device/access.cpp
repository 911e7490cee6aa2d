#include "device/access.h"

#include "device/controller_session.h"

namespace zpx::device {

namespace {

// The session's copy of the byte register that shares a bus word with `reg`, where one does.
uint32_t PartnerCopy(const ControllerSession& s, uint32_t reg) {
    switch (reg) {
        case kControlRegister:
            return s.register1Copy;
        case kErrorRegister:
            return s.controlCopy;
        case kPodRegister:
            return s.register3Copy;
        case kSelectRegister:
            return s.register2Copy;
        default:
            return 0;
    }
}

}  // namespace

Result ReadRegister(ControllerSession& s, uint32_t reg, uint32_t* value) {
    if (!s.backend) return kFail;
    return s.backend->ReadRegister(reg, value);
}

Result WriteRegister(ControllerSession& s, uint32_t reg, uint32_t value) {
    if (!s.backend) return kFail;
    return s.backend->WriteRegister(reg, value, PartnerCopy(s, reg));
}

Result ReadRegisterWord(ControllerSession& s, uint32_t* value) {
    if (!s.backend) return kFail;
    return s.backend->ReadRegisterWord(value);
}

Result WriteRegisterWord(ControllerSession& s, uint32_t value) {
    if (!s.backend) return kFail;
    return s.backend->WriteRegisterWord(value);
}

Result ReadClockRegister(ControllerSession& s, uint32_t reg, uint32_t* value) {
    if (!s.backend) return kFail;
    return s.backend->ReadClockRegister(reg, value);
}

Result WriteClockRegister(ControllerSession& s, uint32_t reg, uint32_t value) {
    if (!s.backend) return kFail;
    return s.backend->WriteClockRegister(reg, value);
}

Result QueryDriverId(ControllerSession& s, uint32_t* answer) {
    if (!s.backend) return kFail;
    return s.backend->QueryDriverId(answer);
}

Result QueryStatusRegisters(ControllerSession& s, uint32_t* register1, uint32_t* register2) {
    if (!s.backend) return kFail;
    return s.backend->QueryStatusRegisters(register1, register2);
}

Result QueryPodSense(ControllerSession& s, uint32_t* answer) {
    if (!s.backend) return kFail;
    return s.backend->QueryPodSense(answer);
}

Result WriteCounterValue(ControllerSession& s, uint32_t counter, uint32_t value) {
    if (!s.backend) return kFail;
    return s.backend->WriteCounter(counter, value);
}

Result ReadCounterValue(ControllerSession& s, uint32_t counter, uint32_t* value) {
    *value = 0;
    if (!s.backend) return kFail;
    return s.backend->ReadCounter(counter, value);
}

Result WriteMemoryBlock(ControllerSession& s, uint32_t memory, uint32_t length,
                        const uint8_t* data) {
    if (!s.backend || (data == nullptr && length != 0)) return kFail;
    return s.backend->WriteMemoryBlock(memory, length, data);
}

Result ReadMemoryBlock(ControllerSession& s, uint32_t memory, uint32_t length, uint8_t* buffer) {
    if (!s.backend || (buffer == nullptr && length != 0)) return kFail;
    return s.backend->ReadMemoryBlock(memory, length, buffer);
}

bool CarriesConfiguration(const ControllerSession& s) {
    return s.backend && s.backend->CarriesConfiguration();
}

Result ConfigWrite(ControllerSession& s, transport::ConfigItem item, uint32_t data0,
                   uint32_t data1) {
    if (!s.backend) return kFail;
    return s.backend->ConfigWrite(
        transport::LanPacket::Make(transport::kLanWriteConfig, item, 0, data0, data1));
}

Result ConfigRead(ControllerSession& s, transport::ConfigItem item, uint32_t* data0,
                  uint32_t* data1) {
    if (!s.backend) return kFail;
    transport::LanPacket packet =
        transport::LanPacket::Make(transport::kLanReadConfig, item, 0, 0, 0);
    if (s.backend->ConfigRead(packet).failed()) return kFail;
    *data0 = packet.data0();
    *data1 = packet.data1();
    return kOk;
}

Result FirmwareUpload(ControllerSession& s, transport::ImageKind kind, uint32_t length,
                      uint8_t first, uint8_t second, const uint8_t* image, uint32_t* verdict) {
    if (!s.backend) return kFail;
    transport::LanPacket header =
        transport::ImageHeader(kind, length, transport::ImageCrc(image, length), first, second);
    return s.backend->UploadImage(header, image, length, verdict);
}

HeldWrites::HeldWrites(ControllerSession& s) : backend_(s.backend.get()) {
    if (backend_ != nullptr) backend_->HoldWrites();
}

HeldWrites::~HeldWrites() {
    // Only reached without Finish on a path that already fails: what cannot be sent now is
    // reported by the session's next exchange.
    (void)Finish();
}

Result HeldWrites::Flush() {
    return backend_ != nullptr ? backend_->FlushWrites() : kOk;
}

Result HeldWrites::Finish() {
    if (backend_ == nullptr) return kOk;
    transport::Backend* backend = backend_;
    backend_ = nullptr;
    return backend->ReleaseWrites();
}

}  // namespace zpx::device
