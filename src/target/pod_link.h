// The bit-serial link to the pod, carried by controller register 2.
//
// Every bit sent to the pod is two writes of register 2 (clock low, then clock high) on a running
// value that starts at the TAP's link base; every bit received is bit 0 of a register-2 read.
// Register 2 during a frame: bit 0 stays 1 (the pod-active flag), bit 3 selects the link, bit 4
// carries the data bit, bit 5 the clock, bits 6-7 the TAP index.
//
// The frames return 0, or 1 when a register access failed or an argument was refused; a frame
// stops at the first failed access and then does not write its closing value. Outputs are
// written only on success. The writes of a frame are held and sent together where the back-end
// can (an Ethernet frame leaves in one send per read instead of one per write).
#pragma once

#include <cstdint>

#include "core/result.h"
#include "device/access.h"

namespace zpx {
struct ControllerSession;
}

namespace zpx::target {

inline constexpr uint32_t kTapCount = 4;

inline constexpr uint32_t kLinkActive = 0x01;  // register 2 bit 0: the pod is active

// Register 0x0B of the 51x4 family: the two power steps (3: both on) and the pod-active state.
inline constexpr uint32_t kPowerStateBits = 0x03;
inline constexpr uint32_t kPowerOn = 3;
inline constexpr uint32_t kPowerPodActive = 0x40;
inline constexpr uint32_t kLinkData = 0x10;
inline constexpr uint32_t kLinkClock = 0x20;

// The register-2 value that opens a frame on TAP index 0 to 3: 0x09, 0x49, 0x89, 0xC9.
constexpr uint32_t LinkBase(uint32_t tap) {
    return tap * 64 + 0x09;
}

// The plain sleep after a frame's base write that gives the pod time to follow.
inline constexpr uint32_t kLinkSettleMs = 5;

// A running register-2 value on one TAP's link, with the link's bit primitives. Its writes are
// held until it finishes, flushes before sleeping, or reads.
class LinkFrame {
  public:
    // `tap` 0 to 3. The running value starts at the TAP's link base; nothing is written yet.
    LinkFrame(ControllerSession& s, uint32_t tap);

    // Writes the link base and starts the running value from it again.
    Result WriteBase();
    // Sends what is held, then sleeps.
    Result Pause(uint32_t ms);
    // Sets or clears the data bit, writes with the clock low, then with the clock high.
    Result Send(bool bit);
    // `count` bits of `value`, the most significant first.
    Result SendBits(uint32_t value, unsigned count);
    // The clock low and high once more, the data bit as it is.
    Result Clock();
    // Bit 0 of a register-2 read.
    Result Sample(bool* bit);
    // A plain write of register 2 (a closing value); the running value stays.
    Result Write(uint32_t value);
    // Sends what is held; 1 when that failed.
    Result Finish();

  private:
    ControllerSession& s_;
    uint32_t base_;
    uint32_t value_;
    device::HeldWrites held_;
};

struct TapPins {
    uint32_t data;      // the four I/O pins, pin 0 in bit 0
    uint32_t control;   // the control bit of each pin
    uint32_t identity;  // 0 to 3
};

Result ReadTapIoPins(ControllerSession& s, uint32_t tap, TapPins* pins);
// Data and control nibbles, low 4 bits used.
Result WriteTapIoPins(ControllerSession& s, uint32_t tap, uint32_t data, uint32_t control);
// The TAP's 10-bit register read and driven back: bit k of `data` where bit k of `mask` is set,
// the bit as read elsewhere. The read-back word holds the bits as they were (bits 0-1 identity,
// 2-5 the data pins as the link carries them, inverted, 6-9 the control pins).
Result ExchangeTapIoPins(ControllerSession& s, uint32_t tap, uint32_t mask, uint32_t data,
                         uint32_t* readBack);
// Output from 1000 to 3600 mV in 4 mV steps (below 1000 mV is refused before any access, above
// 3600 mV clamped); threshold from 0 to 4092 mV in 4 mV steps (above 4094 mV clamped).
Result WriteTapVoltages(ControllerSession& s, uint32_t tap, int32_t outputMv, int32_t thresholdMv);
// The pod's two readings in millivolts, 0 to 4096: the output, then the threshold.
Result ReadTapVoltages(ControllerSession& s, uint32_t tap, int32_t* firstMv, int32_t* secondMv);
// Sends the extender command unless `mode` is already recorded; -1 records 1.
Result SetExtenderMode(ControllerSession& s, int32_t mode);

}  // namespace zpx::target
