// Behavioural model of one boundary-scan controller of either family, with its pod and TAPs.
//
// The model is written from the device's side: registers with the select semantics of register
// 3, counters that advance with every byte transferred, six memories, the clock registers, a
// sequencer that runs for a number of test-clock periods at the programmed frequency, pod power,
// serial ROMs, the pod link, and the Ethernet configuration items and image uploads. The front-
// ends (LanServer, DriverStandIn) decode their wire formats and call in here.
//
// Thread-safe: every public member takes the one mutex of the controller.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "faults.h"
#include "pod_link.h"
#include "vcd_writer.h"

namespace zpx::emu {

// Register numbers as the controller knows them.
inline constexpr unsigned kControlRegister = 0;
inline constexpr unsigned kErrorRegister = 1;
inline constexpr unsigned kPodRegister = 2;
inline constexpr unsigned kSelectRegister = 3;
inline constexpr unsigned kWordRegister = 4;
inline constexpr unsigned kClockValueRegister = 6;
inline constexpr unsigned kClockRangeRegister = 7;
inline constexpr unsigned kPowerRegister = 0x0B;

// Configuration items of the Ethernet controllers.
inline constexpr unsigned kItemFpgaVersion = 1;
inline constexpr unsigned kItemFirmwareVersion = 2;
inline constexpr unsigned kItemMacAddress = 4;
inline constexpr unsigned kItemIpAddress = 8;
inline constexpr unsigned kItemDhcp = 16;

inline constexpr size_t kPodStartupProgramSize = 123;

struct ControllerConfig {
    int type = 2;            // 0 the 5120 family; 1, 2, 3 the 51x4 models
    int podKind = 1;         // 0 to 3; kinds 2 and 3 have an extender (see PodModel)
    bool podPresent = true;  // without a pod the kind code reads 3 and the link answers all ones
    std::array<TapConfig, 4> taps{};
    uint8_t epldRevision = 3;  // 0 to 15
    uint8_t flashCode = 0x45;  // its high nibble picks the memory sizes of the 51x4 family
    // Serial numbers (48 bits each) behind the 8-byte ROMs: family byte 1, six serial bytes, CRC.
    uint64_t controllerSerial = 0x00A1B2C3D4E5;
    uint64_t transceiverSerial = 0x0011223344;
    std::array<uint64_t, 4> podSerials{0x00C0FFEE01, 0, 0, 0};  // 0: no pod behind that number
    bool corruptRoms = false;                                   // spoil every ROM's checksum byte
    uint64_t runPeriods = 1000;  // test-clock periods one sequencer run takes
    uint8_t errorBits = 0;       // register 1 at power-up
    uint8_t runErrorBits = 0;    // raised in register 1 whenever a run ends
    bool buttonPressed = false;  // register 2 bit 0 on a read
    uint32_t ipAddress = 0x0200007F;
    uint32_t macFirst = 0x00504D5A;
    uint32_t macSecond = 0x00000102;
    uint32_t dhcp = 0;
    uint32_t firmwareVersion = 0x0206;
    uint32_t fpgaVersion = 0x0103;
    uint32_t imageRefusedStatus = 5;  // reply status of an image whose checksum does not match
    uint32_t imageTooLongStatus = 6;  // reply status of an image longer than the flash holds
    uint32_t maxImageBytes = 4u << 20;
    bool refuseImages = false;  // refuse every image as if its checksum failed
};

// An image upload as the controller received it.
struct ImageRecord {
    unsigned kind = 0;
    uint32_t length = 0;
    uint16_t crc = 0;
    uint8_t callerByte1 = 0;
    uint8_t callerByte2 = 0;
    uint32_t status = 0;
    std::vector<uint8_t> bytes;
};

// Sizes in bytes of memories 0 to 5 for a controller type and flash code.
std::array<uint32_t, 6> MemorySizes(int type, uint8_t flashCode);

// Frequency in Hz that the two clock register bytes select, by the generator of the type: the
// range scheme of the 5120 family, M × 200 kHz / 2^e on the 51x4 family.
double ClockHz(int type, uint8_t value, uint8_t range);

// The 8 bytes of a serial ROM: family byte 1, the 48-bit serial low byte first, the CRC.
std::array<uint8_t, 8> SerialRom(uint64_t serial, bool corrupt);

// The fixed start-up program that the library loads into memory 0 before starting a pod.
const std::array<uint8_t, kPodStartupProgramSize>& PodStartupProgram();

class Controller {
  public:
    explicit Controller(const ControllerConfig& config);
    ~Controller();
    Controller(const Controller&) = delete;
    Controller& operator=(const Controller&) = delete;

    const ControllerConfig& Config() const { return config_; }
    int Type() const { return config_.type; }

    // ---- registers (0, 1, 2, 3, 0x0B as bytes; 4 the 16-bit word; 6 and 7 the clock) ----
    // A register the controller does not have reads 0 and ignores writes; the result says
    // whether it exists.
    bool ReadRegister(unsigned reg, uint32_t* value);
    bool WriteRegister(unsigned reg, uint32_t value);

    // ---- counters: 0-3 address counters (3 shared by memories 3-5), 4 immediate, 5 further --
    void WriteCounter(unsigned counter, uint32_t value);
    uint32_t ReadCounter(unsigned counter);

    // ---- memories 0 to 5, through their data ports: the address counter moves on ----
    // False for a memory index above 5 (nothing moves then).
    bool WriteMemory(unsigned memory, const uint8_t* data, size_t length);
    bool ReadMemory(unsigned memory, uint8_t* data, size_t length);
    // Direct view for tests, without touching any counter.
    std::vector<uint8_t> PeekMemory(unsigned memory, uint32_t address, size_t length);

    // ---- Ethernet configuration items and images ----
    bool ReadConfigItem(unsigned item, uint32_t* data0, uint32_t* data1);
    bool WriteConfigItem(unsigned item, uint32_t data0, uint32_t data1);
    // Checks the image's length and the checksum of its header; returns the reply status.
    uint32_t ReceiveImage(unsigned kind, uint16_t crc, uint8_t callerByte1, uint8_t callerByte2,
                          std::vector<uint8_t> image);
    ImageRecord LastImage();

    // ---- state for tests and the tool ----
    bool Running();
    double ClockHz();
    uint8_t PowerState();
    TapState Tap(unsigned index);
    uint64_t ExtenderCommands();
    bool ExtenderOn();
    uint64_t PodFramesDecoded();
    uint64_t PodFramesIgnored();
    uint64_t ResetCount();
    uint64_t BootCount();
    uint32_t LastBootImage();
    uint64_t RunCount();
    uint64_t StartupProgramRuns();
    // Registers 1 and 2 as last written (what a driver of the 5120 family keeps for its callers).
    void WrittenStatusRegisters(uint8_t* register1, uint8_t* register2);
    void SetButton(bool pressed);
    void RaiseError(uint8_t bits);

    // A line per register-2 frame the pod decoded goes to the sink when set.
    void SetPodLog(LogSink sink);

    // ---- waveform of the pod link ----
    bool StartVcd(const std::string& path, std::string* error = nullptr);
    void StopVcd();

  private:
    using Clock = std::chrono::steady_clock;

    uint8_t ReadRegister3Locked();
    void WriteRegister0Locked(uint8_t value);
    void WriteRegister2Locked(uint8_t value);
    void UpdateSequencerLocked();
    uint8_t Register2ReadLocked();
    std::vector<uint8_t>& MemoryLocked(unsigned memory);
    uint32_t& AddressCounterLocked(unsigned memory);
    double ClockHzLocked() const;

    const ControllerConfig config_;
    std::mutex mutex_;

    uint8_t control_ = 0;
    uint8_t error_ = 0;
    uint8_t register2_ = 0x01;
    uint8_t select_ = 0;
    uint8_t power_ = 0;
    uint16_t word_ = 0;
    uint8_t clockValue_ = 0;
    uint8_t clockRange_ = 0;
    std::array<uint8_t, 3> controlHistory_{};  // last three register-0 writes, newest last
    unsigned romIndex_ = 0;
    bool button_ = false;

    bool running_ = false;
    bool startupRunning_ = false;  // the run is the pod's start-up program
    bool memory0Loaded_ = false;   // memory 0 written since the last start
    Clock::time_point runEnd_{};
    uint64_t runs_ = 0;
    uint64_t startupRuns_ = 0;
    uint64_t resets_ = 0;
    uint64_t boots_ = 0;
    uint32_t bootImage_ = 0;

    std::array<uint32_t, 6> counters_{};
    std::array<uint32_t, 6> memorySizes_{};
    std::array<std::vector<uint8_t>, 6> memories_;

    std::array<uint8_t, 8> controllerRom_{};
    std::array<uint8_t, 8> transceiverRom_{};
    std::array<std::array<uint8_t, 8>, 4> podRoms_{};

    uint32_t ip_ = 0, macFirst_ = 0, macSecond_ = 0, dhcp_ = 0;
    ImageRecord lastImage_;

    PodModel pod_;
    LogSink podLog_;
    VcdWriter vcd_;
};

}  // namespace zpx::emu
