// Libraries loaded at run time.
#include <dlfcn.h>

#include <memory>
#include <string>

#include "core/immortal.h"
#include "platform/platform.h"

namespace zpx::platform {

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

class LinuxLibraries final : public Libraries {
  public:
    std::unique_ptr<DynamicLibrary> OpenLibrary(const std::string& name) override {
        // By its bare file name: the loader's search path decides which copy is taken.
        const std::string file = "lib" + name + ".so";
        void* handle = ::dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (handle == nullptr) return nullptr;
        return std::make_unique<LinuxLibrary>(handle);
    }
};

}  // namespace

template <>
Libraries& System<Libraries>() {
    static Immortal<LinuxLibraries> libraries;
    return libraries.get();
}

}  // namespace zpx::platform
