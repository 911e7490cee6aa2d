// The operating-system class, the library's own path and libraries loaded at run time.
#include <dlfcn.h>
#include <limits.h>
#include <stdlib.h>

#include <memory>
#include <string>

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

namespace {

class LinuxLibrary final : public DynamicLibrary {
  public:
    explicit LinuxLibrary(void* handle) : handle_(handle) {}
    ~LinuxLibrary() override { ::dlclose(handle_); }
    LinuxLibrary(const LinuxLibrary&) = delete;
    LinuxLibrary& operator=(const LinuxLibrary&) = delete;
    void* Find(const char* name) override { return ::dlsym(handle_, name); }

  private:
    void* handle_;
};

}  // namespace

std::unique_ptr<DynamicLibrary> LinuxPlatform::OpenLibrary(const std::string& name) {
    // By its bare file name: the loader's search path decides which copy is taken.
    const std::string file = "lib" + name + ".so";
    void* handle = ::dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) return nullptr;
    return std::make_unique<LinuxLibrary>(handle);
}

}  // namespace zpx::platform::linux_impl

namespace zpx::platform {

Platform& DefaultPlatform() {
    static linux_impl::LinuxPlatform platform;
    return platform;
}

}  // namespace zpx::platform
