// TAP voltages and the TAP information list, TAP I/O pins and parallel mode, device information
// records, bad input across the pod and TAP exports, and the Ethernet link holding a frame's
// writes.
#include <gtest/gtest.h>

#include <string>

#include "driver_fixture.h"
#include "transport/lan_backend.h"

namespace zpx::testing {
namespace {

// The entries of a log, in order.
std::vector<std::string> Entries(const std::string& log) {
    std::vector<std::string> out;
    for (size_t at = 0, end; (end = log.find(' ', at)) != std::string::npos; at = end + 1)
        out.push_back(log.substr(at, end - at));
    return out;
}

std::string Byte(uint32_t value) {
    std::string bits;
    for (int k = 7; k >= 0; --k)
        bits += ((value >> k) & 1) != 0 ? '1' : '0';
    return bits;
}

using Node = std::tuple<uint32_t, int32_t, int32_t>;

std::vector<Node> Nodes(const ControllerSession& s) {
    std::vector<Node> out;
    for (const TapInfo* n = s.tapInfoList.get(); n != nullptr; n = n->next.get())
        out.emplace_back(n->tap, n->output, n->threshold);
    return out;
}

TEST(TapInfo, EntriesFollowThePodTypeRangesAndDefaults) {
    Opened o(kPci);
    const ZPX_Handle h = o.handle;
    const int32_t kDefault = ZPX_DEFAULT_THRESHOLD;
    // Pods not identified take nothing without complaint.
    EXPECT_EQ(ZPX_AddNewTapInfo(h, 1, 99, 99), ZPX_STATUS_OK);
    IdentifyPod(o, 3, "0000");  // unrecognised
    EXPECT_EQ(ZPX_AddNewTapInfo(h, 1, 99, 99), ZPX_STATUS_OK);
    EXPECT_EQ(Nodes(o.s()).size(), 0u);
    // A pod of type 2. Every TAP: 50 is taken as 36 with the default threshold 15; TAP 3 takes
    // no voltages.
    IdentifyPod(o, 2, "11-1");
    EXPECT_EQ(ZPX_AddNewTapInfo(h, 0, 50, kDefault), ZPX_STATUS_OK);
    EXPECT_EQ(Nodes(o.s()), (std::vector<Node>{{0, 36, 15}, {1, 36, 15}, {3, 36, 15}}));
    // One TAP replaces its node in place; the default threshold follows the output.
    const std::tuple<uint32_t, int32_t, int32_t, uint32_t, int32_t> adds[] = {
        {2, 10, kDefault, ZPX_STATUS_OK, 5},      {2, 25, kDefault, ZPX_STATUS_OK, 12},
        {2, 29, kDefault, ZPX_STATUS_OK, 14},     {2, 30, kDefault, ZPX_STATUS_OK, 15},
        {2, 36, 41, ZPX_STATUS_OK, 41},           {2, 50, kDefault, ZPX_STATUS_OUT_OF_RANGE, 41},
        {2, 9, 0, ZPX_STATUS_OUT_OF_RANGE, 41},   {2, 20, 42, ZPX_STATUS_OUT_OF_RANGE, 41},
        {2, 20, -1, ZPX_STATUS_OUT_OF_RANGE, 41}, {3, 20, 5, ZPX_STATUS_INVALID, 41},
        {5, 20, 5, ZPX_STATUS_INVALID, 41},       {0xFFFFFFFF, 20, 5, ZPX_STATUS_INVALID, 41}};
    for (const auto& [tap, output, threshold, status, entered] : adds) {
        SCOPED_TRACE(output);
        EXPECT_EQ(ZPX_AddNewTapInfo(h, tap, output, threshold), status);
        EXPECT_EQ(std::get<2>(Nodes(o.s())[1]), entered);
    }
    EXPECT_EQ(Nodes(o.s()).size(), 3u);
    // Millivolts cut down to tenths: 3399 is 33; -150 is -1, out of range.
    EXPECT_EQ(ZPX_AddNewTapInfoMillivolt(h, 1, 3399, 1599), ZPX_STATUS_OK);
    EXPECT_EQ(Nodes(o.s())[0], Node(0, 33, 15));
    EXPECT_EQ(ZPX_AddNewTapInfoMillivolt(h, 1, -150, kDefault), ZPX_STATUS_OUT_OF_RANGE);
    // Found by the index it was entered under, wherever it stands.
    uint32_t output = 0, threshold = 0;
    for (const auto& [index, entry] :
         {std::pair<int32_t, uint32_t>{0, 3315}, {1, 3641}, {3, 3615}}) {
        EXPECT_EQ(ZPX_GetTapInfo(h, index, &output, &threshold), ZPX_STATUS_OK);
        EXPECT_EQ(output * 100 + threshold, entry) << index;
    }
    EXPECT_EQ(ZPX_GetTapInfo(h, 2, &output, &threshold), ZPX_STATUS_INVALID);
    EXPECT_EQ(ZPX_GetTapInfo(h, -1, &output, &threshold), ZPX_STATUS_INVALID);

    // A pod of type 0: one entry for all four TAPs, 3.3 V or 5 V, the threshold kept.
    Opened old(kPci);
    IdentifyPod(old, 0);
    EXPECT_EQ(ZPX_AddNewTapInfo(old.handle, 1, 33, 0), ZPX_STATUS_NOT_AVAILABLE);
    EXPECT_EQ(ZPX_AddNewTapInfo(old.handle, 0, 36, 0), ZPX_STATUS_OUT_OF_RANGE);
    EXPECT_EQ(ZPX_AddNewTapInfo(old.handle, 0, 33, kDefault), ZPX_STATUS_OK);
    EXPECT_EQ(Nodes(old.s()),
              (std::vector<Node>{
                  {0, 33, kDefault}, {1, 33, kDefault}, {2, 33, kDefault}, {3, 33, kDefault}}));
}

TEST(TapVoltages, AppliedInListOrderSettledAndReadBackInTenths) {
    auto file = std::make_shared<RegisterFile>();
    file->regs[1] = 0x01;
    Opened o(kPci, file);
    IdentifyPod(o, 2, "0-00");                                // a pod of type 1
    ASSERT_EQ(ZPX_SetTapVoltageEx(o.handle), ZPX_STATUS_OK);  // an empty list: nothing at all
    EXPECT_EQ(o.fake->Take(), "");
    ASSERT_EQ(ZPX_AddNewTapInfo(o.handle, 3, 33, 15), ZPX_STATUS_OK);
    ASSERT_EQ(ZPX_AddNewTapInfo(o.handle, 1, 25, 12), ZPX_STATUS_OK);
    ASSERT_EQ(ZPX_SetTapVoltageEx(o.handle), ZPX_STATUS_OK);
    // Two frames of 40 writes per node in list order (TAP index 2 first), then the 150 ms
    // settle.
    const std::vector<std::string> log = Entries(o.fake->Take());
    ASSERT_EQ(log.size(), 2u * 2 * 40 + 2);
    EXPECT_EQ(log[0] + log[40] + log[80] + log[120], "w2=89w2=89w2=9w2=9");
    EXPECT_EQ(log[160] + log[161], "alloc1=2set1=150");
    // A failed frame: the nodes before it stay applied, no settle is armed.
    o.file->failAt = o.file->served + 50;
    EXPECT_EQ(ZPX_SetTapVoltageEx(o.handle), ZPX_STATUS_FAILED);
    EXPECT_EQ(o.fake->Take().find("reset1"), std::string::npos);

    // Read back: ADC 206 is 3308 mV and 94 is 1509 mV: 33 and 15 tenths. A TAP that is absent
    // or out of range is refused with nothing sent.
    Answer(*o.file, Byte(206) + Byte(94));
    uint32_t output = 0, threshold = 0;
    ASSERT_EQ(ZPX_GetTapVoltageEx(o.handle, 4, &output, &threshold), ZPX_STATUS_OK);
    EXPECT_EQ(output * 100 + threshold, 3315u);
    o.fake->Take();
    for (uint32_t tap : {0u, 2u, 5u, 0xFFFFFFFFu})
        EXPECT_EQ(ZPX_GetTapVoltageEx(o.handle, tap, &output, &threshold), ZPX_STATUS_INVALID);
    EXPECT_EQ(o.fake->Take(), "");

    // A pod of type 0 has one voltage for all, which its TAPs do not read back: bit 5 of
    // register 1, chosen by the first node.
    IdentifyPod(o, 0);
    EXPECT_EQ(ZPX_GetTapVoltageEx(o.handle, 1, &output, &threshold), ZPX_STATUS_INVALID);
    for (const auto& [voltage, log] :
         {std::pair<int32_t, const char*>{50, "w1=21 "}, {33, "w1=1 "}}) {
        ASSERT_EQ(ZPX_AddNewTapInfo(o.handle, 0, voltage, 15), ZPX_STATUS_OK);
        ASSERT_EQ(ZPX_SetTapVoltageEx(o.handle), ZPX_STATUS_OK);
        EXPECT_EQ(o.fake->Take(), log);
    }
}

TEST(TapVoltages, DirectExportsTrustTheRecord) {
    Opened o(kPci);
    ZPX_DeviceInfo info{};
    info.PodKind = 1;
    info.TapState[1] = -1;
    info.MinOutputVoltage = 10;
    info.MaxOutputVoltage = 36;
    ZPX_TapVoltageRequest request{};
    EXPECT_EQ(ZPX_SetTapVoltage(o.handle, nullptr, &request), ZPX_STATUS_NULL_HANDLE);
    EXPECT_EQ(ZPX_SetTapVoltage(o.handle, &info, nullptr), ZPX_STATUS_INVALID);
    EXPECT_EQ(o.fake->Take(), "");
    // No TAP asked for: register 2 is read, the settle armed.
    ASSERT_EQ(ZPX_SetTapVoltage(o.handle, &info, &request), ZPX_STATUS_OK);
    EXPECT_EQ(o.fake->Take(), "r2=0 alloc1=2 set1=150 ");
    // TAPs 0 to 2: the absent TAP 1 is skipped, TAP 2 is out of range and ends the call.
    request = {0x17, {33, 20, 37}, {15}};  // TAP mask, outputs, thresholds
    EXPECT_EQ(ZPX_SetTapVoltage(o.handle, &info, &request), ZPX_STATUS_OUT_OF_RANGE);
    const std::vector<std::string> log = Entries(o.fake->Take());
    ASSERT_EQ(log.size(), 1u + 2 * 40);  // TAP 0 set and closed, nothing more
    EXPECT_EQ(log[1] + log[41] + log[80], "w2=9w2=9w2=0");
    info.PodKind = 0;
    EXPECT_EQ(ZPX_SetTapVoltage(o.handle, &info, &request), ZPX_STATUS_NOT_AVAILABLE);
    EXPECT_EQ(o.fake->Take(), "r2=0 ");
    uint32_t output = 0, threshold = 0;
    EXPECT_EQ(ZPX_GetTapVoltage(o.handle, &info, 1, &output, &threshold), ZPX_STATUS_NOT_AVAILABLE);
    info.PodKind = 1;
    EXPECT_EQ(ZPX_GetTapVoltage(o.handle, &info, 0, &output, &threshold), ZPX_STATUS_INVALID);
    EXPECT_EQ(ZPX_GetTapVoltage(o.handle, nullptr, 1, &output, &threshold), ZPX_STATUS_NULL_HANDLE);
    EXPECT_EQ(o.fake->Take(), "");
    Answer(*o.file, Byte(255) + Byte(0));
    ASSERT_EQ(ZPX_GetTapVoltage(o.handle, &info, 2, &output, &threshold), ZPX_STATUS_OK);
    EXPECT_EQ(output * 100 + threshold, 4000u);
}

TEST(TapPins, WaitForSettlesCheckTapTypesAndCarryNibbles) {
    Opened o(kPci);
    uint32_t data = 0, control = 0, result = 0;
    // No TAP types yet: 10 after the waits. A TAP number outside 1 to 4: 10 before them.
    EXPECT_EQ(ZPX_SetTapIoPins(o.handle, 1, 0, 0), ZPX_STATUS_INVALID);
    for (int32_t tap : {0, 5, -1})
        EXPECT_EQ(ZPX_RWTapIoPins(o.handle, tap, 0xF, 0, 0, &result), ZPX_STATUS_INVALID);
    EXPECT_EQ(ZPX_GetTapIoPins(o.handle, 1, nullptr, &control), ZPX_STATUS_INVALID);
    EXPECT_EQ(o.fake->Take(), "");
    IdentifyPod(o, 2, "1-11");  // a pod of type 2 without TAP 2
    EXPECT_EQ(ZPX_SetTapIoPins(o.handle, 2, 0, 0), ZPX_STATUS_FAILED);
    EXPECT_EQ(ZPX_RWTapIoPins(o.handle, 2, 1, 0, 0, &result), ZPX_STATUS_NOT_AVAILABLE);
    EXPECT_EQ(ZPX_GetTapIoPins(o.handle, 5, &data, &control), ZPX_STATUS_INVALID);
    EXPECT_EQ(o.fake->Take(), "");

    // Right after a voltage change the pins wait for its 150 ms settle, then the frame.
    ASSERT_EQ(ZPX_AddNewTapInfo(o.handle, 1, 33, 15), ZPX_STATUS_OK);
    ASSERT_EQ(ZPX_SetTapVoltageEx(o.handle), ZPX_STATUS_OK);
    o.fake->Take();
    Answer(*o.file, "00 1100 1010");
    ASSERT_EQ(ZPX_GetTapIoPins(o.handle, 3, &data, &control), ZPX_STATUS_OK);
    EXPECT_EQ(o.fake->Take().substr(0, 26), "wait1 free1 w2=89 s5 w2=89");
    EXPECT_EQ(data * 16 + control, 0xC5u);

    // Read-write: the result is the control bits the mask selects, as they were.
    for (uint32_t mask : {0x0u, 0x3u}) {
        Answer(*o.file, "00 0000 1111");
        EXPECT_EQ(o.Get(ZPX_RWTapIoPins, 1, mask, 0x1, 0x2), mask);
    }
    o.fake->Take();

    // Several TAPs from a record: only selected TAPs whose state is 0.
    ZPX_DeviceInfo info{};
    info.PodKind = 1;
    info.TapState[3] = -1;
    Answer(*o.file, "00 0000 0001 00 1110 0100");
    ASSERT_EQ(ZPX_GetIoPins(o.handle, &info, 0x5, &data, &control), ZPX_STATUS_OK);
    EXPECT_EQ(data * 0x10000 + control, 0x080F0208u);
    o.fake->Take();
    ASSERT_EQ(ZPX_SetIoPins(o.handle, &info, 0xC, 0xFFFF, 0), ZPX_STATUS_OK);
    const std::string set = o.fake->Take();
    EXPECT_EQ(set.substr(0, 12), "w2=89 s5 w2=");
    EXPECT_EQ(set.find("w2=c9"), std::string::npos);
    info.PodKind = 0;
    EXPECT_EQ(ZPX_SetIoPins(o.handle, &info, 1, 0, 0), ZPX_STATUS_NOT_AVAILABLE);
    EXPECT_EQ(ZPX_GetIoPins(o.handle, &info, 1, &data, &control), ZPX_STATUS_NOT_AVAILABLE);
}

TEST(TapPins, ParallelModeWritesRegisterTwoDirectly) {
    auto file = std::make_shared<RegisterFile>();
    file->regs = {{2, 0x04}, {0x0B, 0x40}};  // the session's copy of register 2 is 0x05
    Opened o(kPci, file);
    uint32_t bit = 9;
    // Only a pod of type 1 to 3: not one not yet identified, unrecognised or of type 0.
    for (uint8_t kind : {uint8_t{9}, uint8_t{3}, uint8_t{0}}) {
        if (kind != 9) IdentifyPod(o, kind, "----");
        EXPECT_EQ(ZPX_EnableTapParallelMode(o.handle, 1), ZPX_STATUS_NOT_AVAILABLE);
        EXPECT_EQ(ZPX_DisableTapParallelMode(o.handle, 1), ZPX_STATUS_NOT_AVAILABLE);
        EXPECT_EQ(ZPX_WriteTapParallelMode(o.handle, 1, &bit), ZPX_STATUS_NOT_AVAILABLE);
    }
    IdentifyPod(o, 2, "0000");
    for (uint32_t tap : {0u, 5u})
        EXPECT_EQ(ZPX_EnableTapParallelMode(o.handle, tap), ZPX_STATUS_INVALID);
    EXPECT_EQ(o.fake->Take(), "");
    ASSERT_EQ(ZPX_EnableTapParallelMode(o.handle, 1), ZPX_STATUS_OK);
    EXPECT_EQ(o.fake->Take(), "w2=9 s5 w2=19 w2=39 w2=9 w2=29 w2=19 w2=39 w2=1 ");
    o.file->queued[2] = {0xF1};
    EXPECT_EQ(o.Get(ZPX_WriteTapParallelMode, 0x1F), 1u);
    ASSERT_EQ(ZPX_DisableTapParallelMode(o.handle, 1), ZPX_STATUS_OK);
    EXPECT_EQ(o.fake->Take(), "w2=f1 r2=f1 w2=9 w2=29 w2=9 w2=29 w2=9 w2=29 w2=5 ");
}

TEST(DeviceInfo, ControllerPartFromTheDriverPodPartFromTheLink) {
    // Driver answer, register 3, then ControllerKind and the clock range.
    const std::tuple<int64_t, uint8_t, int32_t, int32_t, int32_t> kinds[] = {
        {0x90300000, 0x00, 3, 40000, 1},
        {0x90300001, 0x04, 1, 40000, 1},
        {0x90500000, 0x00, 0, 25000, 100},
        {0x12340000, 0x00, -1, -1, -1},
        {-1, 0x00, 0, 25000, 100}};
    for (const auto& [driverId, identity, kind, maxKhz, minKhz] : kinds) {
        SCOPED_TRACE(kind);
        Opened o(kPci);
        o.file->driverId = driverId;
        o.file->selected[0] = {identity};
        uint32_t status = 99;
        ZPX_DeviceInfo* info = ZPX_CreateDeviceInfo(o.handle, &status);
        ASSERT_EQ(status, ZPX_STATUS_OK);
        ASSERT_NE(info, nullptr);
        EXPECT_EQ(info->ControllerKind, kind);
        EXPECT_EQ(info->MaxFrequencyKhz * 1000 + info->MinFrequencyKhz, maxKhz * 1000 + minKhz);
        EXPECT_EQ(info->PodKind * 10 + info->TapState[0] + info->MaxOutputVoltage, -10 - 2);
        EXPECT_EQ(info->MemorySize[0], 0x400000u);  // the session's type 3, flash code 0
        EXPECT_EQ(o.s().backend->legacyDriver(), driverId < 0 ? 1u : 0u);
        // Another kind leaves the pod part as it is; the 5120 family asks the pod sense.
        o.fake->Take();
        o.file->podSense = 0;
        ASSERT_EQ(ZPX_ExtractDeviceInfo(o.handle, info), ZPX_STATUS_OK);
        if (kind == -1) {
            EXPECT_EQ(info->PodKind, -1);
            EXPECT_EQ(o.fake->Take(), "");
        } else if (kind == 0) {
            EXPECT_EQ(info->PodKind, 0);
            EXPECT_EQ(o.fake->Take(), "sense ");  // the fixed TAPs: no pin frame
            EXPECT_EQ(info->TapState[3] * 100 + info->MaxOutputVoltage, 450);
        } else {
            // The 51x4 family: the kind bits of register 3; 2 leaves the kind, 3 is unknown.
            for (const auto& [bits, podKind] : {std::pair<uint8_t, int32_t>{0x32, 0}, {0x33, -1}}) {
                o.file->selected[0] = {bits};
                ASSERT_EQ(ZPX_ExtractDeviceInfo(o.handle, info), ZPX_STATUS_OK);
                EXPECT_EQ(info->PodKind, podKind);
                EXPECT_EQ(info->MinThresholdVoltage, podKind == 0 ? 33 : -1);
            }
        }
        EXPECT_EQ(ZPX_DestroyDeviceInfo(o.handle, info), ZPX_STATUS_OK);
        EXPECT_EQ(ZPX_DestroyDeviceInfo(o.handle, info), ZPX_STATUS_INVALID);  // given back
    }
    // An ISA board with a pod: the sense says there is one, the TAPs tell its kind.
    Opened isa(kIsa);
    isa.file->driverId = -1;
    uint32_t status = 99;
    ZPX_DeviceInfo* info = ZPX_CreateDeviceInfo(isa.handle, &status);
    ASSERT_NE(info, nullptr);
    Answer(*isa.file, "11 0000 0000 00 0000 0000 11 0000 0000 11 0000 0000");
    ASSERT_EQ(ZPX_ExtractDeviceInfo(isa.handle, info), ZPX_STATUS_OK);
    EXPECT_EQ(info->PodKind, 1);
    EXPECT_EQ(std::vector<int32_t>(info->TapState, info->TapState + 4),
              (std::vector<int32_t>{-1, 0, -1, -1}));
    EXPECT_EQ(info->MinOutputVoltage * 100 + info->MaxOutputVoltage, 1036);
    EXPECT_EQ(info->MinThresholdVoltage * 100 + info->MaxThresholdVoltage, 41);
    // No TAP answers: the kind stays as it was.
    info->PodKind = 7;
    Answer(*isa.file, "1");
    ASSERT_EQ(ZPX_ExtractDeviceInfo(isa.handle, info), ZPX_STATUS_OK);
    EXPECT_EQ(info->PodKind * 10 + info->TapState[1], 70 - 1);
    isa.file->podSense = -1;
    EXPECT_EQ(ZPX_ExtractDeviceInfo(isa.handle, info), ZPX_STATUS_FAILED);
    EXPECT_EQ(info->PodKind, 7);
    EXPECT_EQ(ZPX_ExtractDeviceInfo(isa.handle, nullptr), ZPX_STATUS_INVALID);
    ZPX_DeviceInfo own{};
    EXPECT_EQ(ZPX_DestroyDeviceInfo(isa.handle, &own), ZPX_STATUS_INVALID);  // not the library's
    EXPECT_EQ(ZPX_DestroyDeviceInfo(isa.handle, nullptr), ZPX_STATUS_OK);
    EXPECT_EQ(ZPX_DestroyDeviceInfo(isa.handle, info), ZPX_STATUS_OK);
    // A failed fill gives no record.
    isa.file->failAt = isa.file->served + 1;  // the driver answers, register 3 does not
    isa.file->driverId = 0x90300000;
    EXPECT_EQ(ZPX_CreateDeviceInfo(isa.handle, &status), nullptr);
    EXPECT_EQ(status, ZPX_STATUS_INVALID);
    EXPECT_EQ(ZPX_CreateDeviceInfo(nullptr, &status), nullptr);
    EXPECT_EQ(status, ZPX_STATUS_NULL_HANDLE);
}

TEST(BadInput, NullOutputsAndTapNumbersSendNothing) {
    Opened o(kPci);
    IdentifyPod(o, 2, "0000");
    const ZPX_Handle h = o.handle;
    ZPX_DeviceInfo info{};
    info.PodKind = 1;
    uint32_t u = 0;
    int32_t i = 0;
    for (uint32_t rc :
         {ZPX_PodPowered(h, nullptr), ZPX_GetTapVoltageEx(h, 1, nullptr, &u),
          ZPX_GetTapVoltage(h, &info, 1, &u, nullptr), ZPX_RWTapIoPins(h, 1, 0, 0, 0, nullptr),
          ZPX_SetIoPins(h, nullptr, 1, 0, 0), ZPX_GetIoPins(h, &info, 1, nullptr, &u),
          ZPX_WriteTapParallelMode(h, 0, nullptr), ZPX_GetPodType(h, nullptr),
          ZPX_GetOutputVoltRange(h, 0, nullptr, &i), ZPX_GetThresholdVoltRange(h, -1, &i, &i),
          ZPX_GetTapVoltage(h, &info, 0xFFFFFFFF, &u, &u),
          ZPX_DisableTapParallelMode(h, 0xFFFFFFFF)})
        EXPECT_EQ(rc, ZPX_STATUS_INVALID);
    EXPECT_EQ(ZPX_GetTapType(h, 1, nullptr), ZPX_STATUS_OK);
    EXPECT_EQ(o.fake->Take(), "");
    EXPECT_TRUE(o.device->calls.empty());
}

// A session of the 51x4 family whose pod has been identified as of type 1 with four TAPs of type
// 0. (Over Ethernet the identification would need every reply of it scripted.)
void IdentifiedAsType1(ControllerSession& s) {
    s.podType = 1;
    s.tapTypes = std::make_unique<uint8_t[]>(4);
    s.tapCount = 4;
}

TEST(EthernetLink, FrameWritesAreHeldAndDeliveredBeforeTheExportReturns) {
    // The same export with and without holding: the same bytes, but in a few sends.
    std::vector<uint8_t> bytes[2];
    size_t sends[2] = {};
    for (int holding = 0; holding < 2; ++holding) {
        Opened o(kEthernet);
        static_cast<transport::LanBackend&>(*o.s().backend).SetHoldingEnabled(holding == 1);
        IdentifiedAsType1(o.s());
        ASSERT_EQ(ZPX_AddNewTapInfo(o.handle, 0, 33, 15), ZPX_STATUS_OK);
        ASSERT_EQ(ZPX_SetTapVoltageEx(o.handle), ZPX_STATUS_OK);
        EXPECT_EQ(o.tcp->held, 0u);  // nothing left waiting when the export returns
        bytes[holding] = o.tcp->sent;
        for (const auto& [length, more] : o.tcp->sends)
            sends[holding] += more ? 0 : 1;
        sends[holding] += static_cast<size_t>(o.tcp->flushes);
        // A frame that reads: every held write goes out before the read.
        o.tcp->script = std::deque<TcpEvent>(40, {TcpEvent::kData, std::vector<uint8_t>(12, 0)});
        uint32_t data = 0, control = 0;
        o.fake->Take();
        ASSERT_EQ(ZPX_GetTapIoPins(o.handle, 1, &data, &control), ZPX_STATUS_OK);
        EXPECT_EQ(o.tcp->held, 0u);
        EXPECT_EQ(data, 15u);
        EXPECT_EQ(o.fake->Take(), "wait1 free1 s5 ");  // the base write left before the pause
    }
    EXPECT_EQ(bytes[0], bytes[1]);
    EXPECT_EQ(bytes[0].size(), 4u * 2 * 40 * 12);
    EXPECT_EQ(sends[0], 4u * 2 * 40);
    EXPECT_EQ(sends[1], 1u);
    // A send that fails when the held writes go out fails the export, and arms no settle.
    Opened o(kEthernet);
    IdentifiedAsType1(o.s());
    ASSERT_EQ(ZPX_AddNewTapInfo(o.handle, 1, 33, 15), ZPX_STATUS_OK);
    o.tcp->failFlushes = true;
    EXPECT_EQ(ZPX_SetTapVoltageEx(o.handle), ZPX_STATUS_FAILED);
    EXPECT_EQ(o.fake->Take(), "");
}

}  // namespace
}  // namespace zpx::testing
