// The system's platform itself (Linux, or Windows under Wine): profile files on disk shared by
// threads (and processes, where they can be forked), alarms that never end early, the library's
// own path, and TCP connections on a real loopback socket.
#include <gtest/gtest.h>

#ifdef _WIN32
#include <winsock2.h>
#else
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "platform/system_time.h"

namespace zpx::testing {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// A profile file in a fresh directory, removed with the directory at the end of the scope.
struct TempProfile {
    const fs::path dir = fs::temp_directory_path() /
                         ("zpx-unit-" + std::to_string(Clock::now().time_since_epoch().count()));
    const std::string file = (fs::create_directories(dir), (dir / "KVCtrl.dat").string());
    ~TempProfile() {
        std::error_code ignored;
        fs::remove_all(dir, ignored);
    }
};

// The file's text with line ends as "\n" (Windows writes profile files with "\r\n").
std::string Slurp(const std::string& path) {
    std::ostringstream text;
    text << std::ifstream(path, std::ios::binary).rdbuf();
    std::string lines = text.str();
    std::erase(lines, '\r');
    return lines;
}

TEST(ProfileFile, AMissingFileReadsAsDefaultsAndTheFirstWriteCreatesIt) {
    const TempProfile profile;
    const std::string& file = profile.file;
    platform::Files& p = platform::System<platform::Files>();
    EXPECT_EQ(p.ReadProfileValue(file, "ISA0,5120", "Register1", "0"), "0");
    ASSERT_TRUE(p.WriteProfileValue(file, "ISA0,5120", "Register1", "37"));
    ASSERT_TRUE(p.WriteProfileValue(file, "isa0,5120", "Register1", "36"));
    ASSERT_TRUE(p.WriteProfileValue(file, "PCI0,5120", "Register2", "5"));
    EXPECT_EQ(Slurp(file), "[ISA0,5120]\nRegister1=36\n[PCI0,5120]\nRegister2=5\n");
    // A key new to a section goes after the section's last key, as a close writes them.
    ASSERT_TRUE(p.WriteProfileValue(file, "ISA0,5120", "Register2", "7"));
    ASSERT_TRUE(p.WriteProfileValue(file, "ISA0,5120", "Register1", "35"));
    EXPECT_EQ(Slurp(file), "[ISA0,5120]\nRegister1=35\nRegister2=7\n[PCI0,5120]\nRegister2=5\n");
    EXPECT_EQ(p.ReadProfileValue(file, "Isa0,5120", "register1", "0"), "35");
}

TEST(ProfileFile, WritersInSeveralProcessesAndThreadsLoseNoKey) {
    const TempProfile profile;
    platform::Files& p = platform::System<platform::Files>();
    // Every writer puts 12 keys of its own into two sections, alternately.
    auto each = [&](const std::string& who, auto&& use) {
        bool ok = true;
        for (int k = 0; k < 12; ++k)
            ok &= use("S" + std::to_string(k % 2), who + "K" + std::to_string(k));
        return ok;
    };
    auto writeKeys = [&](const std::string& who) {
        return each(who, [&](const std::string& section, const std::string& key) {
            return p.WriteProfileValue(profile.file, section, key, who);
        });
    };
    std::vector<std::string> writers = {"T0", "T1"};
#ifndef _WIN32
    std::vector<pid_t> children;  // forked before any thread starts
    for (const char* who : {"P0", "P1", "P2"}) {
        const pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) ::_exit(writeKeys(who) ? 0 : 1);
        children.push_back(pid);
        writers.push_back(who);
    }
#endif
    bool threadOk = false;
    std::thread t0([&] { threadOk = writeKeys("T0"); });
    EXPECT_TRUE(writeKeys("T1"));
    t0.join();
    EXPECT_TRUE(threadOk);
#ifndef _WIN32
    for (pid_t pid : children) {
        int status = 0;
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
#endif
    for (const std::string& who : writers) {
        EXPECT_TRUE(each(who, [&](const std::string& section, const std::string& key) {
            return p.ReadProfileValue(profile.file, section, key, "lost") == who;
        })) << who;
    }
}

// Waits `delay` by the direct delay (kind 0, in µs) or an alarm of `kind` (1 in µs, 2 in ms).
void Wait(platform::Clock& p, uint32_t kind, uint32_t delay) {
    if (kind == 0) return p.DelayDirect(delay);
    const uint16_t id = p.AlarmAlloc(kind);
    ASSERT_NE(id, 0);
    p.AlarmSet(id, delay);
    p.AlarmWait(id);
    p.AlarmFree(id);
}

TEST(SystemAlarms, WaitsAndDelaysNeverEndBeforeTheirTimeAndTicksCountMilliseconds) {
    platform::Clock& p = platform::System<platform::Clock>();
    ASSERT_GT(p.AlarmAvail(), 0);
    // Kind, delay, least µs taken.
    const uint32_t cases[][3] = {{1, 40, 40},  {1, 250, 250}, {1, 700, 700},
                                 {2, 1, 1000}, {0, 90, 90},   {0, 450, 450}};
    for (int round = 0; round < 10; ++round) {
        for (const auto& c : cases) {
            const auto start = Clock::now();
            Wait(p, c[0], c[1]);
            EXPECT_GE(Clock::now() - start, std::chrono::microseconds(c[2])) << c[0] << " " << c[1];
        }
    }
    // A reset starts the alarm's time again.
    const uint16_t id = p.AlarmAlloc(2);
    p.AlarmSet(id, 2);
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    const auto reset = Clock::now();
    p.AlarmReset(id);
    p.AlarmWait(id);
    EXPECT_GE(Clock::now() - reset, std::chrono::milliseconds(2));
    p.AlarmFree(id);
    // The tick counter bounds the pod start-up poll (10 s): it must count milliseconds.
    const uint32_t before = p.TickMs();
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const uint32_t ticks = p.TickMs() - before;
    EXPECT_TRUE(ticks >= 180 && ticks <= 2000) << ticks;
}

#ifdef _WIN32
// Without high-resolution timers (Windows before 10 version 1803) waits sleep on a plain timer,
// which wakes on the system's clock tick, up to 15.6 ms late. They must still end on time: never
// early, and not a tick late (the bound is generous: these machines are shared and noisy).
TEST(SystemAlarms, OnAPlainTimerWaitsStillEndOnTime) {
    // Short enough to be watched through, and long enough to be slept in stages.
    for (uint32_t ms : {3u, 25u, 60u}) {
        std::vector<double> late;  // of the direct delay, alarms in µs and in ms
        std::thread([&] {
            platform::os::UsePlainTimerForTesting(true);  // for this thread's waits alone
            for (uint32_t kind : {0u, 1u, 2u}) {
                const auto start = Clock::now();
                Wait(platform::System<platform::Clock>(), kind, kind == 2 ? ms : ms * 1000);
                late.push_back(
                    std::chrono::duration<double, std::milli>(Clock::now() - start).count() - ms);
            }
        }).join();
        ASSERT_EQ(late.size(), 3u);
        std::sort(late.begin(), late.end());
        EXPECT_GE(late.front(), 0.0) << ms << " ms ended early";
        EXPECT_LT(late[1], 5.0) << ms << " ms: median lateness in ms";
    }
}
#endif

TEST(SystemFiles, LibraryPathIsTheResolvedFileOfTheCodeRunning) {
    // Linked statically into this test, the library's code lives in the test program.
    const std::string path = platform::System<platform::Files>().LibraryPath();
#ifdef _WIN32
    EXPECT_EQ(fs::path(path).filename(), "unit_tests.exe");
    EXPECT_TRUE(fs::exists(path)) << path;
#else
    EXPECT_EQ(path, fs::canonical("/proc/self/exe").string());
#endif
}

// A driver that is not installed is "not found" (2) on both systems. (The dynamic legacy paths
// are opened the way only the oldest Windows generation understands.)
TEST(SystemDevices, AMissingDriverIsNotFound) {
    uint32_t error = 0;
    EXPECT_EQ(platform::System<platform::Devices>().OpenDriver(
                  "\\\\.\\ZpxNoSuchDriver_7", platform::DriverOpenMode::kExisting, &error),
              nullptr);
    EXPECT_EQ(error, 2u);
}

// The open lock guards opens across processes: recursive for its owner, out of reach of other
// threads while held, and never kept by an owner that ended without letting go (a crashed
// process on Linux, an abandoned mutex on Windows). The counters report the value before each
// atomic change.
TEST(SystemSharedObjects, TheOpenLockIsRecursiveAndAnOwnerThatEndedLosesIt) {
#if defined(__SANITIZE_THREAD__)
    // ThreadSanitizer does not know that a lock whose owner died passes to the next waiter.
    GTEST_SKIP() << "owner death is outside ThreadSanitizer's model of locks";
#endif
    platform::SharedObjects& p = platform::System<platform::SharedObjects>();
    ASSERT_TRUE(p.Attach());
    ASSERT_NE(p.SerialRegistry(), nullptr);
    std::thread([&] {
        EXPECT_TRUE(p.LockOpen(1000));
        EXPECT_TRUE(p.LockOpen(0));
    }).join();  // ends holding it twice
    ASSERT_TRUE(p.LockOpen(2000));
    std::thread([&] { EXPECT_FALSE(p.LockOpen(50)); }).join();
    p.UnlockOpen();
    std::thread([&] {
        EXPECT_TRUE(p.LockOpen(1000));
        p.UnlockOpen();
    }).join();

    const uint32_t before = p.OpenCounterDecrement(3);
    EXPECT_EQ(p.OpenCounterIncrement(3), before - 1);
    EXPECT_EQ(p.OpenCounterDecrement(3), before);
    p.OpenCounterIncrement(3);
}

// The library's unload hook detaches; at process exit another thread may still hold the open lock
// or wait for it. A detach then leaves the objects in place, so that the holder's release touches
// live memory; once nothing uses them, a detach lets go and the next use attaches afresh.
TEST(SystemSharedObjects, ADetachWhileTheLockIsHeldLeavesTheObjectsInPlace) {
    platform::SharedObjects& p = platform::System<platform::SharedObjects>();
    ASSERT_TRUE(p.Attach());
    std::atomic<bool> held{false}, detached{false};
    std::thread holder([&] {
        ASSERT_TRUE(p.LockOpen(1000));
        uint8_t* registry = p.SerialRegistry();
        ASSERT_NE(registry, nullptr);
        held = true;
        while (!detached)
            std::this_thread::yield();
        // Nothing here attaches again (which could map the objects where they were before).
        registry[platform::kSerialRegistrySize - 1] = 0;  // reserved, zero: still mapped
        p.UnlockOpen();
    });
    while (!held)
        std::this_thread::yield();
    p.Detach();
    detached = true;
    holder.join();
    p.Detach();                     // nothing uses them now: this one lets go
    ASSERT_TRUE(p.LockOpen(1000));  // attached afresh
    p.UnlockOpen();
}

// A connection made by the platform to a loopback listener, and the peer's end of it; a peer that
// gets nothing for 5 s stops waiting, so that a fault fails the test instead of hanging it.
#ifdef _WIN32
using Socket = SOCKET;
using Length = int;
// The test's own use of the socket library, apart from the connection's.
struct SocketLibrary {
    SocketLibrary() {
        WSADATA data;
        ::WSAStartup(MAKEWORD(2, 2), &data);
    }
    ~SocketLibrary() { ::WSACleanup(); }
};
constexpr int kShutWrite = SD_SEND;
const DWORD kPeerLimit = 5000;
#define CloseSocket ::closesocket
#else
using Socket = int;
using Length = socklen_t;
struct SocketLibrary {};
constexpr int kShutWrite = SHUT_WR;
const timeval kPeerLimit{5, 0};
#define CloseSocket ::close
#endif

struct Loopback {
    SocketLibrary library;
    std::unique_ptr<platform::TcpConnection> connection;
    Socket peer = static_cast<Socket>(-1);
    bool ok = false;
    Loopback() {
        const Socket listener = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(0x7F000001);
        Length len = sizeof a;
        if (::bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
            ::listen(listener, 1) == 0 &&
            ::getsockname(listener, reinterpret_cast<sockaddr*>(&a), &len) == 0) {
            connection =
                platform::System<platform::Network>().ConnectTcp(0x7F000001, ntohs(a.sin_port), 0);
            if (connection) peer = ::accept(listener, nullptr, nullptr);
            ok = connection != nullptr && peer != static_cast<Socket>(-1);
        }
        ::setsockopt(peer, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&kPeerLimit),
                     sizeof kPeerLimit);
        CloseSocket(listener);
    }
    ~Loopback() {
        connection.reset();
        CloseSocket(peer);
    }
    // The peer's bytes until `length` arrived or the peer's wait ended.
    std::vector<uint8_t> ReceiveAtPeer(size_t length) const {
        std::vector<uint8_t> got(length);
        size_t n = 0;
        for (long r = 1; n < length && r > 0; n += r > 0 ? static_cast<size_t>(r) : 0)
            r = ::recv(peer, reinterpret_cast<char*>(got.data() + n), static_cast<int>(length - n),
                       MSG_WAITALL);
        got.resize(n);
        return got;
    }
};

// The receive under a time limit must end a quiet wait as timed out (not block, not fail), hand
// over data that arrives, and see the peer's close.
TEST(SystemTcp, ReceiveWithinTimesOutReceivesAndSeesTheClose) {
    Loopback link;
    ASSERT_TRUE(link.ok);
    uint8_t buffer[8] = {};
    // Never early, and not late by more than scheduling (a socket's own time limit ends tens of
    // milliseconds late: the long wait must not rest on it alone).
    for (uint32_t limit : {0u, 60u, 700u}) {
        const auto start = Clock::now();
        EXPECT_EQ(link.connection->ReceiveWithin(buffer, sizeof buffer, limit).outcome,
                  platform::Io::kTimedOut);
        const auto took = Clock::now() - start;
        EXPECT_GE(took, std::chrono::milliseconds(limit));
        EXPECT_LE(took, std::chrono::milliseconds(limit + 40)) << limit;
    }
    ASSERT_EQ(::send(link.peer, "abc", 3, 0), 3);
    EXPECT_EQ(link.connection->ReceiveWithin(buffer, sizeof buffer, 60).bytes, 3u);
    EXPECT_EQ(buffer[2], 'c');
    ::shutdown(link.peer, kShutWrite);
    EXPECT_EQ(link.connection->ReceiveWithin(buffer, sizeof buffer, 60).outcome,
              platform::Io::kClosed);
}

// Pieces marked as followed by more are gathered and sent in large steps; the peer must still
// see exactly the bytes in order, the unmarked piece must push everything out, and a receive
// must never wait while gathered bytes are held back (the peer could not answer them).
TEST(SystemTcp, GatheredPiecesArriveWholeAndInOrder) {
    Loopback link;
    ASSERT_TRUE(link.ok);
    // 300 KiB in 512-byte pieces (several gather limits), then an unmarked tail of 7 bytes.
    std::vector<uint8_t> block(300 * 1024 + 7);
    for (size_t i = 0; i < block.size(); ++i)
        block[i] = static_cast<uint8_t>(i * 131 + (i >> 9));
    std::atomic<bool> taken{false};
    std::thread writer([&] {
        for (size_t off = 0, n = 0; off < block.size(); off += n) {
            n = std::min<size_t>(512, block.size() - off);
            if (link.connection->Send(&block[off], n, off + n < block.size()).bytes != n) break;
        }
        while (!taken)
            std::this_thread::yield();
        const uint8_t ask[3] = {1, 2, 3};
        link.connection->Send(ask, 3, true);
        uint8_t answer = 0;
        EXPECT_EQ(link.connection->ReceiveWithin(&answer, 1, 2000).bytes, 1u);
        EXPECT_EQ(answer, 9);
    });
    EXPECT_TRUE(link.ReceiveAtPeer(block.size()) == block);
    taken = true;
    EXPECT_EQ(link.ReceiveAtPeer(3), (std::vector<uint8_t>{1, 2, 3}));
    EXPECT_EQ(::send(link.peer, "\x09", 1, 0), 1);
    writer.join();
}

}  // namespace
}  // namespace zpx::testing
