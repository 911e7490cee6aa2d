// Opening and closing a controller by name.
#pragma once

#include "transport/backend_table.h"
#include "zpx/zpx.h"

namespace zpx {

using transport::OpenFailure;

// Opens the controller `name`: its handle, or null with *failure saying why (a name that is
// missing or too long is kBadName; a lock held elsewhere for the whole wait, or a controller that
// cannot be identified, kCannotOpen; a full handle table kNoRoom).
ZPX_Handle OpenController(const char* name, OpenFailure* failure);
// Closes a live handle, in the documented order; false for a handle that is not live.
bool CloseController(ZPX_Handle handle);

}  // namespace zpx
