// The objects the user's processes share, across real processes: the serial registry filled by
// opens in several processes and read by name from another, its 32-entry limit, a lock holder
// killed while holding, objects that start afresh once every process has gone, and two users
// side by side. Each test forks; ctest runs them one at a time, since every zpx process of the
// user shares these objects.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <functional>
#include <memory>
#include <new>
#include <string>

#include "../integration/emu_platform.h"
#include "core/bytes.h"
#include "platform/platform.h"
#include "platform/system_shared.h"
#include "zpx/zpx.h"

namespace zpx {
namespace {

platform::SharedObjects& P() {
    return platform::Use<platform::SharedObjects>();
}

uint32_t EntryCount() {
    const uint8_t* registry = P().SerialRegistry();
    return registry != nullptr ? GetU32(registry) : 0xFFFFFFFF;
}

std::string EntryName(uint32_t i) {
    return reinterpret_cast<const char*>(P().SerialRegistry() + 4 + 136 * i);
}

// Runs `body` in a child process; its result is the child's exit code (0 is success).
int InChild(const std::function<int()>& body) {
    const pid_t pid = ::fork();
    if (pid == 0) ::_exit(body());
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// Opens `name` and closes it again: 0 when both succeed, else 10 + the open's status.
int OpenAndClose(const std::string& name) {
    uint32_t status = 99;
    ZPX_Handle h = ZPX_OpenController(name.c_str(), &status);
    return h != nullptr && ZPX_CloseController(h) == ZPX_STATUS_OK ? 0
                                                                   : 10 + static_cast<int>(status);
}

// An emulated Ethernet controller of the 51x4 family with a serial number of its own, served by
// this process's threads.
struct Emulated : testing::LanStation {
    Emulated()
        : LanStation([] {
              emu::ControllerConfig config;
              config.controllerSerial = 0x00C0DE0051A4;
              return config;
          }()) {}
};

TEST(Registry, OpensInSeveralProcessesAppendAndAnotherProcessPeeksByName) {
    Emulated emulated;
    ASSERT_TRUE(P().Attach());
    const uint32_t before = EntryCount();
    ASSERT_LE(before, 28u);
    constexpr int kProcesses = 3;
    for (int i = 0; i < kProcesses; ++i)
        EXPECT_EQ(InChild([&] { return OpenAndClose(emulated.name); }), 0);
    ASSERT_EQ(EntryCount(), before + kProcesses);
    for (uint32_t i = before; i < before + kProcesses; ++i)
        EXPECT_EQ(EntryName(i), emulated.name);

    // Another process finds it in any letter case without connecting to the controller.
    const uint64_t connections = emulated.server.ConnectionsAccepted();
    const auto rom = emu::SerialRom(0x00C0DE0051A4, false);
    const uint32_t high = GetU32(rom.data() + 4), low = GetU32(rom.data());
    const std::string lower = "eth" + emulated.name.substr(3);
    EXPECT_EQ(InChild([&] {
                  uint32_t first = 0, second = 0;
                  const uint32_t rc =
                      ZPX_ControllerSerialNumberPeek(lower.c_str(), &first, &second);
                  return rc == ZPX_STATUS_OK && first == high && second == low ? 0 : 1;
              }),
              0);
    EXPECT_EQ(emulated.server.ConnectionsAccepted(), connections);
    // Giving it back changes nothing; a 5120-family open records nothing.
    uint32_t first = 0, second = 0;
    EXPECT_EQ(ZPX_ControllerSerialNumberFree(emulated.name.c_str(), &first, &second),
              ZPX_STATUS_OK);
    EXPECT_EQ(OpenAndClose(emulated.name + ",5120"), 0);
    EXPECT_EQ(EntryCount(), before + kProcesses);
    EXPECT_EQ(ZPX_ControllerSerialNumberAlloc(emulated.name.c_str(), &first, &second),
              ZPX_STATUS_OK);
    EXPECT_EQ(first, high);
    EXPECT_EQ(ZPX_ControllerSerialNumberPeek(nullptr, &first, &second), ZPX_STATUS_FAILED);
    EXPECT_EQ(ZPX_ControllerSerialNumberPeek("ETH127.0.3.254", &first, &second), ZPX_STATUS_FAILED);
}

TEST(Registry, ThirtyTwoEntriesAtMostAndOpensGoOnRegardless) {
    Emulated emulated;
    ASSERT_TRUE(P().Attach());
    for (int i = 0; i < 33; ++i)
        ASSERT_EQ(OpenAndClose(emulated.name), 0) << i;
    EXPECT_EQ(EntryCount(), 32u);
}

TEST(Registry, AHolderKilledWhileHoldingTheLockDoesNotBlockTheOthers) {
#if defined(__SANITIZE_THREAD__)
    // ThreadSanitizer does not know that a lock whose owner died passes to the next waiter.
    GTEST_SKIP() << "owner death is outside ThreadSanitizer's model of locks";
#endif
    Emulated emulated;
    ASSERT_TRUE(P().Attach());
    EXPECT_EQ(InChild([] {
                  if (!P().LockOpen(1000)) return 1;
                  ::raise(SIGKILL);
                  return 2;
              }),
              128 + SIGKILL);
    ASSERT_TRUE(P().LockOpen(2000));
    P().UnlockOpen();
    // The registry still serves, from this and from another process.
    uint32_t first = 0, second = 0;
    EXPECT_EQ(OpenAndClose(emulated.name), 0);
    EXPECT_EQ(InChild([&] {
                  return ZPX_ControllerSerialNumberPeek(emulated.name.c_str(), &first, &second);
              }),
              0);
}

TEST(Registry, ObjectsStartAfreshOnceEveryProcessHasGoneCrashOrNot) {
    Emulated emulated;
    // This process lets go; a process that records an entry dies without letting go; the next
    // process to come finds the objects new.
    P().Detach();
    EXPECT_EQ(InChild([&] {
                  uint32_t status = 99;
                  if (ZPX_OpenController(emulated.name.c_str(), &status) == nullptr) return 1;
                  if (EntryCount() == 0 || !P().LockOpen(1000)) return 2;
                  ::raise(SIGKILL);  // holding the lock and the session
                  return 3;
              }),
              128 + SIGKILL);
    EXPECT_EQ(InChild([] {
                  if (!P().Attach() || EntryCount() != 0) return 1;
                  for (unsigned counter = 0; counter < 4; ++counter) {
                      if (P().OpenCounterDecrement(counter) != 1) return 2;
                  }
                  return P().LockOpen(0) ? 0 : 3;
              }),
              0);
    ASSERT_TRUE(P().Attach());
    EXPECT_EQ(EntryCount(), 0u);
}

// A peek whose nested open fails on an allocation gives 1 and lets go of the lock: another
// process opens at once, instead of waiting the 20 s out and failing.
TEST(Registry, APeekThatFailsOnAnAllocationLetsGoOfTheLock) {
    Emulated emulated;
    ASSERT_TRUE(P().Attach());
    struct NoMemory : platform::Network {
        std::unique_ptr<platform::TcpConnection> ConnectTcp(uint32_t, uint16_t, uint32_t) override {
            throw std::bad_alloc();
        }
    } noMemory;
    {
        const platform::ScopedFake<platform::Network> fake(&noMemory);
        uint32_t first = 0, second = 0;
        EXPECT_EQ(ZPX_ControllerSerialNumberPeek("ETH127.0.3.253", &first, &second),
                  ZPX_STATUS_FAILED);
    }
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(InChild([&] { return OpenAndClose(emulated.name); }), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
}

// Another user's processes have objects of their own: neither blocked by this user's lock nor
// able to open this user's objects.
TEST(Registry, TwoUsersSideBySide) {
    if (::getuid() != 0) GTEST_SKIP() << "needs root to run a second user";
    Emulated emulated;
    ASSERT_TRUE(P().Attach());
    // Held by another process of this user for the whole test. (A process does not let go of
    // the objects while one of its threads holds the lock, and a fork inherits that state.)
    int ready[2], done[2];
    ASSERT_EQ(::pipe(ready), 0);
    ASSERT_EQ(::pipe(done), 0);
    const pid_t holder = ::fork();
    if (holder == 0) {
        char mark = P().LockOpen(1000) ? 'y' : 'n';
        (void)!::write(ready[1], &mark, 1);
        (void)!::read(done[0], &mark, 1);
        P().UnlockOpen();
        ::_exit(0);
    }
    char mark = 0;
    ASSERT_EQ(::read(ready[0], &mark, 1), 1);
    ASSERT_EQ(mark, 'y');
    const std::string mine =
        "/__SnrRootMap__." + std::to_string(::getuid()) + platform::os::SharedNameSuffix();
    constexpr uid_t kOther = 65534;
    EXPECT_EQ(InChild([&] {
                  P().Detach();
                  if (::setgid(kOther) != 0 || ::setuid(kOther) != 0) return 1;
                  // This user's registry stays closed to the other.
                  if (::shm_open(mine.c_str(), O_RDONLY, 0) >= 0 || errno != EACCES) return 2;
                  if (!P().Attach() || !P().LockOpen(1000)) return 3;
                  P().UnlockOpen();
                  uint32_t first = 0, second = 0;
                  if (ZPX_ControllerSerialNumberPeek(emulated.name.c_str(), &first, &second) !=
                      ZPX_STATUS_OK)
                      return 4;
                  return EntryCount() >= 1 ? 0 : 5;
              }),
              0);
    (void)!::write(done[1], &mark, 1);
    ::waitpid(holder, nullptr, 0);
    for (int fd : {ready[0], ready[1], done[0], done[1]})
        ::close(fd);
}

}  // namespace
}  // namespace zpx
