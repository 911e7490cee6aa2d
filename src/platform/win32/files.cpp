// The status file through the system's private profile functions, and the library's own path.
#include <windows.h>

#include <string>
#include <vector>

#include "core/immortal.h"
#include "platform/platform.h"

namespace zpx::platform {

namespace {

class WindowsFiles final : public Files {
  public:
    std::string ReadProfileValue(const std::string& file, const std::string& section,
                                 const std::string& key, const std::string& fallback) override {
        // The status file holds short decimal numbers; a value that fills the buffer is read
        // again into a larger one, so that nothing is cut.
        std::vector<char> value(256);
        for (;;) {
            const DWORD n = ::GetPrivateProfileStringA(
                section.c_str(), key.c_str(), fallback.c_str(), value.data(),
                static_cast<DWORD>(value.size()), file.c_str());
            if (n + 1 < value.size() || value.size() >= 65536) return std::string(value.data(), n);
            value.resize(value.size() * 4);
        }
    }

    bool WriteProfileValue(const std::string& file, const std::string& section,
                           const std::string& key, const std::string& value) override {
        return ::WritePrivateProfileStringA(section.c_str(), key.c_str(), value.c_str(),
                                            file.c_str()) != FALSE;
    }

    std::string LibraryPath() override {
        // The module holding this very code: ZPX.dll, or the program the core is linked into.
        HMODULE module = nullptr;
        if (!::GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                                      GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                                  reinterpret_cast<LPCSTR>(&System<Files>), &module)) {
            return {};
        }
        std::vector<char> path(MAX_PATH);
        for (;;) {
            const DWORD n =
                ::GetModuleFileNameA(module, path.data(), static_cast<DWORD>(path.size()));
            if (n == 0) return {};
            if (n < path.size()) return std::string(path.data(), n);
            if (path.size() >= 32768) return {};
            path.resize(path.size() * 2);
        }
    }
};

}  // namespace

template <>
Files& System<Files>() {
    static Immortal<WindowsFiles> files;
    return files.get();
}

}  // namespace zpx::platform
