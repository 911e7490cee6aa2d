#include "device/access.h"
#include "device/controller_session.h"
#include "device/identity.h"
#include "session/lifecycle.h"

namespace zpx {

Result IdentifyController(ControllerSession& s) {
    device::DriverIdentity identity{};
    switch (s.backEndRow->identification) {
        case transport::Identification::k5120Board:
            identity = {0, 1};
            break;
        case transport::Identification::k51x4Path:
            identity = {1, 0};
            break;
        case transport::Identification::kAskDriver:
            identity = device::AskDriverIdentity(s);
            break;
    }
    s.controllerType = identity.controllerType;
    s.backend->SetLegacyDriver(identity.legacyDriver);
    if (s.controllerType < 0) return kFail;
    if (s.controllerType == 1) {
        uint32_t value = 0;
        if (device::ReadIdentityByte(s, &value).failed()) return kFail;
        s.controllerType = device::ModelFromIdentityByte(value);
    }
    s.backend->SetControllerType(s.controllerType);
    return kOk;
}

}  // namespace zpx
