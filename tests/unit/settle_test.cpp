// Settle slots against the fake alarm facility: kinds and delays, the direct delay when no
// alarms are available, restarting an armed slot, awaiting, and the waits at close.
#include <gtest/gtest.h>

#include "session/settle.h"
#include "session_helpers.h"
#include "zpx/zpx.h"

namespace zpx::testing {
namespace {

TEST(Settle, EachSlotArmsItsKindAndDelayOrWaitsAtOnceWithoutAlarms) {
    struct Slot {
        uint32_t code, kind, delay, directMicros;
    };
    // At 3 kHz one test-clock period rounds up to 334 µs.
    const Slot slots[] = {{0, 2, 300, 300000}, {1, 2, 150, 150000}, {3, 2, 250, 250000},
                          {7, 1, 334, 334},    {15, 1, 2004, 2004}, {31, 2, 500, 500000}};
    for (int16_t available : {int16_t{16}, int16_t{0}, int16_t{-1}}) {
        for (const Slot& slot : slots) {
            SCOPED_TRACE(std::to_string(slot.code) + " with " + std::to_string(available));
            ScopedFakePlatform fake;
            ControllerSession s;
            s.tckKhz = 3;
            EXPECT_TRUE(ArmSettle(s, available, slot.code).ok());
            int armed = 0;
            for (uint16_t id : s.alarmIds)
                armed += id != 0;
            if (available > 0) {
                EXPECT_EQ(AlarmTrace(*fake), "alloc 1 " + std::to_string(slot.kind) + ",set 1 " +
                                                 std::to_string(slot.delay));
                EXPECT_EQ(armed, 1);
                EXPECT_TRUE(fake->directDelays.empty());
            } else {
                EXPECT_EQ(AlarmTrace(*fake), "");
                EXPECT_EQ(armed, 0);
                EXPECT_EQ(fake->directDelays, std::vector<uint32_t>{slot.directMicros});
            }
        }
    }
}

TEST(Settle, RearmingRestartsTheAlarmAndAwaitFreesItOnce) {
    ScopedFakePlatform fake;
    ControllerSession s;
    EXPECT_TRUE(ArmSettle(s, 16, kSettlePodPower).ok());
    fake->nowMicros = 100000;
    EXPECT_TRUE(ArmSettle(s, 16, kSettlePodPower).ok());
    EXPECT_EQ(AlarmTrace(*fake), "alloc 1 2,set 1 300,reset 1");
    EXPECT_TRUE(AwaitSettle(s, kSettlePodPower).ok());
    EXPECT_EQ(AlarmTrace(*fake, 3), "wait 1,free 1");
    EXPECT_EQ(fake->nowMicros, 400000u);  // one full delay after the second arming
    for (uint16_t id : s.alarmIds)
        EXPECT_EQ(id, 0);
    // An idle slot returns at once; a code without a slot is refused and touches nothing.
    EXPECT_TRUE(AwaitSettle(s, kSettlePodPower).ok());
    EXPECT_TRUE(AwaitSettle(s, 2).failed());
    EXPECT_TRUE(ArmSettle(s, 16, 2).ok());
    EXPECT_EQ(fake->alarmCalls.size(), 5u);
    // After the await the slot allocates afresh.
    EXPECT_TRUE(ArmSettle(s, 16, kSettlePodPower).ok());
    EXPECT_EQ(AlarmTrace(*fake, 5), "alloc 2 2,set 2 300");
}

TEST(Settle, ClockPeriodRoundsUpAndTreatsNoClockAs1Khz) {
    const std::pair<int32_t, uint32_t> cases[] = {{1, 1000},  {3, 334},  {7, 143},
                                                  {999, 2},   {1000, 1}, {2000, 1},
                                                  {40000, 1}, {0, 1000}, {-4, 1000}};
    for (const auto& [khz, micros] : cases)
        EXPECT_EQ(ClockPeriodMicros(khz), micros) << khz;
}

TEST(Settle, CloseAwaitsEveryArmedSlotInItsOrderBeforeTheDeviceGoes) {
    ScopedFakePlatform fake;
    auto file = std::make_shared<RegisterFile>();
    std::shared_ptr<FakeDriverState> device;
    ZPX_Handle h = OpenOnDevice(*fake, "PCI", "\\\\.\\PCI51X4EX_0", file, &device);
    ASSERT_NE(h, nullptr);
    // Armed in this order, the slots get ids 1 to 6.
    for (uint32_t code : {31u, 15u, 1u, 3u, 0u, 7u})
        EXPECT_TRUE(ArmSettle(SessionOf(h), 16, code).ok());
    const size_t armed = fake->alarmCalls.size();
    EXPECT_EQ(ZPX_CloseController(h), 0u);
    // 7, 0, 3, 1, 15, 31.
    EXPECT_EQ(
        AlarmTrace(*fake, armed),
        "wait 6,free 6,wait 5,free 5,wait 4,free 4,wait 3,free 3,wait 2,free 2,wait 1,free 1");
    EXPECT_GE(fake->nowMicros, 500000u);
    EXPECT_EQ(Requests(*device), std::vector<Request>{ReadOf(0x0B)});
    EXPECT_TRUE(device->closed);
}

}  // namespace
}  // namespace zpx::testing
