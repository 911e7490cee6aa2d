// The pod and its TAPs as they appear at the far end of the bit-serial link on register 2.
//
// The pod does not see frames, only register-2 writes: link select (bit 3) high opens a frame on
// the TAP in bits 7..6, and every rising edge of the clock (bit 5) shifts in the data bit (bit 4).
// The pod recognises a frame by its leading bits, as the real shift logic does, and a frame it
// does not recognise is simply ignored until link select drops.
//
// Pods of kind 2 and 3 have an extender, on after power-up. Its command carries no mode: each one
// switches the extender over. While it is on, such a pod reports kind 1 through register 3 and
// its TAPs of identity 1 answer as identity 0; with it off the pod shows its own kind and its
// TAPs their own identities.
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

// The frames the pod decodes, numbered as the waveform shows them.
enum class PodFrame : uint8_t {
    kNone,
    kExchangePins,
    kWritePins,
    kOutputVoltage,
    kThresholdVoltage,
    kReadVoltage,
    kExtender,
    kParallelOn,
    kParallelOff,
    kRouteTransceiver,
    kRoutePod,
};
inline constexpr unsigned kPodFrameKinds = 11;
const char* PodFrameName(PodFrame frame);

// Which serial ROM the register-2 routing sequences have put behind register 3 select 7.
enum class RomRoute { kNone, kTransceiver, kPod };

class PodModel {
  public:
    // `kind` 0 to 3. Puts every TAP and the extender back to their power-up state.
    void Configure(bool present, int kind, const std::array<TapConfig, 4>& taps);
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
    // The pod kind bits of register 3: 3 without a pod.
    uint8_t KindCode() const;
    bool ExtenderOn() const { return extenderOn_; }
    uint64_t ExtenderCommands() const { return extenderCommands_; }
    uint64_t FramesDecoded() const { return framesDecoded_; }
    uint64_t FramesIgnored() const { return framesIgnored_; }
    // The last completed frame (a fixed name) and the value it carried, for the request log.
    const char* LastFrame() const { return PodFrameName(lastFrame_); }
    PodFrame LastFrameKind() const { return lastFrame_; }
    uint32_t LastFrameValue() const { return lastFrameValue_; }

    // ADC reading of a voltage in millivolts, 4096 mV full scale, rounded up.
    static uint8_t AdcByte(uint32_t millivolts);

  private:
    enum class Phase { kCommand, kExchange, kWritePins, kDacOutput, kDacThreshold, kAdc, kDone };

    void StartFrame(unsigned tap);
    void EndFrame();
    void Edge(bool bit);
    void CommandBit(bool bit);
    bool Responsive() const { return present_ && powered_ && taps_[tap_].present; }
    bool HasExtender() const { return kind_ == 2 || kind_ == 3; }
    // The identity a TAP answers with: through the extender, identity 1 shows as 0.
    uint8_t AnsweredIdentity(const TapState& t) const;
    void Completed(PodFrame frame, uint32_t value);

    bool present_ = true;
    bool powered_ = true;
    int kind_ = 1;
    bool extenderOn_ = true;
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
    PodFrame lastFrame_ = PodFrame::kNone;
    uint32_t lastFrameValue_ = 0;
};

}  // namespace zpx::emu
