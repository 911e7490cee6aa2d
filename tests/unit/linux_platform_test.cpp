// The Linux platform itself: profile files on disk shared by processes and threads, alarms that
// never end early, and the library's own path.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"

namespace zpx::testing {
namespace {

namespace fs = std::filesystem;
using platform::DefaultPlatform;

class TempDir {
  public:
    TempDir() {
        char pattern[] = "/tmp/zpx-unit-XXXXXX";
        path_ = ::mkdtemp(pattern) != nullptr ? pattern : "";
    }
    ~TempDir() {
        std::error_code ignored;
        if (!path_.empty()) fs::remove_all(path_, ignored);
    }
    std::string File(const char* name) const { return path_ + "/" + name; }

  private:
    std::string path_;
};

std::string Slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

TEST(ProfileFile, MissingFileOrKeyReadsTheDefaultAndWritesKeepEveryOtherLine) {
    TempDir dir;
    const std::string file = dir.File("KVCtrl.dat");
    platform::Platform& p = DefaultPlatform();
    EXPECT_EQ(p.ReadProfileString(file, "ISA0,5120", "Register1", "0"), "0");
    ASSERT_TRUE(p.WriteProfileString(file, "ISA0,5120", "Register1", "37"));
    EXPECT_EQ(Slurp(file), "[ISA0,5120]\nRegister1=37\n");
    EXPECT_EQ(p.ReadProfileString(file, "isa0,5120", "REGISTER1", "0"), "37");
    EXPECT_EQ(p.ReadProfileString(file, "ISA0,5120", "Register2", "none"), "none");
    EXPECT_EQ(p.ReadProfileString(file, "PCI0,5120", "Register1", "none"), "none");

    const std::vector<std::string> kept = {"; written by hand", "[First]", "A = 1", "",
                                           "[Second]",          "B=2"};
    {
        std::ofstream out(file, std::ios::binary);
        for (const std::string& line : kept)
            out << line << "\r\n";
    }
    ASSERT_TRUE(p.WriteProfileString(file, "first", "Added", "5"));
    ASSERT_TRUE(p.WriteProfileString(file, "SECOND", "b", "20"));
    ASSERT_TRUE(p.WriteProfileString(file, "Third", "C", "3"));
    const char* const values[][3] = {{"First", "A", "1"},      {"First", "Added", "5"},
                                     {"Second", "B", "20"},    {"Third", "c", "3"},
                                     {"Second", "Added", "-"}, {"First", "C", "-"}};
    for (const auto& v : values)
        EXPECT_EQ(p.ReadProfileString(file, v[0], v[1], "-"), v[2]) << v[0] << "/" << v[1];
    const std::string text = Slurp(file);
    for (const std::string& line : kept) {
        if (line == "B=2") continue;  // replaced
        EXPECT_NE(text.find(line + "\r\n"), std::string::npos) << line;
    }
    EXPECT_EQ(text.find("B=2"), std::string::npos);
}

TEST(ProfileFile, WritersInSeveralProcessesAndThreadsLoseNoKey) {
    TempDir dir;
    const std::string file = dir.File("KVCtrl.dat");
    constexpr int kKeys = 12;
    auto writeKeys = [&](const std::string& who) {
        bool ok = true;
        for (int k = 0; k < kKeys; ++k) {
            ok &= DefaultPlatform().WriteProfileString(file, "S" + std::to_string(k % 2),
                                                       who + "K" + std::to_string(k), who);
        }
        return ok;
    };
    std::vector<pid_t> children;  // forked before any thread starts
    for (const char* who : {"P0", "P1", "P2"}) {
        const pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) ::_exit(writeKeys(who) ? 0 : 1);
        children.push_back(pid);
    }
    bool threadOk[2] = {};
    std::thread t0([&] { threadOk[0] = writeKeys("T0"); });
    std::thread t1([&] { threadOk[1] = writeKeys("T1"); });
    t0.join();
    t1.join();
    EXPECT_TRUE(threadOk[0] && threadOk[1]);
    for (pid_t pid : children) {
        int status = 0;
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    for (const std::string who : {"P0", "P1", "P2", "T0", "T1"}) {
        for (int k = 0; k < kKeys; ++k) {
            EXPECT_EQ(DefaultPlatform().ReadProfileString(file, "S" + std::to_string(k % 2),
                                                          who + "K" + std::to_string(k), "lost"),
                      who);
        }
    }
}

TEST(LinuxAlarms, WaitsAndDelaysNeverEndBeforeTheirTime) {
    using Clock = std::chrono::steady_clock;
    platform::Platform& p = DefaultPlatform();
    ASSERT_GT(p.AlarmAvail(), 0);
    struct Case {
        uint32_t kind;  // 1 µs, 2 ms, 0 the direct delay in µs
        uint32_t delay;
        int64_t micros;
    };
    const Case cases[] = {{1, 40, 40},  {1, 250, 250}, {1, 700, 700},
                          {2, 1, 1000}, {0, 90, 90},   {0, 450, 450}};
    for (int round = 0; round < 10; ++round) {
        for (const Case& c : cases) {
            const auto start = Clock::now();
            if (c.kind == 0) {
                p.DelayDirect(c.delay);
            } else {
                const uint16_t id = p.AlarmAlloc(c.kind);
                ASSERT_NE(id, 0);
                p.AlarmSet(id, c.delay);
                p.AlarmWait(id);
                p.AlarmFree(id);
            }
            const auto took = Clock::now() - start;
            EXPECT_GE(took, std::chrono::microseconds(c.micros)) << c.kind << " " << c.delay;
        }
    }
    // A reset starts the full delay again.
    const uint16_t id = p.AlarmAlloc(2);
    p.AlarmSet(id, 2);
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    const auto reset = Clock::now();
    p.AlarmReset(id);
    p.AlarmWait(id);
    EXPECT_GE(Clock::now() - reset, std::chrono::milliseconds(2));
    p.AlarmFree(id);
}

TEST(LinuxPlatform, LibraryPathIsTheResolvedFileOfTheCodeRunning) {
    // Linked statically into this test, the library's code lives in the test program.
    const std::string path = DefaultPlatform().LibraryPath();
    ASSERT_FALSE(path.empty());
    EXPECT_EQ(path.front(), '/');
    EXPECT_EQ(path, fs::canonical("/proc/self/exe").string());
}

}  // namespace
}  // namespace zpx::testing
