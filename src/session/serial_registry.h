// The serial-number registry that the user's processes share: for every controller of the 51x4
// family opened since the registry was created, its working name and its two serial-number words,
// appended at the end of each open. A program asks for a controller's serial number by name; a
// name not yet recorded is opened briefly, which records it.
//
// Layout (little-endian): u32 entry count (0 to 32); 32 entries of 136 bytes (the working name,
// NUL-terminated, at most 127 characters; the first and the second serial word); 32 reserved
// bytes. Read and written only under the open lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "core/result.h"
#include "session/open_lock.h"

namespace zpx {

struct ControllerSession;

inline constexpr uint32_t kSerialEntries = 32;
inline constexpr size_t kSerialNameMax = 127;

// Step 10 of opening: entered with the open lock held twice, it owns the second hold and gives it
// back. Reads the controller's serial number when the session is free, and appends an entry while
// there is room.
void RegisterSerial(ControllerSession& s, std::string_view workingName, OpenLockHold hold);

// The two serial words recorded for the working name `name`, after a brief open that records a
// controller not yet recorded; fails with the outputs untouched.
Result PeekSerial(const char* name, uint32_t* first, uint32_t* second);

}  // namespace zpx
