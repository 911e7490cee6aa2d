#include "info/identity.h"
#include "session/lifecycle.h"
#include "transport/registers.h"

namespace zpx {

using transport::kSelectRegister;

int32_t ModelFromIdentityByte(uint32_t value) {
    static constexpr int32_t kModelOfBits[4] = {3, 1, 2, 1};
    return kModelOfBits[(value >> 2) & 3];
}

Result IdentifyController(ControllerSession& s) {
    switch (s.interfaceKind) {
        case kInterfaceIsa:
        case kInterfaceVxi:
            s.controllerType = 0;
            s.legacyDriver = 1;
            break;
        case kInterfaceEthernet:
        case kInterfaceFireWire:
            s.controllerType = 1;
            s.legacyDriver = 0;
            break;
        case kInterfacePci:
        case kInterfaceUsb: {
            uint32_t answer = 0;
            if (transport::QueryDriverId(s, &answer).failed()) {
                // An older driver that does not know the request serves a 5120-family controller.
                s.controllerType = 0;
                s.legacyDriver = 1;
                break;
            }
            s.legacyDriver = 0;
            const uint32_t id = answer >> 16;
            if (id == kDriverId51x4) {
                s.controllerType = 1;
            } else if (id == kDriverId5120) {
                s.controllerType = 0;
            } else {
                s.controllerType = -1;
                return kFail;
            }
            break;
        }
        default:
            return kFail;
    }
    if (s.controllerType == 1) {
        uint32_t value = 0;
        if (info::ReadIdentityByte(s, &value).failed()) return kFail;
        s.controllerType = ModelFromIdentityByte(value);
    }
    return kOk;
}

}  // namespace zpx
