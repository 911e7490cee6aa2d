#include "transport/driver_backend.h"

#include <cstdio>
#include <cstring>
#include <new>
#include <string>

#include "core/bytes.h"
#include "transport/backend_table.h"
#include "transport/counters.h"
#include "transport/driver_requests.h"
#include "transport/host_os.h"
#include "transport/memory.h"
#include "transport/name_text.h"

namespace zpx::transport {

namespace {

constexpr DriverRegisterMap kIsaMap = {
    .read = {{0, 4, false}, {1, 4, false}, {2, 4, false}, {3, 4, false}, {0, 0, true}},
    .wordLow = 3,
    .wordHigh = 4,
    .wordInOneRead = false,
    .clockRead = {{30, 4, false}, {31, 4, false}},
    .clockWrite = {30, 31},
    .roundsWritesOn51x4 = false,
    .configuration = ConfigurationPath::kNone,
};
constexpr DriverRegisterMap kPciMap = {
    .read = {{0, 4, false}, {1, 4, false}, {2, 4, false}, {3, 4, false}, {0x0B, 4, false}},
    .wordLow = 4,
    .wordHigh = 5,
    .wordInOneRead = false,
    .clockRead = {{6, 4, false}, {7, 4, false}},
    .clockWrite = {6, 7},
    .roundsWritesOn51x4 = false,
    .configuration = ConfigurationPath::kNone,
};
constexpr DriverRegisterMap kUsbMap = {
    .read = {{0, 4, false}, {1, 4, false}, {2, 4, false}, {3, 4, false}, {0x0B, 4, false}},
    .wordLow = 4,
    .wordHigh = 5,
    .wordInOneRead = false,
    .clockRead = {{6, 4, false}, {7, 4, false}},
    .clockWrite = {6, 7},
    .roundsWritesOn51x4 = true,
    .configuration = ConfigurationPath::kRequests,
};
// The FireWire driver answers a read with four consecutive registers in bytes 4 to 7, so the
// clock registers come from a read of register 4; writes go to single registers.
constexpr DriverRegisterMap kFireWireMap = {
    .read = {{0, 4, false}, {0, 5, false}, {0, 6, false}, {0, 7, false}, {8, 7, false}},
    .wordLow = 4,
    .wordHigh = 5,
    .wordInOneRead = true,
    .clockRead = {{4, 6, false}, {4, 7, false}},
    .clockWrite = {6, 7},
    .roundsWritesOn51x4 = false,
    .configuration = ConfigurationPath::kAnnounce,
};

// Index of a clock register in DriverRegisterMap::clockRead, or -1.
int ClockRegisterIndex(uint32_t reg) {
    if (reg == kClockValueRegister) return 0;
    if (reg == kClockRangeRegister) return 1;
    return -1;
}

// Index of a byte register in DriverRegisterMap::read, or -1.
int ByteRegisterIndex(uint32_t reg) {
    if (reg <= kSelectRegister) return static_cast<int>(reg);
    if (reg == kPodPowerRegister) return 4;
    return -1;
}

bool EndsWith(const char* text, const char* suffix) {
    const size_t n = std::strlen(text);
    const size_t m = std::strlen(suffix);
    return n >= m && std::strcmp(text + n - m, suffix) == 0;
}

}  // namespace

bool OpenDriverBackEnd(const BackEndRow& row, std::string_view rest, OpenedBackEnd* opened,
                       OpenFailure* failure) {
    const DriverPaths& paths = *row.driver;
    auto fail = [&](OpenFailure why) {
        *failure = why;
        return false;
    };
    bool empty = false;
    if (!ParseDeviceIndex(rest, &opened->deviceIndex, &empty)) return fail(OpenFailure::kBadName);
    if (empty) opened->name = paths.unnumberedName;
    if (paths.needsUsbSupport && !HostOsClass(kOsSupportsUsb)) return fail(OpenFailure::kNoUsb);

    platform::Devices& p = platform::Use<platform::Devices>();
    uint32_t lastError = 0;
    std::unique_ptr<platform::DriverDevice> device;
    std::unique_ptr<OpenSlot> slot;
    if (paths.legacyPath != nullptr && HostOsClass(kOsIsOldestGeneration)) {
        if (opened->deviceIndex != 0) return fail(OpenFailure::kLegacyIndex);
        // The slot goes back when the back-end holding it goes, or at once if the open fails.
        slot = OpenSlot::Take(paths.counter);
        if (!slot) return fail(OpenFailure::kCannotOpen);
        opened->deviceIndex = -1;
        const auto mode = EndsWith(paths.legacyPath, ".VXD")
                              ? platform::DriverOpenMode::kDynamicLegacy
                              : platform::DriverOpenMode::kExisting;
        device = p.OpenDriver(paths.legacyPath, mode, &lastError);
        if (!device) {
            const bool busy = paths.legacyBusyIsBusy && lastError == platform::kDeviceBusyError;
            return fail(busy ? OpenFailure::kDeviceBusy : OpenFailure::kCannotOpen);
        }
    } else {
        if (paths.needsIndexedDrivers && !HostOsClass(kOsRunsIndexedDrivers)) {
            return fail(OpenFailure::kOsUnsupported);
        }
        std::string path;
        if (paths.indexZeroPath != nullptr && opened->deviceIndex == 0) {
            path = paths.indexZeroPath;
            opened->name = paths.indexZeroName;
        } else {
            char buffer[64];
            std::snprintf(buffer, sizeof buffer, paths.indexedPath, opened->deviceIndex);
            path = buffer;
        }
        device = p.OpenDriver(path, platform::DriverOpenMode::kExisting, &lastError);
        if (!device) {
            return fail(lastError == platform::kDeviceBusyError ? OpenFailure::kDeviceBusy
                                                                : OpenFailure::kCannotOpen);
        }
    }
    opened->backend = std::make_unique<DriverBackend>(row.kind, row.chunkSize, std::move(device),
                                                      std::move(slot));
    return true;
}

const DriverRegisterMap& RegisterMapFor(InterfaceKind kind) {
    switch (kind) {
        case kInterfaceIsa:
            return kIsaMap;
        case kInterfaceUsb:
            return kUsbMap;
        case kInterfaceFireWire:
            return kFireWireMap;
        default:
            return kPciMap;
    }
}

void TransferBuffer::Reserve(uint32_t bytes) {
    if (capacity >= bytes) return;
    // A failed allocation throws before anything changed: the old buffer stays.
    data = std::make_unique_for_overwrite<uint8_t[]>(bytes);
    capacity = bytes;
}

// A driver's legacy state is known only once identification has asked it.
DriverBackend::DriverBackend(InterfaceKind kind, uint32_t chunkSize,
                             std::unique_ptr<platform::DriverDevice> device,
                             std::unique_ptr<OpenSlot> slot)
    : Backend(chunkSize, 1),
      map_(RegisterMapFor(kind)),
      slot_(std::move(slot)),
      deviceHandle_(std::move(device)) {}

Result DriverBackend::DriverRequest(uint32_t code, const void* in, uint32_t inLength, void* out,
                                    uint32_t outLength) {
    if (!deviceHandle_) return kFail;
    return deviceHandle_->Request(code, in, inLength, out, outLength) ? kOk : kFail;
}

Result DriverBackend::QueryDriverId(uint32_t* answer) {
    uint8_t request[4] = {};
    if (DriverRequest(kDriverIdQuery, request, 4, request, 4).failed()) return kFail;
    *answer = GetU32(request);
    return kOk;
}

Result DriverBackend::QueryStatusRegisters(uint32_t* register1, uint32_t* register2) {
    uint8_t request[8] = {};
    if (DriverRequest(kStatusRegisterQuery, request, 8, request, 8).failed()) return kFail;
    *register1 = GetU32(request);
    *register2 = GetU32(request + 4);
    return kOk;
}

Result DriverBackend::QueryPodSense(uint32_t* answer) {
    uint8_t request[4] = {};
    if (DriverRequest(kPodSenseQuery, request, 4, request, 4).failed()) return kFail;
    *answer = GetU32(request);
    return kOk;
}

bool DriverBackend::CarriesConfiguration() const {
    return map_.configuration != ConfigurationPath::kNone;
}

Result DriverBackend::ConfigWrite(const LanPacket& packet) {
    if (map_.configuration != ConfigurationPath::kRequests) return kFail;
    return DriverRequest(kRequestConfigWrite, packet.bytes, LanPacket::kSize, nullptr, 0);
}

Result DriverBackend::ConfigRead(LanPacket& packet) {
    if (map_.configuration != ConfigurationPath::kRequests) return kFail;
    return DriverRequest(kRequestConfigRead, packet.bytes, LanPacket::kSize, packet.bytes,
                         LanPacket::kSize);
}

Result DriverBackend::UploadImage(LanPacket& header, const uint8_t* image, uint32_t length,
                                  uint32_t* verdict) {
    if (map_.configuration == ConfigurationPath::kAnnounce) {
        // The announcement alone: the driver's acceptance is the whole verdict.
        const uint8_t announcement[LanPacket::kSize] = {};
        if (DriverRequest(kRequestConfigWrite, announcement, LanPacket::kSize, nullptr, 0)
                .failed()) {
            return kFail;
        }
        *verdict = 0;
        return kOk;
    }
    if (map_.configuration != ConfigurationPath::kRequests) return kFail;
    if (ConfigWrite(header).failed()) return kFail;
    const uint32_t chunk = chunkSize();
    transferBuffer_.Reserve(chunk + kMemoryRequestOverhead);
    uint8_t* piece = transferBuffer_.data.get();
    PutU32(piece, 0);
    PutU32(piece + 4, 0);
    for (uint32_t offset = 0; offset < length; offset += chunk) {
        const uint32_t count = length - offset < chunk ? length - offset : chunk;
        PutU32(piece + 8, count);
        std::memcpy(piece + kMemoryRequestDataOffset, image + offset, count);
        if (DriverRequest(kRequestImagePiece, piece, count + kMemoryRequestOverhead, nullptr, 0)
                .failed()) {
            return kFail;
        }
    }
    // The controller's verdict comes back in the header's place.
    if (DriverRequest(kRequestConfigRead, nullptr, 0, header.bytes, LanPacket::kSize).failed()) {
        return kFail;
    }
    *verdict = header.data0();
    return kOk;
}

Result DriverBackend::RegisterExchange(uint32_t code, uint32_t driverRegister, uint32_t value,
                                       uint8_t reply[8]) {
    PutU32(reply, driverRegister);
    PutU32(reply + 4, value);
    return DriverRequest(code, reply, 8, reply, 8);
}

Result DriverBackend::ReadRegister(uint32_t reg, uint32_t* value) {
    const int index = ByteRegisterIndex(reg);
    if (index < 0) return kFail;
    const RegisterRoute& route = map_.read[index];
    if (route.refused) return kFail;
    uint8_t request[8];
    if (RegisterExchange(kRequestRegisterRead, route.request, 0, request).failed()) return kFail;
    *value = request[route.replyByte];
    return kOk;
}

Result DriverBackend::WriteRegister(uint32_t reg, uint32_t value, uint32_t) {
    if (ByteRegisterIndex(reg) < 0) return kFail;
    uint8_t request[8];
    return RegisterExchange(kRequestRegisterWrite, reg, value, request);
}

Result DriverBackend::ReadRegisterWord(uint32_t* value) {
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

Result DriverBackend::WriteRegisterWord(uint32_t value) {
    uint8_t request[8];
    if (RegisterExchange(kRequestRegisterWrite, map_.wordLow, value & 0xFF, request).failed()) {
        return kFail;
    }
    return RegisterExchange(kRequestRegisterWrite, map_.wordHigh, (value >> 8) & 0xFF, request);
}

Result DriverBackend::ReadClockRegister(uint32_t reg, uint32_t* value) {
    const int index = ClockRegisterIndex(reg);
    if (index < 0) return kFail;
    const RegisterRoute& route = map_.clockRead[index];
    uint8_t request[8];
    if (RegisterExchange(kRequestRegisterRead, route.request, 0, request).failed()) return kFail;
    *value = request[route.replyByte];
    return kOk;
}

Result DriverBackend::WriteClockRegister(uint32_t reg, uint32_t value) {
    const int index = ClockRegisterIndex(reg);
    if (index < 0) return kFail;
    uint8_t request[8];
    return RegisterExchange(kRequestRegisterWrite, map_.clockWrite[index], value & 0xFF, request);
}

Result DriverBackend::WriteCounter(uint32_t counter, uint32_t value) {
    uint8_t request[8];
    if (legacyDriver() != 0) {
        // Older drivers: the immediate address counter has a request of its own, every other
        // counter goes through the set-address request by select.
        if (counter == kImmediateWriteCounter) {
            PutU32(request, value);
            return DriverRequest(kRequestWriteImmAddr, request, 4, nullptr, 0);
        }
        PutU32(request, LegacyCounterSelect(counter));
        PutU32(request + 4, value);
        return DriverRequest(kRequestSetAddress, request, 8, nullptr, 0);
    }
    // Current drivers take the counter number as it is.
    PutU32(request, counter);
    PutU32(request + 4, value);
    return DriverRequest(kRequestCounterWrite, request, 8, request, 8);
}

Result DriverBackend::ReadCounter(uint32_t counter, uint32_t* value) {
    if (legacyDriver() != 0) {
        // Older drivers can read back only the immediate address counter.
        if (counter != kImmediateReadCounter) return kOk;
        uint8_t request[4] = {};
        if (DriverRequest(kRequestReadImmAddr, request, 4, request, 4).failed()) return kFail;
        *value = GetU32(request);
        return kOk;
    }
    uint8_t request[8];
    PutU32(request, counter);
    PutU32(request + 4, 0);
    if (DriverRequest(kRequestCounterRead, request, 8, request, 8).failed()) return kFail;
    *value = GetU32(request + 4);
    return kOk;
}

}  // namespace zpx::transport
