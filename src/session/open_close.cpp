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
#include "session/lifecycle.h"
#include "session/open_close.h"
#include "session/open_lock.h"
#include "session/serial_registry.h"
#include "transport/backend_table.h"

namespace zpx {

namespace {

// The status code of ZPX_OpenController for each reason a back-end did not open.
uint32_t StatusOf(transport::OpenFailure failure) {
    using enum transport::OpenFailure;
    switch (failure) {
        case kFailed:
            return kStatusFailed;
        case kBadName:
            return kStatusInvalid;
        case kNoMemory:
            return kStatusNotAvailable;
        case kCannotOpen:
            return kStatusCannotOpen;
        case kLegacyIndex:
            return kStatusLegacyIndex;
        case kNoUsb:
            return kStatusNoUsb;
        case kOsUnsupported:
            return kStatusOsUnsupported;
        case kDeviceBusy:
            return kStatusDeviceBusy;
    }
    return kStatusFailed;
}

}  // namespace

uint32_t OpenBackEnd(ControllerSession& s, std::string_view working, ControllerFamily family) {
    size_t prefixLength = 0;
    const transport::BackEndRow* row = transport::FindBackEnd(working, family, &prefixLength);
    if (row == nullptr) return kStatusFailed;
    s.interfaceKind = row->kind;
    s.backEndRow = row;
    transport::OpenedBackEnd opened;
    transport::OpenFailure failure = transport::OpenFailure::kFailed;
    if (!row->open(*row, working.substr(prefixLength), &opened, &failure)) {
        return StatusOf(failure);
    }
    s.deviceIndex = opened.deviceIndex;
    s.backend = std::move(opened.backend);
    if (opened.name != nullptr) std::snprintf(s.name, sizeof s.name, "%s", opened.name);
    return kStatusOk;
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
    uint32_t ignored = 0;
    // Only the request matters: the driver learns that the session ends.
    (void)device::ReadRegister(*s, transport::kPodPowerRegister, &ignored);
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
