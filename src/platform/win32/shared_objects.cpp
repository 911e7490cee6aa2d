// The objects shared by the user's processes: the page-file-backed mappings "dllmemfilemap" (the
// four open counters) and "__SnrRootMap__" (the serial registry), and the mutex "__SnrRootMtx__".
// The system discards them when the last process lets go of them.
#include <windows.h>

#include <cstring>
#include <mutex>

#include "platform/platform.h"

namespace zpx::platform {

namespace {

constexpr const char* kCountersName = "dllmemfilemap";
constexpr const char* kMutexName = "__SnrRootMtx__";
constexpr const char* kRegistryName = "__SnrRootMap__";
constexpr DWORD kCountersSize = 16;
constexpr unsigned kCounterCount = 4;

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

class WindowsSharedObjects final : public SharedObjects {
  public:
    ~WindowsSharedObjects() override { Detach(); }

    bool Attach() override {
        std::lock_guard lock(attachMutex_);
        if (attached_) return counters_ != nullptr;
        attached_ = true;
        // The mutex comes first and is held while the maps are set up, so that a process
        // attaching at the same moment never sees counters the creator has not yet set to 1.
        mutex_ = ::CreateMutexA(nullptr, FALSE, kMutexName);
        const bool locked = Acquire(mutex_, INFINITE);

        bool created = false;
        countersMapping_ = CreateMapping(kCountersName, kCountersSize, &created);
        counters_ = static_cast<volatile LONG*>(MapView(countersMapping_, kCountersSize));
        if (counters_ != nullptr && created) {
            std::memset(const_cast<LONG*>(counters_), 0, kCountersSize);
            for (unsigned i = 0; i < kCounterCount; ++i)
                counters_[i] = 1;
        }

        registryMapping_ = ::OpenFileMappingA(FILE_MAP_WRITE, FALSE, kRegistryName);
        if (registryMapping_ == nullptr) {
            registryMapping_ =
                CreateMapping(kRegistryName, static_cast<DWORD>(kSerialRegistrySize), &created);
            if (void* view = MapView(registryMapping_, kSerialRegistrySize)) {
                std::memset(view, 0, kSerialRegistrySize);
                ::UnmapViewOfFile(view);
            }
        }
        registry_ = static_cast<uint8_t*>(MapView(registryMapping_, kSerialRegistrySize));
        if (locked) ::ReleaseMutex(mutex_);
        return counters_ != nullptr;
    }

    void Detach() override {
        std::lock_guard lock(attachMutex_);
        if (!attached_) return;
        attached_ = false;
        if (counters_ != nullptr) ::UnmapViewOfFile(const_cast<LONG*>(counters_));
        if (registry_ != nullptr) ::UnmapViewOfFile(registry_);
        counters_ = nullptr;
        registry_ = nullptr;
        for (HANDLE* h : {&countersMapping_, &registryMapping_, &mutex_}) {
            if (*h != nullptr) ::CloseHandle(*h);
            *h = nullptr;
        }
    }

    uint32_t OpenCounterDecrement(unsigned index) override {
        volatile LONG* counters = Counters();
        if (counters == nullptr || index >= kCounterCount) return 0;
        return static_cast<uint32_t>(::InterlockedExchangeAdd(&counters[index], -1));
    }

    uint32_t OpenCounterIncrement(unsigned index) override {
        volatile LONG* counters = Counters();
        if (counters == nullptr || index >= kCounterCount) return 0;
        return static_cast<uint32_t>(::InterlockedExchangeAdd(&counters[index], 1));
    }

    bool LockOpen(uint32_t timeoutMs) override { return Acquire(Mutex(), timeoutMs); }

    void UnlockOpen() override {
        if (const HANDLE mutex = Mutex()) ::ReleaseMutex(mutex);
    }

    uint8_t* SerialRegistry() override {
        (void)Attach();
        return registry_;
    }

  private:
    // An abandoned mutex is the waiting thread's now: its owner died holding it, and what it
    // guards stays consistent (the counters change in single atomic steps and a registry entry
    // counts only once it is complete).
    static bool Acquire(HANDLE mutex, DWORD timeoutMs) {
        if (mutex == nullptr) return false;
        const DWORD rc = ::WaitForSingleObject(mutex, timeoutMs);
        return rc == WAIT_OBJECT_0 || rc == WAIT_ABANDONED;
    }

    // Each attaches first if this process has not yet.
    volatile LONG* Counters() {
        (void)Attach();
        return counters_;
    }
    HANDLE Mutex() {
        (void)Attach();
        return mutex_;
    }

    std::mutex attachMutex_;
    bool attached_ = false;
    HANDLE countersMapping_ = nullptr;
    HANDLE registryMapping_ = nullptr;
    HANDLE mutex_ = nullptr;
    volatile LONG* counters_ = nullptr;
    uint8_t* registry_ = nullptr;
};

}  // namespace

template <>
SharedObjects& System<SharedObjects>() {
    static WindowsSharedObjects objects;
    return objects;
}

}  // namespace zpx::platform
