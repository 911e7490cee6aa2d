// The pod and its TAPs through the library against the emulated pod on every back-end setup: the
// whole typical test run (clock, pod power and identification, TAP voltages, activation, pins,
// vectors, run, results), what the records take from the board, the reset and switching the
// board off, and the identification branches of the emulated pod's other kinds.
#include <gtest/gtest.h>

#include <vector>

#include "backend_fixture.h"

namespace zpx {
namespace {

constexpr int32_t kDefault = ZPX_DEFAULT_THRESHOLD;

// A pod with three TAPs and one absent: on the 51x4 family a pod of kind 2 whose TAPs answer
// identities 1, 0, 1 behind its extender (identified as a pod of type 1 with TAPs of type 0), on
// the 5120 family a pod of kind 1.
class PodTest : public BackendTest {
  protected:
    void Configure(emu::ControllerConfig& c) override {
        // Behind an older driver the library drives any board as one of the 5120 family.
        if (GetParam().olderDriver) c.type = 0;
        c.podKind = c.type == 0 ? 1 : 2;
        c.taps[0].identity = c.type == 0 ? 0 : 1;
        c.taps[2].identity = c.taps[0].identity;
        c.taps[3].present = false;
        // ROMs 01 E5 D4 C3 B2 A1 00 D6 and 01 A1 00 01 00 00 00 D9, 01 B2 00 02 ... 53,
        // 01 C3 00 03 ... 73 (family byte 1, the serial low byte first, checksum).
        c.controllerSerial = 0x00A1B2C3D4E5;
        c.podSerials = {0x0100A1, 0x0200B2, 0x0300C3, 0};
        c.flashCode = 0x45;  // below 0xB3: the library runs the pod's start-up program
        c.runPeriods = 2000;
    }
    bool Has51x4() const { return config_.type != 0; }
};

// Along the way, what the device information and the information records take from the emulated
// board and its pod; how the records are laid out is the unit tests' to check.
TEST_P(PodTest, TypicalTestRun) {
    const Backend& b = GetParam();
    ASSERT_EQ(ZPX_SetCtrlFrequency(handle_, 0, 10000), ZPX_STATUS_OK);
    ASSERT_EQ(ZPX_SetPodPowerOn(handle_), ZPX_STATUS_OK);
    EXPECT_EQ(controller_->PowerState(), Has51x4() ? 3 : 0);
    EXPECT_EQ(Get<int32_t>(ZPX_GetPodType), 1);
    for (int32_t tap = 1; tap <= 4; ++tap)
        EXPECT_EQ(Get<int32_t>(ZPX_GetTapType, tap), tap == 4 ? -1 : 0) << tap;
    Sync();
    EXPECT_TRUE(controller_->ExtenderOn());  // back on after the probe
    EXPECT_EQ(Get(ZPX_PodPowered), 0u);

    // The controller kind comes from the driver's identification; without one (older driver,
    // Ethernet) the record describes the 5120 family, whose pod part needs the driver's pod sense.
    uint32_t status = 99;
    ZPX_DeviceInfo* info = ZPX_CreateDeviceInfo(handle_, &status);
    ASSERT_NE(info, nullptr);
    EXPECT_EQ(info->ControllerKind, !b.ethernet() && !b.olderDriver ? config_.type : 0);
    if (b.ethernet()) {
        EXPECT_EQ(ZPX_ExtractDeviceInfo(handle_, info), ZPX_STATUS_FAILED);
    } else {
        ASSERT_EQ(ZPX_ExtractDeviceInfo(handle_, info), ZPX_STATUS_OK);
        EXPECT_EQ(info->PodKind, 1);
        EXPECT_EQ(std::vector<int32_t>(info->TapState, info->TapState + 4),
                  (std::vector<int32_t>{0, 0, 0, -1}));
    }
    EXPECT_EQ(ZPX_DestroyDeviceInfo(handle_, info), ZPX_STATUS_OK);
    ZPX_ControllerInfoRecord* record = nullptr;
    ASSERT_EQ(ZPX_GetControllerInfo(handle_, &record), ZPX_STATUS_OK);
    EXPECT_EQ(record->FrequencyKhz, 10000u);

    // 3.3 V out and the default 1.5 V threshold on every TAP that has a type.
    ASSERT_EQ(ZPX_AddNewTapInfo(handle_, 0, 33, kDefault), ZPX_STATUS_OK);
    ASSERT_EQ(ZPX_SetTapVoltageEx(handle_), ZPX_STATUS_OK);
    Sync();
    for (unsigned tap = 0; tap < 3; ++tap) {
        const emu::TapState t = controller_->Tap(tap);
        EXPECT_EQ(600 + 4 * t.outputCode, 3300) << tap;
        EXPECT_EQ(4 * t.thresholdCode, 1500) << tap;
        uint32_t output = 0, threshold = 0;
        ASSERT_EQ(ZPX_GetTapVoltageEx(handle_, tap + 1, &output, &threshold), ZPX_STATUS_OK);
        EXPECT_EQ(output * 100 + threshold, 3315u) << tap;
    }
    EXPECT_FALSE(controller_->Tap(3).outputSet);

    const uint64_t programs = controller_->StartupProgramRuns();
    ASSERT_EQ(ZPX_ActivatePod(handle_, 0), ZPX_STATUS_OK);
    EXPECT_EQ(controller_->StartupProgramRuns(), programs + 1);
    EXPECT_EQ(Get(ZPX_PodActivated), 1u);

    // Every item of a query of a powered, active pod but TAP 4's, which is absent; no identity
    // items on the 5120 family. The serial numbers come low word first.
    ZPX_InfoQuery query{};
    query.RequestMask = 0x7FFF;
    ASSERT_EQ(ZPX_ControllerInfoNew(handle_, &query), ZPX_STATUS_OK);
    EXPECT_EQ(query.PodType * 1000 + query.Tap[0] * 100 + query.Tap[3], 1000 - 1);
    EXPECT_EQ(query.ValidMask, Has51x4() ? 0x7FFFu & ~0x2000u : 0x403Fu);
    if (Has51x4()) {
        EXPECT_EQ(query.ControllerSerialHigh, 0xD600A1B2u);
        EXPECT_EQ(query.ControllerSerialLow, 0xC3D4E501u);
        const uint32_t podLow[3] = {0x0100A101, 0x0200B201, 0x0300C301};
        for (uint32_t p = 0; p < 3; ++p)
            EXPECT_EQ(query.PodSerial[p][1], podLow[p]) << p;
        EXPECT_EQ(query.EpldRevision * 256 + query.FlashCode, 0xA45u);
    }

    // Pins: written, read back, and exchanged under a mask.
    ASSERT_EQ(ZPX_SetTapIoPins(handle_, 1, 0xA, 0x5), ZPX_STATUS_OK);
    Sync();
    EXPECT_EQ(controller_->Tap(0).data * 16 + controller_->Tap(0).control, 0xA5);
    uint32_t data = 0, control = 0, result = 0;
    ASSERT_EQ(ZPX_GetTapIoPins(handle_, 1, &data, &control), ZPX_STATUS_OK);
    EXPECT_EQ(data * 16 + control, 0xA5u);
    ASSERT_EQ(ZPX_RWTapIoPins(handle_, 1, 0x3, 0x1, 0x2, &result), ZPX_STATUS_OK);
    EXPECT_EQ(result, 0x1u);  // control pins 0 and 1 were 1 and 0
    Sync();
    EXPECT_EQ(controller_->Tap(0).data * 16 + controller_->Tap(0).control, 0x96);

    // Vectors in, the sequencer run, results out.
    std::vector<uint8_t> vectors(3000), results(3000);
    for (size_t i = 0; i < vectors.size(); ++i)
        vectors[i] = static_cast<uint8_t>(i * 13 + 5);
    ASSERT_EQ(ZPX_WriteMemory(handle_, 0, 1, 0, 3000, vectors.data()), ZPX_STATUS_OK);
    ASSERT_EQ(ZPX_StartController(handle_), ZPX_STATUS_OK);
    EXPECT_EQ(StatusOnceRunEnds(), 0u);
    EXPECT_EQ(Get(ZPX_GetError) & kRunErrorBits, kRunErrorBits);
    ASSERT_EQ(ZPX_ReadMemory(handle_, 0, 1, 0, 3000, results.data()), ZPX_STATUS_OK);
    EXPECT_EQ(results, vectors);

    // Parallel mode: the emulated target loops the lowest signal back.
    ASSERT_EQ(ZPX_EnableTapParallelMode(handle_, 2), ZPX_STATUS_OK);
    Sync();
    EXPECT_TRUE(controller_->Tap(1).parallel);
    for (uint32_t value : {0x5u, 0x4u})
        EXPECT_EQ(Get(ZPX_WriteTapParallelMode, value), value & 1);
    ASSERT_EQ(ZPX_DisableTapParallelMode(handle_, 2), ZPX_STATUS_OK);
    Sync();
    EXPECT_FALSE(controller_->Tap(1).parallel);

    // Off: the pod forgets its pins and voltages; the session forgets the pod.
    ASSERT_EQ(ZPX_DeActivatePod(handle_), ZPX_STATUS_OK);
    ASSERT_EQ(ZPX_SetPodPowerOff(handle_), ZPX_STATUS_OK);
    Sync();
    EXPECT_EQ(controller_->PowerState(), 0);
    EXPECT_EQ(Get<int32_t>(ZPX_GetPodType), Has51x4() ? -2 : 1);
    EXPECT_EQ(ZPX_CloseController(std::exchange(handle_, nullptr)), ZPX_STATUS_OK);
    EXPECT_EQ(controller_->PowerState(), 0);
}

TEST_P(PodTest, ResetRunsTheStartupProgramAndSwitchingOffClearsRegisterTwo) {
    ASSERT_EQ(ZPX_SetPodPowerOn(handle_), ZPX_STATUS_OK);
    // The reset runs the start-up program and forgets the pod; switching the board off clears
    // the pod-active flag and the TAP enables in register 2.
    const uint64_t resets = controller_->ResetCount(), programs = controller_->StartupProgramRuns();
    ASSERT_EQ(ZPX_ResetController(handle_), ZPX_STATUS_OK);
    EXPECT_EQ(controller_->ResetCount(), resets + 1);
    EXPECT_EQ(controller_->StartupProgramRuns(), programs + 1);
    EXPECT_EQ(Get<int32_t>(ZPX_GetPodType), -2);
    ASSERT_EQ(ZPX_SetTapEnable(handle_, 0xF0), ZPX_STATUS_OK);
    ASSERT_EQ(ZPX_ActivatePod(handle_, 1), ZPX_STATUS_OK);
    ASSERT_EQ(ZPX_SetCntCounter(handle_), ZPX_STATUS_OK);
    ASSERT_EQ(ZPX_SwitchOffBoard(handle_), ZPX_STATUS_OK);
    EXPECT_EQ(Register(2) & 0xF2, 0x02u);
}

INSTANTIATE_TEST_SUITE_P(Backends, PodTest, ::testing::ValuesIn(kBackends),
                         [](const auto& info) { return std::string(info.param.label); });

// The emulated pod's extender and an absent pod as the library identifies them (the other pod
// kinds run through every back-end above). Over Ethernet, one board per case.
TEST(PodIdentification, KindsExtenderAndTapsOfTheEmulatedPod) {
    struct Case {
        const char* label;
        int kind;
        bool present;
        uint8_t identities[4];
        std::vector<int32_t> types;  // of the pod, then of TAPs 1 to 4
    };
    const Case cases[] = {
        {"extender pod, TAPs of type 1 only", 2, true, {1, 1, 1, 1}, {2, 1, 1, 1, 1}},
        {"extender pod of kind 3", 3, true, {1, 3, 1, 1}, {3, 1, -1, 1, 1}},
        {"no pod", 1, false, {0, 0, 0, 0}, {-1, -1, -1, -1, -1}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        emu::ControllerConfig config{.podKind = c.kind, .podPresent = c.present};
        for (int i = 0; i < 4; ++i)
            config.taps[i].identity = c.identities[i];
        testing::LanStation station(config);
        uint32_t status = 99;
        ZPX_Handle h = ZPX_OpenController(station.name.c_str(), &status);
        ASSERT_EQ(status, ZPX_STATUS_OK);
        ASSERT_EQ(ZPX_SetPodPowerOn(h), ZPX_STATUS_OK);
        int32_t types[5] = {9, 9, 9, 9, 9};
        ASSERT_EQ(ZPX_GetPodType(h, &types[0]), ZPX_STATUS_OK);
        for (int32_t tap = 1; tap <= 4; ++tap)
            ASSERT_EQ(ZPX_GetTapType(h, tap, &types[tap]), ZPX_STATUS_OK);
        EXPECT_EQ(std::vector<int32_t>(types, types + 5), c.types);
        uint32_t mode = 9;
        if (c.types[0] >= 2) {
            // Identified with the extender off and switched back on; a command switches it. (A
            // read makes sure every write has arrived.)
            ASSERT_EQ(ZPX_GetLearnMode(h, &mode), ZPX_STATUS_OK);
            EXPECT_TRUE(station.controller.ExtenderOn());
            ASSERT_EQ(ZPX_SetPodExtenderMode(h, 0), ZPX_STATUS_OK);
            ASSERT_EQ(ZPX_GetLearnMode(h, &mode), ZPX_STATUS_OK);
            EXPECT_FALSE(station.controller.ExtenderOn());
        }
        EXPECT_EQ(ZPX_CloseController(h), ZPX_STATUS_OK);
    }
}

}  // namespace
}  // namespace zpx
