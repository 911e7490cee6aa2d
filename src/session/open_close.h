#pragma once

#include <cstdint>

#include "zpx/zpx.h"

namespace zpx {

ZPX_Handle OpenController(const char* name, uint32_t* status);
uint32_t CloseController(ZPX_Handle handle);

}  // namespace zpx
