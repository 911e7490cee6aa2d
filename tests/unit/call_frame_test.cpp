// The call frame around every export: null handles, one call at a time per session, and the guard
// given back on every path out.
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <new>
#include <thread>

#include "session/call_frame.h"
#include "session_helpers.h"
#include "zpx/zpx.h"

namespace zpx::testing {
namespace {

TEST(CallFrame, NullHandleGives2FromEveryExportThatTakesOne) {
    uint32_t a = 0, b = 0, c = 0;
    uint8_t data[16] = {};
    const ZPX_DeviceInfo info{};
#define CALL(expr)                  \
    {                               \
#expr, [&] { return expr; } \
    }
    const std::pair<const char*, std::function<uint32_t()>> exports[] = {
        CALL(ZPX_LibraryVersion(nullptr)),
        CALL(ZPX_LibraryVersionEx(nullptr, &a)),
        CALL(ZPX_LibraryVersionEx(nullptr, nullptr)),
        CALL(ZPX_GetControllerType(nullptr, &a)),
        CALL(ZPX_GetInterfaceType(nullptr, &a, &b, &c)),
        CALL(ZPX_BufferingUseful(nullptr, &a)),
        CALL(ZPX_CloseController(nullptr)),
        CALL(ZPX_StartController(nullptr)),
        CALL(ZPX_BootController(nullptr, 1)),
        CALL(ZPX_StopController(nullptr)),
        CALL(ZPX_GetControllerStatus(nullptr, &a)),
        CALL(ZPX_SetRunMode(nullptr, 4)),
        CALL(ZPX_SetRepeaterMode(nullptr, 0x10)),
        CALL(ZPX_SetImmMode(nullptr, 0x40)),
        CALL(ZPX_ClearError(nullptr, 0xFF)),
        CALL(ZPX_GetError(nullptr, &a)),
        CALL(ZPX_SetVPPMode(nullptr, 0x40)),
        CALL(ZPX_SetTapEnable(nullptr, 0xF0)),
        CALL(ZPX_GetTapEnable(nullptr, &a)),
        CALL(ZPX_SetLearnMode(nullptr, 4)),
        CALL(ZPX_GetLearnMode(nullptr, &a)),
        CALL(ZPX_GetButton(nullptr, &a)),
        CALL(ZPX_SetCntCounter(nullptr)),
        CALL(ZPX_SetContModeCounter(nullptr, 7)),
        CALL(ZPX_GetContModeCounter(nullptr, &a)),
        CALL(ZPX_WriteCtrlMemory(nullptr, 0, 0, 16, data)),
        CALL(ZPX_WriteCtrlMemoryNa(nullptr, 0, 16, data)),
        CALL(ZPX_ReadCtrlMemory(nullptr, 0, 0, 16, data)),
        CALL(ZPX_ReadCtrlMemoryNa(nullptr, 0, 16, data)),
        CALL(ZPX_WriteMemory(nullptr, 0, 0, 0, 16, data)),
        CALL(ZPX_ReadMemory(nullptr, 0, 0, 0, 16, data)),
        CALL(ZPX_WriteMemoryEx(nullptr, 0, 0, 16, data)),
        CALL(ZPX_ReadMemoryEx(nullptr, 0, 0, 16, data)),
        CALL(ZPX_WriteCtrlCounter(nullptr, 0, 1)),
        CALL(ZPX_ReadCtrlCounter(nullptr, 0, &a)),
        CALL(ZPX_WriteCounter(nullptr, 0, 0, 1)),
        CALL(ZPX_ReadCounter(nullptr, 0, 0, &a)),
        CALL(ZPX_GetMemorySize(nullptr, 0, &a)),
        CALL(ZPX_GetControllerEPLD(nullptr, &a)),
        CALL(ZPX_GetControllerFlash(nullptr, &a)),
        CALL(ZPX_GetCntrWaitTime(nullptr, &a)),
        CALL(ZPX_GetControllerSerialNumber(nullptr, &a, &b)),
        CALL(ZPX_GetTransceiverSerialNumber(nullptr, &a, &b)),
        CALL(ZPX_GetPodSerialNumber(nullptr, 0, &a, &b)),
        CALL(ZPX_BoardValid(nullptr, 0, &a)),
        CALL(ZPX_GetFrequencyRange(nullptr, &a, &b)),
        CALL(ZPX_SetCtrlFrequency(nullptr, 0, 1000)),
        CALL(ZPX_CheckCtrlFrequency(nullptr, 0, 1000)),
        CALL(ZPX_GetCurrentFrequency(nullptr, &a)),
        CALL(ZPX_SetFrequency(nullptr, &info, 0, 1000)),
        CALL(ZPX_CheckFrequency(nullptr, &info, 0, 1000)),
    };
#undef CALL
    ScopedFakePlatform fake;
    for (const auto& [text, call] : exports)
        EXPECT_EQ(call(), 2u) << text;
}

TEST(CallFrame, SecondCallOnABusySessionGets3AtOnceAndTheGuardComesBack) {
    ScopedFakePlatform fake;
    auto file = std::make_shared<RegisterFile>();
    file->regs[1] = 0x42;
    std::shared_ptr<FakeDriverState> device;
    ZPX_Handle h = OpenOnDevice(*fake, "USB", "\\\\.\\Usb51x4EX_0", file, &device);
    ASSERT_NE(h, nullptr);
    // Reads of register 1 block in the driver until released.
    std::atomic<bool> entered{false}, release{false};
    auto inner = device->handler;
    device->handler = [&](uint32_t code, const uint8_t* in, uint32_t n, uint8_t* out, uint32_t m) {
        if (code == transport::kRequestRegisterRead && GetU32(in) == 1) {
            entered = true;
            while (!release)
                std::this_thread::yield();
        }
        return inner(code, in, n, out, m);
    };
    uint32_t first = 99, error = 0;
    std::thread runner([&] { first = ZPX_GetError(h, &error); });
    while (!entered)
        std::this_thread::yield();

    const size_t requests = device->calls.size();
    uint32_t v = 0;
    EXPECT_EQ(ZPX_GetControllerType(h, &v), 3u);
    EXPECT_EQ(ZPX_SetRunMode(h, 0x0C), 3u);
    EXPECT_EQ(ZPX_GetError(h, &v), 3u);
    EXPECT_EQ(ZPX_LibraryVersion(h), 3u);
    EXPECT_EQ(ZPX_LibraryVersionEx(h, &v), 3u);
    EXPECT_EQ(ZPX_LibraryVersionEx(h, nullptr), 10u);  // checked before the guard
    EXPECT_EQ(device->calls.size(), requests);
    EXPECT_EQ(SessionOf(h).controlCopy, 0u);  // the refused SetRunMode changed nothing
    EXPECT_EQ(SessionOf(h).inUse.load(), 0);

    release = true;
    runner.join();
    EXPECT_EQ(first, 0u);
    EXPECT_EQ(error, 0x42u);
    EXPECT_EQ(SessionOf(h).inUse.load(), 1);
    EXPECT_EQ(ZPX_GetError(h, &v), 0u);
    EXPECT_EQ(ZPX_LibraryVersion(h), 2066u);
    EXPECT_EQ(ZPX_LibraryVersionEx(h, &v), 0u);
    EXPECT_EQ(v, 2066u);
    EXPECT_EQ(ZPX_CloseController(h), 0u);
}

TEST(CallFrame, FailingThrowingAndOpeningSessionsLeaveTheGuardAsItWas) {
    ScopedFakePlatform fake;
    auto file = std::make_shared<RegisterFile>();
    ZPX_Handle h = OpenOnDevice(*fake, "PCI", "\\\\.\\PCI51X4EX_0", file);
    ASSERT_NE(h, nullptr);
    file->failAfter = file->served;
    uint32_t v = 0;
    for (const auto& call : std::initializer_list<std::function<uint32_t()>>{
             [&] { return ZPX_GetError(h, &v); }, [&] { return ZPX_SetRunMode(h, 4); },
             [&] { return ZPX_GetContModeCounter(h, &v); }, [&] { return ZPX_StartController(h); },
             [&] { return ZPX_BootController(h, 1); },
             [&] { return ZPX_GetControllerStatus(h, &v); }}) {
        EXPECT_EQ(call(), 10u);
        EXPECT_EQ(SessionOf(h).inUse.load(), 1);
    }
    EXPECT_EQ(CallFrame(h, [](ControllerSession&) -> uint32_t { throw std::bad_alloc(); }), 1u);
    EXPECT_EQ(CallFrame(
                  h, [](ControllerSession&) -> uint32_t { throw 5; }, 10),
              10u);
    EXPECT_EQ(SessionOf(h).inUse.load(), 1);
    EXPECT_EQ(ZPX_CloseController(h), 0u);

    // A session still being opened reports busy and stays marked as opening.
    ControllerSession opening;
    EXPECT_EQ(ZPX_GetControllerType(HandleOf(&opening), &v), 3u);
    EXPECT_EQ(opening.inUse.load(), -1);
}

}  // namespace
}  // namespace zpx::testing
