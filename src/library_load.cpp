// Work done when a process loads and unloads the shared library: attaching to the objects the
// user's processes share (the open counters, the open lock, the serial registry), creating them
// when this is the first process, and letting go of them again.
#include "platform/platform.h"

namespace {

__attribute__((constructor)) void OnLibraryLoad() {
    // A process that cannot attach still loads; its opens then fail as the lock is missing.
    (void)zpx::platform::Current().AttachShared();
}

__attribute__((destructor)) void OnLibraryUnload() {
    zpx::platform::Current().DetachShared();
}

}  // namespace
