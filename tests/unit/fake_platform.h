// A platform for unit tests: scripted driver devices and TCP connections, a log of alarm calls and
// sleeps that wait for nothing, an in-memory profile store and shared objects. Installed for the
// lifetime of a ScopedFakePlatform.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/profile_text.h"

namespace zpx::testing {

// The entries of a call log, every one followed by a space; the log starts afresh.
inline std::string TakeEntries(std::vector<std::string>& log) {
    std::string out;
    for (const std::string& entry : log)
        out += entry + " ";
    log.clear();
    return out;
}

// One driver request as the device saw it.
struct DriverCall {
    uint32_t code;
    std::vector<uint8_t> in;
    uint32_t outLength;
    bool operator==(const DriverCall&) const = default;
};

// Answers a request: fill `out` and return true, or return false to fail it.
using DriverHandler = std::function<bool(uint32_t code, const uint8_t* in, uint32_t inLength,
                                         uint8_t* out, uint32_t outLength)>;

struct FakeDriverState {
    std::vector<DriverCall> calls;
    DriverHandler handler;
    bool closed = false;
};

class FakeDriverDevice : public platform::DriverDevice {
  public:
    explicit FakeDriverDevice(std::shared_ptr<FakeDriverState> state) : state_(std::move(state)) {}
    ~FakeDriverDevice() override { state_->closed = true; }
    bool Request(uint32_t code, const void* in, uint32_t inLength, void* out,
                 uint32_t outLength) override {
        const auto* bytes = static_cast<const uint8_t*>(in);
        state_->calls.push_back(
            {code, std::vector<uint8_t>(bytes, bytes + (in != nullptr ? inLength : 0)), outLength});
        return state_->handler &&
               state_->handler(code, bytes, inLength, static_cast<uint8_t*>(out), outLength);
    }

  private:
    std::shared_ptr<FakeDriverState> state_;
};

// What a scripted connection does when the library waits for or receives bytes. kStale bytes are
// data that is already waiting when the library next looks without waiting (a late reply that
// came in while nobody read); read before that, they are data like any other.
struct TcpEvent {
    enum Kind { kData, kTimeout, kClose, kError, kStale } kind;
    std::vector<uint8_t> data;
};

struct FakeTcpState {
    std::vector<uint8_t> sent;
    std::vector<std::pair<size_t, bool>> sends;  // length and `more` of every send
    std::deque<TcpEvent> script;
    int waits = 0;
    uint32_t lastWaitMs = 0;  // time limit of the last wait for readability
    bool failSends = false;
    bool closed = false;
    size_t held = 0;  // bytes sent marked `more` that no unmarked send, flush or receive sent yet
    int flushes = 0;  // flushes that found held bytes to send
    bool failFlushes = false;
    int discards = 0;  // looks for bytes already waiting
};

class FakeTcpConnection : public platform::TcpConnection {
  public:
    explicit FakeTcpConnection(std::shared_ptr<FakeTcpState> state) : state_(std::move(state)) {}
    ~FakeTcpConnection() override { state_->closed = true; }

    platform::Io Send(const void* data, size_t length, bool more) override {
        if (state_->failSends) return {platform::Io::kFailed};
        const auto* bytes = static_cast<const uint8_t*>(data);
        state_->sent.insert(state_->sent.end(), bytes, bytes + length);
        state_->sends.emplace_back(length, more);
        state_->held = more ? state_->held + length : 0;
        return platform::Io::Moved(length);
    }
    bool Flush() override {
        if (state_->held > 0) ++state_->flushes;
        state_->held = 0;
        return !state_->failSends && !state_->failFlushes;
    }
    platform::Io WaitReadable(uint32_t timeoutMs) override {
        state_->held = 0;
        ++state_->waits;
        state_->lastWaitMs = timeoutMs;
        if (state_->script.empty()) return {platform::Io::kTimedOut};
        if (state_->script.front().kind != TcpEvent::kTimeout) return {};
        state_->script.pop_front();
        return {platform::Io::kTimedOut};
    }
    platform::Io Receive(void* buffer, size_t length) override {
        state_->held = 0;
        if (state_->script.empty()) return {platform::Io::kFailed};
        TcpEvent& e = state_->script.front();
        if (e.kind != TcpEvent::kData && e.kind != TcpEvent::kStale) {
            return {e.kind == TcpEvent::kClose ? platform::Io::kClosed : platform::Io::kFailed};
        }
        const size_t n = std::min(length, e.data.size());
        std::memcpy(buffer, e.data.data(), n);
        e.data.erase(e.data.begin(), e.data.begin() + static_cast<long>(n));
        if (e.data.empty()) state_->script.pop_front();
        return platform::Io::Moved(n);
    }
    platform::Io DiscardWaiting(size_t limit) override {
        ++state_->discards;
        size_t dropped = 0;
        while (!state_->script.empty() && state_->script.front().kind == TcpEvent::kStale &&
               dropped < limit) {
            dropped += state_->script.front().data.size();
            state_->script.pop_front();
        }
        return platform::Io::Moved(dropped);
    }

  private:
    std::shared_ptr<FakeTcpState> state_;
};

// A library the fake platform "loads": its entries by name, and what was looked up.
struct FakeLibraryState {
    std::map<std::string, void*> entries;
    std::vector<std::string> lookups;
    int loaded = 0;  // libraries of this name not yet unloaded
};

class FakeLibrary : public platform::DynamicLibrary {
  public:
    explicit FakeLibrary(std::shared_ptr<FakeLibraryState> state) : state_(std::move(state)) {
        ++state_->loaded;
    }
    ~FakeLibrary() override { --state_->loaded; }
    void* Find(const char* name) override {
        state_->lookups.emplace_back(name);
        auto e = state_->entries.find(name);
        return e == state_->entries.end() ? nullptr : e->second;
    }

  private:
    std::shared_ptr<FakeLibraryState> state_;
};

// Fakes of every facility in one object, since the logic's sleeps are logged beside the bytes the
// fake connection holds.
class FakePlatform : public platform::Devices,
                     public platform::Network,
                     public platform::Clock,
                     public platform::Files,
                     public platform::SharedObjects,
                     public platform::Libraries,
                     public platform::Host {
  public:
    std::vector<std::pair<std::string, platform::DriverOpenMode>> driverOpens;
    std::map<std::string, std::shared_ptr<FakeDriverState>> devices;  // path -> device
    std::map<std::string, uint32_t> openErrors;                       // path -> last error

    std::shared_ptr<FakeDriverState> AddDevice(const std::string& path, DriverHandler handler) {
        auto state = std::make_shared<FakeDriverState>();
        state->handler = std::move(handler);
        return devices[path] = state;
    }

    std::unique_ptr<platform::DriverDevice> OpenDriver(const std::string& path,
                                                       platform::DriverOpenMode mode,
                                                       uint32_t* lastError) override {
        driverOpens.emplace_back(path, mode);
        auto d = devices.find(path);
        if (openErrors.count(path) != 0 || d == devices.end()) {
            *lastError = openErrors.count(path) != 0 ? openErrors[path] : 2;  // 2: not found
            return nullptr;
        }
        return std::make_unique<FakeDriverDevice>(d->second);
    }

    std::vector<std::pair<uint32_t, uint16_t>> connects;
    std::shared_ptr<FakeTcpState> nextConnection = std::make_shared<FakeTcpState>();
    bool refuseConnections = false;

    uint32_t sendLimitMs = 0;  // of the last connection made
    std::unique_ptr<platform::TcpConnection> ConnectTcp(uint32_t ipv4, uint16_t port,
                                                        uint32_t limit) override {
        connects.emplace_back(ipv4, port);
        sendLimitMs = limit;
        if (refuseConnections) return nullptr;
        return std::make_unique<FakeTcpConnection>(nextConnection);
    }

    // What happened, in order; nothing waits. Alarm calls ("alloc1=2" allocates alarm 1 of kind
    // 2, "set1=300", "reset1", "wait1", "free1"), sleeps ("s25"), direct delays ("d334") and,
    // from a RegisterFile that logs here, register accesses ("w3=6", "r3=1") and refusals ("fail").
    std::vector<std::string> log;
    int16_t alarmsAvailable = 16;
    uint16_t nextAlarmId = 1;

    std::string Take() { return TakeEntries(log); }  // the log so far, which starts afresh
    void Note(const char* op, uint32_t id, const char* sep = "", uint32_t value = 0) {
        log.push_back(op + std::to_string(id) + (*sep ? sep + std::to_string(value) : ""));
    }

    int16_t AlarmAvail() override { return alarmsAvailable; }
    uint16_t AlarmAlloc(uint32_t kind) override {
        Note("alloc", nextAlarmId, "=", kind);
        return nextAlarmId++;
    }
    void AlarmSet(uint16_t id, uint32_t delay) override { Note("set", id, "=", delay); }
    void AlarmReset(uint16_t id) override { Note("reset", id); }
    void AlarmWait(uint16_t id) override { Note("wait", id); }
    void AlarmFree(uint16_t id) override { Note("free", id); }
    void DelayDirect(uint32_t micros) override { Note("d", micros); }
    void SleepMs(uint32_t ms) override {
        Note("s", ms);
        // Bytes still held back by the Ethernet connection while the caller sleeps.
        if (nextConnection->held > 0) log.push_back("HELD");
    }
    uint32_t ticks = 0;
    uint32_t tickStep = 1;  // how far the tick moves on at every look
    uint32_t TickMs() override { return ticks += tickStep; }
    void YieldThread() override {}

    platform::OsVersion osVersion{2, 10, 0, 19045};
    std::string libraryPath = "/opt/zpx/lib/ZPX.so";

    bool QueryOsVersion(platform::OsVersion* v) override {
        *v = osVersion;
        return true;
    }
    std::string LibraryPath() override { return libraryPath; }

    std::map<std::string, std::string> files;
    std::string ReadProfileValue(const std::string& file, const std::string& section,
                                 const std::string& key, const std::string& fallback) override {
        auto f = files.find(file);
        auto v = f == files.end() ? std::nullopt : platform::ProfileLookup(f->second, section, key);
        return v ? *v : fallback;
    }
    bool WriteProfileValue(const std::string& file, const std::string& section,
                           const std::string& key, const std::string& value) override {
        files[file] = platform::ProfileUpdate(files[file], section, key, value);
        return true;
    }

    std::map<std::string, std::shared_ptr<FakeLibraryState>> libraries;  // base name -> library
    std::unique_ptr<platform::DynamicLibrary> OpenLibrary(const std::string& name) override {
        auto l = libraries.find(name);
        if (l == libraries.end()) return nullptr;
        return std::make_unique<FakeLibrary>(l->second);
    }

    uint32_t counters[4] = {1, 1, 1, 1};
    int lockDepth = 0;
    bool lockAvailable = true;
    std::vector<uint8_t> registry = std::vector<uint8_t>(platform::kSerialRegistrySize, 0);
    bool hasRegistry = true;
    bool Attach() override { return true; }
    void Detach() override {}
    uint32_t OpenCounterDecrement(unsigned i) override { return counters[i]--; }
    uint32_t OpenCounterIncrement(unsigned i) override { return counters[i]++; }
    uint32_t lockTimeoutMs = 0;  // the time limit of the last wait for the open lock
    bool LockOpen(uint32_t timeoutMs) override {
        lockTimeoutMs = timeoutMs;
        return lockAvailable && ++lockDepth > 0;
    }
    void UnlockOpen() override { --lockDepth; }
    uint8_t* SerialRegistry() override { return hasRegistry ? registry.data() : nullptr; }
};

// Installs a fake platform (FakePlatform or a type derived from it) for every facility for the
// scope's lifetime.
template <class Platform>
class InstalledPlatform {
  public:
    Platform* operator->() { return &fake_; }
    Platform& operator*() { return fake_; }

  private:
    template <class F>
    using Scope = platform::ScopedFake<F>;
    Platform fake_;
    Scope<platform::Devices> devices_{&fake_};
    Scope<platform::Network> network_{&fake_};
    Scope<platform::Clock> clock_{&fake_};
    Scope<platform::Files> files_{&fake_};
    Scope<platform::SharedObjects> shared_{&fake_};
    Scope<platform::Libraries> libraries_{&fake_};
    Scope<platform::Host> host_{&fake_};
};

using ScopedFakePlatform = InstalledPlatform<FakePlatform>;

}  // namespace zpx::testing
