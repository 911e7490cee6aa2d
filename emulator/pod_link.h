// The pod and its TAPs as they appear at the far end of the bit-serial link on register 2.
//
// The pod does not see frames, only register-2 writes: link select (bit 3) high opens a frame on
// the TAP in bits 7..6, and every rising edge of the clock (bit 5) shifts in the data bit (bit 4).
// The pod recognises a frame by its leading bits, as the real shift logic does, and a frame it
// does not recognise is simply ignored until link select drops.
#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace zpx::emu {

struct TapConfig {
    bool present = true;
    uint8_t identity = 0;  // 2-bit identity: 0 a TAP of type 0, 1 a TAP of type 1
    uint8_t data = 0;      // initial I/O pin levels (pin 0 in bit 0)
    uint8_t control = 0;   // initial control nibble
};

// What one TAP holds, for inspection by tests and the tool.
struct TapState {
    bool present = false;
    uint8_t identity = 0;
    uint8_t data = 0;
    uint8_t control = 0;
    uint16_t outputCode = 0;     // output DAC: 600 + 4 × code millivolts, 0 V before the first set
    uint16_t thresholdCode = 0;  // threshold DAC: 4 × code millivolts
    bool outputSet = false;
    bool parallel = false;
    uint8_t parallelValue = 0;  // last 4-bit value received in parallel mode
};

// Which serial ROM the register-2 routing sequences have put behind register 3 select 7.
enum class RomRoute { kNone, kTransceiver, kPod };

class PodModel {
  public:
    void Configure(bool present, const std::array<TapConfig, 4>& taps);
    // The pod answers and latches only while it has power (always, on the 5120 family).
    void SetPowered(bool powered) { powered_ = powered; }

    // Register-2 traffic.
    void Write(uint8_t value);
    bool OutputBit() const;  // the pod's data bit, bit 0 of a register-2 read
    bool LinkSelected() const { return inFrame_; }
    bool AnyParallel() const;

    RomRoute Route() const { return route_; }
    int RoutedPod() const { return routedPod_; }

    TapState Tap(unsigned index) const { return taps_[index & 3]; }
    uint64_t ExtenderCommands() const { return extenderCommands_; }
    uint64_t FramesDecoded() const { return framesDecoded_; }
    uint64_t FramesIgnored() const { return framesIgnored_; }
    // The last completed frame (a fixed name) and the value it carried, for the request log.
    const char* LastFrame() const { return lastFrame_; }
    uint32_t LastFrameValue() const { return lastFrameValue_; }

    // ADC reading of a voltage in millivolts, 4096 mV full scale.
    static uint8_t AdcByte(uint32_t millivolts);

  private:
    enum class Phase { kCommand, kExchange, kWritePins, kDacOutput, kDacThreshold, kAdc, kDone };

    void StartFrame(unsigned tap);
    void EndFrame();
    void Edge(bool bit);
    void CommandBit(bool bit);
    bool Responsive() const { return present_ && powered_ && taps_[tap_].present; }
    void Completed(const char* what, uint32_t value);

    bool present_ = true;
    bool powered_ = true;
    std::array<TapState, 4> taps_{};

    bool inFrame_ = false;
    bool clock_ = false;
    unsigned tap_ = 0;
    Phase phase_ = Phase::kDone;
    std::string command_;  // leading bits of the frame so far, as '0'/'1'
    unsigned count_ = 0;   // bits taken in the current phase
    uint32_t shift_ = 0;   // the TAP's 10-bit register during an exchange, or bits collected
    uint8_t adc_ = 0;
    bool output_ = true;

    RomRoute route_ = RomRoute::kNone;
    int routedPod_ = 0;
    uint64_t extenderCommands_ = 0;
    uint64_t framesDecoded_ = 0;
    uint64_t framesIgnored_ = 0;
    const char* lastFrame_ = "";
    uint32_t lastFrameValue_ = 0;
};

}  // namespace zpx::emu
