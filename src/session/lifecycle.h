// The stages of opening and closing a controller that live in the session layer.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "core/result.h"
#include "device/controller_session.h"

namespace zpx {

// Back-end dispatch of opening: the back-end of the name's prefix opened from the rest of it,
// or false with *failure saying why.
bool OpenBackEnd(ControllerSession& s, std::string_view working, ControllerFamily family,
                 transport::OpenFailure* failure);

// Settles controllerType, and the back-end's legacyDriver, right after the back-end is open.
Result IdentifyController(ControllerSession& s);

// Register 1 and register 2 are restored at open and, where the status file keeps them, saved at
// close.
Result RestoreStatusRegisters(ControllerSession& s);
// Closing saves them after the back-end is gone, with the legacy flag it had.
Result SaveStatusRegisters(ControllerSession& s, uint32_t legacyDriver);

// "KVCtrl.dat" beside the library: the library path up to its last 'Z' replaced by the file
// name. Empty when the path holds no 'Z'.
std::string StatusFilePath(const std::string& libraryPath);

}  // namespace zpx
