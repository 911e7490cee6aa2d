// The call frame around every export: null handles, one call at a time per session, and the guard
// given back on every path out.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <new>
#include <thread>
#include <vector>

#include "api/call_frame.h"
#include "driver_fixture.h"
#include "session/handle_table.h"

namespace zpx::testing {
namespace {

// Every export that takes a handle, on handle `n`.
std::vector<uint32_t> EveryExport(ZPX_Handle n) {
    uint32_t a = 0, b = 0, c = 0;
    uint8_t d[16] = {};
    const ZPX_DeviceInfo info{};
    const auto all = [](auto... status) { return std::vector<uint32_t>{status...}; };
    return all(ZPX_LibraryVersion(n), ZPX_LibraryVersionEx(n, &a), ZPX_LibraryVersionEx(n, nullptr),
               ZPX_GetControllerType(n, &a), ZPX_GetInterfaceType(n, &a, &b, &c),
               ZPX_BufferingUseful(n, &a), ZPX_CloseController(n), ZPX_StartController(n),
               ZPX_BootController(n, 1), ZPX_StopController(n), ZPX_GetControllerStatus(n, &a),
               ZPX_SetRunMode(n, 4), ZPX_SetRepeaterMode(n, 0x10), ZPX_SetImmMode(n, 0x40),
               ZPX_ClearError(n, 0xFF), ZPX_GetError(n, &a), ZPX_SetVPPMode(n, 0x40),
               ZPX_SetTapEnable(n, 0xF0), ZPX_GetTapEnable(n, &a), ZPX_SetLearnMode(n, 4),
               ZPX_GetLearnMode(n, &a), ZPX_GetButton(n, &a), ZPX_SetCntCounter(n),
               ZPX_SetContModeCounter(n, 7), ZPX_GetContModeCounter(n, &a),
               ZPX_WriteCtrlMemory(n, 0, 0, 16, d), ZPX_WriteCtrlMemoryNa(n, 0, 16, d),
               ZPX_ReadCtrlMemory(n, 0, 0, 16, d), ZPX_ReadCtrlMemoryNa(n, 0, 16, d),
               ZPX_WriteMemory(n, 0, 0, 0, 16, d), ZPX_ReadMemory(n, 0, 0, 0, 16, d),
               ZPX_WriteMemoryEx(n, 0, 0, 16, d), ZPX_ReadMemoryEx(n, 0, 0, 16, d),
               ZPX_WriteCtrlCounter(n, 0, 1), ZPX_ReadCtrlCounter(n, 0, &a),
               ZPX_WriteCounter(n, 0, 0, 1), ZPX_ReadCounter(n, 0, 0, &a),
               ZPX_GetMemorySize(n, 0, &a), ZPX_GetControllerEPLD(n, &a),
               ZPX_GetControllerFlash(n, &a), ZPX_GetCntrWaitTime(n, &a),
               ZPX_GetControllerSerialNumber(n, &a, &b), ZPX_GetTransceiverSerialNumber(n, &a, &b),
               ZPX_GetPodSerialNumber(n, 0, &a, &b), ZPX_BoardValid(n, 0, &a),
               ZPX_GetFrequencyRange(n, &a, &b), ZPX_SetCtrlFrequency(n, 0, 1000),
               ZPX_CheckCtrlFrequency(n, 0, 1000), ZPX_GetCurrentFrequency(n, &a),
               ZPX_SetFrequency(n, &info, 0, 1000), ZPX_CheckFrequency(n, &info, 0, 1000),
               ZPX_CloseController(n));
}

// Null, closed, never opened and garbage handles all give 2, close included, and nothing is
// touched through them (the sanitizers would see it).
TEST(CallFrame, HandlesThatAreNotLiveGive2FromEveryExport) {
    Opened o(kPci);
    const ZPX_Handle closed = o.handle;
    ASSERT_EQ(o.Close(), 0u);
    Opened reopened(kPci);  // takes the closed handle's slot again, under a new handle
    ASSERT_NE(reopened.handle, closed);
    uint64_t local = 0;
    const ZPX_Handle notLive[] = {nullptr,
                                  closed,
                                  reinterpret_cast<ZPX_Handle>(&local),
                                  reinterpret_cast<ZPX_Handle>(uintptr_t{0x1234}),
                                  reinterpret_cast<ZPX_Handle>(~uintptr_t{0}),
                                  reinterpret_cast<ZPX_Handle>(uintptr_t{1} << 32 | 4000)};
    for (ZPX_Handle n : notLive) {
        const std::vector<uint32_t> results = EveryExport(n);
        for (size_t i = 0; i < results.size(); ++i)
            EXPECT_EQ(results[i], 2u) << "export " << i << " of the list, handle " << n;
    }
    uint32_t type = 0;
    EXPECT_EQ(ZPX_GetControllerType(reopened.handle, &type), 0u);
}

// A close that arrives while a call runs waits for the call to end, calls that arrive once the
// close began get 2, and of several closes racing on one handle exactly one closes it.
TEST(CallFrame, CloseWaitsForTheRunningCallAndLaterCallsGet2) {
    auto file = std::make_shared<RegisterFile>();
    file->regs[1] = 0x42;
    Opened o(kUsb, file);
    const ZPX_Handle h = o.handle;
    std::promise<void> inside, release;
    auto released = release.get_future().share();
    auto inner = o.device->handler;
    bool first = true;
    o.device->handler = [&, inner](uint32_t code, const uint8_t* in, uint32_t n, uint8_t* out,
                                   uint32_t m) {
        if (std::exchange(first, false)) {
            inside.set_value();
            released.wait();
        }
        return inner(code, in, n, out, m);
    };
    uint32_t error = 0;
    std::atomic<uint32_t> callStatus{99}, closeStatus{99};
    std::thread call([&] { callStatus = ZPX_GetError(h, &error); });
    inside.get_future().wait();
    std::thread close([&] { closeStatus = ZPX_CloseController(h); });
    while (handle_table::Peek(h) != nullptr)  // the close has shut the handle
        std::this_thread::yield();
    uint32_t type = 0;
    EXPECT_EQ(ZPX_GetControllerType(h, &type), 2u);
    EXPECT_EQ(ZPX_CloseController(h), 2u);
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_EQ(closeStatus.load(), 99u) << "the close did not wait for the call";
    release.set_value();
    call.join();
    close.join();
    EXPECT_EQ(callStatus.load(), 0u);
    EXPECT_EQ(error, 0x42u);
    EXPECT_EQ(closeStatus.load(), 0u);
    o.handle = nullptr;

    Opened racing(kUsb);
    std::vector<std::thread> closers;
    std::atomic<int> closedOk{0}, refused{0};
    for (int i = 0; i < 6; ++i) {
        closers.emplace_back([&] {
            const uint32_t rc = ZPX_CloseController(racing.handle);
            (rc == 0 ? closedOk : refused)++;
        });
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
    auto file = std::make_shared<RegisterFile>();
    file->regs[1] = 0x42;
    Opened o(kUsb, file);
    const ZPX_Handle h = o.handle;
    auto inner = o.device->handler;
    o.device->handler = [&, inner](uint32_t code, const uint8_t* in, uint32_t n, uint8_t* out,
                                   uint32_t m) {
        uint32_t v = 0;
        if (meanwhile.empty()) {
            meanwhile = {ZPX_GetControllerType(h, &v),
                         ZPX_SetRunMode(h, 0x0C),
                         ZPX_LibraryVersion(h),
                         ZPX_LibraryVersionEx(h, &v),
                         ZPX_LibraryVersionEx(h, nullptr),  // checked before the guard
                         static_cast<uint32_t>(o.s().inUse.load())};
        }
        return inner(code, in, n, out, m);
    };
    uint32_t error = 0;
    EXPECT_EQ(ZPX_GetError(h, &error), 0u);
    EXPECT_EQ(error, 0x42u);
    EXPECT_EQ(meanwhile, (std::vector<uint32_t>{3, 3, 3, 3, 10, 0}));
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
        EXPECT_EQ(rc, 10u);
    EXPECT_EQ(Frame(h).Run([](ControllerSession&) -> Status { throw std::bad_alloc(); }), 1u);
    EXPECT_EQ(
        Frame(h).OnException(Status::kInvalid).Run([](ControllerSession&) -> Status { throw 5; }),
        10u);
    EXPECT_EQ(o.s().inUse.load(), 1);

    // A session still opening is busy, even to a caller who guessed its handle.
    ZPX_Handle opening = handle_table::Publish(std::make_unique<ControllerSession>());
    ASSERT_NE(opening, nullptr);
    EXPECT_EQ(ZPX_GetControllerType(opening, &v), 3u);
    EXPECT_EQ(SessionOf(opening).inUse.load(), -1);
    EXPECT_NE(handle_table::Retire(opening), nullptr);
}

}  // namespace
}  // namespace zpx::testing
