// The library's exports against the emulated controller, over loopback Ethernet and through the
// driver stand-in, for every controller type each back-end can carry.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "backend_fixture.h"

namespace zpx {
namespace {

class LibraryOnEmulatorTest : public BackendTest {
  protected:
    void Configure(emu::ControllerConfig& c) override {
        // Serial ROMs of known contents (family byte 1, the serial low byte first, checksum):
        // the controller's holds the documented example 01 02 03 04 05 06 07 0F.
        c.controllerSerial = 0x070605040302;
        c.transceiverSerial = 0x0011223344;  // 01 44 33 22 11 00 00 C8
        c.podSerials[0] = 0x00C0FFEE01;      // 01 01 EE FF C0 00 00 CA
    }
};

TEST_P(LibraryOnEmulatorTest, OpensIdentifiesAndCloses) {
    const Backend& b = GetParam();
    EXPECT_EQ(Get(ZPX_GetControllerType), b.reportedType());
    uint32_t kind = 99;
    ASSERT_EQ(ZPX_GetInterfaceType(handle_, &kind, nullptr, nullptr), ZPX_STATUS_OK);
    EXPECT_EQ(kind, b.interfaceKind);

    // A second session: an Ethernet controller serves it alongside the first (one at an address
    // where nobody listens fails); a driver admits one client only.
    uint32_t status = 99, error = 0;
    ZPX_Handle second = ZPX_OpenController(name_.c_str(), &status);
    if (b.vxi()) {
        // The session interface serves several sessions; the plain one a single open.
        const bool sessions = std::string(b.vxiGeneration) == "session";
        EXPECT_EQ(status, sessions ? ZPX_STATUS_OK : ZPX_STATUS_CANNOT_OPEN);
        EXPECT_TRUE(second == nullptr || ZPX_CloseController(second) == ZPX_STATUS_OK);
    } else if (b.ethernet()) {
        ASSERT_EQ(status, ZPX_STATUS_OK);
        EXPECT_EQ(ZPX_GetError(second, &error), ZPX_STATUS_OK);
        EXPECT_EQ(error, kPowerUpErrorBits);
        EXPECT_EQ(ZPX_CloseController(second), ZPX_STATUS_OK);
        EXPECT_EQ(server_->ConnectionsAccepted(), 2u);
        // StartOnFreeLoopback hands out 127.0.0.x only: no test running in parallel listens here.
        EXPECT_EQ(ZPX_OpenController("ETH127.0.2.254", &status), nullptr);
        EXPECT_EQ(status, ZPX_STATUS_FAILED);
    } else {
        EXPECT_EQ(second, nullptr);
        EXPECT_EQ(status, ZPX_STATUS_DEVICE_BUSY);
    }
    // Closing lets go of the device: it opens again.
    EXPECT_EQ(ZPX_CloseController(handle_), ZPX_STATUS_OK);
    handle_ = ZPX_OpenController(name_.c_str(), &status);
    EXPECT_EQ(status, ZPX_STATUS_OK);
}

TEST_P(LibraryOnEmulatorTest, StartsRunsStopsAndReportsErrors) {
    ASSERT_EQ(ZPX_SetRunMode(handle_, 0x0C), ZPX_STATUS_OK);
    ASSERT_EQ(ZPX_StartController(handle_), ZPX_STATUS_OK);
    EXPECT_EQ(Get(ZPX_GetControllerStatus), 3u);
    EXPECT_EQ(StatusOnceRunEnds(), 0u);
    EXPECT_EQ(Register(0), 0x0Cu);  // the run bits cleared by the board, the mode kept

    // On VXI registers 0 and 1 are one word: the start wrote register 1 from the session's copy,
    // which the status file (absent here) left at 0.
    const uint32_t powerUp = GetParam().vxi() ? 0 : kPowerUpErrorBits;
    EXPECT_EQ(Get(ZPX_GetError), powerUp | kRunErrorBits);
    // Clearing works on the copy restored at open: from the board or driver it holds the
    // power-up bits; kept in the INI file (absent here) it starts at 0.
    ASSERT_EQ(ZPX_ClearError(handle_, kRunErrorBits), ZPX_STATUS_OK);
    EXPECT_EQ(Get(ZPX_GetError), GetParam().legacy() ? 0u : kPowerUpErrorBits);

    ASSERT_EQ(ZPX_StartController(handle_), ZPX_STATUS_OK);
    ASSERT_EQ(ZPX_StopController(handle_), ZPX_STATUS_OK);
    ASSERT_EQ(ZPX_BootController(handle_, 3), ZPX_STATUS_OK);
    Sync();
    EXPECT_FALSE(controller_->Running());
    EXPECT_EQ(controller_->RunCount(), 2u);
    EXPECT_EQ(controller_->BootCount(), 1u);
    EXPECT_EQ(controller_->LastBootImage(), 3u);
}

TEST_P(LibraryOnEmulatorTest, TransportFaultsSurfaceAsFailures) {
    // A late reply is still a reply.
    FaultNext(emu::FaultKind::kDelayReply, 300);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Get(ZPX_GetError), kPowerUpErrorBits);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(300));

    // A refused driver request, or a connection the controller closes, fails the call at once;
    // a driver goes on serving, a broken connection stays broken.
    uint32_t error = 0;
    FaultNext(server_ ? emu::FaultKind::kCloseConnection : emu::FaultKind::kFailRequest);
    EXPECT_EQ(ZPX_GetError(handle_, &error), ZPX_STATUS_INVALID);
    EXPECT_EQ(ZPX_GetError(handle_, &error), server_ ? ZPX_STATUS_INVALID : ZPX_STATUS_OK);
}

TEST_P(LibraryOnEmulatorTest, MemoriesMoveThroughTheirAddressCounters) {
    const auto sizes = DocumentedSizes(GetParam().type, config_.flashCode);
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
        const std::vector<uint8_t> tail = {0xA5, 0x5A, static_cast<uint8_t>(memory)};
        ASSERT_EQ(ZPX_WriteCtrlMemoryNa(handle_, memory, 3, tail.data()), ZPX_STATUS_OK);
        Sync();
        EXPECT_EQ(controller_->PeekMemory(memory, address, data.size()), data);
        EXPECT_EQ(controller_->PeekMemory(memory, address + data.size(), 3), tail);
        EXPECT_EQ(controller_->ReadCounter(memory < 3 ? memory : 3), address + data.size() + 3);

        // Read back addressed, then on from where that read left the address counter.
        std::vector<uint8_t> back(data.size()), backTail(3);
        ASSERT_EQ(ZPX_ReadMemory(handle_, 0, memory, address, back.size(), back.data()),
                  ZPX_STATUS_OK);
        EXPECT_EQ(back, data);
        ASSERT_EQ(ZPX_ReadCtrlMemoryNa(handle_, memory, 3, backTail.data()), ZPX_STATUS_OK);
        EXPECT_EQ(backTail, tail);
    }
    // The addressed read of memory 5 starts one byte further on.
    uint8_t first = 0;
    ASSERT_EQ(ZPX_ReadCtrlMemory(handle_, 5, address - 1, 1, &first), ZPX_STATUS_OK);
    EXPECT_EQ(first, 5);
}

TEST_P(LibraryOnEmulatorTest, ClockIsProgrammedCheckedAndReadBack) {
    if (GetParam().reportedType() != static_cast<uint32_t>(GetParam().type))
        GTEST_SKIP() << "the library programs the 5120 generator, which this board does not have";
    const int g = GetParam().type == 0 ? 0 : 1;  // the 5120 family's range generator, or the 51x4's
    struct Step {
        int32_t khz;
        double hz;         // what the board's generator then runs at
        uint32_t readKhz;  // what the library reads back
    };
    const Step table[][2] = {{{100, 100e3, 100}, {1, 1000.9765625, 1}},
                             {{150, 100e3, 100}, {10, 9960.9375, 9}},
                             {{6300, 6.3e6, 6300}, {1000, 1e6, 1000}},
                             {{25000, 25e6, 25000}, {16400, 16.4e6, 16400}},
                             {{30000, 25e6, 25000}, {50000, 40e6, 40000}},
                             {{12500, 12.5e6, 12500}, {100, 100e3, 100}}};
    for (const auto& row : table) {
        const Step& step = row[g];
        SCOPED_TRACE(step.khz);
        ASSERT_EQ(ZPX_SetCtrlFrequency(handle_, 0, step.khz), ZPX_STATUS_OK);
        EXPECT_EQ(Get(ZPX_GetCurrentFrequency), step.readKhz);
        EXPECT_NEAR(controller_->ClockHz(), step.hz, 1e-3);
        // In force: the check costs its two reads and nothing else.
        const uint64_t before = Requests();
        ASSERT_EQ(ZPX_CheckCtrlFrequency(handle_, 0, step.khz), ZPX_STATUS_OK);
        EXPECT_EQ(Requests(), before + 2);
    }
    // Changed behind the library's back: the check programs again.
    ASSERT_TRUE(controller_->WriteRegister(emu::kClockValueRegister, 0x55));
    ASSERT_EQ(ZPX_CheckCtrlFrequency(handle_, 0, table[2][g].khz), ZPX_STATUS_OK);
    Sync();
    EXPECT_NEAR(controller_->ClockHz(), table[2][g].hz, 1e-3);
    EXPECT_EQ(ZPX_SetCtrlFrequency(handle_, 0, g == 0 ? 99 : 0), ZPX_STATUS_NOT_AVAILABLE);
}

TEST_P(LibraryOnEmulatorTest, IdentityComesFromTheBoardsRegistersAndRoms) {
    if (GetParam().interfaceKind == ZPX_INTERFACE_ISA)
        GTEST_SKIP() << "the ISA stand-in answers reads of driver register 3 with the word "
                        "register's low byte, so the select-and-read identity cannot be seen";
    const int type = static_cast<int>(GetParam().reportedType());
    EXPECT_EQ(Get(ZPX_GetControllerEPLD), 0xAu);
    EXPECT_EQ(Get(ZPX_GetControllerFlash), 0xD2u);
    EXPECT_EQ(Get(ZPX_GetMemorySize, 2), DocumentedSizes(type, 0xD2)[2]);
    EXPECT_EQ(Get(ZPX_GetCntrWaitTime), type == 0 ? 640u : 1000u);
    EXPECT_EQ(Get(ZPX_BoardValid, 0), GetParam().type == 0 ? 0u : 1u);  // the board's own test

    // Each serial number is its ROM's eight bytes, low word first.
    const struct {
        const char* rom;
        uint32_t high, low;
    } serials[] = {{"controller", 0x0F070605, 0x04030201},
                   {"transceiver", 0xC8000011, 0x22334401},
                   {"pod 0", 0xCA0000C0, 0xFFEE0101}};
    for (const auto& serial : serials) {
        SCOPED_TRACE(serial.rom);
        uint32_t high = 0, low = 0;
        const uint32_t status =
            serial.rom[0] == 'c'   ? ZPX_GetControllerSerialNumber(handle_, &high, &low)
            : serial.rom[0] == 't' ? ZPX_GetTransceiverSerialNumber(handle_, &high, &low)
                                   : ZPX_GetPodSerialNumber(handle_, 0, &high, &low);
        EXPECT_EQ(status, ZPX_STATUS_OK);
        EXPECT_EQ(high, serial.high);
        EXPECT_EQ(low, serial.low);
    }
}

// Every documented row of memory sizes: as the emulated board sizes its memories, and as the
// library reports them for a board of that type and flash code behind a PCI driver (which
// answers the identification by the board's family).
TEST(MemorySizes, EveryDocumentedRow) {
    const struct {
        int type;
        uint8_t flashCode;
    } boards[] = {{0, 0x45}, {0, 0xD2}, {1, 0x00}, {2, 0x45}, {3, 0xB7}, {1, 0xC0},
                  {2, 0xC5}, {3, 0xCF}, {1, 0xD0}, {2, 0xE1}, {3, 0xFF}};
    for (const auto& board : boards) {
        SCOPED_TRACE(::testing::Message() << "type " << board.type << " flash code 0x" << std::hex
                                          << int{board.flashCode});
        const std::array<uint32_t, 6> documented = DocumentedSizes(board.type, board.flashCode);
        EXPECT_EQ(emu::MemorySizes(board.type, board.flashCode), documented);

        emu::Controller controller(
            emu::ControllerConfig{.type = board.type, .flashCode = board.flashCode});
        emu::DriverStandIn driver(controller);  // a PCI driver
        testing::EmuPlatform platform;
        testing::StatusFileFolder statusFile;
        platform.SetDriver(board.type == 0 ? "\\\\.\\PCI5120_0" : "\\\\.\\PCI51X4EX_0", &driver);
        uint32_t status = 99;
        ZPX_Handle h = ZPX_OpenController(board.type == 0 ? "PCI0,5120" : "PCI0", &status);
        ASSERT_EQ(status, ZPX_STATUS_OK);
        ASSERT_NE(h, nullptr);
        for (int32_t kind = -1; kind <= 6; ++kind) {
            uint32_t size = 0xDEADBEEF;
            EXPECT_EQ(ZPX_GetMemorySize(h, kind, &size), ZPX_STATUS_OK);
            EXPECT_EQ(size, kind < 0 || kind > 5 ? 0u : documented[kind]) << kind;
        }
        EXPECT_EQ(ZPX_CloseController(h), ZPX_STATUS_OK);
    }
}

INSTANTIATE_TEST_SUITE_P(Backends, LibraryOnEmulatorTest, ::testing::ValuesIn(kBackends),
                         [](const auto& info) { return std::string(info.param.label); });

}  // namespace
}  // namespace zpx
