// The unit tests' fake platform (tests/unit/fake_platform.h), installed for one fuzz run.
#pragma once

#include "fake_platform.h"
#include "fuzz_support.h"
#include "platform/platform.h"

namespace zpx::fuzz {

// A fake platform installed for every facility for the object's lifetime. Each run gets a fresh
// one, so no state of one input leaks into the next and every finding replays from its input
// alone.
using testing::InstalledPlatform;

}  // namespace zpx::fuzz
