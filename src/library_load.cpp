// Work done when a process loads and unloads the shared library. The cross-process objects are
// attached on first use; loading only makes sure that happens before any export runs.
#include "platform/platform.h"

namespace {

__attribute__((constructor)) void OnLibraryLoad() {
    // Attaching the shared objects early means a process's first open does not pay for it.
    zpx::platform::Platform& p = zpx::platform::Current();
    if (p.LockOpen(0)) p.UnlockOpen();
}

}  // namespace
