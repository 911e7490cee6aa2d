// The Linux implementation of the platform interfaces.
#pragma once

#include "platform/platform.h"

namespace zpx::platform::linux_impl {

// Maps a driver path "\\.\Name" to "/dev/name" (lower case); other paths are returned unchanged.
std::string DevicePath(const std::string& driverPath);

// Precise sleeps on the monotonic clock: sleep to shortly before the deadline, then finish by
// polling the clock, so that a wait ends after its deadline and only a few microseconds late.
uint64_t MonotonicMicros();
void SleepUntilMicros(uint64_t deadline);

class LinuxPlatform final : public Platform {
  public:
    std::unique_ptr<DriverDevice> OpenDriver(const std::string& path, DriverOpenMode mode,
                                             uint32_t* lastError) override;
    std::unique_ptr<TcpConnection> ConnectTcp(uint32_t ipv4, uint16_t port) override;

    int16_t AlarmAvail() override;
    uint16_t AlarmAlloc(uint32_t kind) override;
    void AlarmSet(uint16_t id, uint32_t delay) override;
    void AlarmReset(uint16_t id) override;
    void AlarmWait(uint16_t id) override;
    void AlarmFree(uint16_t id) override;
    void DelayDirect(uint32_t micros) override;

    void SleepMs(uint32_t ms) override;
    uint32_t TickMs() override;
    void YieldThread() override;

    bool QueryOsVersion(OsVersion* version) override;
    std::string LibraryPath() override;

    std::string ReadProfileString(const std::string& file, const std::string& section,
                                  const std::string& key, const std::string& fallback) override;
    bool WriteProfileString(const std::string& file, const std::string& section,
                            const std::string& key, const std::string& value) override;

    std::unique_ptr<DynamicLibrary> OpenLibrary(const std::string& name) override;

    bool AttachShared() override;
    void DetachShared() override;
    uint32_t OpenCounterDecrement(unsigned index) override;
    uint32_t OpenCounterIncrement(unsigned index) override;
    bool LockOpen(uint32_t timeoutMs) override;
    void UnlockOpen() override;
    uint8_t* SerialRegistry() override;
};

}  // namespace zpx::platform::linux_impl
