// A test program's calls on an open session, chosen by the fuzz input: the reply fuzzers open a
// controller whose answers come from the input and then run these.
#pragma once

#include <cstdint>

#include "fuzz_support.h"
#include "zpx/zpx.h"

namespace zpx::fuzz {

// The calls, read from `calls` to its end: records of one byte choosing the export family and two
// little-endian u32 arguments (9 bytes a record). Every output is a
// variable or an exactly sized buffer of the caller, so AddressSanitizer sees a write past it.
// Records the library hands out are walked as far as they say they reach. The caller's own
// DeviceInfo and any record the library created are released before returning; the handle stays
// open.
void RunExports(ZPX_Handle handle, ByteReader& calls);

// A whole session: opens `name`, runs the calls of `calls` (as RunExports does) and closes it.
// False when the open failed, which ends a fuzz case quietly.
bool OpenRunClose(const char* name, const uint8_t* calls, size_t callBytes);

// Bytes one call record takes.
inline constexpr size_t kCallRecordSize = 9;

}  // namespace zpx::fuzz
