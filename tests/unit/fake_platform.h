// A platform for unit tests: scripted driver devices and TCP connections, a virtual clock for the
// alarms and sleeps, an in-memory profile store and shared objects. Installed for the lifetime of
// a ScopedFakePlatform.
#pragma once

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

// One driver request as the device saw it.
struct DriverCall {
    uint32_t code;
    std::vector<uint8_t> in;
    uint32_t outLength;
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
        if (!state_->handler) return false;
        return state_->handler(code, bytes, inLength, static_cast<uint8_t*>(out), outLength);
    }

  private:
    std::shared_ptr<FakeDriverState> state_;
};

// What a scripted connection does when the library waits for or receives bytes.
struct TcpEvent {
    enum Kind { kData, kTimeout, kClose, kError } kind;
    std::vector<uint8_t> data;
};

struct FakeTcpState {
    std::vector<uint8_t> sent;
    std::vector<size_t> sendSizes;
    std::vector<bool> sendMore;
    std::deque<TcpEvent> script;
    // Called after each send with everything sent so far; may append to the script (a peer that
    // answers what it received).
    std::function<void(FakeTcpState&)> onSend;
    int waits = 0;
    uint32_t lastWaitMs = 0;  // time limit of the last wait for readability
    bool failSends = false;
    bool closed = false;
};

class FakeTcpConnection : public platform::TcpConnection {
  public:
    explicit FakeTcpConnection(std::shared_ptr<FakeTcpState> state) : state_(std::move(state)) {}
    ~FakeTcpConnection() override { state_->closed = true; }

    long Send(const void* data, size_t length, bool more) override {
        if (state_->failSends) return -1;
        const auto* bytes = static_cast<const uint8_t*>(data);
        state_->sent.insert(state_->sent.end(), bytes, bytes + length);
        state_->sendSizes.push_back(length);
        state_->sendMore.push_back(more);
        if (state_->onSend) state_->onSend(*state_);
        return static_cast<long>(length);
    }
    int WaitReadable(uint32_t timeoutMs) override {
        ++state_->waits;
        state_->lastWaitMs = timeoutMs;
        if (state_->script.empty()) return 0;
        const TcpEvent& e = state_->script.front();
        if (e.kind == TcpEvent::kTimeout) {
            state_->script.pop_front();
            return 0;
        }
        return 1;
    }
    long Receive(void* buffer, size_t length) override {
        if (state_->script.empty()) return -1;
        TcpEvent& e = state_->script.front();
        if (e.kind == TcpEvent::kClose) return 0;
        if (e.kind == TcpEvent::kError) return -1;
        const size_t n = std::min(length, e.data.size());
        std::memcpy(buffer, e.data.data(), n);
        e.data.erase(e.data.begin(), e.data.begin() + static_cast<long>(n));
        if (e.data.empty()) state_->script.pop_front();
        return static_cast<long>(n);
    }

  private:
    std::shared_ptr<FakeTcpState> state_;
};

// One call to the alarm facility, for tests that check the arming protocol.
struct AlarmCall {
    std::string op;
    uint16_t id;
    uint32_t value;
};

class FakePlatform : public platform::Platform {
  public:
    // ---- drivers ----
    struct DriverOpen {
        std::string path;
        platform::DriverOpenMode mode;
    };
    std::vector<DriverOpen> driverOpens;
    std::map<std::string, std::shared_ptr<FakeDriverState>> devices;  // path -> device
    std::map<std::string, uint32_t> openErrors;                       // path -> last error

    std::shared_ptr<FakeDriverState> AddDevice(const std::string& path, DriverHandler handler) {
        auto state = std::make_shared<FakeDriverState>();
        state->handler = std::move(handler);
        devices[path] = state;
        return state;
    }

    std::unique_ptr<platform::DriverDevice> OpenDriver(const std::string& path,
                                                       platform::DriverOpenMode mode,
                                                       uint32_t* lastError) override {
        driverOpens.push_back({path, mode});
        if (auto e = openErrors.find(path); e != openErrors.end()) {
            *lastError = e->second;
            return nullptr;
        }
        auto d = devices.find(path);
        if (d == devices.end()) {
            *lastError = 2;  // file not found
            return nullptr;
        }
        return std::make_unique<FakeDriverDevice>(d->second);
    }

    // ---- TCP ----
    std::vector<std::pair<uint32_t, uint16_t>> connects;
    std::shared_ptr<FakeTcpState> nextConnection = std::make_shared<FakeTcpState>();
    bool refuseConnections = false;

    std::unique_ptr<platform::TcpConnection> ConnectTcp(uint32_t ipv4, uint16_t port) override {
        connects.emplace_back(ipv4, port);
        if (refuseConnections) return nullptr;
        return std::make_unique<FakeTcpConnection>(nextConnection);
    }

    // ---- virtual clock and alarms ----
    uint64_t nowMicros = 0;
    int16_t alarmsAvailable = 16;
    std::vector<AlarmCall> alarmCalls;
    std::vector<uint32_t> sleepsMs;
    std::vector<uint32_t> directDelays;
    struct FakeAlarm {
        uint32_t kind = 0;
        uint32_t delay = 0;
        uint64_t deadline = 0;
    };
    std::map<uint16_t, FakeAlarm> alarms;
    uint16_t nextAlarmId = 1;

    uint64_t Unit(uint32_t kind) const { return kind == 2 ? 1000 : 1; }

    int16_t AlarmAvail() override { return alarmsAvailable; }
    uint16_t AlarmAlloc(uint32_t kind) override {
        const uint16_t id = nextAlarmId++;
        alarms[id] = {kind, 0, 0};
        alarmCalls.push_back({"alloc", id, kind});
        return id;
    }
    void AlarmSet(uint16_t id, uint32_t delay) override {
        alarms[id].delay = delay;
        alarms[id].deadline = nowMicros + delay * Unit(alarms[id].kind);
        alarmCalls.push_back({"set", id, delay});
    }
    void AlarmReset(uint16_t id) override {
        alarms[id].deadline = nowMicros + alarms[id].delay * Unit(alarms[id].kind);
        alarmCalls.push_back({"reset", id, 0});
    }
    void AlarmWait(uint16_t id) override {
        alarmCalls.push_back({"wait", id, 0});
        if (alarms[id].deadline > nowMicros) nowMicros = alarms[id].deadline;
    }
    void AlarmFree(uint16_t id) override {
        alarmCalls.push_back({"free", id, 0});
        alarms.erase(id);
    }
    void DelayDirect(uint32_t micros) override {
        directDelays.push_back(micros);
        nowMicros += micros;
    }
    void SleepMs(uint32_t ms) override {
        sleepsMs.push_back(ms);
        nowMicros += uint64_t{ms} * 1000;
    }
    uint32_t TickMs() override { return static_cast<uint32_t>(nowMicros / 1000); }
    void YieldThread() override { nowMicros += 10; }

    // ---- system ----
    platform::OsVersion osVersion{2, 10, 0, 19045};
    bool osVersionFails = false;
    std::string libraryPath = "/opt/zpx/lib/ZPX.so";

    bool QueryOsVersion(platform::OsVersion* v) override {
        if (osVersionFails) return false;
        *v = osVersion;
        return true;
    }
    std::string LibraryPath() override { return libraryPath; }

    // ---- profile files ----
    std::map<std::string, std::string> files;
    std::string ReadProfileString(const std::string& file, const std::string& section,
                                  const std::string& key, const std::string& fallback) override {
        auto f = files.find(file);
        if (f == files.end()) return fallback;
        auto v = platform::ProfileLookup(f->second, section, key);
        return v ? *v : fallback;
    }
    bool WriteProfileString(const std::string& file, const std::string& section,
                            const std::string& key, const std::string& value) override {
        files[file] = platform::ProfileUpdate(files[file], section, key, value);
        return true;
    }

    // ---- shared objects ----
    uint32_t counters[4] = {1, 1, 1, 1};
    int lockDepth = 0;
    bool lockTimesOut = false;
    uint32_t OpenCounterDecrement(unsigned i) override { return counters[i]--; }
    uint32_t OpenCounterIncrement(unsigned i) override { return counters[i]++; }
    bool LockOpen(uint32_t) override {
        if (lockTimesOut) return false;
        ++lockDepth;
        return true;
    }
    void UnlockOpen() override { --lockDepth; }
};

// Installs a FakePlatform for the scope's lifetime.
class ScopedFakePlatform {
  public:
    ScopedFakePlatform() { previous_ = platform::SetPlatformForTesting(&fake_); }
    ~ScopedFakePlatform() { platform::SetPlatformForTesting(nullptr); }
    FakePlatform* operator->() { return &fake_; }
    FakePlatform& operator*() { return fake_; }

  private:
    FakePlatform fake_;
    platform::Platform* previous_ = nullptr;
};

}  // namespace zpx::testing
