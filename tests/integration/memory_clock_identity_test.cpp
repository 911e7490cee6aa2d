// The clock and controller identity through the library's exports, against the emulated
// controller over loopback Ethernet and through the driver stand-in.
#include <gtest/gtest.h>

#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "controller.h"
#include "driver_stand_in.h"
#include "emu_platform.h"
#include "lan_server.h"
#include "zpx/zpx.h"

namespace zpx {
namespace {

struct Reach {
    const char* label;
    bool ethernet;
    emu::DriverKind kind;
    const char* name;
    const char* path;
    int type;
    bool olderDriver;
};

std::ostream& operator<<(std::ostream& os, const Reach& r) {
    return os << r.label;
}

const Reach kReaches[] = {
    {"Eth2", true, emu::DriverKind::kPci, "", "", 2, false},
    {"Pci0", false, emu::DriverKind::kPci, "PCI0,5120", "\\\\.\\PCI5120_0", 0, false},
    {"Usb2", false, emu::DriverKind::kUsb, "USB0", "\\\\.\\Usb51x4EX_0", 2, false},
    {"Isa0", false, emu::DriverKind::kIsa, "ISA0,5120", "\\\\.\\isa5120", 0, true},
    {"FireWire1", false, emu::DriverKind::kFireWire, "FW0", "\\\\.\\Fw51x4_0", 1, false},
};

class ClockIdentityOnEmulator : public ::testing::TestWithParam<Reach> {
  protected:
    void Open(emu::ControllerConfig config) {
        const Reach& r = GetParam();
        config.type = r.type;
        controller_ = std::make_unique<emu::Controller>(config);
        std::string name = r.name;
        if (r.ethernet) {
            server_ = std::make_unique<emu::LanServer>(*controller_);
            std::string address, error;
            ASSERT_TRUE(emu::StartOnFreeLoopback(*server_, emu::kLanPort, &address, &error))
                << error;
            name = "ETH" + address;
        } else {
            emu::DriverOptions options;
            options.kind = r.kind;
            options.olderDriver = r.olderDriver;
            driver_ = std::make_unique<emu::DriverStandIn>(*controller_, options);
            platform_->AddDriver(r.path, driver_.get());
        }
        uint32_t status = 99;
        handle_ = ZPX_OpenController(name.c_str(), &status);
        ASSERT_EQ(status, ZPX_STATUS_OK) << name;
    }
    void TearDown() override {
        if (handle_ != nullptr) {
            EXPECT_EQ(ZPX_CloseController(handle_), ZPX_STATUS_OK);
        }
    }
    uint64_t Requests() const {
        return server_ ? server_->RequestCount() : driver_->RequestCount();
    }
    // Ethernet writes are not answered: a read makes sure the board has taken them.
    void Sync() {
        uint32_t khz = 0;
        ASSERT_EQ(ZPX_GetCurrentFrequency(handle_, &khz), ZPX_STATUS_OK);
    }

    testing::ScopedEmuPlatform platform_;
    std::unique_ptr<emu::Controller> controller_;
    std::unique_ptr<emu::LanServer> server_;
    std::unique_ptr<emu::DriverStandIn> driver_;
    ZPX_Handle handle_ = nullptr;
};

TEST_P(ClockIdentityOnEmulator, ClockIsProgrammedCheckedAndReadBack) {
    Open({});
    const bool range = GetParam().type == 0;
    struct Step {
        int32_t khz;
        double hz;         // what the board's generator then runs at
        uint32_t readKhz;  // what the library reads back
    };
    const std::vector<Step> steps = range ? std::vector<Step>{{100, 100e3, 100},
                                                              {150, 100e3, 100},
                                                              {6300, 6.3e6, 6300},
                                                              {25000, 25e6, 25000},
                                                              {30000, 25e6, 25000}}
                                          : std::vector<Step>{{1, 1000.9765625, 1},
                                                              {10, 9960.9375, 9},
                                                              {1000, 1e6, 1000},
                                                              {16400, 16.4e6, 16400},
                                                              {50000, 40e6, 40000}};
    for (const Step& step : steps) {
        SCOPED_TRACE(step.khz);
        ASSERT_EQ(ZPX_SetCtrlFrequency(handle_, 0, step.khz), ZPX_STATUS_OK);
        uint32_t khz = 0;
        ASSERT_EQ(ZPX_GetCurrentFrequency(handle_, &khz), ZPX_STATUS_OK);
        EXPECT_EQ(khz, step.readKhz);
        EXPECT_NEAR(controller_->ClockHz(), step.hz, 1e-3);
        // In force: the check costs its two reads and nothing else.
        const uint64_t before = Requests();
        ASSERT_EQ(ZPX_CheckCtrlFrequency(handle_, 0, step.khz), ZPX_STATUS_OK);
        EXPECT_EQ(Requests(), before + 2);
    }
    // Changed behind the library's back: the check programs again.
    ASSERT_TRUE(controller_->WriteRegister(emu::kClockValueRegister, 0x55));
    ASSERT_EQ(ZPX_CheckCtrlFrequency(handle_, 0, steps[2].khz), ZPX_STATUS_OK);
    Sync();
    EXPECT_NEAR(controller_->ClockHz(), steps[2].hz, 1e-3);
    EXPECT_EQ(ZPX_SetCtrlFrequency(handle_, 0, range ? 99 : 0), ZPX_STATUS_NOT_AVAILABLE);
}

TEST_P(ClockIdentityOnEmulator, IdentityComesFromTheBoardsRegistersAndRoms) {
    if (GetParam().kind == emu::DriverKind::kIsa && !GetParam().ethernet) {
        GTEST_SKIP() << "the ISA stand-in answers reads of driver register 3 with the word "
                        "register's low byte, so the select-and-read identity cannot be seen";
    }
    emu::ControllerConfig config;
    config.epldRevision = 0xA;
    config.flashCode = 0xD2;
    config.podKind = 0;  // the older pod, with which the 5120 board passes its board test
    Open(config);
    const int type = GetParam().type;
    uint32_t v = 0;
    ASSERT_EQ(ZPX_GetControllerEPLD(handle_, &v), ZPX_STATUS_OK);
    EXPECT_EQ(v, 0xAu);
    ASSERT_EQ(ZPX_GetControllerFlash(handle_, &v), ZPX_STATUS_OK);
    EXPECT_EQ(v, 0xD2u);
    const auto sizes = emu::MemorySizes(type, 0xD2);
    for (int32_t kind = 0; kind < 6; ++kind) {
        ASSERT_EQ(ZPX_GetMemorySize(handle_, kind, &v), ZPX_STATUS_OK);
        EXPECT_EQ(v, sizes[kind]) << kind;
    }
    ASSERT_EQ(ZPX_GetCntrWaitTime(handle_, &v), ZPX_STATUS_OK);
    EXPECT_EQ(v, type == 0 ? 640u : 1000u);
    ASSERT_EQ(ZPX_BoardValid(handle_, 0, &v), ZPX_STATUS_OK);
    EXPECT_EQ(v, type == 0 ? 0u : 1u);

    auto expect = [](const std::array<uint8_t, 8>& rom, uint32_t high, uint32_t low) {
        EXPECT_EQ(low, rom[0] | rom[1] << 8 | rom[2] << 16 | static_cast<uint32_t>(rom[3]) << 24);
        EXPECT_EQ(high, rom[4] | rom[5] << 8 | rom[6] << 16 | static_cast<uint32_t>(rom[7]) << 24);
    };
    uint32_t high = 0, low = 0;
    ASSERT_EQ(ZPX_GetControllerSerialNumber(handle_, &high, &low), ZPX_STATUS_OK);
    expect(emu::SerialRom(config.controllerSerial, false), high, low);
    ASSERT_EQ(ZPX_GetTransceiverSerialNumber(handle_, &high, &low), ZPX_STATUS_OK);
    expect(emu::SerialRom(config.transceiverSerial, false), high, low);
    ASSERT_EQ(ZPX_GetPodSerialNumber(handle_, 0, &high, &low), ZPX_STATUS_OK);
    expect(emu::SerialRom(config.podSerials[0], false), high, low);
}

INSTANTIATE_TEST_SUITE_P(Reaches, ClockIdentityOnEmulator, ::testing::ValuesIn(kReaches),
                         [](const auto& info) { return std::string(info.param.label); });

}  // namespace
}  // namespace zpx
