// The operating-system services the library relies on, one small interface per facility.
//
// Nothing outside src/platform/ talks to the operating system: the logic reaches driver devices,
// sockets, clocks, files, cross-process objects, run-time libraries and the host's version only
// through Use<Facility>(). The system's own implementation of each facility (linux/ or win32/,
// picked by the build) serves unless a test installed a fake of that one facility.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace zpx::platform {

// ---- kernel-driver devices ----

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

class Devices {
  public:
    virtual ~Devices() = default;
    // Opens a device path ("\\.\Name") for reading and writing without sharing; on failure
    // returns null and sets *lastError.
    virtual std::unique_ptr<DriverDevice> OpenDriver(const std::string& path, DriverOpenMode mode,
                                                     uint32_t* lastError) = 0;
};

// ---- network ----

// What a send, a wait or a receive on a connection did: how many bytes it moved, or why it moved
// none. The same on every system.
struct Io {
    enum Outcome : uint8_t {
        kDone,      // done: `bytes` moved (a wait: the socket is readable)
        kTimedOut,  // the wait ended without data
        kClosed,    // the peer closed the connection
        kFailed,    // the system reported an error
    };
    Outcome outcome = kDone;
    size_t bytes = 0;

    static constexpr Io Moved(size_t bytes) { return {kDone, bytes}; }
    constexpr bool done() const { return outcome == kDone; }
};

// One connected, blocking IPv4 TCP stream.
class TcpConnection {
  public:
    virtual ~TcpConnection() = default;
    // Sends up to `length` bytes: done with the number sent, or failed. `more` says that the
    // caller sends further bytes of the same block right after, so they may share a segment.
    virtual Io Send(const void* data, size_t length, bool more) = 0;
    // Sends whatever earlier sends marked `more` left waiting; false on error.
    virtual bool Flush() { return true; }
    // Waits for the socket to become readable: done, timed out, or failed.
    virtual Io WaitReadable(uint32_t timeoutMs) = 0;
    // Receives up to `length` bytes: done with at least one byte, closed, or failed.
    virtual Io Receive(void* buffer, size_t length) = 0;

    // A wait for readability of at most `timeoutMs` followed by a receive, as one step; a wait
    // that ended without data, or on an error of the wait itself, is timed out. An
    // implementation may do it as one blocking receive under a time limit, which saves a system
    // call per receive.
    virtual Io ReceiveWithin(void* buffer, size_t length, uint32_t timeoutMs) {
        if (!WaitReadable(timeoutMs).done()) return {Io::kTimedOut};
        return Receive(buffer, length);
    }

    // Drops up to `limit` bytes that have already arrived, without waiting for any: done with
    // the number dropped, or closed or failed.
    virtual Io DiscardWaiting(size_t limit) {
        uint8_t scrap[4096];
        size_t dropped = 0;
        while (dropped < limit) {
            const Io ready = WaitReadable(0);
            if (ready.outcome == Io::kTimedOut) break;
            if (!ready.done()) return ready;
            const Io got =
                Receive(scrap, limit - dropped < sizeof scrap ? limit - dropped : sizeof scrap);
            if (!got.done()) return got;
            dropped += got.bytes;
        }
        return Io::Moved(dropped);
    }
};

class Network {
  public:
    virtual ~Network() = default;
    // Creates a stream socket and connects it to ipv4:port (host byte order). Null on failure.
    // A send that cannot go on for `sendLimitMs` (0: no limit) fails, so that a peer that stopped
    // reading cannot hold the caller forever. The connection holds whatever the system's socket
    // library needs for as long as it lives.
    virtual std::unique_ptr<TcpConnection> ConnectTcp(uint32_t ipv4, uint16_t port,
                                                      uint32_t sendLimitMs) = 0;
};

// ---- time: settle alarms (hrt_alarm_* semantics), delays, sleeps, ticks ----

class Clock {
  public:
    virtual ~Clock() = default;
    // Kind 2 counts milliseconds, kind 1 microseconds.
    virtual int16_t AlarmAvail() = 0;
    virtual uint16_t AlarmAlloc(uint32_t kind) = 0;
    virtual void AlarmSet(uint16_t id, uint32_t delay) = 0;
    virtual void AlarmReset(uint16_t id) = 0;
    virtual void AlarmWait(uint16_t id) = 0;
    virtual void AlarmFree(uint16_t id) = 0;
    // Blocks the calling thread for `micros` microseconds.
    virtual void DelayDirect(uint32_t micros) = 0;
    virtual void SleepMs(uint32_t ms) = 0;
    virtual uint32_t TickMs() = 0;
    virtual void YieldThread() = 0;
};

// ---- files ----

class Files {
  public:
    virtual ~Files() = default;
    // Profile (INI) files, with the semantics of Windows profile files.
    virtual std::string ReadProfileValue(const std::string& file, const std::string& section,
                                         const std::string& key, const std::string& fallback) = 0;
    virtual bool WriteProfileValue(const std::string& file, const std::string& section,
                                   const std::string& key, const std::string& value) = 0;
    // Full path of the library's own file, links resolved; empty when unknown.
    virtual std::string LibraryPath() = 0;
};

// ---- objects shared with the user's other processes ----

inline constexpr size_t kSerialRegistrySize = 4388;

class SharedObjects {
  public:
    virtual ~SharedObjects() = default;
    // Attaches this process to the objects it shares with the user's other processes (the open
    // counters, the open lock, the serial registry), creating them when it is the first; false
    // when the counters are not available. Detach lets go of them; the objects vanish with the
    // last process. Both may be called again; an attached process stays so.
    virtual bool Attach() = 0;
    virtual void Detach() = 0;
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

// ---- libraries loaded at run time ----

// A library loaded at run time, unloaded when the object goes away.
class DynamicLibrary {
  public:
    virtual ~DynamicLibrary() = default;
    // The address of the entry exported under `name`, or null.
    virtual void* Find(const char* name) = 0;
};

class Libraries {
  public:
    virtual ~Libraries() = default;
    // Loads the library of base name `name` ("vxi5120": libvxi5120.so on Linux, vxi5120.dll on
    // Windows) through the system's search; null when it cannot be loaded.
    virtual std::unique_ptr<DynamicLibrary> OpenLibrary(const std::string& name) = 0;
};

// ---- the host ----

// Windows-style version record of the running system; Linux answers as the newest NT line.
struct OsVersion {
    uint32_t platformId = 0;  // 1 the 9x line, 2 the NT line
    uint32_t major = 0;
    uint32_t minor = 0;
    uint32_t build = 0;
};

class Host {
  public:
    virtual ~Host() = default;
    virtual bool QueryOsVersion(OsVersion* version) = 0;
};

// ---- choosing the implementation ----

// The system's own implementation of a facility, defined by the operating-system layer.
template <class Facility>
Facility& System();
template <>
Devices& System<Devices>();
template <>
Network& System<Network>();
template <>
Clock& System<Clock>();
template <>
Files& System<Files>();
template <>
SharedObjects& System<SharedObjects>();
template <>
Libraries& System<Libraries>();
template <>
Host& System<Host>();

namespace detail {
template <class Facility>
inline std::atomic<Facility*> g_fake{nullptr};
}

// The facility in use: the system's own unless a test installed a fake of it.
template <class Facility>
Facility& Use() {
    Facility* fake = detail::g_fake<Facility>.load(std::memory_order_acquire);
    return fake != nullptr ? *fake : System<Facility>();
}

// Test-only hook (the shared library exports nothing but its ZPX_ entries): installs `fake` for
// one facility, or the system's implementation again when null; the other facilities stay as
// they are. Returns the previous fake, or null.
template <class Facility>
Facility* SetForTesting(Facility* fake) {
    return detail::g_fake<Facility>.exchange(fake, std::memory_order_acq_rel);
}

// Test-only hook: the names of the objects shared with other processes carry `tag` (set before
// the first use), so that test programs share objects among themselves and never with a
// station's programs. The shared library never sets one.
void SetSharedNamesForTesting(const char* tag);

// Installs a fake for one facility for the lifetime of the object.
template <class Facility>
class ScopedFake {
  public:
    explicit ScopedFake(Facility* fake) : previous_(SetForTesting(fake)) {}
    ~ScopedFake() { SetForTesting(previous_); }
    ScopedFake(const ScopedFake&) = delete;
    ScopedFake& operator=(const ScopedFake&) = delete;

  private:
    Facility* previous_;
};

}  // namespace zpx::platform
