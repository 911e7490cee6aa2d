// The call frame around every export: handles that are not live, one call at a time per session,
// and the guard given back on every path out.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fstream>
#include <functional>
#include <future>
#include <new>
#include <sstream>
#include <thread>
#include <vector>

#include "api/call_frame.h"
#include "driver_fixture.h"
#include "session/handle_table.h"

namespace zpx::testing {
namespace {

// Outputs and records the calls below point at.
uint32_t u[4];
int32_t i[2];
uint8_t bytes[16];
ZPX_DeviceInfo info;
ZPX_InfoQuery query;
ZPX_TapVoltageRequest request;
ZPX_ControllerInfoRecord* record;

// An export by name, called on handle `h` with arguments that would do for a live session, and
// what it must give when `h` is not live.
struct ExportCall {
    const char* name;
    uint32_t (*call)(ZPX_Handle h);
    uint32_t notLive = ZPX_STATUS_NULL_HANDLE;
};
#define CALL(f, ...) ExportCall(#f, [](ZPX_Handle h) { return f(h __VA_OPT__(, ) __VA_ARGS__); })
// Those without a handle, given a null name.
#define NO_HANDLE(f, rc) \
    ExportCall(          \
        #f, [](ZPX_Handle) { return f(nullptr, u, u + 1); }, rc)

uint32_t OpenNull(ZPX_Handle) {
    return ZPX_OpenController(nullptr, u) == nullptr ? u[0] : 99;
}
uint32_t CreateDeviceInfo(ZPX_Handle h) {
    return ZPX_CreateDeviceInfo(h, u) == nullptr ? u[0] : 99;
}

template <class... Calls>
std::vector<ExportCall> Table(Calls... calls) {
    return {calls...};
}

const std::vector<ExportCall> kExports = Table(
    CALL(ZPX_ActivatePod, 1), CALL(ZPX_AddNewTapInfo, 1, 33, 15),
    CALL(ZPX_AddNewTapInfoMillivolt, 1, 3300, 1500), CALL(ZPX_BoardValid, 0, u),
    CALL(ZPX_BootController, 1), CALL(ZPX_BufferingUseful, u),
    CALL(ZPX_CheckCtrlFrequency, 0, 1000), CALL(ZPX_CheckFrequency, &info, 0, 1000),
    CALL(ZPX_ClearError, 0xFF), CALL(ZPX_CloseController), CALL(ZPX_ControllerInfo, &info, &query),
    CALL(ZPX_ControllerInfoNew, &query),
    NO_HANDLE(ZPX_ControllerSerialNumberAlloc, ZPX_STATUS_FAILED),
    NO_HANDLE(ZPX_ControllerSerialNumberFree, ZPX_STATUS_OK),
    NO_HANDLE(ZPX_ControllerSerialNumberPeek, ZPX_STATUS_FAILED),
    ExportCall("ZPX_CreateDeviceInfo", CreateDeviceInfo), CALL(ZPX_DeActivatePod),
    CALL(ZPX_DestroyDeviceInfo, &info), CALL(ZPX_DisablePod, &info),
    CALL(ZPX_DisableTapParallelMode, 1), CALL(ZPX_EnablePod, &info, 0),
    CALL(ZPX_EnableTapParallelMode, 1), CALL(ZPX_ExtractDeviceInfo, &info), CALL(ZPX_GetButton, u),
    CALL(ZPX_GetCntrWaitTime, u), CALL(ZPX_GetContModeCounter, u), CALL(ZPX_GetControllerEPLD, u),
    CALL(ZPX_GetControllerFlash, u), CALL(ZPX_GetControllerInfo, &record),
    CALL(ZPX_GetControllerSerialNumber, u, u + 1), CALL(ZPX_GetControllerStatus, u),
    CALL(ZPX_GetControllerType, u), CALL(ZPX_GetCurrentFrequency, u), CALL(ZPX_GetDHCP, u),
    CALL(ZPX_GetError, u), CALL(ZPX_GetFPGAVersion, u), CALL(ZPX_GetFirmwareVersion, u),
    CALL(ZPX_GetFrequencyRange, u, u + 1), CALL(ZPX_GetInterfaceType, u, u + 1, u + 2),
    CALL(ZPX_GetIoPins, &info, 1, u, u + 1), CALL(ZPX_GetIpAddress, u), CALL(ZPX_GetLearnMode, u),
    CALL(ZPX_GetMACAddress, u, u + 1), CALL(ZPX_GetMemorySize, 0, u),
    CALL(ZPX_GetOutputVoltRange, 0, i, i + 1), CALL(ZPX_GetPodExtenderMode, u),
    CALL(ZPX_GetPodSerialNumber, 0, u, u + 1), CALL(ZPX_GetPodType, i), CALL(ZPX_GetTapEnable, u),
    CALL(ZPX_GetTapInfo, 0, u, u + 1), CALL(ZPX_GetTapIoPins, 1, u, u + 1),
    CALL(ZPX_GetTapType, 1, i), CALL(ZPX_GetTapVoltage, &info, 1, u, u + 1),
    CALL(ZPX_GetTapVoltageEx, 1, u, u + 1), CALL(ZPX_GetThresholdVoltRange, 0, i, i + 1),
    CALL(ZPX_GetTransceiverSerialNumber, u, u + 1), CALL(ZPX_LibraryVersion),
    CALL(ZPX_LibraryVersionEx, u), ExportCall("ZPX_OpenController", OpenNull, ZPX_STATUS_INVALID),
    CALL(ZPX_PodActivated, u), CALL(ZPX_PodPowered, u), CALL(ZPX_RWTapIoPins, 1, 0, 0, 0, u),
    CALL(ZPX_ReadCounter, 0, 0, u), CALL(ZPX_ReadCtrlCounter, 0, u),
    CALL(ZPX_ReadCtrlMemory, 0, 0, 16, bytes), CALL(ZPX_ReadCtrlMemoryNa, 0, 16, bytes),
    CALL(ZPX_ReadMemory, 0, 0, 0, 16, bytes), CALL(ZPX_ReadMemoryEx, 0, 0, 16, bytes),
    CALL(ZPX_ResetController), CALL(ZPX_ResetSystem), CALL(ZPX_SetCntCounter),
    CALL(ZPX_SetContModeCounter, 7), CALL(ZPX_SetCtrlFrequency, 0, 1000), CALL(ZPX_SetDHCP, 1),
    CALL(ZPX_SetFrequency, &info, 0, 1000), CALL(ZPX_SetImmMode, 0x40),
    CALL(ZPX_SetIoPins, &info, 1, 0, 0), CALL(ZPX_SetIpAddress, 1), CALL(ZPX_SetLearnMode, 4),
    CALL(ZPX_SetMACAddress, 1, 2), CALL(ZPX_SetPodExtenderMode, 0), CALL(ZPX_SetPodPowerOff),
    CALL(ZPX_SetPodPowerOn), CALL(ZPX_SetRepeaterMode, 0x10), CALL(ZPX_SetRunMode, 4),
    CALL(ZPX_SetTapEnable, 0xF0), CALL(ZPX_SetTapIoPins, 1, 0, 0),
    CALL(ZPX_SetTapVoltage, &info, &request), CALL(ZPX_SetTapVoltageEx), CALL(ZPX_SetVPPMode, 0x40),
    CALL(ZPX_StartController), CALL(ZPX_StopController), CALL(ZPX_SwitchOffBoard),
    CALL(ZPX_UpdateFPGA, 4, 0, 0, 0, bytes), CALL(ZPX_UpdateFirmware, 4, 0, 0, 0, bytes),
    CALL(ZPX_WriteCounter, 0, 0, 1), CALL(ZPX_WriteCtrlCounter, 0, 1),
    CALL(ZPX_WriteCtrlMemory, 0, 0, 16, bytes), CALL(ZPX_WriteCtrlMemoryNa, 0, 16, bytes),
    CALL(ZPX_WriteMemory, 0, 0, 0, 16, bytes), CALL(ZPX_WriteMemoryEx, 0, 0, 16, bytes),
    CALL(ZPX_WriteTapParallelMode, 1, u));

// The exports the library lists in its module-definition file.
std::vector<std::string> ListedExports() {
    std::ifstream def(ZPX_DEF_FILE);
    std::vector<std::string> names;
    bool exports = false;
    for (std::string line, word; std::getline(def, line);) {
        if (!(std::istringstream(line) >> word) || word[0] == ';') continue;
        if (exports) names.push_back(word);
        exports = exports || word == "EXPORTS";
    }
    return names;
}

// Null, closed, never opened and garbage handles all give 2 from every export the library lists
// (close included; the exports without a handle give their code for a null name), and nothing is
// touched through them (the sanitizers would see it).
TEST(CallFrame, HandlesThatAreNotLiveGive2FromEveryExport) {
    std::vector<std::string> called;
    for (const ExportCall& e : kExports)
        called.emplace_back(e.name);
    std::sort(called.begin(), called.end());
    const std::vector<std::string> listed = ListedExports();
    ASSERT_GT(listed.size(), 100u) << ZPX_DEF_FILE;
    for (const std::string& name : listed)
        EXPECT_TRUE(std::binary_search(called.begin(), called.end(), name))
            << name << " not called";
    EXPECT_EQ(called.size(), listed.size()) << "an export called twice, or one not listed";

    Opened o(kPci);
    const ZPX_Handle closed = o.handle;
    ASSERT_EQ(o.Close(), ZPX_STATUS_OK);
    Opened reopened(kPci);  // takes the closed handle's slot again, under a new handle
    ASSERT_NE(reopened.handle, closed);
    const size_t opens = reopened.fake->driverOpens.size();
    uint64_t local = 0;
    for (ZPX_Handle n : {ZPX_Handle{nullptr}, closed, reinterpret_cast<ZPX_Handle>(&local),
                         reinterpret_cast<ZPX_Handle>(uintptr_t{0x1234}),
                         reinterpret_cast<ZPX_Handle>(~uintptr_t{0}),
                         reinterpret_cast<ZPX_Handle>(uintptr_t{1} << 32 | 4000)}) {
        for (const ExportCall& e : kExports)
            EXPECT_EQ(e.call(n), e.notLive) << e.name << " on handle " << n;
    }
    EXPECT_EQ(reopened.fake->driverOpens.size(), opens);
    EXPECT_EQ(ZPX_GetControllerType(reopened.handle, u), ZPX_STATUS_OK);
}

// A close that arrives while a call runs waits for the call to end, calls that arrive once the
// close began get 2, and of several closes racing on one handle exactly one closes it.
// Runs `hook` when the driver of `o` gets its next request, before serving it; register 1 (the
// error register) reads 0x42.
void BeforeNextRequest(Opened& o, std::function<void()> hook) {
    o.file->regs[1] = 0x42;
    o.device->handler = [inner = o.device->handler, hook, first = true](
                            uint32_t code, const uint8_t* in, uint32_t n, uint8_t* out,
                            uint32_t m) mutable {
        if (std::exchange(first, false)) hook();
        return inner(code, in, n, out, m);
    };
}

TEST(CallFrame, CloseWaitsForTheRunningCallAndLaterCallsGet2) {
    Opened o(kUsb);
    const ZPX_Handle h = o.handle;
    std::promise<void> inside, release;
    auto released = release.get_future().share();
    BeforeNextRequest(o, [&] {
        inside.set_value();
        released.wait();
    });
    uint32_t error = 0;
    std::atomic<uint32_t> callStatus{99}, closeStatus{99};
    std::thread call([&] { callStatus = ZPX_GetError(h, &error); });
    inside.get_future().wait();
    std::thread close([&] { closeStatus = ZPX_CloseController(h); });
    while (handle_table::Peek(h) != nullptr)  // the close has shut the handle
        std::this_thread::yield();
    uint32_t type = 0;
    EXPECT_EQ(ZPX_GetControllerType(h, &type), ZPX_STATUS_NULL_HANDLE);
    EXPECT_EQ(ZPX_CloseController(h), ZPX_STATUS_NULL_HANDLE);
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_EQ(closeStatus.load(), 99u) << "the close did not wait for the call";
    release.set_value();
    call.join();
    close.join();
    EXPECT_EQ(callStatus.load(), ZPX_STATUS_OK);
    EXPECT_EQ(error, 0x42u);
    EXPECT_EQ(closeStatus.load(), ZPX_STATUS_OK);
    o.handle = nullptr;

    Opened racing(kUsb);
    std::vector<std::thread> closers;
    std::atomic<int> closedOk{0}, refused{0};
    for (int k = 0; k < 6; ++k) {
        closers.emplace_back(
            [&] { (ZPX_CloseController(racing.handle) == ZPX_STATUS_OK ? closedOk : refused)++; });
    }
    for (auto& t : closers)
        t.join();
    EXPECT_EQ(closedOk.load(), 1);
    EXPECT_EQ(refused.load(), 5);
    racing.handle = nullptr;
}

TEST(CallFrame, ACallOnABusySessionGets3AtOnceAndTheGuardComesBack) {
    // Calls made while the driver serves a GetError, and what the guard then reads.
    std::vector<uint32_t> meanwhile;
    Opened o(kUsb);
    const ZPX_Handle h = o.handle;
    BeforeNextRequest(o, [&] {
        uint32_t v = 0;
        meanwhile = {ZPX_GetControllerType(h, &v),
                     ZPX_SetRunMode(h, 0x0C),
                     ZPX_LibraryVersion(h),
                     ZPX_LibraryVersionEx(h, &v),
                     ZPX_LibraryVersionEx(h, nullptr),  // checked before the guard
                     static_cast<uint32_t>(o.s().inUse.load())};
    });
    EXPECT_EQ(o.Get(ZPX_GetError), 0x42u);
    EXPECT_EQ(meanwhile, (std::vector<uint32_t>{ZPX_STATUS_BUSY, ZPX_STATUS_BUSY, ZPX_STATUS_BUSY,
                                                ZPX_STATUS_BUSY, ZPX_STATUS_INVALID, 0}));
    EXPECT_EQ(o.device->calls.size(), 1u);
    EXPECT_EQ(o.s().controlCopy, 0u);  // the refused SetRunMode changed nothing
    EXPECT_EQ(o.s().inUse.load(), 1);
    EXPECT_EQ(ZPX_LibraryVersion(h), 2066u);
}

TEST(CallFrame, FailingThrowingAndOpeningSessionsLeaveTheGuardAsItWas) {
    Opened o(kPci);
    const ZPX_Handle h = o.handle;
    o.file->failAfter = o.file->served;
    uint32_t v = 0;
    for (uint32_t rc : {ZPX_GetError(h, &v), ZPX_SetRunMode(h, 4), ZPX_StartController(h),
                        ZPX_BootController(h, 1), ZPX_GetControllerStatus(h, &v)})
        EXPECT_EQ(rc, ZPX_STATUS_INVALID);
    EXPECT_EQ(Frame(h).Run([](ControllerSession&) -> Status { throw std::bad_alloc(); }),
              ZPX_STATUS_FAILED);
    EXPECT_EQ(
        Frame(h).OnException(Status::kInvalid).Run([](ControllerSession&) -> Status { throw 5; }),
        ZPX_STATUS_INVALID);
    EXPECT_EQ(o.s().inUse.load(), 1);

    // A session still opening is busy, even to a caller who guessed its handle.
    ZPX_Handle opening = handle_table::Publish(std::make_unique<ControllerSession>());
    ASSERT_NE(opening, nullptr);
    EXPECT_EQ(ZPX_GetControllerType(opening, &v), ZPX_STATUS_BUSY);
    EXPECT_EQ(SessionOf(opening).inUse.load(), -1);
    EXPECT_NE(handle_table::Retire(opening), nullptr);
}

}  // namespace
}  // namespace zpx::testing
