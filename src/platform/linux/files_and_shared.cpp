// Profile files rewritten atomically under a file lock, and the cross-process open counters and
// open lock in POSIX shared memory.
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
#include <fstream>
#include <sstream>

#include "platform/linux/linux_platform.h"
#include "platform/profile_text.h"

namespace zpx::platform::linux_impl {

namespace {

bool ReadWholeFile(const std::string& path, std::string* text) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::ostringstream buffer;
    buffer << in.rdbuf();
    *text = buffer.str();
    return true;
}

bool WriteAll(int fd, const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

// ---- shared objects ----

constexpr const char* kCountersName = "/dllmemfilemap";
constexpr const char* kMutexName = "/__SnrRootMtx__";
constexpr const char* kAttachLockName = "/zpx.attach";
constexpr int kCounterCount = 4;

struct SharedMutex {
    pthread_mutex_t mutex;
};

// The objects shared by every process that uses the library. A lock file that every attached
// process holds shared tells the first process to attach, which creates and zeroes the objects,
// so they start afresh once every process has detached, even after a crash.
class SharedObjects {
  public:
    SharedObjects() { Attach(); }
    ~SharedObjects() { Detach(); }

    std::atomic<uint32_t>* counters = nullptr;
    pthread_mutex_t* mutex = nullptr;

  private:
    void Attach() {
        attachFd_ = ::shm_open(kAttachLockName, O_RDWR | O_CREAT | O_CLOEXEC, 0666);
        const int serialize = ::shm_open("/zpx.attach.serial", O_RDWR | O_CREAT | O_CLOEXEC, 0666);
        if (serialize >= 0) ::flock(serialize, LOCK_EX);
        const bool first = attachFd_ >= 0 && ::flock(attachFd_, LOCK_EX | LOCK_NB) == 0;

        countersFd_ = ::shm_open(kCountersName, O_RDWR | O_CREAT | O_CLOEXEC, 0666);
        mutexFd_ = ::shm_open(kMutexName, O_RDWR | O_CREAT | O_CLOEXEC, 0666);
        if (countersFd_ >= 0 && ::ftruncate(countersFd_, 16) == 0) {
            void* view = ::mmap(nullptr, 16, PROT_READ | PROT_WRITE, MAP_SHARED, countersFd_, 0);
            if (view != MAP_FAILED) counters = static_cast<std::atomic<uint32_t>*>(view);
        }
        if (mutexFd_ >= 0 && ::ftruncate(mutexFd_, sizeof(SharedMutex)) == 0) {
            void* view = ::mmap(nullptr, sizeof(SharedMutex), PROT_READ | PROT_WRITE, MAP_SHARED,
                                mutexFd_, 0);
            if (view != MAP_FAILED) mutex = &static_cast<SharedMutex*>(view)->mutex;
        }
        if (first) {
            if (counters != nullptr) {
                for (int i = 0; i < kCounterCount; ++i)
                    counters[i].store(1);
            }
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
        if (attachFd_ >= 0) ::flock(attachFd_, LOCK_SH);
        if (serialize >= 0) ::close(serialize);  // releases the attach serialisation
    }

    void Detach() {
        if (counters != nullptr) ::munmap(counters, 16);
        if (mutex != nullptr) ::munmap(mutex, sizeof(SharedMutex));
        if (countersFd_ >= 0) ::close(countersFd_);
        if (mutexFd_ >= 0) ::close(mutexFd_);
        if (attachFd_ >= 0) ::close(attachFd_);
    }

    int attachFd_ = -1;
    int countersFd_ = -1;
    int mutexFd_ = -1;
};

SharedObjects& Shared() {
    static SharedObjects objects;
    return objects;
}

}  // namespace

std::string LinuxPlatform::ReadProfileString(const std::string& file, const std::string& section,
                                             const std::string& key, const std::string& fallback) {
    std::string text;
    if (!ReadWholeFile(file, &text)) return fallback;
    auto value = ProfileLookup(text, section, key);
    return value ? *value : fallback;
}

bool LinuxPlatform::WriteProfileString(const std::string& file, const std::string& section,
                                       const std::string& key, const std::string& value) {
    // Writers serialise on a lock file beside the profile and replace the profile by rename, so
    // readers see the old or the new text, never a half-written one, and no writer loses
    // another's key.
    const std::string lockPath = file + ".lock";
    const int lockFd = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (lockFd < 0) return false;
    while (::flock(lockFd, LOCK_EX) != 0 && errno == EINTR) {
    }
    std::string text;
    (void)ReadWholeFile(file, &text);  // a missing file starts empty
    const std::string updated = ProfileUpdate(text, section, key, value);
    const std::string tempPath = file + ".tmp." + std::to_string(::getpid());
    bool ok = false;
    const int fd = ::open(tempPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd >= 0) {
        ok = WriteAll(fd, updated) && ::fsync(fd) == 0;
        ok = (::close(fd) == 0) && ok;
        ok = ok && ::rename(tempPath.c_str(), file.c_str()) == 0;
        if (!ok) ::unlink(tempPath.c_str());
    }
    ::close(lockFd);
    return ok;
}

uint32_t LinuxPlatform::OpenCounterDecrement(unsigned index) {
    auto* counters = Shared().counters;
    if (counters == nullptr || index >= kCounterCount) return 0;
    return counters[index].fetch_sub(1);
}

uint32_t LinuxPlatform::OpenCounterIncrement(unsigned index) {
    auto* counters = Shared().counters;
    if (counters == nullptr || index >= kCounterCount) return 0;
    return counters[index].fetch_add(1);
}

bool LinuxPlatform::LockOpen(uint32_t timeoutMs) {
    pthread_mutex_t* mutex = Shared().mutex;
    if (mutex == nullptr) return false;
    timespec deadline;
    clock_gettime(CLOCK_REALTIME, &deadline);
    deadline.tv_sec += static_cast<time_t>(timeoutMs / 1000);
    deadline.tv_nsec += static_cast<long>(timeoutMs % 1000) * 1000000L;
    if (deadline.tv_nsec >= 1000000000L) {
        deadline.tv_sec += 1;
        deadline.tv_nsec -= 1000000000L;
    }
    const int rc = pthread_mutex_timedlock(mutex, &deadline);
    if (rc == EOWNERDEAD) {
        // The previous owner died holding the lock; what it guarded is still consistent
        // because every change under it is a single atomic step.
        pthread_mutex_consistent(mutex);
        return true;
    }
    return rc == 0;
}

void LinuxPlatform::UnlockOpen() {
    if (pthread_mutex_t* mutex = Shared().mutex) pthread_mutex_unlock(mutex);
}

}  // namespace zpx::platform::linux_impl
