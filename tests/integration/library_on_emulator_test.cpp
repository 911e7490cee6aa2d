// The library's exports against the emulated controller, over loopback Ethernet and through the
// driver stand-in, for every controller type each back-end can carry.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "controller.h"
#include "driver_stand_in.h"
#include "emu_platform.h"
#include "lan_server.h"
#include "zpx/zpx.h"

namespace zpx {
namespace {

using emu::DriverKind;

struct Backend {
    const char* label;
    bool ethernet;
    DriverKind kind;
    const char* name;  // controller name (Ethernet: filled in with the emulator's address)
    const char* path;  // device path the library opens
    int type;          // what the emulated board is
    bool olderDriver;
    uint32_t reportedType;  // what the library makes of it
    uint32_t interfaceKind;
    bool statusFromDevice;  // registers 1 and 2 are restored from the board or driver at open
};

std::ostream& operator<<(std::ostream& os, const Backend& b) {
    return os << b.label;
}

const Backend kBackends[] = {
    {"Eth1", true, DriverKind::kPci, "", "", 1, false, 1, ZPX_INTERFACE_ETHERNET, true},
    {"Eth2", true, DriverKind::kPci, "", "", 2, false, 2, ZPX_INTERFACE_ETHERNET, true},
    {"Eth3", true, DriverKind::kPci, "", "", 3, false, 3, ZPX_INTERFACE_ETHERNET, true},
    {"Pci0", false, DriverKind::kPci, "PCI0,5120", "\\\\.\\PCI5120_0", 0, false, 0,
     ZPX_INTERFACE_PCI, true},
    {"Pci1", false, DriverKind::kPci, "PCI0", "\\\\.\\PCI51X4EX_0", 1, false, 1, ZPX_INTERFACE_PCI,
     true},
    {"Pci2", false, DriverKind::kPci, "PCI 2", "\\\\.\\PCI51X4EX_2", 2, false, 2, ZPX_INTERFACE_PCI,
     true},
    {"Pci3", false, DriverKind::kPci, "PCI0", "\\\\.\\PCI51X4EX_0", 3, false, 3, ZPX_INTERFACE_PCI,
     true},
    // An older driver knows no identification: whatever the board, the library takes it for the
    // 5120 family and keeps its status registers in the INI file.
    {"PciOlderDriver", false, DriverKind::kPci, "PCI0", "\\\\.\\PCI51X4EX_0", 2, true, 0,
     ZPX_INTERFACE_PCI, false},
    {"Usb0", false, DriverKind::kUsb, "USB1,5120", "\\\\.\\Usb5120_1", 0, false, 0,
     ZPX_INTERFACE_USB, true},
    {"Usb2", false, DriverKind::kUsb, "USB0", "\\\\.\\Usb51x4EX_0", 2, false, 2, ZPX_INTERFACE_USB,
     true},
    {"Isa0", false, DriverKind::kIsa, "ISA0,5120", "\\\\.\\isa5120", 0, true, 0, ZPX_INTERFACE_ISA,
     false},
    {"FireWire1", false, DriverKind::kFireWire, "FW0", "\\\\.\\Fw51x4_0", 1, false, 1,
     ZPX_INTERFACE_FIREWIRE, true},
    {"FireWire3", false, DriverKind::kFireWire, "FW0", "\\\\.\\Fw51x4_0", 3, false, 3,
     ZPX_INTERFACE_FIREWIRE, true},
};

constexpr uint8_t kPowerUpErrorBits = 0x04;
constexpr uint8_t kRunErrorBits = 0x10;

class LibraryOnEmulatorTest : public ::testing::TestWithParam<Backend> {
  protected:
    void SetUp() override {
        const Backend& b = GetParam();
        emu::ControllerConfig config;
        config.type = b.type;
        config.errorBits = kPowerUpErrorBits;
        config.runErrorBits = kRunErrorBits;
        // About 250 ms per run at the clock the board powers up with.
        config.runPeriods = static_cast<uint64_t>(0.25 * emu::ClockHz(b.type, 0, 0));
        controller_ = std::make_unique<emu::Controller>(config);
        if (b.ethernet) {
            server_ = std::make_unique<emu::LanServer>(*controller_);
            std::string address, error;
            ASSERT_TRUE(emu::StartOnFreeLoopback(*server_, emu::kLanPort, &address, &error))
                << error;
            name_ = "ETH" + address;
        } else {
            emu::DriverOptions options;
            options.kind = b.kind;
            options.olderDriver = b.olderDriver;
            driver_ = std::make_unique<emu::DriverStandIn>(*controller_, options);
            platform_->AddDriver(b.path, driver_.get());
            name_ = b.name;
        }
        uint32_t status = 99;
        handle_ = ZPX_OpenController(name_.c_str(), &status);
        ASSERT_EQ(status, ZPX_STATUS_OK) << name_;
        ASSERT_NE(handle_, nullptr);
    }
    void TearDown() override {
        if (handle_ != nullptr) {
            EXPECT_EQ(ZPX_CloseController(handle_), ZPX_STATUS_OK);
        }
    }

    // Ethernet writes are not answered: a read through the same connection makes sure the board
    // has taken every write before the test looks at it.
    void Sync() {
        uint32_t ignored = 0;
        ASSERT_EQ(ZPX_GetLearnMode(handle_, &ignored), ZPX_STATUS_OK);
    }
    uint32_t Register(unsigned reg) {
        Sync();
        uint32_t v = 0;
        controller_->ReadRegister(reg, &v);
        return v;
    }
    // Arranges for the next request to meet `fault`.
    void FaultNext(emu::FaultKind kind, uint32_t delayMs = 0) {
        emu::Fault f;
        f.kind = kind;
        f.delayMs = delayMs;
        f.first = (server_ ? server_->RequestCount() : driver_->RequestCount()) + 1;
        if (server_)
            server_->SetFaults({f});
        else
            driver_->SetFaults({f});
    }

    testing::ScopedEmuPlatform platform_;
    std::unique_ptr<emu::Controller> controller_;
    std::unique_ptr<emu::LanServer> server_;
    std::unique_ptr<emu::DriverStandIn> driver_;
    std::string name_;
    ZPX_Handle handle_ = nullptr;
};

TEST_P(LibraryOnEmulatorTest, OpensIdentifiesAndCloses) {
    const Backend& b = GetParam();
    uint32_t type = 99, kind = 99;
    ASSERT_EQ(ZPX_GetControllerType(handle_, &type), ZPX_STATUS_OK);
    EXPECT_EQ(type, b.reportedType);
    ASSERT_EQ(ZPX_GetInterfaceType(handle_, &kind, nullptr, nullptr), ZPX_STATUS_OK);
    EXPECT_EQ(kind, b.interfaceKind);

    if (b.ethernet) {
        EXPECT_EQ(server_->ConnectionsAccepted(), 1u);
    } else {
        EXPECT_TRUE(platform_->IsOpen(b.path));
        // The driver admits one client: a second open of the same device is refused.
        uint32_t status = 0;
        EXPECT_EQ(ZPX_OpenController(name_.c_str(), &status), nullptr);
        EXPECT_NE(status, ZPX_STATUS_OK);
    }
    EXPECT_EQ(ZPX_CloseController(handle_), ZPX_STATUS_OK);
    handle_ = nullptr;
    if (!b.ethernet) {
        EXPECT_FALSE(platform_->IsOpen(b.path));
    }
}

TEST_P(LibraryOnEmulatorTest, StartsRunsStopsAndReportsErrors) {
    const Backend& b = GetParam();
    ASSERT_EQ(ZPX_SetRunMode(handle_, 0x0C), ZPX_STATUS_OK);
    EXPECT_EQ(Register(0), 0x0Cu);

    ASSERT_EQ(ZPX_StartController(handle_), ZPX_STATUS_OK);
    Sync();
    EXPECT_TRUE(controller_->Running());
    uint32_t running = 0;
    ASSERT_EQ(ZPX_GetControllerStatus(handle_, &running), ZPX_STATUS_OK);
    EXPECT_EQ(running, 3u);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (running != 0 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        ASSERT_EQ(ZPX_GetControllerStatus(handle_, &running), ZPX_STATUS_OK);
    }
    EXPECT_EQ(running, 0u);
    EXPECT_EQ(Register(0), 0x0Cu);  // the run bits cleared by the board, the mode kept

    uint32_t error = 0;
    ASSERT_EQ(ZPX_GetError(handle_, &error), ZPX_STATUS_OK);
    EXPECT_EQ(error, uint32_t{kPowerUpErrorBits | kRunErrorBits});
    // Clearing works on the copy restored at open: from the board or driver it holds the
    // power-up bits; kept in the INI file (absent here) it starts at 0.
    ASSERT_EQ(ZPX_ClearError(handle_, kRunErrorBits), ZPX_STATUS_OK);
    ASSERT_EQ(ZPX_GetError(handle_, &error), ZPX_STATUS_OK);
    EXPECT_EQ(error, b.statusFromDevice ? kPowerUpErrorBits : 0u);

    ASSERT_EQ(ZPX_StartController(handle_), ZPX_STATUS_OK);
    ASSERT_EQ(ZPX_StopController(handle_), ZPX_STATUS_OK);
    Sync();
    EXPECT_FALSE(controller_->Running());
    EXPECT_EQ(controller_->RunCount(), 2u);

    ASSERT_EQ(ZPX_BootController(handle_, 3), ZPX_STATUS_OK);
    Sync();
    EXPECT_EQ(controller_->BootCount(), 1u);
    EXPECT_EQ(controller_->LastBootImage(), 3u);
    EXPECT_EQ(controller_->RunCount(), 2u);
}

TEST_P(LibraryOnEmulatorTest, ModeAndPodRegisterBits) {
    uint32_t value = 0;
    ASSERT_EQ(ZPX_SetTapEnable(handle_, 0x5F), ZPX_STATUS_OK);
    ASSERT_EQ(ZPX_GetTapEnable(handle_, &value), ZPX_STATUS_OK);
    EXPECT_EQ(value, 0x50u);
    ASSERT_EQ(ZPX_SetLearnMode(handle_, 0x04), ZPX_STATUS_OK);
    ASSERT_EQ(ZPX_GetLearnMode(handle_, &value), ZPX_STATUS_OK);
    EXPECT_EQ(value, 0x04u);
    ASSERT_EQ(ZPX_SetCntCounter(handle_), ZPX_STATUS_OK);
    EXPECT_EQ(Register(2) & 0xF6, 0x56u);  // enables, learn mode, counter bit; the copy's bit 0

    for (bool pressed : {true, false}) {
        controller_->SetButton(pressed);
        ASSERT_EQ(ZPX_GetButton(handle_, &value), ZPX_STATUS_OK);
        EXPECT_EQ(value, pressed ? 1u : 0u);
    }
    ASSERT_EQ(ZPX_SetVPPMode(handle_, 0x80), ZPX_STATUS_OK);
    EXPECT_EQ(Register(1) & 0xC0, 0x80u);
    ASSERT_EQ(ZPX_SetRepeaterMode(handle_, 0x10), ZPX_STATUS_OK);
    ASSERT_EQ(ZPX_SetImmMode(handle_, 0x40), ZPX_STATUS_OK);
    EXPECT_EQ(Register(0), 0x50u);
}

TEST_P(LibraryOnEmulatorTest, ContinuousModeCounterRoundTrips) {
    if (GetParam().kind == DriverKind::kFireWire && !GetParam().ethernet)
        GTEST_SKIP() << "the FireWire quadlet at 4 carries the clock registers in bytes 6-7, "
                        "where the word read looks for the counter (open question)";
    uint32_t value = 0;
    for (uint32_t count : {0xBEEFu, 0x0001u, 0xFF00u}) {
        ASSERT_EQ(ZPX_SetContModeCounter(handle_, count), ZPX_STATUS_OK);
        EXPECT_EQ(Register(emu::kWordRegister), count);
        ASSERT_EQ(ZPX_GetContModeCounter(handle_, &value), ZPX_STATUS_OK);
        EXPECT_EQ(value, count);
    }
}

TEST_P(LibraryOnEmulatorTest, TransportFaultsSurfaceAsFailures) {
    uint32_t error = 0;
    // A late reply is still a reply.
    FaultNext(emu::FaultKind::kDelayReply, 300);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(ZPX_GetError(handle_, &error), ZPX_STATUS_OK);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(300));
    EXPECT_EQ(error, kPowerUpErrorBits);

    // A refused driver request, or a connection the controller closes, fails the call at once.
    FaultNext(server_ ? emu::FaultKind::kCloseConnection : emu::FaultKind::kFailRequest);
    EXPECT_EQ(ZPX_GetError(handle_, &error), ZPX_STATUS_INVALID);
    // A driver goes on serving; a broken connection stays broken.
    EXPECT_EQ(ZPX_GetError(handle_, &error), server_ ? ZPX_STATUS_INVALID : ZPX_STATUS_OK);
}

TEST_P(LibraryOnEmulatorTest, MemoriesMoveThroughTheirAddressCounters) {
    const Backend& b = GetParam();
    const auto sizes = emu::MemorySizes(b.type, controller_->Config().flashCode);
    // Odd and longer than every chunk size, so the pieces and the USB rounding both show.
    std::vector<uint8_t> data(20001);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<uint8_t>(i * 7 + i / 251);
    const uint32_t address = 0x100;
    for (uint32_t memory = 0; memory < 6; ++memory) {
        SCOPED_TRACE(memory);
        if (sizes[memory] == 0) continue;
        data[0] = static_cast<uint8_t>(memory);
        ASSERT_EQ(ZPX_WriteCtrlMemory(handle_, memory, address, data.size(), data.data()),
                  ZPX_STATUS_OK);
        const uint8_t tail[3] = {0xA5, 0x5A, static_cast<uint8_t>(memory)};
        ASSERT_EQ(ZPX_WriteCtrlMemoryNa(handle_, memory, sizeof tail, tail), ZPX_STATUS_OK);
        Sync();
        EXPECT_EQ(controller_->PeekMemory(memory, address, data.size()), data);
        EXPECT_EQ(controller_->PeekMemory(memory, address + data.size(), 3),
                  std::vector<uint8_t>(tail, tail + 3));
        EXPECT_EQ(controller_->ReadCounter(memory < 3 ? memory : 3),
                  address + data.size() + sizeof tail);

        std::vector<uint8_t> back(data.size());
        ASSERT_EQ(ZPX_ReadMemory(handle_, 0, memory, address, back.size(), back.data()),
                  ZPX_STATUS_OK);
        EXPECT_EQ(back, data);
    }
    // The addressed read of memory 5 starts one byte further on.
    uint8_t first = 0;
    ASSERT_EQ(ZPX_ReadCtrlMemory(handle_, 5, address - 1, 1, &first), ZPX_STATUS_OK);
    EXPECT_EQ(first, 5);
}

TEST_P(LibraryOnEmulatorTest, CountersLandWhereTheBoardKeepsThem) {
    const bool legacy = GetParam().olderDriver;
    for (uint32_t counter = 0; counter <= 4; ++counter)
        ASSERT_EQ(ZPX_WriteCtrlCounter(handle_, counter, 0x012345 + 0x111111 * counter),
                  ZPX_STATUS_OK);
    ASSERT_EQ(ZPX_WriteCounter(handle_, 0, 5, 0xFEDCBA98), ZPX_STATUS_OK);
    Sync();
    // Older drivers have no request for counter 5: it travels as select 0.
    EXPECT_EQ(controller_->ReadCounter(0), legacy ? 0xDCBA98u : 0x012345u);
    for (uint32_t counter = 1; counter <= 4; ++counter)
        EXPECT_EQ(controller_->ReadCounter(counter), 0x012345 + 0x111111 * counter) << counter;
    EXPECT_EQ(controller_->ReadCounter(5), legacy ? 0u : 0xFEDCBA98u);

    // Read counters: 0 the immediate address counter; 1 and 2 only without an older driver.
    const uint32_t expected[3] = {0x456789, legacy ? 0u : 0x345678u, legacy ? 0u : 0xFEDCBA98u};
    for (uint32_t counter = 0; counter < 3; ++counter) {
        uint32_t value = 99;
        ASSERT_EQ(ZPX_ReadCtrlCounter(handle_, counter, &value), ZPX_STATUS_OK);
        EXPECT_EQ(value, expected[counter]) << counter;
    }
}

INSTANTIATE_TEST_SUITE_P(Backends, LibraryOnEmulatorTest, ::testing::ValuesIn(kBackends),
                         [](const auto& info) { return std::string(info.param.label); });

TEST(LibraryOnEmulatorLan, TwoSessionsShareOneControllerAndAnAbsentOneFailsToOpen) {
    emu::ControllerConfig config;
    config.type = 3;
    config.errorBits = 0x21;
    emu::Controller controller(config);
    emu::LanServer server(controller);
    std::string address, error;
    ASSERT_TRUE(emu::StartOnFreeLoopback(server, emu::kLanPort, &address, &error)) << error;
    const std::string name = "ETH" + address;

    uint32_t status = 99;
    ZPX_Handle first = ZPX_OpenController(name.c_str(), &status);
    ASSERT_EQ(status, ZPX_STATUS_OK);
    ZPX_Handle second = ZPX_OpenController(name.c_str(), &status);
    ASSERT_EQ(status, ZPX_STATUS_OK);
    uint32_t a = 0, b = 0;
    EXPECT_EQ(ZPX_GetError(first, &a), ZPX_STATUS_OK);
    EXPECT_EQ(ZPX_GetError(second, &b), ZPX_STATUS_OK);
    EXPECT_EQ(a, 0x21u);
    EXPECT_EQ(b, 0x21u);
    EXPECT_EQ(ZPX_CloseController(first), ZPX_STATUS_OK);
    EXPECT_EQ(ZPX_CloseController(second), ZPX_STATUS_OK);

    // Nobody listens there: StartOnFreeLoopback only hands out 127.0.0.x, so a test running in
    // parallel cannot take it.
    EXPECT_EQ(ZPX_OpenController("ETH127.0.2.254", &status), nullptr);
    EXPECT_EQ(status, ZPX_STATUS_FAILED);
}

}  // namespace
}  // namespace zpx
