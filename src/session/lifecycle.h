// The stages of opening and closing a controller that live in the session layer.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "core/result.h"
#include "session/session.h"

namespace zpx {

// Back-end dispatch of opening: 0, or the status code the open reports.
uint32_t OpenBackEnd(ControllerSession& s, std::string_view working, ControllerFamily family);

// Settles controllerType and legacyDriver right after the back-end is open.
Result IdentifyController(ControllerSession& s);

// The driver-id answer: upper 16 bits tell the family.
inline constexpr uint32_t kDriverId51x4 = 0x9030;
inline constexpr uint32_t kDriverId5120 = 0x9050;
// Decodes bits 3..2 of register 3 (select 0) into the 51x4 model.
int32_t ModelFromIdentityByte(uint32_t value);

// Register 1 and register 2 are restored at open and, where the status file keeps them, saved at
// close.
Result RestoreStatusRegisters(ControllerSession& s);
Result SaveStatusRegisters(ControllerSession& s);

// "KVCtrl.dat" beside the library: the library path up to its last 'Z' replaced by the file
// name. Empty when the path holds no 'Z'.
std::string StatusFilePath(const std::string& libraryPath);

}  // namespace zpx
