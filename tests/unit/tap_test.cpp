// TAP voltages and the TAP information list, TAP I/O pins and parallel mode, device information
// records, the controller's information records and getters, bad input across the new exports,
// and the Ethernet link holding a frame's writes.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "driver_fixture.h"
#include "session/in_use_guard.h"
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
    for (int i = 7; i >= 0; --i)
        bits += ((value >> i) & 1) != 0 ? '1' : '0';
    return bits;
}

// A session of the 51x4 family whose pod has been identified as `podType` with `types`.
void Identified(ControllerSession& s, int32_t podType, std::vector<uint8_t> types) {
    s.podType = podType;
    s.tapTypes.reset(new uint8_t[types.size()]);
    std::copy(types.begin(), types.end(), s.tapTypes.get());
    s.tapCount = static_cast<uint32_t>(types.size());
}

std::vector<std::tuple<uint32_t, int32_t, int32_t>> Nodes(const ControllerSession& s) {
    std::vector<std::tuple<uint32_t, int32_t, int32_t>> out;
    for (const TapInfo* n = s.tapInfoList.get(); n != nullptr; n = n->next.get())
        out.emplace_back(n->tap, n->output, n->threshold);
    return out;
}

TEST(TapInfo, EntriesFollowThePodTypeRangesAndDefaults) {
    Opened o(kPci);
    ControllerSession& s = o.s();
    const ZPX_Handle h = o.handle;
    const int32_t kDefault = ZPX_DEFAULT_THRESHOLD;
    Identified(s, 1, {0, 1, 255, 0});
    // Every TAP: 50 is taken as 36 with the default threshold 15; TAP 3 takes no voltages.
    EXPECT_EQ(ZPX_AddNewTapInfo(h, 0, 50, kDefault), 0u);
    using N = std::tuple<uint32_t, int32_t, int32_t>;
    EXPECT_EQ(Nodes(s), (std::vector<N>{{0, 36, 15}, {1, 36, 15}, {3, 36, 15}}));
    // One TAP replaces its node in place; the default threshold follows the output.
    const std::tuple<uint32_t, int32_t, int32_t, uint32_t, int32_t> adds[] = {
        {2, 10, kDefault, 0, 5},  {2, 25, kDefault, 0, 12}, {2, 29, kDefault, 0, 14},
        {2, 30, kDefault, 0, 15}, {2, 36, 41, 0, 41},       {2, 50, kDefault, 12, 41},
        {2, 9, 0, 12, 41},        {2, 20, 42, 12, 41},      {2, 20, -1, 12, 41},
        {3, 20, 5, 10, 41},       {5, 20, 5, 10, 41},       {0xFFFFFFFF, 20, 5, 10, 41}};
    for (const auto& [tap, output, threshold, status, entered] : adds) {
        SCOPED_TRACE(output);
        EXPECT_EQ(ZPX_AddNewTapInfo(h, tap, output, threshold), status);
        EXPECT_EQ(std::get<2>(Nodes(s)[1]), entered);
    }
    EXPECT_EQ(Nodes(s).size(), 3u);
    // Millivolts cut down to tenths: 3349 is 33; -150 is -1, out of range.
    EXPECT_EQ(ZPX_AddNewTapInfoMillivolt(h, 1, 3349, 1599), 0u);
    EXPECT_EQ(Nodes(s)[0], N(0, 33, 15));
    EXPECT_EQ(ZPX_AddNewTapInfoMillivolt(h, 1, -150, kDefault), 12u);
    // Found by the index it was entered under, wherever it stands.
    uint32_t output = 0, threshold = 0;
    for (const auto& [index, entry] :
         {std::pair<int32_t, uint32_t>{0, 3315}, {1, 3641}, {3, 3615}}) {
        EXPECT_EQ(ZPX_GetTapInfo(h, index, &output, &threshold), 0u);
        EXPECT_EQ(output * 100 + threshold, entry) << index;
    }
    EXPECT_EQ(ZPX_GetTapInfo(h, 2, &output, &threshold), 10u);
    EXPECT_EQ(ZPX_GetTapInfo(h, -1, &output, &threshold), 10u);

    // A pod of type 0: one entry for all four TAPs, 3.3 V or 5 V, the threshold kept.
    Opened old(kPci5120);
    Identified(old.s(), 0, {4, 4, 4, 4});
    EXPECT_EQ(ZPX_AddNewTapInfo(old.handle, 1, 33, 0), 11u);
    EXPECT_EQ(ZPX_AddNewTapInfo(old.handle, 0, 36, 0), 12u);
    EXPECT_EQ(ZPX_AddNewTapInfo(old.handle, 0, 33, kDefault), 0u);
    EXPECT_EQ(Nodes(old.s()),
              (std::vector<N>{
                  {0, 33, kDefault}, {1, 33, kDefault}, {2, 33, kDefault}, {3, 33, kDefault}}));
    // Pods not identified, and pods of type 3, take nothing without complaint.
    for (int32_t podType : {-2, -1, 3}) {
        Identified(s, podType, {0, 0, 0, 0});
        EXPECT_EQ(ZPX_AddNewTapInfo(h, 1, 99, 99), 0u);
    }
    EXPECT_EQ(Nodes(s).size(), 3u);
}

TEST(TapVoltages, AppliedInListOrderSettledAndReadBackInTenths) {
    Opened o(kPci);
    ControllerSession& s = o.s();
    Identified(s, 1, {0, 0, 0, 0});
    ASSERT_EQ(ZPX_SetTapVoltageEx(o.handle), 0u);  // an empty list: nothing at all
    EXPECT_EQ(o.fake->Take(), "");
    ASSERT_EQ(ZPX_AddNewTapInfo(o.handle, 3, 33, 15), 0u);
    ASSERT_EQ(ZPX_AddNewTapInfo(o.handle, 1, 25, 12), 0u);
    ASSERT_EQ(ZPX_SetTapVoltageEx(o.handle), 0u);
    // Two frames of 40 writes per node in list order (TAP index 2 first), then the 150 ms
    // settle.
    const std::vector<std::string> log = Entries(o.fake->Take());
    ASSERT_EQ(log.size(), 2u * 2 * 40 + 2);
    EXPECT_EQ(log[0] + log[40] + log[80] + log[120], "w2=89w2=89w2=9w2=9");
    EXPECT_EQ(log[160] + log[161], "alloc1=2set1=150");
    // A failed frame: the nodes before it stay applied, no settle is armed.
    o.file->failAt = o.file->served + 50;
    EXPECT_EQ(ZPX_SetTapVoltageEx(o.handle), 1u);
    EXPECT_EQ(o.fake->Take().find("reset1"), std::string::npos);

    // Read back: ADC 206 is 3308 mV and 94 is 1509 mV: 33 and 15 tenths.
    Answer(*o.file, Byte(206) + Byte(94));
    uint32_t output = 0, threshold = 0;
    ASSERT_EQ(ZPX_GetTapVoltageEx(o.handle, 4, &output, &threshold), 0u);
    EXPECT_EQ(output * 100 + threshold, 3315u);
    Identified(s, 1, {0, 255, 4, 0});
    o.fake->Take();
    for (uint32_t tap : {0u, 2u, 3u, 5u, 0xFFFFFFFFu})
        EXPECT_EQ(ZPX_GetTapVoltageEx(o.handle, tap, &output, &threshold), 10u) << tap;
    EXPECT_EQ(o.fake->Take(), "");

    // A pod of type 0 has one voltage for all: bit 5 of register 1, chosen by the first node.
    Identified(s, 0, {4, 4, 4, 4});
    s.tapInfoList->output = 50;
    s.register1Copy = 0x01;
    ASSERT_EQ(ZPX_SetTapVoltageEx(o.handle), 0u);
    EXPECT_EQ(o.fake->Take(), "w1=21 ");
    s.tapInfoList->output = 33;
    ASSERT_EQ(ZPX_SetTapVoltageEx(o.handle), 0u);
    EXPECT_EQ(o.fake->Take(), "w1=1 ");
}

TEST(TapVoltages, DirectExportsTrustTheRecord) {
    Opened o(kPci);
    ZPX_DeviceInfo info{};
    info.PodKind = 1;
    info.MinOutputVoltage = 10;
    info.MaxOutputVoltage = 36;
    info.TapState[1] = -1;
    ZPX_TapVoltageRequest request{};
    EXPECT_EQ(ZPX_SetTapVoltage(o.handle, nullptr, &request), 2u);
    EXPECT_EQ(ZPX_SetTapVoltage(o.handle, &info, nullptr), 10u);
    EXPECT_EQ(o.fake->Take(), "");
    // No TAP asked for: register 2 is read, the settle armed.
    ASSERT_EQ(ZPX_SetTapVoltage(o.handle, &info, &request), 0u);
    EXPECT_EQ(o.fake->Take(), "r2=0 alloc1=2 set1=150 ");
    // TAPs 0 to 2: the absent TAP 1 is skipped, TAP 2 is out of range and ends the call.
    request.TapMask = 0x17;
    request.Output[0] = 33;
    request.Output[1] = 99;
    request.Output[2] = 37;
    request.Threshold[0] = 15;
    EXPECT_EQ(ZPX_SetTapVoltage(o.handle, &info, &request), 12u);
    const std::vector<std::string> log = Entries(o.fake->Take());
    ASSERT_EQ(log.size(), 1u + 2 * 40);  // TAP 0 set and closed, nothing more
    EXPECT_EQ(log[1] + log[41] + log[80], "w2=9w2=9w2=0");
    info.PodKind = 0;
    EXPECT_EQ(ZPX_SetTapVoltage(o.handle, &info, &request), 11u);
    EXPECT_EQ(o.fake->Take(), "r2=0 ");
    uint32_t output = 0, threshold = 0;
    EXPECT_EQ(ZPX_GetTapVoltage(o.handle, &info, 1, &output, &threshold), 11u);
    info.PodKind = 1;
    EXPECT_EQ(ZPX_GetTapVoltage(o.handle, &info, 0, &output, &threshold), 10u);
    EXPECT_EQ(ZPX_GetTapVoltage(o.handle, nullptr, 1, &output, &threshold), 2u);
    EXPECT_EQ(o.fake->Take(), "");
    Answer(*o.file, Byte(255) + Byte(0));
    ASSERT_EQ(ZPX_GetTapVoltage(o.handle, &info, 2, &output, &threshold), 0u);
    EXPECT_EQ(output * 100 + threshold, 4000u);
}

TEST(TapPins, WaitForSettlesCheckTapTypesAndCarryNibbles) {
    Opened o(kPci);
    ControllerSession& s = o.s();
    uint32_t data = 0, control = 0, result = 0;
    // No TAP types yet: 10 after the waits. A TAP number outside 1 to 4: 10 before them.
    EXPECT_EQ(ZPX_SetTapIoPins(o.handle, 1, 0, 0), 10u);
    for (int32_t tap : {0, 5, -1})
        EXPECT_EQ(ZPX_RWTapIoPins(o.handle, tap, 0xF, 0, 0, &result), 10u);
    EXPECT_EQ(ZPX_GetTapIoPins(o.handle, 1, nullptr, &control), 10u);
    EXPECT_EQ(o.fake->Take(), "");
    Identified(s, 1, {0, 255, 1, 4});
    const std::tuple<uint32_t, uint32_t, uint32_t> wrongType[] = {
        {ZPX_SetTapIoPins(o.handle, 2, 0, 0), 1, 0},
        {ZPX_GetTapIoPins(o.handle, 4, &data, &control), 1, 0},
        {ZPX_RWTapIoPins(o.handle, 2, 1, 0, 0, &result), 11, 0},
        {ZPX_GetTapIoPins(o.handle, 5, &data, &control), 10, 0}};
    for (const auto& [status, expected, unused] : wrongType)
        EXPECT_EQ(status, expected);
    EXPECT_EQ(o.fake->Take(), "");

    // Right after a voltage change the pins wait for its 150 ms settle, then the frame.
    ASSERT_EQ(ZPX_AddNewTapInfo(o.handle, 1, 33, 15), 0u);
    ASSERT_EQ(ZPX_SetTapVoltageEx(o.handle), 0u);
    o.fake->Take();
    Answer(*o.file, "00 1100 1010");
    ASSERT_EQ(ZPX_GetTapIoPins(o.handle, 3, &data, &control), 0u);
    EXPECT_EQ(o.fake->Take().substr(0, 26), "wait1 free1 w2=89 s5 w2=89");
    EXPECT_EQ(data * 16 + control, 0xC5u);

    // Read-write: the result is the control bits the mask selects, as they were.
    for (uint32_t mask : {0x0u, 0x3u}) {
        Answer(*o.file, "00 0000 1111");
        ASSERT_EQ(ZPX_RWTapIoPins(o.handle, 1, mask, 0x1, 0x2, &result), 0u);
        EXPECT_EQ(result, mask);
    }
    o.fake->Take();

    // Several TAPs from a record: only selected TAPs whose state is 0.
    ZPX_DeviceInfo info{};
    info.PodKind = 1;
    info.TapState[3] = -1;
    Answer(*o.file, "00 0000 0001 00 1111 0000");
    ASSERT_EQ(ZPX_GetIoPins(o.handle, &info, 0x5, &data, &control), 0u);
    EXPECT_EQ(data * 0x10000 + control, 0x000F0008u);
    o.fake->Take();
    ASSERT_EQ(ZPX_SetIoPins(o.handle, &info, 0xC, 0xFFFF, 0), 0u);
    const std::string set = o.fake->Take();
    EXPECT_EQ(set.substr(0, 12), "w2=89 s5 w2=");
    EXPECT_EQ(set.find("w2=c9"), std::string::npos);
    info.PodKind = 0;
    EXPECT_EQ(ZPX_SetIoPins(o.handle, &info, 1, 0, 0), 11u);
    EXPECT_EQ(ZPX_GetIoPins(o.handle, &info, 1, &data, &control), 11u);
}

TEST(TapPins, ParallelModeWritesRegisterTwoDirectly) {
    Opened o(kPci);
    ControllerSession& s = o.s();
    uint32_t bit = 9;
    for (int32_t podType : {-2, -1, 0}) {
        s.podType = podType;
        EXPECT_EQ(ZPX_EnableTapParallelMode(o.handle, 1), 11u);
        EXPECT_EQ(ZPX_DisableTapParallelMode(o.handle, 1), 11u);
        EXPECT_EQ(ZPX_WriteTapParallelMode(o.handle, 1, &bit), 11u);
    }
    s.podType = 1;
    s.register2Copy = 0x05;
    for (uint32_t tap : {0u, 5u})
        EXPECT_EQ(ZPX_EnableTapParallelMode(o.handle, tap), 10u);
    EXPECT_EQ(o.fake->Take(), "");
    ASSERT_EQ(ZPX_EnableTapParallelMode(o.handle, 1), 0u);
    EXPECT_EQ(o.fake->Take(), "w2=9 s5 w2=19 w2=39 w2=9 w2=29 w2=19 w2=39 w2=1 ");
    o.file->queued[2] = {0xF1};
    ASSERT_EQ(ZPX_WriteTapParallelMode(o.handle, 0x1F, &bit), 0u);
    EXPECT_EQ(bit, 1u);
    ASSERT_EQ(ZPX_DisableTapParallelMode(o.handle, 1), 0u);
    EXPECT_EQ(o.fake->Take(), "w2=f1 r2=f1 w2=9 w2=29 w2=9 w2=29 w2=9 w2=29 w2=5 ");
    EXPECT_EQ(s.register2Copy, 0x05u);
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
        ASSERT_EQ(status, 0u);
        ASSERT_NE(info, nullptr);
        EXPECT_EQ(info->ControllerKind, kind);
        EXPECT_EQ(info->MaxFrequencyKhz * 1000 + info->MinFrequencyKhz, maxKhz * 1000 + minKhz);
        EXPECT_EQ(info->PodKind * 10 + info->TapState[0] + info->MaxOutputVoltage, -10 - 2);
        EXPECT_EQ(info->MemorySize[0], 0x400000u);  // the session's type 3, flash code 0
        EXPECT_EQ(o.s().backend->legacyDriver(), driverId < 0 ? 1u : 0u);
        // Another kind leaves the pod part as it is; the 5120 family asks the pod sense.
        o.fake->Take();
        o.file->podSense = 0;
        ASSERT_EQ(ZPX_ExtractDeviceInfo(o.handle, info), 0u);
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
                ASSERT_EQ(ZPX_ExtractDeviceInfo(o.handle, info), 0u);
                EXPECT_EQ(info->PodKind, podKind);
                EXPECT_EQ(info->MinThresholdVoltage, podKind == 0 ? 33 : -1);
            }
        }
        EXPECT_EQ(ZPX_DestroyDeviceInfo(o.handle, info), 0u);
        EXPECT_EQ(ZPX_DestroyDeviceInfo(o.handle, info), 10u);  // given back already
    }
    // An ISA board with a pod: the sense says there is one, the TAPs tell its kind.
    Opened isa(kIsa);
    isa.file->driverId = -1;
    uint32_t status = 99;
    ZPX_DeviceInfo* info = ZPX_CreateDeviceInfo(isa.handle, &status);
    ASSERT_NE(info, nullptr);
    Answer(*isa.file, "11 0000 0000 00 0000 0000 11 0000 0000 11 0000 0000");
    ASSERT_EQ(ZPX_ExtractDeviceInfo(isa.handle, info), 0u);
    EXPECT_EQ(info->PodKind, 1);
    EXPECT_EQ(std::vector<int32_t>(info->TapState, info->TapState + 4),
              (std::vector<int32_t>{-1, 0, -1, -1}));
    EXPECT_EQ(info->MinOutputVoltage * 100 + info->MaxOutputVoltage, 1036);
    EXPECT_EQ(info->MinThresholdVoltage * 100 + info->MaxThresholdVoltage, 41);
    isa.file->podSense = -1;
    info->PodKind = 7;
    EXPECT_EQ(ZPX_ExtractDeviceInfo(isa.handle, info), 1u);
    EXPECT_EQ(info->PodKind, 7);
    EXPECT_EQ(ZPX_ExtractDeviceInfo(isa.handle, nullptr), 10u);
    ZPX_DeviceInfo own{};
    EXPECT_EQ(ZPX_DestroyDeviceInfo(isa.handle, &own), 10u);  // not the library's to free
    EXPECT_EQ(ZPX_DestroyDeviceInfo(isa.handle, nullptr), 0u);
    EXPECT_EQ(ZPX_DestroyDeviceInfo(isa.handle, info), 0u);
    // A failed fill gives no record.
    isa.file->failAt = isa.file->served + 1;  // the driver answers, register 3 does not
    isa.file->driverId = 0x90300000;
    EXPECT_EQ(ZPX_CreateDeviceInfo(isa.handle, &status), nullptr);
    EXPECT_EQ(status, 10u);
    EXPECT_EQ(ZPX_CreateDeviceInfo(nullptr, &status), nullptr);
    EXPECT_EQ(status, 2u);
}

TEST(InfoRecords, RecordFollowsTheSessionAndQueriesAnswerWhatWasAsked) {
    Opened o(kPci);
    ControllerSession& s = o.s();
    o.file->selected[1] = {0x45};
    ZPX_ControllerInfoRecord* record = nullptr;
    EXPECT_EQ(ZPX_GetControllerInfo(o.handle, nullptr), 2u);
    ASSERT_EQ(ZPX_GetControllerInfo(o.handle, &record), 0u);
    ASSERT_NE(record, nullptr);
    // Pod not known: no TAPs, no blocks; the type, limits, sizes, pod and clock are answered.
    EXPECT_EQ(record->ValidMask, 0x1000Fu | 0x3F0 | 0x400);
    EXPECT_EQ(record->TapCount, 0u);
    EXPECT_EQ(record->TapStates, nullptr);
    EXPECT_EQ(record->ControllerType * 100000 + record->MaxFrequencyKhz, 340000);
    Identified(s, 0, {0, 4, 255, 1});
    ZPX_ControllerInfoRecord* again = nullptr;
    ASSERT_EQ(ZPX_GetControllerInfo(o.handle, &again), 0u);
    EXPECT_EQ(again, record);
    EXPECT_EQ(record->ValidMask, 0x1000Fu | 0x3F0 | 0x7C00);
    EXPECT_EQ(std::vector<int32_t>(record->TapStates, record->TapStates + 5),
              (std::vector<int32_t>{4, 4, 4, 4, 0}));
    EXPECT_EQ(std::vector<int32_t>(record->MinOutputVoltage, record->MinOutputVoltage + 5),
              (std::vector<int32_t>{10, 33, -1, 10, 0}));
    EXPECT_EQ(std::vector<int32_t>(record->MaxOutputVoltage, record->MaxOutputVoltage + 5),
              (std::vector<int32_t>{36, 50, -1, 36, 0}));

    // Getters read the session alone.
    int32_t type = 99, low = 0, high = 0;
    for (int32_t tap : {0, 5})
        EXPECT_EQ(ZPX_GetTapType(o.handle, tap, &type), 0u);
    EXPECT_EQ(type, 99);
    EXPECT_EQ(o.Get<int32_t>(ZPX_GetTapType, 3), -1);
    EXPECT_EQ(ZPX_GetOutputVoltRange(o.handle, 1, &low, &high), 0u);
    EXPECT_EQ(low * 100 + high, 3350);
    EXPECT_EQ(ZPX_GetThresholdVoltRange(o.handle, 3, &low, &high), 0u);
    EXPECT_EQ(low * 100 + high, 41);
    EXPECT_EQ(ZPX_GetOutputVoltRange(o.handle, 4, &low, &high), 10u);
    // The flash code once, for the memory sizes; the clock at every refresh.
    EXPECT_EQ(o.fake->Take(), "w3=1 r3=45 w3=0 r7=0 r6=0 r7=0 r6=0 ");

    // A query with nothing asked: register 0x0B twice; bit 6 sets only the copy's bit 0.
    ZPX_InfoQuery query{};
    std::fill_n(reinterpret_cast<uint32_t*>(&query), 23, 0xEEEEEEEEu);
    query.RequestMask = 0;
    o.file->regs[0x0B] = 0x43;
    s.register2Copy = 0;
    ASSERT_EQ(ZPX_ControllerInfoNew(o.handle, &query), 0u);
    EXPECT_EQ(o.fake->Take(), "rb=43 rb=43 ");
    EXPECT_EQ(query.ValidMask + query.ControllerSerialHigh + query.PodSerial[3][1], 0u);
    EXPECT_EQ(query.ControllerType, static_cast<int32_t>(0xEEEEEEEE));
    EXPECT_EQ(s.register2Copy, 1u);
    // The pod type and TAP types of the session, the TAPs only while the pod is active; the
    // memory size in MiB.
    query.RequestMask = ZPX_QUERY_POD_TYPE | ZPX_QUERY_TAP(0) | ZPX_QUERY_TAP(2) | 0x4000;
    o.file->regs[0x0B] = 0x03;
    ASSERT_EQ(ZPX_ControllerInfoNew(o.handle, &query), 0u);
    EXPECT_EQ(query.ValidMask, 0x4002u);
    o.file->regs[0x0B] = 0x43;
    ASSERT_EQ(ZPX_ControllerInfoNew(o.handle, &query), 0u);
    EXPECT_EQ(query.ValidMask, 0x4016u);
    EXPECT_EQ(query.Tap[2] * 100 + query.PodType, -100);
    EXPECT_EQ(query.MemorySize2Mib, 16u);  // type 3 with flash code 0x45
    EXPECT_EQ(ZPX_ControllerInfoNew(o.handle, nullptr), 10u);
    {
        InUseGuard busy(s.inUse);
        EXPECT_EQ(ZPX_ControllerInfoNew(o.handle, nullptr), 10u);
        EXPECT_EQ(ZPX_ControllerInfoNew(o.handle, &query), 3u);
    }
    // Power read failing: 10, with what was answered before it kept.
    o.file->failAfter = o.file->served;
    query.RequestMask = ZPX_QUERY_CONTROLLER_TYPE;
    EXPECT_EQ(ZPX_ControllerInfoNew(o.handle, &query), 10u);
    EXPECT_EQ(query.ValidMask * 10 + static_cast<uint32_t>(query.ControllerType), 13u);

    // From a record of the 5120 family: powered by definition, no serial numbers.
    o.file->failAfter = -1;
    o.fake->Take();
    ZPX_DeviceInfo info{};
    info.PodKind = 1;
    info.TapState[1] = -1;
    info.MemorySize[2] = 0x400000;
    query.RequestMask = 0x7FFF;
    ASSERT_EQ(ZPX_ControllerInfo(o.handle, &info, &query), 0u);
    EXPECT_EQ(query.ValidMask, 0x403Fu);
    EXPECT_EQ(query.Tap[1] * 100 + query.PodType * 10 + static_cast<int32_t>(query.MemorySize2Mib),
              -100 + 10 + 4);
    EXPECT_EQ(o.fake->Take(), "");
    EXPECT_EQ(ZPX_ControllerInfo(o.handle, nullptr, &query), 10u);
}

TEST(BadInput, NullOutputsAndTapNumbersSendNothing) {
    Opened o(kPci);
    Identified(o.s(), 1, {0, 0, 0, 0});
    const ZPX_Handle h = o.handle;
    ZPX_DeviceInfo info{};
    info.PodKind = 1;
    uint32_t u = 0;
    int32_t i = 0;
    const std::pair<uint32_t, uint32_t> calls[] = {
        {ZPX_PodPowered(h, nullptr), 10},
        {ZPX_GetTapVoltageEx(h, 1, nullptr, &u), 10},
        {ZPX_GetTapVoltage(h, &info, 1, &u, nullptr), 10},
        {ZPX_RWTapIoPins(h, 1, 0, 0, 0, nullptr), 10},
        {ZPX_SetIoPins(h, nullptr, 1, 0, 0), 10},
        {ZPX_GetIoPins(h, &info, 1, nullptr, &u), 10},
        {ZPX_WriteTapParallelMode(h, 0, nullptr), 10},
        {ZPX_GetPodType(h, nullptr), 10},
        {ZPX_GetOutputVoltRange(h, 0, nullptr, &i), 10},
        {ZPX_GetThresholdVoltRange(h, -1, &i, &i), 10},
        {ZPX_GetTapVoltage(h, &info, 0xFFFFFFFF, &u, &u), 10},
        {ZPX_DisableTapParallelMode(h, 0xFFFFFFFF), 10},
        {ZPX_GetTapType(h, 1, nullptr), 0},
        {ZPX_SetPodPowerOn(nullptr), 2},
        {ZPX_GetControllerInfo(nullptr, nullptr), 2},
    };
    for (size_t k = 0; k < std::size(calls); ++k)
        EXPECT_EQ(calls[k].first, calls[k].second) << k;
    EXPECT_EQ(o.fake->Take(), "");
    EXPECT_TRUE(o.device->calls.empty());
}

TEST(EthernetLink, FrameWritesAreHeldAndDeliveredBeforeTheExportReturns) {
    // The same export with and without holding: the same bytes, but in a few sends.
    std::vector<uint8_t> bytes[2];
    size_t sends[2] = {};
    for (int holding = 0; holding < 2; ++holding) {
        Opened o(kEthernet);
        ControllerSession& s = o.s();
        static_cast<transport::LanBackend&>(*s.backend).SetHoldingEnabled(holding == 1);
        Identified(s, 1, {0, 0, 0, 0});
        ASSERT_EQ(ZPX_AddNewTapInfo(o.handle, 0, 33, 15), 0u);
        ASSERT_EQ(ZPX_SetTapVoltageEx(o.handle), 0u);
        EXPECT_EQ(o.tcp->held, 0u);  // nothing left waiting when the export returns
        bytes[holding] = o.tcp->sent;
        for (const auto& [length, more] : o.tcp->sends)
            sends[holding] += more ? 0 : 1;
        sends[holding] += static_cast<size_t>(o.tcp->flushes);
        // A frame that reads: every held write goes out before the read.
        o.tcp->script = std::deque<TcpEvent>(40, {TcpEvent::kData, std::vector<uint8_t>(12, 0)});
        uint32_t data = 0, control = 0;
        o.fake->Take();
        ASSERT_EQ(ZPX_GetTapIoPins(o.handle, 1, &data, &control), 0u);
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
    Identified(o.s(), 1, {0, 0, 0, 0});
    ASSERT_EQ(ZPX_AddNewTapInfo(o.handle, 1, 33, 15), 0u);
    o.tcp->failFlushes = true;
    EXPECT_EQ(ZPX_SetTapVoltageEx(o.handle), 1u);
    EXPECT_EQ(o.fake->Take(), "");
}

}  // namespace
}  // namespace zpx::testing
