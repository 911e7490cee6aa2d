// The objects shared by the user's processes, in POSIX shared memory: the open counters, the open
// lock and the serial registry.
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <string>

#include "platform/platform.h"
#include "platform/system_time.h"

namespace zpx::platform {

namespace {

// Every user has objects of their own: the names carry the user id and only the owner may open
// them, so another user's processes can neither read nor hold them.
constexpr const char* kCountersName = "/dllmemfilemap";
constexpr const char* kMutexName = "/__SnrRootMtx__";
constexpr const char* kRegistryName = "/__SnrRootMap__";
constexpr const char* kAttachLockName = "/zpx.attach";
constexpr const char* kAttachSerialName = "/zpx.attach.serial";
constexpr mode_t kOwnerOnly = 0600;
constexpr int kCounterCount = 4;
constexpr size_t kCountersSize = 16;

std::string UserObjectName(const char* base) {
    return std::string(base) + "." + std::to_string(::getuid());
}

int OpenShared(const char* base) {
    return ::shm_open(UserObjectName(base).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, kOwnerOnly);
}

// A shared object of `size` bytes mapped for reading and writing, or null.
void* MapShared(int fd, size_t size) {
    if (fd < 0 || ::ftruncate(fd, static_cast<off_t>(size)) != 0) return nullptr;
    void* view = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    return view == MAP_FAILED ? nullptr : view;
}

struct SharedMutex {
    pthread_mutex_t mutex;
};

// The objects shared by the user's processes. A lock file that every attached process holds
// shared tells the first process to attach, which creates and initialises the objects, so they
// start afresh once every process has detached, even after a crash.
class SharedMemory {
  public:
    ~SharedMemory() { Detach(); }

    bool Attach() {
        std::lock_guard lock(attachMutex_);
        if (attached_) return counters_ != nullptr && mutex_ != nullptr;
        attached_ = true;
        attachFd_ = OpenShared(kAttachLockName);
        const int serialize = OpenShared(kAttachSerialName);
        if (serialize >= 0) {
            while (::flock(serialize, LOCK_EX) != 0 && errno == EINTR) {
            }
        }
        const bool first = attachFd_ >= 0 && ::flock(attachFd_, LOCK_EX | LOCK_NB) == 0;

        countersFd_ = OpenShared(kCountersName);
        mutexFd_ = OpenShared(kMutexName);
        registryFd_ = OpenShared(kRegistryName);
        counters_ = static_cast<std::atomic<uint32_t>*>(MapShared(countersFd_, kCountersSize));
        if (void* view = MapShared(mutexFd_, sizeof(SharedMutex))) {
            mutex_ = &static_cast<SharedMutex*>(view)->mutex;
        }
        registry_ = static_cast<uint8_t*>(MapShared(registryFd_, kSerialRegistrySize));
        if (first) {
            if (counters_ != nullptr) {
                for (int i = 0; i < kCounterCount; ++i)
                    counters_[i].store(1);
            }
            if (registry_ != nullptr) std::memset(registry_, 0, kSerialRegistrySize);
            if (mutex_ != nullptr) {
                pthread_mutexattr_t attr;
                pthread_mutexattr_init(&attr);
                pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED);
                pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST);
                pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
                pthread_mutex_init(mutex_, &attr);
                pthread_mutexattr_destroy(&attr);
            }
        }
        if (attachFd_ >= 0) ::flock(attachFd_, LOCK_SH);
        if (serialize >= 0) ::close(serialize);  // releases the attach serialisation
        return counters_ != nullptr && mutex_ != nullptr;
    }

    void Detach() {
        std::lock_guard lock(attachMutex_);
        if (!attached_) return;
        attached_ = false;
        if (counters_ != nullptr) ::munmap(counters_, kCountersSize);
        if (mutex_ != nullptr) ::munmap(mutex_, sizeof(SharedMutex));
        if (registry_ != nullptr) ::munmap(registry_, kSerialRegistrySize);
        counters_ = nullptr;
        mutex_ = nullptr;
        registry_ = nullptr;
        for (int* fd : {&countersFd_, &mutexFd_, &registryFd_, &attachFd_}) {
            if (*fd >= 0) ::close(*fd);
            *fd = -1;
        }
    }

    // Each attaches first if this process has not yet.
    std::atomic<uint32_t>* Counters() {
        (void)Attach();  // what failed to attach stays null
        return counters_;
    }
    pthread_mutex_t* Mutex() {
        (void)Attach();
        return mutex_;
    }
    uint8_t* Registry() {
        (void)Attach();
        return registry_;
    }

  private:
    std::mutex attachMutex_;
    bool attached_ = false;
    std::atomic<uint32_t>* counters_ = nullptr;
    pthread_mutex_t* mutex_ = nullptr;
    uint8_t* registry_ = nullptr;
    int attachFd_ = -1;
    int countersFd_ = -1;
    int mutexFd_ = -1;
    int registryFd_ = -1;
};

SharedMemory& Shared() {
    static SharedMemory objects;
    return objects;
}

class LinuxSharedObjects final : public SharedObjects {
  public:
    bool Attach() override { return Shared().Attach(); }

    void Detach() override { Shared().Detach(); }

    uint32_t OpenCounterDecrement(unsigned index) override {
        auto* counters = Shared().Counters();
        if (counters == nullptr || index >= kCounterCount) return 0;
        return counters[index].fetch_sub(1);
    }

    uint32_t OpenCounterIncrement(unsigned index) override {
        auto* counters = Shared().Counters();
        if (counters == nullptr || index >= kCounterCount) return 0;
        return counters[index].fetch_add(1);
    }

    bool LockOpen(uint32_t timeoutMs) override {
        pthread_mutex_t* mutex = Shared().Mutex();
        if (mutex == nullptr) return false;
        // The wait counts on the monotonic clock: setting the system clock neither ends it early
        // nor stretches it. The lock is waited for against the wall clock (the form every tool
        // that follows locks understands), a wait the wall clock cut short is taken up again,
        // and each round aims at what is left of the monotonic deadline.
        const uint64_t deadline = os::MonotonicNanos() + uint64_t{timeoutMs} * 1000000;
        int rc;
        for (;;) {
            const uint64_t now = os::MonotonicNanos();
            const uint64_t rest = deadline > now ? deadline - now : 0;
            timespec wall;
            clock_gettime(CLOCK_REALTIME, &wall);
            const uint64_t nanos = static_cast<uint64_t>(wall.tv_nsec) + rest % 1000000000;
            wall.tv_sec += static_cast<time_t>(rest / 1000000000 + nanos / 1000000000);
            wall.tv_nsec = static_cast<long>(nanos % 1000000000);
            rc = pthread_mutex_timedlock(mutex, &wall);
            if (rc == EINTR || (rc == ETIMEDOUT && os::MonotonicNanos() < deadline)) continue;
            break;
        }
        if (rc == EOWNERDEAD) {
            // The previous owner died holding the lock. What it guards stays consistent: the
            // counters change in single atomic steps and a registry entry counts only once it is
            // complete.
            pthread_mutex_consistent(mutex);
            return true;
        }
        return rc == 0;
    }

    void UnlockOpen() override {
        if (pthread_mutex_t* mutex = Shared().Mutex()) pthread_mutex_unlock(mutex);
    }

    uint8_t* SerialRegistry() override { return Shared().Registry(); }
};

}  // namespace

template <>
SharedObjects& System<SharedObjects>() {
    static LinuxSharedObjects objects;
    return objects;
}

}  // namespace zpx::platform
