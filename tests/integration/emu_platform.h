// Kernel-driver devices for integration tests, installed for its lifetime: the device path of the
// test opens an emulated driver. Every other facility stays the system's own (sockets, timers,
// shared objects).
#pragma once

#include <algorithm>
#include <cctype>
#include <memory>
#include <string>

#include "driver_stand_in.h"
#include "platform/platform.h"

namespace zpx::testing {

class EmuPlatform : public platform::Devices {
  public:
    EmuPlatform() { platform::SetForTesting<platform::Devices>(this); }
    ~EmuPlatform() override { platform::SetForTesting<platform::Devices>(nullptr); }
    EmuPlatform(const EmuPlatform&) = delete;

    // Makes `path` (as the library spells it, e.g. "\\.\PCI51X4EX_0"; letter case ignored) open
    // `driver`. Like a real driver it admits one client at a time.
    void SetDriver(const std::string& path, emu::DriverStandIn* driver) {
        path_ = path;
        driver_ = driver;
    }

    std::unique_ptr<platform::DriverDevice> OpenDriver(const std::string& path,
                                                       platform::DriverOpenMode,
                                                       uint32_t* lastError) override {
        const bool found = driver_ != nullptr && SameIgnoringCase(path, path_);
        *lastError = found ? platform::kDeviceBusyError : 2;  // 2: no such device
        if (!found || open_) return nullptr;
        return std::make_unique<Device>(*this);
    }

  private:
    static bool SameIgnoringCase(const std::string& a, const std::string& b) {
        return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
            return std::tolower(static_cast<unsigned char>(x)) ==
                   std::tolower(static_cast<unsigned char>(y));
        });
    }

    // Holds the driver for as long as the library keeps the device open.
    class Device : public platform::DriverDevice {
      public:
        explicit Device(EmuPlatform& p) : p_(p) { p_.open_ = true; }
        ~Device() override { p_.open_ = false; }
        bool Request(uint32_t code, const void* in, uint32_t inLength, void* out,
                     uint32_t outLength) override {
            return p_.driver_->Request(code, in, inLength, out, outLength);
        }

      private:
        EmuPlatform& p_;
    };

    std::string path_;
    emu::DriverStandIn* driver_ = nullptr;
    bool open_ = false;
};

}  // namespace zpx::testing
