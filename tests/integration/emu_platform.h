// A platform for integration tests: the real Linux platform for everything (sockets, timers,
// shared objects), except that kernel-driver device paths open emulated drivers.
#pragma once

#include <algorithm>
#include <cctype>
#include <map>
#include <memory>
#include <string>

#include "driver_stand_in.h"
#include "platform/platform.h"

namespace zpx::testing {

class EmuPlatform : public platform::Platform {
  public:
    EmuPlatform() : base_(platform::DefaultPlatform()) {}

    // Makes `path` (as the library spells it, e.g. "\\.\PCI51X4EX_0"; letter case ignored) open
    // `driver`. Like a real driver it admits one client at a time.
    void AddDriver(const std::string& path, emu::DriverStandIn* driver) {
        drivers_[Lower(path)] = Slot{driver, std::make_shared<bool>(false)};
    }
    // Whether the device at `path` is open right now.
    bool IsOpen(const std::string& path) const {
        auto it = drivers_.find(Lower(path));
        return it != drivers_.end() && *it->second.open;
    }

    std::unique_ptr<platform::DriverDevice> OpenDriver(const std::string& path,
                                                       platform::DriverOpenMode,
                                                       uint32_t* lastError) override {
        auto it = drivers_.find(Lower(path));
        if (it == drivers_.end()) {
            *lastError = 2;  // no such device
            return nullptr;
        }
        if (*it->second.open) {
            *lastError = platform::kDeviceBusyError;
            return nullptr;
        }
        return std::make_unique<Device>(it->second);
    }

    std::unique_ptr<platform::TcpConnection> ConnectTcp(uint32_t ip, uint16_t port) override {
        return base_.ConnectTcp(ip, port);
    }
    int16_t AlarmAvail() override { return base_.AlarmAvail(); }
    uint16_t AlarmAlloc(uint32_t kind) override { return base_.AlarmAlloc(kind); }
    void AlarmSet(uint16_t id, uint32_t delay) override { base_.AlarmSet(id, delay); }
    void AlarmReset(uint16_t id) override { base_.AlarmReset(id); }
    void AlarmWait(uint16_t id) override { base_.AlarmWait(id); }
    void AlarmFree(uint16_t id) override { base_.AlarmFree(id); }
    void DelayDirect(uint32_t micros) override { base_.DelayDirect(micros); }
    void SleepMs(uint32_t ms) override { base_.SleepMs(ms); }
    uint32_t TickMs() override { return base_.TickMs(); }
    void YieldThread() override { base_.YieldThread(); }
    bool QueryOsVersion(platform::OsVersion* version) override {
        return base_.QueryOsVersion(version);
    }
    std::string LibraryPath() override { return base_.LibraryPath(); }
    std::string ReadProfileString(const std::string& file, const std::string& section,
                                  const std::string& key, const std::string& fallback) override {
        return base_.ReadProfileString(file, section, key, fallback);
    }
    bool WriteProfileString(const std::string& file, const std::string& section,
                            const std::string& key, const std::string& value) override {
        return base_.WriteProfileString(file, section, key, value);
    }
    uint32_t OpenCounterDecrement(unsigned index) override {
        return base_.OpenCounterDecrement(index);
    }
    uint32_t OpenCounterIncrement(unsigned index) override {
        return base_.OpenCounterIncrement(index);
    }
    bool LockOpen(uint32_t timeoutMs) override { return base_.LockOpen(timeoutMs); }
    void UnlockOpen() override { base_.UnlockOpen(); }

  private:
    struct Slot {
        emu::DriverStandIn* driver = nullptr;
        std::shared_ptr<bool> open;
    };

    class Device : public platform::DriverDevice {
      public:
        explicit Device(const Slot& slot) : slot_(slot) { *slot_.open = true; }
        ~Device() override { *slot_.open = false; }
        bool Request(uint32_t code, const void* in, uint32_t inLength, void* out,
                     uint32_t outLength) override {
            return slot_.driver->Request(code, in, inLength, out, outLength);
        }

      private:
        Slot slot_;
    };

    static std::string Lower(std::string s) {
        std::transform(s.begin(), s.end(), s.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        return s;
    }

    platform::Platform& base_;
    std::map<std::string, Slot> drivers_;
};

// Installs an EmuPlatform for the lifetime of the object.
class ScopedEmuPlatform {
  public:
    ScopedEmuPlatform() { platform::SetPlatformForTesting(&platform_); }
    ~ScopedEmuPlatform() { platform::SetPlatformForTesting(nullptr); }
    ScopedEmuPlatform(const ScopedEmuPlatform&) = delete;
    ScopedEmuPlatform& operator=(const ScopedEmuPlatform&) = delete;
    EmuPlatform& operator*() { return platform_; }
    EmuPlatform* operator->() { return &platform_; }

  private:
    EmuPlatform platform_;
};

}  // namespace zpx::testing
