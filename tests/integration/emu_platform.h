// A platform for integration tests, installed for its lifetime: the real Linux platform for
// everything (sockets, timers, shared objects), except that the kernel-driver device path of the
// test opens an emulated driver.
#pragma once

#include <strings.h>

#include <memory>
#include <string>

#include "driver_stand_in.h"
#include "platform/platform.h"

namespace zpx::testing {

class EmuPlatform : public platform::Platform {
  public:
    EmuPlatform() : base_(platform::DefaultPlatform()) { platform::SetPlatformForTesting(this); }
    ~EmuPlatform() override { platform::SetPlatformForTesting(nullptr); }
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
        const bool found = driver_ != nullptr && strcasecmp(path.c_str(), path_.c_str()) == 0;
        *lastError = found ? platform::kDeviceBusyError : 2;  // 2: no such device
        if (!found || open_) return nullptr;
        return std::make_unique<Device>(*this);
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
    bool QueryOsVersion(platform::OsVersion* v) override { return base_.QueryOsVersion(v); }
    std::string LibraryPath() override { return base_.LibraryPath(); }
    std::string ReadProfileString(const std::string& file, const std::string& section,
                                  const std::string& key, const std::string& fallback) override {
        return base_.ReadProfileString(file, section, key, fallback);
    }
    bool WriteProfileString(const std::string& file, const std::string& section,
                            const std::string& key, const std::string& value) override {
        return base_.WriteProfileString(file, section, key, value);
    }
    std::unique_ptr<platform::DynamicLibrary> OpenLibrary(const std::string& name) override {
        return base_.OpenLibrary(name);
    }
    bool AttachShared() override { return base_.AttachShared(); }
    void DetachShared() override { base_.DetachShared(); }
    uint8_t* SerialRegistry() override { return base_.SerialRegistry(); }
    uint32_t OpenCounterDecrement(unsigned i) override { return base_.OpenCounterDecrement(i); }
    uint32_t OpenCounterIncrement(unsigned i) override { return base_.OpenCounterIncrement(i); }
    bool LockOpen(uint32_t timeoutMs) override { return base_.LockOpen(timeoutMs); }
    void UnlockOpen() override { base_.UnlockOpen(); }

  private:
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

    platform::Platform& base_;
    std::string path_;
    emu::DriverStandIn* driver_ = nullptr;
    bool open_ = false;
};

}  // namespace zpx::testing
