#include <gtest/gtest.h>

#include <string>

#include "driver_fixture.h"
#include "fake_platform.h"
#include "session/call_frame.h"
#include "session/controller_name.h"
#include "zpx/zpx.h"

namespace zpx::testing {
namespace {

struct OpenCase {
    const char* name;
    uint32_t status;
    const char* path;      // device path opened, or "" for none
    int32_t index;         // deviceIndex of the opened session
    const char* keptName;  // name kept in the session
    uint32_t family;
};

TEST(OpenController, NameGrammarPicksBackEndIndexAndFamily) {
    const OpenCase cases[] = {
        {"PCI", 0, "\\\\.\\PCI51X4EX_0", 0, "PCI", kFamily51x4},
        {"PCI,5120", 0, "\\\\.\\PCI5120_0", 0, "PCI0,5120", kFamily5120},
        {"pci 3", 0, "\\\\.\\PCI51X4EX_3", 3, "pci 3", kFamily51x4},
        {"PCI 3 ", 0, "\\\\.\\PCI51X4EX_3", 3, "PCI 3 ", kFamily51x4},
        {"PCI3x", 10, "", 0, "", 0},
        {"PCI 3 4", 10, "", 0, "", 0},
        {"PCI-1", 10, "", 0, "", 0},
        {"PCI99999999999", 10, "", 0, "", 0},
        {"USB1,5120abc", 0, "\\\\.\\Usb5120_1", 1, "USB1,5120abc", kFamily5120},
        {"USB1,512", 0, "\\\\.\\Usb51x4EX_1", 1, "USB1,512", kFamily51x4},
        {"USB1,x,5120", 0, "", 0, "", 0},  // working name "USB1,x": index text fails below
        {"FW2", 0, "\\\\.\\Fw51x4_2", 2, "FW2", kFamily51x4},
        {"ISA0,5120", 0, "\\\\.\\isa5120", 0, "ISA0,5120", kFamily5120},
        {"ISA,5120", 0, "\\\\.\\isa5120", 0, "ISA0,5120", kFamily5120},
        {"ISA2,5120", 0, "\\\\.\\isa5120_2", 2, "ISA2,5120", kFamily5120},
        {"ISA0", 1, "", 0, "", 0},
        {"VXIPCI", 1, "", 0, "", 0},
        {"XYZ", 1, "", 0, "", 0},
        {"", 1, "", 0, "", 0},
        {"PCI7", 12, "", 0, "", 0},  // no such device
    };
    for (const OpenCase& c : cases) {
        SCOPED_TRACE(c.name);
        ScopedFakePlatform fake;
        auto file = std::make_shared<RegisterFile>();
        file->driverId =
            std::string(c.name).find("5120") != std::string::npos ? 0x90500000 : 0x90300000;
        for (const char* path :
             {"\\\\.\\PCI51X4EX_0", "\\\\.\\PCI5120_0", "\\\\.\\PCI51X4EX_3", "\\\\.\\Usb5120_1",
              "\\\\.\\Usb51x4EX_1", "\\\\.\\Fw51x4_2", "\\\\.\\isa5120", "\\\\.\\isa5120_2"}) {
            fake->AddDevice(path, RegisterFileHandler(file));
        }
        uint32_t status = 99;
        ZPX_Handle h = ZPX_OpenController(c.name, &status);
        if (std::string(c.name) == "USB1,x,5120") {
            EXPECT_EQ(status, 10u);
            EXPECT_EQ(h, nullptr);
            continue;
        }
        EXPECT_EQ(status, c.status);
        EXPECT_EQ(fake->lockDepth, 0);
        if (c.status != 0) {
            EXPECT_EQ(h, nullptr);
            continue;
        }
        ASSERT_NE(h, nullptr);
        ASSERT_EQ(fake->driverOpens.size(), 1u);
        EXPECT_EQ(fake->driverOpens[0].path, c.path);
        ControllerSession& s = SessionOf(h);
        EXPECT_EQ(s.deviceIndex, c.index);
        EXPECT_STREQ(s.name, c.keptName);
        EXPECT_EQ(s.family, c.family);
        EXPECT_EQ(s.inUse.load(), 1);
        EXPECT_EQ(ZPX_CloseController(h), 0u);
        EXPECT_TRUE(fake->devices[c.path]->closed);
    }
}

TEST(OpenController, OverlongAndHostileNamesAreRefusedWithoutTouchingAnything) {
    ScopedFakePlatform fake;
    uint32_t status = 0;
    EXPECT_EQ(ZPX_OpenController(nullptr, &status), nullptr);
    EXPECT_EQ(status, 10u);
    // Status pointer missing: still no crash.
    EXPECT_EQ(ZPX_OpenController("XYZ", nullptr), nullptr);

    const std::string whole(256, 'A');
    EXPECT_EQ(ZPX_OpenController(("PCI" + whole).c_str(), &status), nullptr);
    EXPECT_EQ(status, 10u);
    const std::string working = "PCI" + std::string(125, ' ');  // 128 characters
    EXPECT_EQ(ZPX_OpenController(working.c_str(), &status), nullptr);
    EXPECT_EQ(status, 10u);
    EXPECT_EQ(ZPX_OpenController(("ETH127.0.0.1" + std::string(25, '0')).c_str(), &status),
              nullptr);
    EXPECT_EQ(status, 10u);
    EXPECT_TRUE(fake->driverOpens.empty());
    EXPECT_TRUE(fake->connects.empty());

    // Every byte value, in every position of a short name, opens nothing and crashes nothing.
    for (int b = 1; b < 256; ++b) {
        for (const std::string& base : {std::string("PCI"), std::string("ETH"), std::string()}) {
            const std::string name = base + static_cast<char>(b) + "," + static_cast<char>(b);
            (void)ZPX_OpenController(name.c_str(), &status);
            EXPECT_NE(status, 0u) << name;
        }
    }
}

}  // namespace
}  // namespace zpx::testing
