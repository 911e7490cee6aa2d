// The operating-system class and the library's own path.
#include <dlfcn.h>
#include <limits.h>
#include <stdlib.h>

#include "platform/linux/linux_platform.h"

namespace zpx::platform::linux_impl {

bool LinuxPlatform::QueryOsVersion(OsVersion* version) {
    // Linux answers as the newest NT line: USB support and the indexed drivers, no legacy paths.
    version->platformId = 2;
    version->major = 10;
    version->minor = 0;
    version->build = 19045;
    return true;
}

std::string LinuxPlatform::LibraryPath() {
    Dl_info info{};
    if (dladdr(reinterpret_cast<const void*>(&DevicePath), &info) == 0 ||
        info.dli_fname == nullptr) {
        return {};
    }
    // Resolve links, so that the path is the library file itself whichever link loaded it.
    char resolved[PATH_MAX];
    if (realpath(info.dli_fname, resolved) == nullptr) return info.dli_fname;
    return resolved;
}

}  // namespace zpx::platform::linux_impl

namespace zpx::platform {

Platform& DefaultPlatform() {
    static linux_impl::LinuxPlatform platform;
    return platform;
}

}  // namespace zpx::platform
