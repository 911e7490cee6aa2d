// The preload library of zpx-emu run on a driver interface (device_link.h): in the command and
// every process it starts, the open of a device node zpx-emu serves becomes a connection to
// zpx-emu, the request ioctl on it a request record, and its close the connection's close.
// A listing of /dev shows the served nodes after the real ones. Everything else, other files and
// other ioctls included, goes to the C library untouched.
//
// It lives in programs that know nothing of it (a shell, Python), so it keeps to the C library:
// no allocation, no C++ runtime, no state but which descriptors are devices.
#include <dirent.h>
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>

#include "device_link.h"
#include "zpx/driver_abi.h"

#define ZPX_PRELOAD_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

using zpx::emu::DeviceOpenRecord;
using zpx::emu::DeviceReplyRecord;
using zpx::emu::DeviceRequestRecord;

// Descriptors that are devices; one beyond the table cannot be one (the open is refused).
constexpr int kMaxDescriptors = 4096;
std::atomic<bool> g_device[kMaxDescriptors];

template <class Function>
Function Next(const char* name) {
    return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

bool IsDevice(int fd) {
    return fd >= 0 && fd < kMaxDescriptors && g_device[fd].load(std::memory_order_relaxed);
}

// The node under /dev that `path` names, when zpx-emu serves it; else null.
const char* ServedNode(const char* path) {
    const char* nodes = getenv(zpx::emu::kDeviceNodesVariable);
    if (path == nullptr || nodes == nullptr || strncmp(path, "/dev/", 5) != 0) return nullptr;
    const char* node = path + 5;
    const size_t length = strlen(node);
    for (const char* at = nodes; *at != '\0';) {
        const char* end = strchr(at, ',');
        const size_t n = end ? static_cast<size_t>(end - at) : strlen(at);
        if (n == length && strncmp(at, node, n) == 0) return node;
        if (end == nullptr) break;
        at = end + 1;
    }
    return nullptr;
}

bool SendAll(int fd, const void* data, size_t length) {
    const auto* p = static_cast<const uint8_t*>(data);
    while (length > 0) {
        const ssize_t n = send(fd, p, length, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        p += n;
        length -= static_cast<size_t>(n);
    }
    return true;
}

bool ReceiveAll(int fd, void* data, size_t length) {
    auto* p = static_cast<uint8_t*>(data);
    while (length > 0) {
        const ssize_t n = recv(fd, p, length, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        p += n;
        length -= static_cast<size_t>(n);
    }
    return true;
}

// The device's descriptor: a connection to zpx-emu that it has taken as the open of `node`.
int OpenDevice(const char* node, int flags) {
    const char* path = getenv(zpx::emu::kDevicesSocketVariable);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    DeviceOpenRecord open{zpx::emu::kDeviceLinkMagic, {}};
    if (path == nullptr || strlen(path) >= sizeof address.sun_path ||
        strlen(node) >= sizeof open.node) {
        errno = ENODEV;
        return -1;
    }
    strcpy(address.sun_path, path);
    strcpy(open.node, node);
    const int fd = socket(AF_UNIX, SOCK_STREAM | ((flags & O_CLOEXEC) ? SOCK_CLOEXEC : 0), 0);
    if (fd < 0) return -1;
    int32_t answer = ENODEV;
    if (fd >= kMaxDescriptors ||
        connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        !SendAll(fd, &open, sizeof open) || !ReceiveAll(fd, &answer, sizeof answer) ||
        answer != 0) {
        close(fd);
        errno = fd >= kMaxDescriptors ? EMFILE : answer;
        return -1;
    }
    g_device[fd] = true;
    return fd;
}

int Request(int fd, zpx_driver_request* request) {
    if (request == nullptr) {
        errno = EFAULT;
        return -1;
    }
    const auto* in = reinterpret_cast<const uint8_t*>(static_cast<uintptr_t>(request->in_buffer));
    auto* out = reinterpret_cast<uint8_t*>(static_cast<uintptr_t>(request->out_buffer));
    const uint32_t inLength = in ? request->in_length : 0;
    const uint32_t outLength = out ? request->out_length : 0;
    if (inLength > zpx::emu::kDeviceLinkMaxBuffer || outLength > zpx::emu::kDeviceLinkMaxBuffer) {
        errno = EINVAL;
        return -1;
    }
    const DeviceRequestRecord head{request->code, inLength, outLength,
                                   in != nullptr && in == out ? 1u : 0u};
    DeviceReplyRecord reply{};
    if (!SendAll(fd, &head, sizeof head) || !SendAll(fd, in, inLength) ||
        !ReceiveAll(fd, &reply, sizeof reply)) {
        errno = EIO;  // zpx-emu has gone: the device with it
        return -1;
    }
    if (reply.error != 0) {
        errno = reply.error;
        return -1;
    }
    if (!ReceiveAll(fd, out, outLength)) {
        errno = EIO;
        return -1;
    }
    request->returned = reply.returned;
    return 0;
}

int OpenWith(const char* function, const char* path, int flags, mode_t mode) {
    if (const char* node = ServedNode(path)) return OpenDevice(node, flags);
    using Open = int (*)(const char*, int, ...);
    static const Open next = Next<Open>(function);
    return next(path, flags, mode);
}

mode_t ModeOf(int flags, va_list arguments) {
    return (flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE
               ? static_cast<mode_t>(va_arg(arguments, int))
               : 0;
}

// Listings of /dev under way, with the served node each shows next once the real ones are out.
struct Listing {
    std::atomic<DIR*> directory{nullptr};
    size_t next = 0;
    dirent entry;
};
Listing g_listings[8];

// The served node `index`, copied into `name` (room for `size` bytes); false past the last.
bool NthNode(size_t index, char* name, size_t size) {
    const char* at = getenv(zpx::emu::kDeviceNodesVariable);
    for (; at != nullptr && *at != '\0'; --index) {
        const char* end = strchr(at, ',');
        const size_t n = end ? static_cast<size_t>(end - at) : strlen(at);
        if (index == 0) {
            if (n >= size) return false;
            memcpy(name, at, n);
            name[n] = '\0';
            return true;
        }
        if (end == nullptr) break;
        at = end + 1;
    }
    return false;
}

Listing* ListingOf(DIR* directory) {
    for (Listing& l : g_listings)
        if (directory != nullptr && l.directory.load() == directory) return &l;
    return nullptr;
}

// The next entry of `listing`'s served nodes, or null after the last.
dirent* NextNode(Listing* listing) {
    dirent& e = listing->entry;
    if (!NthNode(listing->next, e.d_name, sizeof e.d_name)) return nullptr;
    ++listing->next;
    e.d_ino = 1;
    e.d_off = 0;
    e.d_reclen = sizeof e;
    e.d_type = DT_CHR;
    return &e;
}

// A listing of /dev is tracked, to show the served nodes at its end.
void Track(DIR* directory, const char* path) {
    if (directory == nullptr || getenv(zpx::emu::kDeviceNodesVariable) == nullptr) return;
    if (strcmp(path, "/dev") != 0 && strcmp(path, "/dev/") != 0) return;
    for (Listing& l : g_listings) {
        DIR* none = nullptr;
        if (l.directory.compare_exchange_strong(none, directory)) {
            l.next = 0;
            return;
        }
    }
}

}  // namespace

ZPX_PRELOAD_EXPORT DIR* opendir(const char* path) {
    using OpenDir = DIR* (*)(const char*);
    static const OpenDir next = Next<OpenDir>("opendir");
    DIR* directory = next(path);
    Track(directory, path);
    return directory;
}

// What C++'s directory iterators use: the folder is known by its descriptor only.
ZPX_PRELOAD_EXPORT DIR* fdopendir(int fd) {
    using FdOpenDir = DIR* (*)(int);
    static const FdOpenDir next = Next<FdOpenDir>("fdopendir");
    DIR* directory = next(fd);
    if (directory != nullptr && getenv(zpx::emu::kDeviceNodesVariable) != nullptr) {
        char link[32], path[16];
        snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
        const ssize_t n = readlink(link, path, sizeof path - 1);
        path[n > 0 ? n : 0] = '\0';
        Track(directory, path);
    }
    return directory;
}

ZPX_PRELOAD_EXPORT dirent* readdir(DIR* directory) {
    using ReadDir = dirent* (*)(DIR*);
    static const ReadDir next = Next<ReadDir>("readdir");
    dirent* entry = next(directory);
    if (entry != nullptr) return entry;
    Listing* listing = ListingOf(directory);
    return listing != nullptr ? NextNode(listing) : nullptr;
}

// The same function under its other name (dirent and dirent64 are one layout here).
ZPX_PRELOAD_EXPORT dirent64* readdir64(DIR* directory) {
    static_assert(sizeof(dirent) == sizeof(dirent64));
    return reinterpret_cast<dirent64*>(readdir(directory));
}

ZPX_PRELOAD_EXPORT int closedir(DIR* directory) {
    if (Listing* listing = ListingOf(directory)) listing->directory = nullptr;
    using CloseDir = int (*)(DIR*);
    static const CloseDir next = Next<CloseDir>("closedir");
    return next(directory);
}

ZPX_PRELOAD_EXPORT int open(const char* path, int flags, ...) {
    va_list arguments;
    va_start(arguments, flags);
    const mode_t mode = ModeOf(flags, arguments);
    va_end(arguments);
    return OpenWith("open", path, flags, mode);
}

ZPX_PRELOAD_EXPORT int open64(const char* path, int flags, ...) {
    va_list arguments;
    va_start(arguments, flags);
    const mode_t mode = ModeOf(flags, arguments);
    va_end(arguments);
    return OpenWith("open64", path, flags, mode);
}

ZPX_PRELOAD_EXPORT int __open_2(const char* path, int flags) {
    return OpenWith("open", path, flags, 0);
}

ZPX_PRELOAD_EXPORT int __open64_2(const char* path, int flags) {
    return OpenWith("open64", path, flags, 0);
}

ZPX_PRELOAD_EXPORT int ioctl(int fd, unsigned long request, ...) {
    va_list arguments;
    va_start(arguments, request);
    void* argument = va_arg(arguments, void*);
    va_end(arguments);
    if (IsDevice(fd)) {
        if (request != ZPX_IOCTL_REQUEST) {
            errno = ENOTTY;
            return -1;
        }
        return Request(fd, static_cast<zpx_driver_request*>(argument));
    }
    using Ioctl = int (*)(int, unsigned long, ...);
    static const Ioctl next = Next<Ioctl>("ioctl");
    return next(fd, request, argument);
}

ZPX_PRELOAD_EXPORT int close(int fd) {
    if (fd >= 0 && fd < kMaxDescriptors) g_device[fd] = false;
    using Close = int (*)(int);
    static const Close next = Next<Close>("close");
    return next(fd);
}
