// The loader's process attach and detach notifications run the library's load and unload work.
#include <windows.h>

#include "platform/load_unload.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
    switch (reason) {
        case DLL_PROCESS_ATTACH:
            if (zpx::platform::OnLoad()) return TRUE;
            // A refused load lets go of whatever it did attach.
            zpx::platform::OnUnload();
            return FALSE;
        case DLL_PROCESS_DETACH:
            zpx::platform::OnUnload();
            return TRUE;
        default:  // thread attach and detach do nothing
            return TRUE;
    }
}
