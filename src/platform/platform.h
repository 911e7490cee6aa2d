// The operating-system services the library relies on, as small interfaces.
//
// Nothing outside src/platform/ talks to the operating system: the logic reaches files, sockets,
// driver devices, clocks and cross-process objects only through Current(). The default
// implementation talks to Linux; unit tests install fakes with SetPlatformForTesting.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace zpx::platform {

// An opened kernel-driver device. Each request is synchronous: it returns when the driver has
// finished, true when the driver carried the request out.
class DriverDevice {
  public:
    virtual ~DriverDevice() = default;
    virtual bool Request(uint32_t code, const void* in, uint32_t inLength, void* out,
                         uint32_t outLength) = 0;
};

// How a device path is opened. The indexed paths are opened as existing devices; the oldest
// generation's dynamic ".VXD" paths are opened with creation mode 0 and delete-on-close.
enum class DriverOpenMode { kExisting, kDynamicLegacy };

// Error code that stands for "another client holds the device".
inline constexpr uint32_t kDeviceBusyError = 170;

// One connected, blocking IPv4 TCP stream.
class TcpConnection {
  public:
    virtual ~TcpConnection() = default;
    // Sends up to `length` bytes; returns the number sent, or -1 on error. `more` says that the
    // caller sends further bytes of the same block right after, so they may share a segment.
    virtual long Send(const void* data, size_t length, bool more) = 0;
    // Sends whatever earlier sends marked `more` left waiting; false on error.
    virtual bool Flush() { return true; }
    // Waits for the socket to become readable: > 0 readable, 0 time-out, < 0 error.
    virtual int WaitReadable(uint32_t timeoutMs) = 0;
    // Receives up to `length` bytes: the number received, 0 when the peer closed, -1 on error.
    virtual long Receive(void* buffer, size_t length) = 0;

    // A wait for readability of at most `timeoutMs` followed by a receive, as one step: the
    // number received, 0 when the peer closed, -1 on error, or kReceiveTimedOut when the wait
    // ended without data. An implementation may do it as one blocking receive under a time
    // limit, which saves a system call per receive.
    static constexpr long kReceiveTimedOut = -2;
    virtual long ReceiveWithin(void* buffer, size_t length, uint32_t timeoutMs) {
        if (WaitReadable(timeoutMs) <= 0) return kReceiveTimedOut;
        return Receive(buffer, length);
    }
};

// A library loaded at run time, unloaded when the object goes away.
class DynamicLibrary {
  public:
    virtual ~DynamicLibrary() = default;
    // The address of the entry exported under `name`, or null.
    virtual void* Find(const char* name) = 0;
};

// Windows-style version record of the running system; Linux answers as the newest NT line.
struct OsVersion {
    uint32_t platformId = 0;  // 1 the 9x line, 2 the NT line
    uint32_t major = 0;
    uint32_t minor = 0;
    uint32_t build = 0;
};

class Platform {
  public:
    virtual ~Platform() = default;

    // ---- kernel drivers ----
    // Opens a device path ("\\.\Name"); on failure returns null and sets *lastError.
    virtual std::unique_ptr<DriverDevice> OpenDriver(const std::string& path, DriverOpenMode mode,
                                                     uint32_t* lastError) = 0;

    // ---- TCP ----
    // Creates a stream socket and connects it to ipv4:port (host byte order). Null on failure.
    virtual std::unique_ptr<TcpConnection> ConnectTcp(uint32_t ipv4, uint16_t port) = 0;

    // ---- settle alarms (hrt_alarm_* semantics) ----
    // Kind 2 counts milliseconds, kind 1 microseconds.
    virtual int16_t AlarmAvail() = 0;
    virtual uint16_t AlarmAlloc(uint32_t kind) = 0;
    virtual void AlarmSet(uint16_t id, uint32_t delay) = 0;
    virtual void AlarmReset(uint16_t id) = 0;
    virtual void AlarmWait(uint16_t id) = 0;
    virtual void AlarmFree(uint16_t id) = 0;
    // Blocks the calling thread for `micros` microseconds.
    virtual void DelayDirect(uint32_t micros) = 0;

    // ---- time ----
    virtual void SleepMs(uint32_t ms) = 0;
    virtual uint32_t TickMs() = 0;
    virtual void YieldThread() = 0;

    // ---- system ----
    virtual bool QueryOsVersion(OsVersion* version) = 0;
    // Full path of the library's own file, links resolved; empty when unknown.
    virtual std::string LibraryPath() = 0;

    // ---- profile (INI) files, with the semantics of Windows profile files ----
    virtual std::string ReadProfileString(const std::string& file, const std::string& section,
                                          const std::string& key, const std::string& fallback) = 0;
    virtual bool WriteProfileString(const std::string& file, const std::string& section,
                                    const std::string& key, const std::string& value) = 0;

    // ---- dynamic libraries ----
    // Loads the library of base name `name` ("vxi5120": libvxi5120.so on Linux, vxi5120.dll on
    // Windows) through the system's search; null when it cannot be loaded.
    virtual std::unique_ptr<DynamicLibrary> OpenLibrary(const std::string& name) = 0;

    // ---- cross-process objects ----
    // Attaches this process to the objects it shares with the user's other processes (the open
    // counters, the open lock, the serial registry), creating them when it is the first; false
    // when the counters or the lock are not available. Detach lets go of them; the objects
    // vanish with the last process. Both may be called again; an attached process stays so.
    virtual bool AttachShared() = 0;
    virtual void DetachShared() = 0;
    // The four open counters; both return the value held before the atomic change.
    virtual uint32_t OpenCounterDecrement(unsigned index) = 0;
    virtual uint32_t OpenCounterIncrement(unsigned index) = 0;
    // The global open lock, recursive for its owning thread. A process that died holding it does
    // not keep it: the next waiter takes it over.
    virtual bool LockOpen(uint32_t timeoutMs) = 0;
    virtual void UnlockOpen() = 0;
    // The serial registry's bytes (kSerialRegistrySize of them), zero when the objects were
    // created; null when this process has no registry. Read and written under the open lock.
    virtual uint8_t* SerialRegistry() = 0;
};

inline constexpr size_t kSerialRegistrySize = 4388;

// The platform in use: the Linux one unless a test installed another.
Platform& Current();

// Test-only hook (not exported from the shared library): installs `fake`, or the default
// platform again when null. Returns the previous one.
Platform* SetPlatformForTesting(Platform* fake);

// The Linux implementation, for tests that wrap it.
Platform& DefaultPlatform();

}  // namespace zpx::platform
