// Kernel-driver devices for integration tests, installed for its lifetime: the device path of the
// test opens an emulated driver. Every other facility stays the system's own (sockets, timers,
// shared objects). Also the status file's folder of a test, and an emulated Ethernet controller.
#pragma once

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <memory>
#include <random>
#include <string>

#include <gtest/gtest.h>

#include "controller.h"
#include "driver_stand_in.h"
#include "lan_server.h"
#include "platform/platform.h"

namespace zpx::testing {

class EmuPlatform : public platform::Devices {
  public:
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
    platform::ScopedFake<platform::Devices> installed_{this};
};

// The status file of the library's sessions in a folder of the test's own, empty at the start:
// the library's path is said to be a ZPX library in that folder. The file's place would otherwise
// depend on where the test program lies (under Wine, on drive Z:, the cut at the last 'Z' leaves
// no folder at all and the file lands in the system's folder, kept from one run to the next).
class StatusFileFolder : public platform::Files {
  public:
    StatusFileFolder() {
        std::random_device random;
        folder_ = std::filesystem::temp_directory_path() /
                  ("zpx-status-" + std::to_string(random()) + std::to_string(random()));
        std::filesystem::create_directories(folder_);
    }
    ~StatusFileFolder() override {
        std::error_code ignored;
        std::filesystem::remove_all(folder_, ignored);
    }

    std::string ReadProfileValue(const std::string& file, const std::string& section,
                                 const std::string& key, const std::string& fallback) override {
        return platform::System<platform::Files>().ReadProfileValue(file, section, key, fallback);
    }
    bool WriteProfileValue(const std::string& file, const std::string& section,
                           const std::string& key, const std::string& value) override {
        return platform::System<platform::Files>().WriteProfileValue(file, section, key, value);
    }
    std::string LibraryPath() override { return (folder_ / "ZPX.so").string(); }

  private:
    std::filesystem::path folder_;
    platform::ScopedFake<platform::Files> installed_{this};
};

// An emulated controller served over loopback Ethernet by this process's threads, on an address
// of its own, and the name that opens it.
struct LanStation {
    explicit LanStation(const emu::ControllerConfig& config = {},
                        emu::LanServerOptions options = {})
        : controller(config), server(controller, std::move(options)) {
        std::string address, error;
        EXPECT_TRUE(emu::StartOnFreeLoopback(server, emu::kLanPort, &address, &error)) << error;
        name = "ETH" + address;
    }
    emu::Controller controller;
    emu::LanServer server;
    std::string name;
};

}  // namespace zpx::testing
