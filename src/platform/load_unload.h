// The work done when a process loads and unloads the library, run by the operating-system
// layer's own hooks (a constructor and destructor of the shared object, or the DLL entry point).
#pragma once

namespace zpx::platform {

// Attaches to the objects the user's processes share (the open counters, the open lock, the
// serial registry), creating them when this is the first process. False when the process cannot
// use the library: the caller then refuses the load where the system lets it, after Unload.
bool OnLoad();
// Lets go of the shared objects.
void OnUnload();

}  // namespace zpx::platform
