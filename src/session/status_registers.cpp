#include <string>

#include "device/access.h"
#include "device/controller_session.h"
#include "platform/platform.h"
#include "session/lifecycle.h"

namespace zpx {

namespace {

constexpr const char* kStatusFileName = "KVCtrl.dat";
constexpr const char* kRegister1Key = "Register1";
constexpr const char* kRegister2Key = "Register2";
constexpr const char* kDefaultValue = "0";

// The profile text read as a decimal number up to its first non-digit.
uint32_t DecimalPrefix(const std::string& text) {
    uint32_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') break;
        value = value * 10 + static_cast<uint32_t>(c - '0');
    }
    return value;
}

bool KeptInStatusFile(int32_t controllerType, uint32_t legacyDriver) {
    return controllerType == 0 && legacyDriver == 1;
}

}  // namespace

std::string StatusFilePath(const std::string& libraryPath) {
    const size_t z = libraryPath.rfind('Z');
    if (z == std::string::npos) return {};
    return libraryPath.substr(0, z) + kStatusFileName;
}

Result RestoreStatusRegisters(ControllerSession& s) {
    s.register1Copy = 0;
    s.register2Copy = 0;
    if (Is51x4Model(s.controllerType)) {
        uint32_t power = 0;
        if (device::ReadRegister(s, transport::kErrorRegister, &s.register1Copy).failed() ||
            device::ReadRegister(s, transport::kPodRegister, &s.register2Copy).failed() ||
            device::ReadRegister(s, transport::kPodPowerRegister, &power).failed()) {
            return kFail;
        }
        s.extStatus = power;
        // Pod power (bit 7) and pod active (bit 6) live in register 0x0B on this family; the
        // copies carry them where the rest of the library looks for them.
        s.register1Copy = (s.register1Copy & ~0x20u) | ((power >> 2) & 0x20u);
        s.register2Copy = (s.register2Copy & ~0x01u) | ((power >> 6) & 0x01u);
        return kOk;
    }
    if (s.controllerType == 0 && s.backend->legacyDriver() == 0) {
        uint32_t register1 = 0;
        uint32_t register2 = 0;
        if (device::QueryStatusRegisters(s, &register1, &register2).ok()) {
            s.register1Copy = register1;
            s.register2Copy = register2;
        }
        return kOk;
    }
    if (KeptInStatusFile(s.controllerType, s.backend->legacyDriver())) {
        platform::Files& p = platform::Use<platform::Files>();
        const std::string file = StatusFilePath(p.LibraryPath());
        if (file.empty()) return kOk;
        s.register1Copy =
            DecimalPrefix(p.ReadProfileValue(file, s.name, kRegister1Key, kDefaultValue));
        s.register2Copy =
            DecimalPrefix(p.ReadProfileValue(file, s.name, kRegister2Key, kDefaultValue));
    }
    return kOk;
}

Result SaveStatusRegisters(ControllerSession& s, uint32_t legacyDriver) {
    if (!KeptInStatusFile(s.controllerType, legacyDriver)) return kOk;
    platform::Files& p = platform::Use<platform::Files>();
    const std::string file = StatusFilePath(p.LibraryPath());
    if (file.empty()) return kOk;
    // A failed write loses only this session's copies; closing goes on regardless.
    (void)p.WriteProfileValue(file, s.name, kRegister1Key, std::to_string(s.register1Copy));
    (void)p.WriteProfileValue(file, s.name, kRegister2Key, std::to_string(s.register2Copy));
    return kOk;
}

}  // namespace zpx
