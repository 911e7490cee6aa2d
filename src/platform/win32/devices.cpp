// Kernel-driver devices: opened by their "\\.\Name" path without sharing, each request one
// synchronous DeviceIoControl with the request code as it is.
#include <windows.h>

#include <cstdint>
#include <memory>
#include <string>

#include "core/immortal.h"
#include "platform/platform.h"

namespace zpx::platform {

namespace {

class WindowsDriverDevice final : public DriverDevice {
  public:
    explicit WindowsDriverDevice(HANDLE handle) : handle_(handle) {}
    ~WindowsDriverDevice() override { ::CloseHandle(handle_); }
    WindowsDriverDevice(const WindowsDriverDevice&) = delete;
    WindowsDriverDevice& operator=(const WindowsDriverDevice&) = delete;

    bool Request(uint32_t code, const void* in, uint32_t inLength, void* out,
                 uint32_t outLength) override {
        DWORD returned = 0;
        return ::DeviceIoControl(handle_, code, const_cast<void*>(in), in != nullptr ? inLength : 0,
                                 out, out != nullptr ? outLength : 0, &returned, nullptr) != FALSE;
    }

  private:
    HANDLE handle_;
};

class WindowsDevices final : public Devices {
  public:
    std::unique_ptr<DriverDevice> OpenDriver(const std::string& path, DriverOpenMode mode,
                                             uint32_t* lastError) override {
        // The oldest generation's dynamic drivers load on open (creation mode 0) and unload when
        // the last handle closes.
        const bool dynamic = mode == DriverOpenMode::kDynamicLegacy;
        const HANDLE handle = ::CreateFileA(
            path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, dynamic ? 0 : OPEN_EXISTING,
            dynamic ? FILE_FLAG_DELETE_ON_CLOSE : FILE_ATTRIBUTE_NORMAL, nullptr);
        if (handle == INVALID_HANDLE_VALUE) {
            // ERROR_BUSY is the busy error itself.
            *lastError = static_cast<uint32_t>(::GetLastError());
            return nullptr;
        }
        return std::make_unique<WindowsDriverDevice>(handle);
    }
};

}  // namespace

template <>
Devices& System<Devices>() {
    static Immortal<WindowsDevices> devices;
    return devices.get();
}

}  // namespace zpx::platform
