#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

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

bool OpenBackEnd(ControllerSession& s, std::string_view working, ControllerFamily family,
                 transport::OpenFailure* failure) {
    size_t prefixLength = 0;
    const transport::BackEndRow* row = transport::FindBackEnd(working, family, &prefixLength);
    if (row == nullptr) {
        *failure = transport::OpenFailure::kFailed;
        return false;
    }
    s.interfaceKind = row->kind;
    s.backEndRow = row;
    transport::OpenedBackEnd opened;
    if (!row->open(*row, working.substr(prefixLength), &opened, failure)) return false;
    s.deviceIndex = opened.deviceIndex;
    s.backend = std::move(opened.backend);
    if (opened.name != nullptr) std::snprintf(s.name, sizeof s.name, "%s", opened.name);
    return true;
}

ZPX_Handle OpenController(const char* name, OpenFailure* failure) {
    auto refuse = [&](OpenFailure why) -> ZPX_Handle {
        *failure = why;
        return nullptr;
    };
    if (name == nullptr) return refuse(OpenFailure::kBadName);
    // Names that do not fit the session record are refused rather than cut.
    const size_t length = strnlen(name, kNameCapacity);
    if (length >= kNameCapacity) return refuse(OpenFailure::kBadName);
    const NameParts parts = SplitName(std::string_view(name, length));
    if (parts.working.size() > kWorkingNameMax) return refuse(OpenFailure::kBadName);

    auto s = std::make_unique<ControllerSession>();
    std::memcpy(s->name, name, length);
    s->name[length] = '\0';

    // Another process that holds the open lock beyond all reason: refuse rather than hand out a
    // session that could never serve a call.
    const OpenLockHold hold = OpenLockHold::Take();
    if (!hold) return refuse(OpenFailure::kCannotOpen);
    if (!OpenBackEnd(*s, parts.working, parts.family, failure)) return nullptr;
    s->family = parts.family;
    if (IdentifyController(*s).failed()) return refuse(OpenFailure::kCannotOpen);
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
    // A full table: the session is gone again.
    return handle != nullptr ? handle : refuse(OpenFailure::kNoRoom);
}

bool CloseController(ZPX_Handle handle) {
    // From here no call enters the session, and none is inside it.
    std::unique_ptr<ControllerSession> s = handle_table::Retire(handle);
    if (!s) return false;
    uint32_t ignored = 0;
    // Only the request matters: the driver learns that the session ends.
    (void)device::ReadRegister(*s, transport::kPodPowerRegister, &ignored);
    s->controllerInfo.reset();
    for (uint32_t code : {kSettleStart, kSettlePodPower, kSettleClock, kSettleTapVoltage,
                          kSettleStopped, kSettleReset}) {
        AwaitSettle(*s, code);
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
    return true;
}

}  // namespace zpx
