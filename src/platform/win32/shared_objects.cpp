// The objects shared by the user's processes: the page-file-backed mappings "dllmemfilemap" (the
// four open counters) and "__SnrRootMap__" (the serial registry), and the mutex "__SnrRootMtx__".
// The system discards them when the last process lets go of them.
#include <windows.h>

#include <cstdio>
#include <cstring>

#include "platform/platform.h"
#include "platform/system_shared.h"

namespace zpx::platform::os {

namespace {

constexpr const char* kCountersName = "dllmemfilemap";
constexpr const char* kMutexName = "__SnrRootMtx__";
constexpr const char* kRegistryName = "__SnrRootMap__";
// Orders the attaches of processes that load the library at the same moment, so that none sees
// counters the creator has not yet set to 1. It is held only for the few calls of an attach, never
// while an open runs, and the wait for it is bounded all the same: a load runs under the loader
// lock, and a process stopped in a debugger half-way through its own load must not freeze ours.
constexpr const char* kAttachLockName = "zpx.attach";
constexpr DWORD kAttachWaitMs = 2000;
constexpr DWORD kCountersSize = 16;
constexpr unsigned kCounterCount = 4;

enum Held { kCountersMapping, kRegistryMapping };

// An object's name as this process uses it, built without the heap (attaching runs in DllMain).
struct Name {
    explicit Name(const char* base) {
        std::snprintf(text, sizeof text, "%s%s", base, SharedNameSuffix());
    }
    char text[64];
};

// A page-file-backed mapping of `size` bytes, created or opened; *created says which.
HANDLE CreateMapping(const char* name, DWORD size, bool* created) {
    const HANDLE mapping =
        ::CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, size, name);
    *created = mapping != nullptr && ::GetLastError() != ERROR_ALREADY_EXISTS;
    return mapping;
}

void* MapView(HANDLE mapping, DWORD size) {
    return mapping != nullptr ? ::MapViewOfFile(mapping, FILE_MAP_WRITE, 0, 0, size) : nullptr;
}

// An abandoned mutex is the waiting thread's now: its owner died holding it.
bool Acquire(HANDLE mutex, DWORD timeoutMs) {
    const DWORD rc = ::WaitForSingleObject(mutex, timeoutMs);
    return rc == WAIT_OBJECT_0 || rc == WAIT_ABANDONED;
}

}  // namespace

SharedAttachment AttachShared() {
    SharedAttachment a;
    const HANDLE attachLock = ::CreateMutexA(nullptr, FALSE, Name(kAttachLockName).text);
    const bool ordered = attachLock != nullptr && Acquire(attachLock, kAttachWaitMs);

    bool created = false;
    const HANDLE countersMapping = CreateMapping(Name(kCountersName).text, kCountersSize, &created);
    auto* counters = static_cast<volatile LONG*>(MapView(countersMapping, kCountersSize));
    if (counters != nullptr && created) {
        std::memset(const_cast<LONG*>(counters), 0, kCountersSize);
        for (unsigned i = 0; i < kCounterCount; ++i)
            counters[i] = 1;
    }

    // Made or opened unowned: nothing here waits for it.
    const HANDLE mutex = ::CreateMutexA(nullptr, FALSE, Name(kMutexName).text);

    HANDLE registryMapping = ::OpenFileMappingA(FILE_MAP_WRITE, FALSE, Name(kRegistryName).text);
    if (registryMapping == nullptr) {
        registryMapping = CreateMapping(Name(kRegistryName).text,
                                        static_cast<DWORD>(kSerialRegistrySize), &created);
        // Only its creator clears it: a process that came in between (when the attach lock was
        // not had in time) may already be writing to it.
        if (void* view = created ? MapView(registryMapping, kSerialRegistrySize) : nullptr) {
            std::memset(view, 0, kSerialRegistrySize);
            ::UnmapViewOfFile(view);
        }
    }

    if (ordered) ::ReleaseMutex(attachLock);
    if (attachLock != nullptr) ::CloseHandle(attachLock);

    a.counters = const_cast<LONG*>(counters);
    a.lock = mutex;
    a.registry = static_cast<uint8_t*>(MapView(registryMapping, kSerialRegistrySize));
    a.held[kCountersMapping] = reinterpret_cast<intptr_t>(countersMapping);
    a.held[kRegistryMapping] = reinterpret_cast<intptr_t>(registryMapping);
    return a;
}

void DetachShared(SharedAttachment& a) {
    if (a.counters != nullptr) ::UnmapViewOfFile(a.counters);
    if (a.registry != nullptr) ::UnmapViewOfFile(a.registry);
    if (a.lock != nullptr) ::CloseHandle(static_cast<HANDLE>(a.lock));
    for (intptr_t handle : {a.held[kCountersMapping], a.held[kRegistryMapping]}) {
        if (handle != 0 && handle != -1) ::CloseHandle(reinterpret_cast<HANDLE>(handle));
    }
    a = {};
}

uint32_t CounterAdd(void* counters, unsigned index, int32_t delta) {
    auto* c = static_cast<volatile LONG*>(counters);
    return static_cast<uint32_t>(::InterlockedExchangeAdd(&c[index], delta));
}

// What the mutex guards stays consistent when an owner dies holding it: the counters change in
// single atomic steps and a registry entry counts only once it is complete.
bool LockShared(void* lock, uint32_t timeoutMs) {
    return Acquire(static_cast<HANDLE>(lock), timeoutMs);
}

void UnlockShared(void* lock) {
    ::ReleaseMutex(static_cast<HANDLE>(lock));
}

}  // namespace zpx::platform::os
