// Libraries loaded at run time.
#include <windows.h>

#include <memory>
#include <string>

#include "core/immortal.h"
#include "platform/platform.h"

namespace zpx::platform {

namespace {

class WindowsLibrary final : public DynamicLibrary {
  public:
    explicit WindowsLibrary(HMODULE module) : module_(module) {}
    ~WindowsLibrary() override { ::FreeLibrary(module_); }
    WindowsLibrary(const WindowsLibrary&) = delete;
    WindowsLibrary& operator=(const WindowsLibrary&) = delete;
    void* Find(const char* name) override {
        return reinterpret_cast<void*>(::GetProcAddress(module_, name));
    }

  private:
    HMODULE module_;
};

class WindowsLibraries final : public Libraries {
  public:
    std::unique_ptr<DynamicLibrary> OpenLibrary(const std::string& name) override {
        // By its bare file name: the loader's search order decides which copy is taken.
        const std::string file = name + ".dll";
        const HMODULE module = ::LoadLibraryA(file.c_str());
        if (module == nullptr) return nullptr;
        return std::make_unique<WindowsLibrary>(module);
    }
};

}  // namespace

template <>
Libraries& System<Libraries>() {
    static Immortal<WindowsLibraries> libraries;
    return libraries.get();
}

}  // namespace zpx::platform
