// Status codes of opening that depend on the running system and on the device, the single-open
// legacy paths, the Ethernet open, and identification of the opened controller.
#include <gtest/gtest.h>

#include <string>

#include "session/call_frame.h"
#include "session_helpers.h"
#include "zpx/zpx.h"

namespace zpx::testing {
namespace {

using platform::DriverOpenMode;
using platform::OsVersion;

constexpr OsVersion kNewest{2, 10, 0, 19045};
constexpr OsVersion kNt3{2, 3, 51, 1057};
constexpr OsVersion kNt4{2, 4, 0, 1381};
constexpr OsVersion kOldest{1, 4, 0, 0x00020000};     // no USB support
constexpr OsVersion kOldestUsb{1, 4, 0, 0x00030000};  // with USB support
constexpr OsVersion kMiddle9x{1, 4, 10, 0x00000000};  // indexed drivers

struct SystemCase {
    const char* name;
    OsVersion os;
    uint32_t openError;  // last error of the device open; 0: the device opens
    uint32_t status;
    const char* path;  // the one path opened, "" for none
    DriverOpenMode mode;
    int32_t index;
};

TEST(OpenController, StatusFollowsTheSystemGenerationAndTheDeviceOpen) {
    constexpr auto kOld = DriverOpenMode::kDynamicLegacy;
    constexpr auto kNew = DriverOpenMode::kExisting;
    const SystemCase cases[] = {
        {"PCI1", kOldest, 0, 13, "", kNew, 0},
        {"PCI", kOldest, 0, 0, "\\\\.\\Pci51x4.VXD", kOld, -1},
        {"PCI,5120", kOldest, 0, 0, "\\\\.\\Pci5120.VXD", kOld, -1},
        {"ISA,5120", kOldest, 0, 0, "\\\\.\\isa5120.VXD", kOld, -1},
        {"USB,5120", kOldestUsb, 0, 0, "\\\\.\\Usb5120", kNew, -1},
        {"USB 0", kOldestUsb, 0, 0, "\\\\.\\Usb51x4", kNew, -1},
        {"USB", kOldest, 0, 14, "", kNew, 0},
        {"USB", kOldestUsb, 170, 16, "\\\\.\\Usb51x4", kNew, 0},
        {"PCI", kOldest, 170, 12, "\\\\.\\Pci51x4.VXD", kOld, 0},
        {"ISA,5120", kOldest, 5, 12, "\\\\.\\isa5120.VXD", kOld, 0},
        {"PCI", kMiddle9x, 0, 0, "\\\\.\\PCI51X4EX_0", kNew, 0},
        {"PCI", kNt3, 0, 15, "", kNew, 0},
        {"ISA0,5120", kNt3, 0, 15, "", kNew, 0},
        {"USB", kNt3, 0, 14, "", kNew, 0},
        {"FW1", kNt3, 0, 0, "\\\\.\\Fw51x4_1", kNew, 1},
        {"USB", kNt4, 0, 14, "", kNew, 0},
        {"PCI 2", kNt4, 0, 0, "\\\\.\\PCI51X4EX_2", kNew, 2},
        {"PCI4", kNewest, 170, 16, "\\\\.\\PCI51X4EX_4", kNew, 0},
        {"USB4", kNewest, 5, 12, "\\\\.\\Usb51x4EX_4", kNew, 0},
        {"FW0", kNewest, 170, 16, "\\\\.\\Fw51x4_0", kNew, 0},
        {"ISA3,5120", kNewest, 2, 12, "\\\\.\\isa5120_3", kNew, 0},
    };
    for (const SystemCase& c : cases) {
        SCOPED_TRACE(c.name);
        ScopedFakePlatform fake;
        fake->osVersion = c.os;
        auto file = std::make_shared<RegisterFile>();
        if (c.openError != 0) fake->openErrors[c.path] = c.openError;
        if (c.status == 0) fake->AddDevice(c.path, SelectRegisterHandler(file));
        uint32_t status = 99;
        ZPX_Handle h = ZPX_OpenController(c.name, &status);
        EXPECT_EQ(status, c.status);
        EXPECT_EQ(fake->lockDepth, 0);
        if (c.path[0] == '\0') {
            EXPECT_TRUE(fake->driverOpens.empty());
        } else {
            ASSERT_EQ(fake->driverOpens.size(), 1u);
            EXPECT_EQ(fake->driverOpens[0].path, c.path);
            EXPECT_EQ(fake->driverOpens[0].mode, c.mode);
        }
        if (c.status != 0) {
            EXPECT_EQ(h, nullptr);
            // A failed open gives back any legacy counter it took.
            for (uint32_t counter : fake->counters)
                EXPECT_EQ(counter, 1u);
            continue;
        }
        ASSERT_NE(h, nullptr);
        EXPECT_EQ(SessionOf(h).deviceIndex, c.index);
        EXPECT_EQ(ZPX_CloseController(h), 0u);
    }
}

TEST(OpenController, LegacyPathAdmitsOneOpenAcrossFamilies) {
    ScopedFakePlatform fake;
    fake->osVersion = kOldest;
    constexpr const char* kPath = "\\\\.\\Pci51x4.VXD";
    uint32_t status = 0;
    fake->AddDevice(kPath, SelectRegisterHandler(std::make_shared<RegisterFile>()));
    ZPX_Handle first = ZPX_OpenController("PCI", &status);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(status, 0u);
    EXPECT_EQ(fake->counters[1], 0u);

    // A second open of the path (5120 family shares the PCI counter) fails before any device
    // open, and leaves the counter as it found it.
    const size_t opens = fake->driverOpens.size();
    EXPECT_EQ(ZPX_OpenController("PCI,5120", &status), nullptr);
    EXPECT_EQ(status, 12u);
    EXPECT_EQ(fake->driverOpens.size(), opens);
    EXPECT_EQ(fake->counters[1], 0u);
    EXPECT_EQ(fake->counters[0] + fake->counters[2] + fake->counters[3], 3u);

    EXPECT_EQ(ZPX_CloseController(first), 0u);
}

TEST(OpenController, EthernetConnectsToPort5104AndPausesOnce) {
    {
        ScopedFakePlatform fake;
        auto regs = std::make_shared<std::map<uint8_t, uint32_t>>();
        (*regs)[3] = 0x08;
        ServeLanRegisters(*fake->nextConnection, regs);
        uint32_t status = 99;
        ZPX_Handle h = ZPX_OpenController("ETH127.1.2.3,5120", &status);
        ASSERT_NE(h, nullptr);
        EXPECT_EQ(status, 0u);
        ASSERT_EQ(fake->connects.size(), 1u);
        EXPECT_EQ(fake->connects[0], std::make_pair(0x7F010203u, uint16_t{5104}));
        EXPECT_EQ(fake->sleepsMs, std::vector<uint32_t>{1});
        // An Ethernet controller is of the 51x4 family whatever its name says.
        EXPECT_EQ(SessionOf(h).controllerType, 2);
        EXPECT_EQ(SessionOf(h).chunkSize, 8192u);
        std::vector<Request> identify;  // select write and read, then registers 1, 2, 0x0B
        for (uint32_t command : {0x01030002u, 0x01030001u, 0x01010001u, 0x01020001u, 0x010B0001u})
            identify.emplace_back(command, 0, 0);
        EXPECT_EQ(Packets(*fake->nextConnection), identify);
        EXPECT_EQ(ZPX_CloseController(h), 0u);
        EXPECT_TRUE(fake->nextConnection->closed);
    }
    for (const char* name : {"ETH127.0.0", "ETH127.0.0.256", "ETH 127.0.0.1", "ETH127.0.0.1x"}) {
        ScopedFakePlatform fake;
        uint32_t status = 0;
        EXPECT_EQ(ZPX_OpenController(name, &status), nullptr);
        EXPECT_EQ(status, 1u) << name;
        EXPECT_TRUE(fake->connects.empty()) << name;
    }
    ScopedFakePlatform fake;
    fake->refuseConnections = true;
    uint32_t status = 0;
    EXPECT_EQ(ZPX_OpenController("ETH127.0.0.1", &status), nullptr);
    EXPECT_EQ(status, 1u);
    EXPECT_EQ(fake->connects.size(), 1u);
    EXPECT_TRUE(fake->sleepsMs.empty());
}

struct IdCase {
    const char* name;
    const char* path;
    int64_t driverId;  // -1: the driver refuses the id request
    uint8_t register3;
    uint32_t status;
    int32_t type;
    uint32_t legacy;
    bool idQuery;        // the id request is sent
    int failAfter = -1;  // requests served before the driver fails them
};

TEST(IdentifyController, DriverAnswerAndRegister3GiveTypeAndDriverGeneration) {
    const IdCase cases[] = {
        {"PCI", "\\\\.\\PCI51X4EX_0", 0x90300000, 0x00, 0, 3, 0, true},
        {"PCI", "\\\\.\\PCI51X4EX_0", 0x9030FFFF, 0x04, 0, 1, 0, true},
        {"USB", "\\\\.\\Usb51x4EX_0", 0x90301234, 0x08, 0, 2, 0, true},
        {"PCI,5120", "\\\\.\\PCI5120_0", 0x9050ABCD, 0x08, 0, 0, 0, true},
        {"USB,5120", "\\\\.\\Usb5120_0", -1, 0x08, 0, 0, 1, true},
        {"PCI", "\\\\.\\PCI51X4EX_0", -1, 0x08, 0, 0, 1, true},
        {"PCI", "\\\\.\\PCI51X4EX_0", 0x90400000, 0x08, 12, 0, 0, true},
        {"USB", "\\\\.\\Usb51x4EX_0", 0x00009030, 0x08, 12, 0, 0, true},
        {"FW0", "\\\\.\\Fw51x4_0", 0x90500000, 0x08, 0, 2, 0, false},
        {"FW0,5120", "\\\\.\\Fw51x4_0", -1, 0x00, 0, 3, 0, false},
        {"ISA0,5120", "\\\\.\\isa5120", 0x90300000, 0x08, 0, 0, 1, false},
        // The select write, or the read after it, fails.
        {"PCI", "\\\\.\\PCI51X4EX_0", 0x90300000, 0x08, 12, 0, 0, true, 1},
        {"PCI", "\\\\.\\PCI51X4EX_0", 0x90300000, 0x08, 12, 0, 0, true, 2},
    };
    for (const IdCase& c : cases) {
        SCOPED_TRACE(std::string(c.name) + " " + std::to_string(c.driverId));
        ScopedFakePlatform fake;
        auto file = std::make_shared<RegisterFile>();
        file->driverId = c.driverId;
        file->regs[3] = c.register3;
        file->failAfter = c.failAfter;
        auto device = fake->AddDevice(c.path, SelectRegisterHandler(file));
        uint32_t status = 99;
        ZPX_Handle h = ZPX_OpenController(c.name, &status);
        EXPECT_EQ(status, c.status);
        const std::vector<Request> seen = Requests(*device);
        EXPECT_EQ(!seen.empty() && std::get<0>(seen[0]) == transport::kDriverIdQuery, c.idQuery);
        if (c.idQuery) {
            EXPECT_EQ(device->calls[0].in, std::vector<uint8_t>(4, 0));
            EXPECT_EQ(device->calls[0].outLength, 4u);
        }
        if (c.status != 0) {
            EXPECT_EQ(h, nullptr);
            EXPECT_TRUE(device->closed);
            continue;
        }
        ASSERT_NE(h, nullptr);
        if (c.type >= 1) {
            // The model is read through the select register: write 0, read it back (FireWire
            // reads registers 0 to 3 at once).
            const uint32_t readAs = std::string(c.path).find("Fw") != std::string::npos ? 0 : 3;
            const size_t at = c.idQuery ? 1 : 0;
            ASSERT_GE(seen.size(), at + 2);
            EXPECT_EQ(seen[at], WriteOf(3, 0));
            EXPECT_EQ(seen[at + 1], ReadOf(readAs));
        }
        uint32_t type = 99;
        EXPECT_EQ(ZPX_GetControllerType(h, &type), 0u);
        EXPECT_EQ(type, static_cast<uint32_t>(c.type));
        EXPECT_EQ(SessionOf(h).legacyDriver, c.legacy);
        EXPECT_EQ(ZPX_CloseController(h), 0u);
    }
}

}  // namespace
}  // namespace zpx::testing
