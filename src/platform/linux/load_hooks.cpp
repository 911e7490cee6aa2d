// Runs the library's load and unload work when a process loads or unloads ZPX.so.
#include "platform/load_unload.h"

namespace {

__attribute__((constructor)) void OnLibraryLoad() {
    // A shared object cannot refuse its load: a process that could not attach still loads, and
    // its opens then fail as the open lock is missing.
    (void)zpx::platform::OnLoad();
}

__attribute__((destructor)) void OnLibraryUnload() {
    zpx::platform::OnUnload();
}

}  // namespace
