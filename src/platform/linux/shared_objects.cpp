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
#include <cstdio>
#include <cstring>

#include "platform/platform.h"
#include "platform/system_shared.h"
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

// The name is built without the heap: attaching runs in the load hook, where nothing may throw.
int OpenShared(const char* base) {
    char name[64];
    std::snprintf(name, sizeof name, "%s.%u%s", base, static_cast<unsigned>(::getuid()),
                  os::SharedNameSuffix());
    return ::shm_open(name, O_RDWR | O_CREAT | O_CLOEXEC, kOwnerOnly);
}

// A shared object of `size` bytes mapped for reading and writing, or null.
void* MapShared(int fd, size_t size) {
    if (fd < 0 || ::ftruncate(fd, static_cast<off_t>(size)) != 0) return nullptr;
    void* view = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    return view == MAP_FAILED ? nullptr : view;
}

}  // namespace

namespace os {

// A lock file that every attached process holds shared tells the first process to attach, which
// creates and initialises the objects, so they start afresh once every process has detached, even
// after a crash. A second lock file orders the attaches themselves; it is held only for the few
// calls below, never while an open runs.
SharedAttachment AttachShared() {
    SharedAttachment a;
    const int attachFd = OpenShared(kAttachLockName);
    const int serialize = OpenShared(kAttachSerialName);
    if (serialize >= 0) {
        while (::flock(serialize, LOCK_EX) != 0 && errno == EINTR) {
        }
    }
    const bool first = attachFd >= 0 && ::flock(attachFd, LOCK_EX | LOCK_NB) == 0;

    const int countersFd = OpenShared(kCountersName);
    const int mutexFd = OpenShared(kMutexName);
    const int registryFd = OpenShared(kRegistryName);
    auto* counters = static_cast<std::atomic<uint32_t>*>(MapShared(countersFd, kCountersSize));
    auto* mutex = static_cast<pthread_mutex_t*>(MapShared(mutexFd, sizeof(pthread_mutex_t)));
    auto* registry = static_cast<uint8_t*>(MapShared(registryFd, kSerialRegistrySize));
    if (first) {
        if (counters != nullptr) {
            for (int i = 0; i < kCounterCount; ++i)
                counters[i].store(1);
        }
        if (registry != nullptr) std::memset(registry, 0, kSerialRegistrySize);
        if (mutex != nullptr) {
            pthread_mutexattr_t attr;
            pthread_mutexattr_init(&attr);
            pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED);
            pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST);
            pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
            pthread_mutex_init(mutex, &attr);
            pthread_mutexattr_destroy(&attr);
        }
    }
    if (attachFd >= 0) ::flock(attachFd, LOCK_SH);
    if (serialize >= 0) ::close(serialize);  // releases the attach serialisation
    a.counters = counters;
    a.lock = mutex;
    a.registry = registry;
    a.held[0] = attachFd;
    a.held[1] = countersFd;
    a.held[2] = mutexFd;
    a.held[3] = registryFd;
    return a;
}

void DetachShared(SharedAttachment& a) {
    if (a.counters != nullptr) ::munmap(a.counters, kCountersSize);
    if (a.lock != nullptr) ::munmap(a.lock, sizeof(pthread_mutex_t));
    if (a.registry != nullptr) ::munmap(a.registry, kSerialRegistrySize);
    // Closing the lock file's descriptor gives up this process's shared hold on it.
    for (intptr_t fd : a.held) {
        if (fd >= 0) ::close(static_cast<int>(fd));
    }
    a = {};
}

uint32_t CounterAdd(void* counters, unsigned index, int32_t delta) {
    auto* c = static_cast<std::atomic<uint32_t>*>(counters);
    return c[index].fetch_add(static_cast<uint32_t>(delta));
}

bool LockShared(void* lock, uint32_t timeoutMs) {
    auto* mutex = static_cast<pthread_mutex_t*>(lock);
    // The wait counts on the monotonic clock: setting the system clock neither ends it early nor
    // stretches it. The lock is waited for against the wall clock (the form every tool that
    // follows locks understands), a wait the wall clock cut short is taken up again, and each
    // round aims at what is left of the monotonic deadline.
    const uint64_t deadline = MonotonicNanos() + uint64_t{timeoutMs} * 1000000;
    int rc;
    for (;;) {
        const uint64_t now = MonotonicNanos();
        const uint64_t rest = deadline > now ? deadline - now : 0;
        timespec wall;
        clock_gettime(CLOCK_REALTIME, &wall);
        const uint64_t nanos = static_cast<uint64_t>(wall.tv_nsec) + rest % 1000000000;
        wall.tv_sec += static_cast<time_t>(rest / 1000000000 + nanos / 1000000000);
        wall.tv_nsec = static_cast<long>(nanos % 1000000000);
        rc = pthread_mutex_timedlock(mutex, &wall);
        if (rc == EINTR || (rc == ETIMEDOUT && MonotonicNanos() < deadline)) continue;
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

void UnlockShared(void* lock) {
    pthread_mutex_unlock(static_cast<pthread_mutex_t*>(lock));
}

}  // namespace os

}  // namespace zpx::platform
