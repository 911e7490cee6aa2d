// Opening: the name grammar, the status codes that depend on the running system and on the device,
// identification of the opened controller, the single-open legacy paths and the Ethernet open.
#include <gtest/gtest.h>

#include <string>

#include "driver_fixture.h"
#include "session/handle_table.h"
#include "session/in_use_guard.h"
#include "session/serial_registry.h"

namespace zpx::testing {
namespace {

using platform::OsVersion;
using Connects = std::vector<std::pair<uint32_t, uint16_t>>;  // address and port of each attempt

constexpr OsVersion kNewest{2, 10, 0, 19045};
constexpr OsVersion kNt3{2, 3, 51, 1057};
constexpr OsVersion kNt4{2, 4, 0, 1381};
constexpr OsVersion kOldest{1, 4, 0, 0x00020000};     // no USB support
constexpr OsVersion kOldestUsb{1, 4, 0, 0x00030000};  // with USB support
constexpr OsVersion kMiddle9x{1, 4, 10, 0x00000000};  // indexed drivers

struct OpenCase {
    const char* name;
    uint32_t status = 0;
    const char* path = "";  // the one path opened; a ".VXD" path is opened dynamically
    int32_t index = 0;
    int32_t type = 3;  // what identification makes of the driver's answer and register 3
    uint32_t legacy = 0;
    OsVersion os = kNewest;
    uint32_t openError = 0;  // last error of the device open
    int64_t driverId = 0;    // -1: the id request is refused; 0: the id of the name's family
    uint8_t register3 = 0;
    int failAfter = -1;  // requests the driver serves before it fails them
};

TEST(OpenController, NameSystemAndDeviceGiveThePathStatusAndIdentity) {
    const OpenCase cases[] = {
        {"PCI", ZPX_STATUS_OK, kPci.path},
        {"PCI,5120", ZPX_STATUS_OK, kPci5120.path, 0, 0},
        {"pci 3 ", ZPX_STATUS_OK, "\\\\.\\PCI51X4EX_3", 3},
        {"PCI3x", ZPX_STATUS_INVALID},
        {"PCI 3 4", ZPX_STATUS_INVALID},
        {"PCI-1", ZPX_STATUS_INVALID},  // "%u" takes the sign: 4294967295, no device index
        {"PCI +3", ZPX_STATUS_OK, "\\\\.\\PCI51X4EX_3", 3},
        {"PCI-4294967294", ZPX_STATUS_OK, "\\\\.\\PCI51X4EX_2", 2},
        {"PCI+", ZPX_STATUS_INVALID},
        // Cut to 32 bits.
        {"PCI99999999999", ZPX_STATUS_CANNOT_OPEN, "\\\\.\\PCI51X4EX_1215752191", 0, 3, 0, kNewest,
         2},
        {"PCI99999999999999999999", ZPX_STATUS_INVALID},  // past 64 bits: 4294967295
        {"USB1,5120abc", ZPX_STATUS_OK, "\\\\.\\Usb5120_1", 1, 0},
        {"USB1,512", ZPX_STATUS_OK, "\\\\.\\Usb51x4EX_1", 1},
        {"USB1,x,5120", ZPX_STATUS_INVALID},  // index text "1,x"
        {"FW2", ZPX_STATUS_OK, "\\\\.\\Fw51x4_2", 2},
        {"ISA,5120", ZPX_STATUS_OK, kIsa.path, 0, 0, 1},
        {"ISA2,5120", ZPX_STATUS_OK, "\\\\.\\isa5120_2", 2, 0, 1},
        {"ISA0", ZPX_STATUS_FAILED},  // the 51x4 family has no ISA board
        {"VXIPCI", ZPX_STATUS_FAILED},
        {"", ZPX_STATUS_FAILED},
        {"PCI4", ZPX_STATUS_DEVICE_BUSY, "\\\\.\\PCI51X4EX_4", 0, 3, 0, kNewest, 170},
        {"ISA3,5120", ZPX_STATUS_CANNOT_OPEN, "\\\\.\\isa5120_3", 0, 3, 0, kNewest, 2},
        // The running system's generation.
        {"PCI1", ZPX_STATUS_LEGACY_INDEX, "", 0, 3, 0, kOldest},
        {"PCI", ZPX_STATUS_OK, "\\\\.\\Pci51x4.VXD", -1, 3, 0, kOldest},
        {"PCI,5120", ZPX_STATUS_OK, "\\\\.\\Pci5120.VXD", -1, 0, 0, kOldest},
        {"ISA,5120", ZPX_STATUS_OK, "\\\\.\\isa5120.VXD", -1, 0, 1, kOldest},
        {"USB,5120", ZPX_STATUS_OK, "\\\\.\\Usb5120", -1, 0, 0, kOldestUsb},
        {"USB 0", ZPX_STATUS_OK, "\\\\.\\Usb51x4", -1, 3, 0, kOldestUsb},
        {"USB", ZPX_STATUS_NO_USB, "", 0, 3, 0, kOldest},
        {"USB", ZPX_STATUS_DEVICE_BUSY, "\\\\.\\Usb51x4", 0, 3, 0, kOldestUsb, 170},
        {"PCI", ZPX_STATUS_CANNOT_OPEN, "\\\\.\\Pci51x4.VXD", 0, 3, 0, kOldest, 170},
        {"ISA,5120", ZPX_STATUS_CANNOT_OPEN, "\\\\.\\isa5120.VXD", 0, 3, 0, kOldest, 5},
        {"PCI", ZPX_STATUS_OK, kPci.path, 0, 3, 0, kMiddle9x},
        {"PCI", ZPX_STATUS_OS_UNSUPPORTED, "", 0, 3, 0, kNt3},
        {"ISA0,5120", ZPX_STATUS_OS_UNSUPPORTED, "", 0, 3, 0, kNt3},
        {"USB", ZPX_STATUS_NO_USB, "", 0, 3, 0, kNt3},
        {"FW1", ZPX_STATUS_OK, "\\\\.\\Fw51x4_1", 1, 3, 0, kNt3},
        {"USB", ZPX_STATUS_NO_USB, "", 0, 3, 0, kNt4},
        {"PCI 2", ZPX_STATUS_OK, "\\\\.\\PCI51X4EX_2", 2, 3, 0, kNt4},
        // The driver's answer and the model bits of register 3.
        {"PCI", ZPX_STATUS_OK, kPci.path, 0, 1, 0, kNewest, 0, 0x9030FFFF, 0x04},
        {"PCI", ZPX_STATUS_OK, kPci.path, 0, 1, 0, kNewest, 0, 0x90300000, 0x0C},
        {"USB", ZPX_STATUS_OK, kUsb.path, 0, 2, 0, kNewest, 0, 0x90301234, 0x08},
        {"PCI,5120", ZPX_STATUS_OK, kPci5120.path, 0, 0, 0, kNewest, 0, 0x9050ABCD},
        {"USB,5120", ZPX_STATUS_OK, kUsb5120.path, 0, 0, 1, kNewest, 0, -1},
        {"PCI", ZPX_STATUS_OK, kPci.path, 0, 0, 1, kNewest, 0, -1},
        {"PCI", ZPX_STATUS_CANNOT_OPEN, kPci.path, 0, 3, 0, kNewest, 0, 0x90400000},
        {"USB", ZPX_STATUS_CANNOT_OPEN, kUsb.path, 0, 3, 0, kNewest, 0, 0x00009030},
        {"FW0", ZPX_STATUS_OK, kFireWire.path, 0, 2, 0, kNewest, 0, 0x90500000, 0x08},
        {"FW0,5120", ZPX_STATUS_OK, kFireWire.path, 0, 3, 0, kNewest, 0, -1},
        // The select write fails, then the read after it.
        {"PCI", ZPX_STATUS_CANNOT_OPEN, kPci.path, 0, 3, 0, kNewest, 0, 0, 0, 1},
        {"PCI", ZPX_STATUS_CANNOT_OPEN, kPci.path, 0, 3, 0, kNewest, 0, 0, 0, 2},
    };
    for (const OpenCase& c : cases) {
        SCOPED_TRACE(std::string(c.name) + " on " + std::to_string(c.os.major) + ", driver " +
                     std::to_string(c.driverId) + ", failing after " + std::to_string(c.failAfter));
        ScopedFakePlatform fake;
        fake->osVersion = c.os;
        auto file = std::make_shared<RegisterFile>();
        const bool family5120 = std::string(c.name).find("5120") != std::string::npos;
        file->driverId = c.driverId != 0 ? c.driverId : family5120 ? 0x90500000 : 0x90300000;
        file->selected[0] = {c.register3};
        file->failAfter = c.failAfter;
        if (c.openError != 0) fake->openErrors[c.path] = c.openError;
        file->log = &fake->log;
        auto device = fake->AddDevice(c.path, RegisterFileHandler(file));
        uint32_t status = 99;
        ZPX_Handle h = ZPX_OpenController(c.name, &status);
        EXPECT_EQ(status, c.status);
        EXPECT_EQ(fake->lockDepth, 0);
        const bool opened = c.path[0] != '\0' && c.openError == 0;
        ASSERT_EQ(fake->driverOpens.size(), c.path[0] == '\0' ? 0u : 1u);
        if (c.path[0] != '\0') {
            EXPECT_EQ(fake->driverOpens[0].first, c.path);
            EXPECT_EQ(fake->driverOpens[0].second, std::string(c.path).ends_with(".VXD")
                                                       ? platform::DriverOpenMode::kDynamicLegacy
                                                       : platform::DriverOpenMode::kExisting);
        }
        // PCI and USB drivers are asked who they are, with four zero bytes.
        const bool asksId = opened && (c.path[4] == 'P' || c.path[4] == 'U');
        const DriverCall idQuery{transport::kDriverIdQuery, {0, 0, 0, 0}, 4};
        EXPECT_EQ(!device->calls.empty() && device->calls[0] == idQuery, asksId);
        if (c.status != ZPX_STATUS_OK) {
            EXPECT_EQ(h, nullptr);
            EXPECT_EQ(device->closed, opened);
            EXPECT_EQ(std::vector<uint32_t>(fake->counters, fake->counters + 4),
                      std::vector<uint32_t>(4, 1));
            continue;
        }
        ASSERT_NE(h, nullptr);
        uint32_t index = 99;
        EXPECT_EQ(ZPX_GetInterfaceType(h, nullptr, &index, nullptr), ZPX_STATUS_OK);
        EXPECT_EQ(static_cast<int32_t>(index), c.index);
        // The model is read through the select register: write 0, read it back (FireWire reads
        // registers 0 to 3 at once).
        const std::string model = c.type < 1 ? "" : c.path[4] == 'F' ? "w3=0 r0=" : "w3=0 r3=";
        EXPECT_EQ(fake->Take().substr(0, model.size()), model);
        EXPECT_EQ(static_cast<int32_t>(GetFrom(h, ZPX_GetControllerType)), c.type);
        EXPECT_EQ(SessionOf(h).backend->legacyDriver(), c.legacy);
        EXPECT_EQ(ZPX_CloseController(h), ZPX_STATUS_OK);
    }
}

TEST(OpenController, OverlongAndNullNamesAreRefusedWithoutTouchingAnything) {
    ScopedFakePlatform fake;
    EXPECT_EQ(ZPX_OpenController("XYZ", nullptr), nullptr);  // no status pointer: no crash
    for (const std::string& name : {"PCI," + std::string(256, '5'), "PCI" + std::string(125, ' '),
                                    "ETH127.0.0.1" + std::string(25, '0')})
        EXPECT_EQ(FailedOpen(name.c_str()), ZPX_STATUS_INVALID) << name.size();
    EXPECT_EQ(FailedOpen(nullptr), ZPX_STATUS_INVALID);
    EXPECT_TRUE(fake->driverOpens.empty());
    EXPECT_TRUE(fake->connects.empty());
}

TEST(OpenController, LegacyPathAdmitsOneOpenAcrossFamilies) {
    ScopedFakePlatform fake;
    fake->osVersion = kOldest;
    fake->AddDevice("\\\\.\\Pci51x4.VXD", RegisterFileHandler(std::make_shared<RegisterFile>()));
    uint32_t status = 99;
    ZPX_Handle first = ZPX_OpenController("PCI", &status);
    ASSERT_NE(first, nullptr);
    // The 5120 family shares the PCI counter: refused before any device open, counter untouched.
    EXPECT_EQ(FailedOpen("PCI,5120"), ZPX_STATUS_CANNOT_OPEN);
    EXPECT_EQ(fake->driverOpens.size(), 1u);
    EXPECT_EQ(std::vector<uint32_t>(fake->counters, fake->counters + 4),
              (std::vector<uint32_t>{1, 0, 1, 1}));
    // Closing gives the slot back: the path opens again.
    EXPECT_EQ(ZPX_CloseController(first), ZPX_STATUS_OK);
    EXPECT_EQ(fake->counters[1], 1u);
    ZPX_Handle again = ZPX_OpenController("PCI", &status);
    EXPECT_NE(again, nullptr);
    EXPECT_EQ(ZPX_CloseController(again), ZPX_STATUS_OK);
    // An open that fails after taking the slot (the driver names an unknown family, so the
    // controller is not identified) gives it back.
    auto unknown = std::make_shared<RegisterFile>();
    unknown->driverId = 0x12340000;
    fake->devices["\\\\.\\Pci51x4.VXD"]->handler = RegisterFileHandler(unknown);
    EXPECT_EQ(FailedOpen("PCI"), ZPX_STATUS_CANNOT_OPEN);
    EXPECT_EQ(fake->counters[1], 1u);
}

// Opening and the serial-number lookup wait up to 20 s for the lock every process shares: an open
// that does not get it gives 12 and opens nothing, a lookup 1 with nothing stored.
TEST(OpenLock, OpensAndLookupsWait20SecondsForTheLock) {
    for (bool available : {true, false}) {
        SCOPED_TRACE(available);
        ScopedFakePlatform fake;
        fake->AddDevice(kPci.path, RegisterFileHandler(std::make_shared<RegisterFile>()));
        fake->lockAvailable = available;
        uint32_t status = 99, first = 7, second = 7;
        ZPX_Handle h = ZPX_OpenController("PCI", &status);
        EXPECT_EQ(fake->lockTimeoutMs, 20000u);
        EXPECT_EQ(status, available ? ZPX_STATUS_OK : ZPX_STATUS_CANNOT_OPEN);
        EXPECT_EQ(fake->driverOpens.size(), available ? 1u : 0u);
        fake->lockTimeoutMs = 0;
        EXPECT_EQ(ZPX_ControllerSerialNumberPeek("PCI", &first, &second),
                  available ? ZPX_STATUS_OK : ZPX_STATUS_FAILED);
        EXPECT_EQ(fake->lockTimeoutMs, 20000u);
        EXPECT_EQ(first, available ? 0u : 7u);
        if (h != nullptr) ZPX_CloseController(h);
        EXPECT_EQ(fake->lockDepth, 0);
    }
}

TEST(SerialRegistry, OpensRecordTheWorkingNameAndPeekFindsIt) {
    auto file = std::make_shared<RegisterFile>();
    // The controller's ROM: family byte, six serial bytes, the CRC-8/MAXIM of the seven.
    file->selected[6] = {0x01, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x75};
    Opened o(kPci, file);
    std::vector<uint8_t>& registry = o.fake->registry;
    ASSERT_EQ(GetU32(registry.data()), 1u);
    EXPECT_STREQ(reinterpret_cast<const char*>(registry.data() + 4), "PCI");
    EXPECT_EQ(GetU32(registry.data() + 4 + 128), 0x75665544u);  // high word, bytes 4 to 7
    EXPECT_EQ(GetU32(registry.data() + 4 + 132), 0x33221101u);  // low word
    EXPECT_EQ(o.fake->lockDepth, 0);
    // Found ignoring case, without opening anything.
    uint32_t first = 0, second = 0;
    const size_t opens = o.fake->driverOpens.size();
    EXPECT_EQ(ZPX_ControllerSerialNumberPeek("pci", &first, &second), ZPX_STATUS_OK);
    EXPECT_EQ(first, 0x75665544u);
    EXPECT_EQ(second, 0x33221101u);
    EXPECT_EQ(o.fake->driverOpens.size(), opens);
    // Names are kept to 127 characters, so a longer one finds its cut entry.
    const std::string longName = "PCI" + std::string(124, 'x');
    std::memcpy(registry.data() + 4 + 136, longName.data(), longName.size());
    PutU32(registry.data() + 4 + 136 + 128, 0xABCD);
    PutU32(registry.data(), 2);
    EXPECT_EQ(ZPX_ControllerSerialNumberAlloc((longName + "yyyy").c_str(), &first, &second),
              ZPX_STATUS_OK);
    EXPECT_EQ(first, 0xABCDu);
    // No registry, an unknown name: 1 with the outputs untouched; an unknown name is opened once
    // to be recorded.
    first = 7;
    o.fake->hasRegistry = false;
    EXPECT_EQ(ZPX_ControllerSerialNumberPeek("PCI", &first, &second), ZPX_STATUS_FAILED);
    o.fake->hasRegistry = true;
    EXPECT_EQ(ZPX_ControllerSerialNumberPeek("USB7", &first, &second), ZPX_STATUS_FAILED);
    EXPECT_EQ(o.fake->driverOpens.back().first, "\\\\.\\Usb51x4EX_7");
    EXPECT_EQ(first, 7u);
    EXPECT_EQ(ZPX_ControllerSerialNumberPeek("PCI", nullptr, &second), ZPX_STATUS_INVALID);
    EXPECT_EQ(ZPX_ControllerSerialNumberFree("PCI", nullptr, nullptr), ZPX_STATUS_OK);
    EXPECT_EQ(o.fake->lockDepth, 0);
    // A session that is busy when it is registered is recorded without its serial.
    {
        InUseGuard busy(o.s().inUse);
        ASSERT_TRUE(busy.taken());
        OpenLockHold hold = OpenLockHold::Take();
        ASSERT_TRUE(hold);
        RegisterSerial(o.s(), "BUSY", std::move(hold));
    }
    EXPECT_EQ(o.fake->lockDepth, 0);
    EXPECT_EQ(GetU32(registry.data()), 3u);
    EXPECT_EQ(GetU32(registry.data() + 4 + 2 * 136 + 128), 0u);
}

TEST(OpenController, EthernetConnectsToPort5104AndPausesOnce) {
    {
        ScopedFakePlatform fake;
        fake->nextConnection->script.assign(4, {TcpEvent::kData, std::vector<uint8_t>(12, 0)});
        fake->nextConnection->script[0].data[4] = 0x08;  // register 3: model bits of type 2
        uint32_t status = 99;
        ZPX_Handle h = ZPX_OpenController("ETH127.1.2.3,5120", &status);
        ASSERT_NE(h, nullptr);
        EXPECT_EQ(fake->connects, (Connects{{0x7F010203, 5104}}));
        EXPECT_EQ(fake->Take(), "s1 ");
        // Of the 51x4 family whatever the name says.
        EXPECT_EQ(static_cast<int32_t>(GetFrom(h, ZPX_GetControllerType)), 2);
        std::vector<Request> identify;  // select write and read, then registers 1, 2, 0x0B
        for (uint32_t command : {0x01030002u, 0x01030001u, 0x01010001u, 0x01020001u, 0x010B0001u})
            identify.emplace_back(command, 0, 0);
        EXPECT_EQ(Packets(*fake->nextConnection), identify);
        EXPECT_EQ(ZPX_CloseController(h), ZPX_STATUS_OK);
        EXPECT_TRUE(fake->nextConnection->closed);
    }
    // The address text as inet_addr reads it; 0 marks text no connection is tried for.
    const std::pair<const char*, uint32_t> addresses[] = {
        {"ETH127.0.0.1", 0x7F000001},      {"ETH192.168.001.010", 0xC0A80108},
        {"ETH0x7f.1", 0x7F000001},         {"ETH127.0.0", 0x7F000000},
        {"ETH10.65535", 0x0A00FFFF},       {"ETH2130706433", 0x7F000001},
        {"ETH0X7F.0.0.0001", 0x7F000001},  {"ETH127.0.0.1 trailing", 0x7F000001},
        {"ETH127.0.0.256", ZPX_STATUS_OK}, {"ETH256.0.0.1", ZPX_STATUS_OK},
        {"ETH10.16777216", ZPX_STATUS_OK}, {"ETH127.0.0.1x", ZPX_STATUS_OK},
        {"ETH 127.0.0.1", ZPX_STATUS_OK},  {"ETH127.0.0.08", ZPX_STATUS_OK},
        {"ETH1.2.3.4.5", ZPX_STATUS_OK},   {"ETH127..1", ZPX_STATUS_OK},
        {"ETH0x", ZPX_STATUS_OK},          {"ETH255.255.255.255", ZPX_STATUS_OK},
        {"ETH4294967296", ZPX_STATUS_OK}};
    for (const auto& [name, address] : addresses) {
        ScopedFakePlatform fake;
        fake->refuseConnections = true;
        EXPECT_EQ(FailedOpen(name), ZPX_STATUS_FAILED);
        EXPECT_EQ(fake->connects, (address == 0 ? Connects{} : Connects{{address, 5104}})) << name;
        EXPECT_EQ(fake->Take(), "");
    }
}

}  // namespace
}  // namespace zpx::testing
