#include "transport/driver_backend.h"

#include "core/bytes.h"
#include "transport/driver_requests.h"

namespace zpx::transport {

namespace {

constexpr DriverRegisterMap kIsaMap = {
    {{0, 4, false}, {1, 4, false}, {2, 4, false}, {3, 4, false}, {0, 0, true}}, 3, 4, false};
constexpr DriverRegisterMap kPciUsbMap = {
    {{0, 4, false}, {1, 4, false}, {2, 4, false}, {3, 4, false}, {0x0B, 4, false}}, 4, 5, false};
// The FireWire driver answers a read with four consecutive registers in bytes 4 to 7.
constexpr DriverRegisterMap kFireWireMap = {
    {{0, 4, false}, {0, 5, false}, {0, 6, false}, {0, 7, false}, {8, 7, false}}, 4, 5, true};

// Index of a byte register in DriverRegisterMap::read, or -1.
int ByteRegisterIndex(uint32_t reg) {
    if (reg <= kSelectRegister) return static_cast<int>(reg);
    if (reg == kPodPowerRegister) return 4;
    return -1;
}

}  // namespace

const DriverRegisterMap& RegisterMapFor(InterfaceKind kind) {
    switch (kind) {
        case kInterfaceIsa:
            return kIsaMap;
        case kInterfaceFireWire:
            return kFireWireMap;
        default:
            return kPciUsbMap;
    }
}

DriverBackend::DriverBackend(InterfaceKind kind, std::unique_ptr<platform::DriverDevice> device)
    : kind_(kind), map_(RegisterMapFor(kind)), deviceHandle_(std::move(device)) {}

Result DriverBackend::DriverRequest(uint32_t code, const void* in, uint32_t inLength, void* out,
                                    uint32_t outLength) {
    if (!deviceHandle_) return kFail;
    return deviceHandle_->Request(code, in, inLength, out, outLength) ? kOk : kFail;
}

Result DriverBackend::RegisterExchange(uint32_t code, uint32_t driverRegister, uint32_t value,
                                       uint8_t reply[8]) {
    PutU32(reply, driverRegister);
    PutU32(reply + 4, value);
    return DriverRequest(code, reply, 8, reply, 8);
}

Result DriverBackend::ReadRegister(ControllerSession&, uint32_t reg, uint32_t* value) {
    const int index = ByteRegisterIndex(reg);
    if (index < 0) return kFail;
    const RegisterRoute& route = map_.read[index];
    if (route.refused) return kFail;
    uint8_t request[8];
    if (RegisterExchange(kRequestRegisterRead, route.request, 0, request).failed()) return kFail;
    *value = request[route.replyByte];
    return kOk;
}

Result DriverBackend::WriteRegister(ControllerSession&, uint32_t reg, uint32_t value) {
    if (ByteRegisterIndex(reg) < 0) return kFail;
    uint8_t request[8];
    return RegisterExchange(kRequestRegisterWrite, reg, value, request);
}

Result DriverBackend::ReadRegisterWord(ControllerSession&, uint32_t* value) {
    uint8_t request[8];
    if (map_.wordInOneRead) {
        if (RegisterExchange(kRequestRegisterRead, map_.wordLow, 0, request).failed()) {
            return kFail;
        }
        *value = GetU32(request + 4) >> 16;
        return kOk;
    }
    if (RegisterExchange(kRequestRegisterRead, map_.wordLow, 0, request).failed()) return kFail;
    // The low byte is stored as soon as it is known, even if the high byte then fails.
    *value = request[4];
    if (RegisterExchange(kRequestRegisterRead, map_.wordHigh, 0, request).failed()) return kFail;
    *value |= static_cast<uint32_t>(request[4]) << 8;
    return kOk;
}

Result DriverBackend::WriteRegisterWord(ControllerSession&, uint32_t value) {
    uint8_t request[8];
    if (RegisterExchange(kRequestRegisterWrite, map_.wordLow, value & 0xFF, request).failed()) {
        return kFail;
    }
    return RegisterExchange(kRequestRegisterWrite, map_.wordHigh, (value >> 8) & 0xFF, request);
}

}  // namespace zpx::transport
