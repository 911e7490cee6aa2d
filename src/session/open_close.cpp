#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "core/status.h"
#include "device/access.h"
#include "device/settle.h"
#include "platform/platform.h"
#include "session/controller_name.h"
#include "session/handle_table.h"
#include "session/host_os.h"
#include "session/lifecycle.h"
#include "session/open_close.h"
#include "session/open_lock.h"
#include "session/serial_registry.h"
#include "transport/driver_backend.h"
#include "transport/lan_backend.h"
#include "transport/open_slot.h"
#include "transport/vxi_backend.h"

namespace zpx {

namespace {

constexpr size_t kEthernetAddressMax = 31;

// One row per kernel-driver back-end.
struct DriverBackEnd {
    BackEndPrefix prefix;
    ControllerFamily family;
    InterfaceKind kind;
    uint32_t chunkSize;
    const char* legacyPath;   // null: the back-end has no legacy path (FireWire)
    const char* indexedPath;  // printf pattern with the device index
    transport::OpenCounter counter;
};

constexpr DriverBackEnd kDriverBackEnds[] = {
    {BackEndPrefix::kIsa, kFamily5120, kInterfaceIsa, 4096, "\\\\.\\isa5120.VXD",
     "\\\\.\\isa5120_%d", transport::kCounterIsa},
    {BackEndPrefix::kPci, kFamily5120, kInterfacePci, 4096, "\\\\.\\Pci5120.VXD",
     "\\\\.\\PCI5120_%d", transport::kCounterPci},
    {BackEndPrefix::kUsb, kFamily5120, kInterfaceUsb, 4096, "\\\\.\\Usb5120", "\\\\.\\Usb5120_%d",
     transport::kCounterUsb},
    {BackEndPrefix::kPci, kFamily51x4, kInterfacePci, 4096, "\\\\.\\Pci51x4.VXD",
     "\\\\.\\PCI51X4EX_%d", transport::kCounterPci},
    {BackEndPrefix::kUsb, kFamily51x4, kInterfaceUsb, 131072, "\\\\.\\Usb51x4",
     "\\\\.\\Usb51x4EX_%d", transport::kCounterUsb},
    // FireWire has no legacy path, so its counter is never taken.
    {BackEndPrefix::kFw, kFamily5120, kInterfaceFireWire, 16384, nullptr, "\\\\.\\Fw51x4_%d",
     transport::kCounterUsb},
    {BackEndPrefix::kFw, kFamily51x4, kInterfaceFireWire, 16384, nullptr, "\\\\.\\Fw51x4_%d",
     transport::kCounterUsb},
};

constexpr const char* kIsaUnindexedPath = "\\\\.\\isa5120";
constexpr const char* kPciDefaultName = "PCI0,5120";
constexpr const char* kIsaDefaultName = "ISA0,5120";

const DriverBackEnd* FindDriverBackEnd(BackEndPrefix prefix, ControllerFamily family) {
    for (const DriverBackEnd& row : kDriverBackEnds) {
        if (row.prefix == prefix && row.family == family) return &row;
    }
    return nullptr;
}

bool EndsWith(const char* text, const char* suffix) {
    const size_t n = std::strlen(text);
    const size_t m = std::strlen(suffix);
    return n >= m && std::strcmp(text + n - m, suffix) == 0;
}

void Rename(ControllerSession& s, const char* name) {
    std::snprintf(s.name, sizeof s.name, "%s", name);
}

uint32_t OpenDriverBackEnd(ControllerSession& s, const DriverBackEnd& row,
                           std::string_view afterPrefix) {
    s.interfaceKind = row.kind;

    bool empty = false;
    if (!ParseDeviceIndex(afterPrefix, &s.deviceIndex, &empty)) return kStatusInvalid;
    if (empty && row.kind == kInterfacePci && row.family == kFamily5120) Rename(s, kPciDefaultName);

    if (row.kind == kInterfaceUsb && !HostOsClass(kOsSupportsUsb)) return kStatusNoUsb;

    platform::Devices& p = platform::Use<platform::Devices>();
    uint32_t lastError = 0;
    std::unique_ptr<platform::DriverDevice> device;
    std::unique_ptr<transport::OpenSlot> slot;
    if (row.legacyPath != nullptr && HostOsClass(kOsIsOldestGeneration)) {
        if (s.deviceIndex != 0) return kStatusLegacyIndex;
        // The slot goes back when the back-end holding it goes, or at once if the open fails.
        slot = transport::OpenSlot::Take(row.counter);
        if (!slot) return kStatusCannotOpen;
        s.deviceIndex = -1;
        const auto mode = EndsWith(row.legacyPath, ".VXD")
                              ? platform::DriverOpenMode::kDynamicLegacy
                              : platform::DriverOpenMode::kExisting;
        device = p.OpenDriver(row.legacyPath, mode, &lastError);
        if (!device) {
            if (row.kind == kInterfaceUsb && lastError == platform::kDeviceBusyError) {
                return kStatusDeviceBusy;
            }
            return kStatusCannotOpen;
        }
    } else {
        if ((row.kind == kInterfacePci || row.kind == kInterfaceIsa) &&
            !HostOsClass(kOsRunsIndexedDrivers)) {
            return kStatusOsUnsupported;
        }
        std::string path;
        if (row.kind == kInterfaceIsa && s.deviceIndex == 0) {
            path = kIsaUnindexedPath;
            Rename(s, kIsaDefaultName);
        } else {
            char buffer[64];
            std::snprintf(buffer, sizeof buffer, row.indexedPath, s.deviceIndex);
            path = buffer;
        }
        device = p.OpenDriver(path, platform::DriverOpenMode::kExisting, &lastError);
        if (!device) {
            return lastError == platform::kDeviceBusyError ? kStatusDeviceBusy : kStatusCannotOpen;
        }
    }
    s.backend = std::make_unique<transport::DriverBackend>(row.kind, row.chunkSize,
                                                           std::move(device), std::move(slot));
    return kStatusOk;
}

uint32_t OpenEthernetBackEnd(ControllerSession& s, std::string_view address) {
    s.interfaceKind = kInterfaceEthernet;
    if (address.size() > kEthernetAddressMax) return kStatusInvalid;
    uint32_t ip = 0;
    // An address that does not parse cannot be connected to, as with a refused connection.
    if (!ParseIpv4(address, &ip)) return kStatusFailed;
    auto socket = platform::Use<platform::Network>().ConnectTcp(ip, transport::kLanPort,
                                                                transport::kLanSendLimitMs);
    if (!socket) return kStatusFailed;
    s.backend = std::make_unique<transport::LanBackend>(std::move(socket), ip);
    platform::Use<platform::Clock>().SleepMs(1);
    return kStatusOk;
}

// The VXI address text, read the way "%u%c%u%1s" reads it: empty or blank for board 0 at
// logical address 8; "board" alone; "board,address"; or ",address" right behind the prefix.
// Board 0 to 199, address 1 to 255.
//
// Each number is one "%u" field (ScanUnsigned), and only then are the ranges checked.
bool ParseVxiAddress(std::string_view text, uint32_t* board, uint32_t* address) {
    size_t i = 0;
    auto skipSpace = [&] {
        while (i < text.size() && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r')))
            ++i;
    };
    auto number = [&](uint32_t* out) { return ScanUnsigned(text, &i, out); };
    auto atEnd = [&] {
        skipSpace();
        return i == text.size();
    };
    *board = 0;
    *address = 8;
    if (atEnd()) return true;
    i = 0;
    if (number(board)) {
        if (i < text.size()) {
            const char separator = text[i++];
            if (separator != ',' || !number(address) || !atEnd()) return false;
        }
    } else {
        i = 0;
        if (text[i++] != ',' || !number(address) || !atEnd()) return false;
    }
    return *board <= 199 && *address >= 1 && *address <= 255;
}

uint32_t OpenVxiController(ControllerSession& s, std::string_view addressText) {
    s.interfaceKind = kInterfaceVxi;
    s.deviceIndex = -1;
    uint32_t board = 0;
    uint32_t address = 0;
    if (!ParseVxiAddress(addressText, &board, &address)) return kStatusInvalid;
    uint32_t status = kStatusFailed;
    s.backend = transport::VxiBackend::Open(static_cast<uint16_t>(board),
                                            static_cast<uint16_t>(address), &status);
    return s.backend ? kStatusOk : status;
}

}  // namespace

uint32_t OpenBackEnd(ControllerSession& s, std::string_view working, ControllerFamily family) {
    size_t prefixLength = 0;
    const BackEndPrefix prefix = MatchPrefix(working, family, &prefixLength);
    const std::string_view rest = working.substr(prefixLength);
    switch (prefix) {
        case BackEndPrefix::kNone:
            return kStatusFailed;
        case BackEndPrefix::kEth:
            return OpenEthernetBackEnd(s, rest);
        case BackEndPrefix::kVxiPci:
            return OpenVxiController(s, rest);
        default:
            return OpenDriverBackEnd(s, *FindDriverBackEnd(prefix, family), rest);
    }
}

ZPX_Handle OpenController(const char* name, uint32_t* status) {
    *status = kStatusOk;
    if (name == nullptr) {
        *status = kStatusInvalid;
        return nullptr;
    }
    // Names that do not fit the session record are refused rather than cut.
    const size_t length = strnlen(name, kNameCapacity);
    if (length >= kNameCapacity) {
        *status = kStatusInvalid;
        return nullptr;
    }
    const NameParts parts = SplitName(std::string_view(name, length));
    if (parts.working.size() > kWorkingNameMax) {
        *status = kStatusInvalid;
        return nullptr;
    }

    std::unique_ptr<ControllerSession> s(new (std::nothrow) ControllerSession);
    if (!s) {
        *status = kStatusNotAvailable;
        return nullptr;
    }
    std::memcpy(s->name, name, length);
    s->name[length] = '\0';

    const OpenLockHold hold = OpenLockHold::Take();
    if (!hold) {
        // Another process holds the open lock beyond all reason; refuse rather than hand out a
        // session that could never serve a call.
        *status = kStatusCannotOpen;
        return nullptr;
    }

    const uint32_t opened = OpenBackEnd(*s, parts.working, parts.family);
    if (opened != kStatusOk) {
        *status = opened;
        return nullptr;
    }
    s->family = parts.family;
    if (IdentifyController(*s).failed()) {
        *status = kStatusCannotOpen;
        return nullptr;
    }
    // A failed restore leaves the copies at 0; the controller still serves.
    (void)RestoreStatusRegisters(*s);
    s->inUse.store(1, std::memory_order_release);
    // Controllers of the 51x4 family are recorded with their serial numbers; the registration
    // is handed a second hold of the lock and gives it back.
    if (s->family == kFamily51x4) {
        if (OpenLockHold second = OpenLockHold::Take()) {
            RegisterSerial(*s, parts.working, std::move(second));
        }
    }
    ZPX_Handle handle = handle_table::Publish(std::move(s));
    if (handle == nullptr) *status = kStatusNotAvailable;  // the table is full, the session gone
    return handle;
}

uint32_t CloseController(ZPX_Handle handle) {
    // From here no call enters the session, and none is inside it.
    std::unique_ptr<ControllerSession> s = handle_table::Retire(handle);
    if (!s) return kStatusNullHandle;
    if (s->interfaceKind >= kInterfaceIsa && s->interfaceKind <= kInterfaceFireWire) {
        uint32_t ignored = 0;
        (void)device::ReadRegister(*s, transport::kPodPowerRegister, &ignored);
    }
    s->controllerInfo.reset();
    for (uint32_t code : {kSettleStart, kSettlePodPower, kSettleClock, kSettleTapVoltage,
                          kSettleStopped, kSettleReset}) {
        (void)AwaitSettle(*s, code);
    }
    // The back-end goes first; what it knew of its driver decides where the registers are kept.
    const uint32_t legacyDriver = s->backend->legacyDriver();
    s->backend.reset();
    (void)SaveStatusRegisters(*s, legacyDriver);
    // Node by node, so that the list's length never turns into the depth of a recursion.
    while (s->tapInfoList)
        s->tapInfoList = std::move(s->tapInfoList->next);
    s->tapTypes.reset();
    s->tapCount = 0;
    return kStatusOk;
}

}  // namespace zpx
