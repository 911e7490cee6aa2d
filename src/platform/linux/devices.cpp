// Kernel-driver devices: "\\.\Name" is /dev/name, each request one ioctl with the request record
// of driver_abi.h.
#include <errno.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cctype>
#include <cstdint>
#include <memory>
#include <string>

#include "core/immortal.h"
#include "platform/platform.h"
#include "zpx/driver_abi.h"

namespace zpx::platform {

namespace {

class LinuxDriverDevice final : public DriverDevice {
  public:
    explicit LinuxDriverDevice(int fd) : fd_(fd) {}
    ~LinuxDriverDevice() override { ::close(fd_); }
    LinuxDriverDevice(const LinuxDriverDevice&) = delete;
    LinuxDriverDevice& operator=(const LinuxDriverDevice&) = delete;

    bool Request(uint32_t code, const void* in, uint32_t inLength, void* out,
                 uint32_t outLength) override {
        zpx_driver_request request{};
        request.code = code;
        request.in_length = in != nullptr ? inLength : 0;
        request.out_length = out != nullptr ? outLength : 0;
        request.in_buffer = reinterpret_cast<uintptr_t>(in);
        request.out_buffer = reinterpret_cast<uintptr_t>(out);
        int rc;
        do {
            rc = ::ioctl(fd_, ZPX_IOCTL_REQUEST, &request);
        } while (rc < 0 && errno == EINTR);
        return rc == 0;
    }

  private:
    int fd_;
};

// "\\.\Name" is "/dev/name" (lower case); other paths are used as they are.
std::string DevicePath(const std::string& driverPath) {
    static constexpr char kPrefix[] = "\\\\.\\";
    if (driverPath.rfind(kPrefix, 0) != 0) return driverPath;
    std::string path = "/dev/";
    for (size_t i = sizeof kPrefix - 1; i < driverPath.size(); ++i) {
        path += static_cast<char>(std::tolower(static_cast<unsigned char>(driverPath[i])));
    }
    return path;
}

class LinuxDevices final : public Devices {
  public:
    std::unique_ptr<DriverDevice> OpenDriver(const std::string& path, DriverOpenMode,
                                             uint32_t* lastError) override {
        // The driver enforces exclusive use; both open modes map to a plain read-write open.
        const int fd = ::open(DevicePath(path).c_str(), O_RDWR | O_CLOEXEC);
        if (fd < 0) {
            *lastError = errno == EBUSY ? kDeviceBusyError : static_cast<uint32_t>(errno);
            return nullptr;
        }
        return std::make_unique<LinuxDriverDevice>(fd);
    }
};

}  // namespace

template <>
Devices& System<Devices>() {
    static Immortal<LinuxDevices> devices;
    return devices.get();
}

}  // namespace zpx::platform
