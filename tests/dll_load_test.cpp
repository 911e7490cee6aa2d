// Loading ZPX.dll must never wait for another process. A process holds the open lock
// "__SnrRootMtx__" for the whole of an open, which takes seconds, and a process stopped in a
// debugger holds whatever it held for as long as it stays stopped; the load work runs under the
// loader lock, so a wait there would freeze every thread of the loading program that touches the
// loader. This program takes each lock a load could meet, as another process would, starts itself
// again as a second process that loads the DLL, and fails when that load does not come back in
// time. The second process is stopped if it hangs, so the test ends either way.
#include <windows.h>

#include <cstdio>
#include <string>

#include "zpx/zpx.h"

namespace {

// The locks another process may hold while this one loads the library: the open lock, and the
// one that orders the attaches of processes loading at the same moment.
constexpr const char* kHeldLocks[] = {"__SnrRootMtx__", "zpx.attach"};
// A load that waits for a lock never comes back at all; one that does not wait takes
// milliseconds. The bound only tells the two apart.
constexpr double kLoadLimitMs = 5000;
// The whole second process, start-up included (Wine starts programs slowly), before it is
// stopped as hung.
constexpr DWORD kProcessLimitMs = 30000;
constexpr const char* kLoadArgument = "--load";

double NowMs() {
    LARGE_INTEGER frequency, now;
    ::QueryPerformanceFrequency(&frequency);
    ::QueryPerformanceCounter(&now);
    return static_cast<double>(now.QuadPart) * 1000.0 / static_cast<double>(frequency.QuadPart);
}

// The second process: loads the DLL, makes one call through it and unloads it. Exit code 0 when
// all of that came back within the bound.
int LoadAndUnload() {
    const double start = NowMs();
    const HMODULE library = ::LoadLibraryA("ZPX.dll");
    if (library == nullptr) {
        std::printf("LoadLibrary(ZPX.dll) failed with %lu\n", ::GetLastError());
        return 2;
    }
    const double loaded = NowMs() - start;
    auto version = reinterpret_cast<decltype(&ZPX_LibraryVersion)>(
        reinterpret_cast<void*>(::GetProcAddress(library, "ZPX_LibraryVersion")));
    const bool answers = version != nullptr && version(nullptr) == ZPX_STATUS_NULL_HANDLE;
    ::FreeLibrary(library);
    const double total = NowMs() - start;
    std::printf("  loaded in %.1f ms, unloaded %.1f ms after the start\n", loaded, total);
    if (!answers) {
        std::printf("  ZPX_LibraryVersion did not answer\n");
        return 3;
    }
    if (total > kLoadLimitMs) {
        std::printf("  more than %.0f ms\n", kLoadLimitMs);
        return 4;
    }
    return 0;
}

// Runs this program again with kLoadArgument; its exit code, or -1 when it had to be stopped.
long RunLoader() {
    char path[MAX_PATH];
    const DWORD length = ::GetModuleFileNameA(nullptr, path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return -2;
    std::string commandLine = "\"" + std::string(path) + "\" " + kLoadArgument;
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!::CreateProcessA(path, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                          &startup, &process)) {
        return -2;
    }
    DWORD code = 0;
    if (::WaitForSingleObject(process.hProcess, kProcessLimitMs) != WAIT_OBJECT_0) {
        ::TerminateProcess(process.hProcess, 99);
        ::WaitForSingleObject(process.hProcess, INFINITE);
        code = static_cast<DWORD>(-1);
    } else {
        ::GetExitCodeProcess(process.hProcess, &code);
    }
    ::CloseHandle(process.hThread);
    ::CloseHandle(process.hProcess);
    return static_cast<long>(code);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1 && std::string(argv[1]) == kLoadArgument) return LoadAndUnload();

    int failures = 0;
    for (const char* name : kHeldLocks) {
        const HANDLE lock = ::CreateMutexA(nullptr, FALSE, name);
        const DWORD taken = lock != nullptr ? ::WaitForSingleObject(lock, 10000) : WAIT_FAILED;
        if (taken != WAIT_OBJECT_0 && taken != WAIT_ABANDONED) {
            std::printf("dll_load_test: could not take %s to start with\n", name);
            return 1;
        }
        std::printf("%s held by this process; another process loads ZPX.dll:\n", name);
        const long code = RunLoader();
        ::ReleaseMutex(lock);
        ::CloseHandle(lock);
        if (code == -1) {
            std::printf("dll_load_test: FAIL: the load did not come back in %lu ms\n",
                        kProcessLimitMs);
        } else if (code != 0) {
            std::printf("dll_load_test: FAIL: the loading process ended with %ld\n", code);
        }
        failures += code != 0;
    }
    if (failures == 0) std::printf("dll_load_test: passed\n");
    return failures == 0 ? 0 : 1;
}
