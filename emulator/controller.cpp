#include "controller.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "wire.h"

namespace zpx::emu {

namespace {

// Sizes of memories 0 to 5; row 0 is the 5120 family, rows 1-9 the 51x4 models by flash code.
constexpr uint32_t kMemorySizeTable[10][6] = {
    {0x40000, 0x80000, 0x400000, 0x80000, 0x80000, 0x80000},
    {0x400000, 0x100000, 0, 0x100000, 0x100000, 0x100000},
    {0x400000, 0x100000, 0x800000, 0x100000, 0x100000, 0x100000},
    {0x400000, 0x100000, 0x1000000, 0x100000, 0x100000, 0x100000},
    {0x400000, 0x200000, 0, 0x200000, 0x200000, 0x200000},
    {0x400000, 0x200000, 0x800000, 0x200000, 0x200000, 0x200000},
    {0x400000, 0x200000, 0x1000000, 0x200000, 0x200000, 0x200000},
    {0x800000, 0x200000, 0, 0x200000, 0x200000, 0x200000},
    {0x800000, 0x200000, 0x800000, 0x200000, 0x200000, 0x200000},
    {0x800000, 0x200000, 0x1000000, 0x200000, 0x200000, 0x200000},
};

// Bits 3..2 of the identity byte per model: type 3 reads 0, type 1 reads 1, type 2 reads 2.
constexpr uint8_t kModelBits[4] = {0, 1, 2, 0};

constexpr uint32_t kCounterMask24 = 0xFFFFFF;

bool Is51x4(int type) {
    return type >= 1 && type <= 3;
}

}  // namespace

std::array<uint32_t, 6> MemorySizes(int type, uint8_t flashCode) {
    std::array<uint32_t, 6> sizes{};
    int row = -1;
    if (type == 0) {
        row = 0;
    } else if (Is51x4(type)) {
        const int nibble = flashCode >> 4;
        row = type + (nibble == 0xC ? 3 : nibble >= 0xD ? 6 : 0);
    }
    if (row >= 0)
        std::copy(std::begin(kMemorySizeTable[row]), std::end(kMemorySizeTable[row]),
                  sizes.begin());
    return sizes;
}

double ClockHz(int type, uint8_t value, uint8_t range) {
    if (type == 0) {
        const int n = value;
        int khz = 0;
        switch (range & 7) {
            case 0:
                khz = (256 - n) * 100;
                break;
            case 1:
                khz = (125 - (n - 6) / 2) * 100;
                break;
            case 2:
                khz = (62 - (n - 8) / 4) * 100;
                break;
            case 3:
                khz = (31 - (n - 8) / 8) * 100;
                break;
            case 4:
                khz = (15 - (n - 16) / 16) * 100;
                break;
            case 5:
                khz = (7 - (n - 32) / 32) * 100;
                break;
            case 6:
                khz = (3 - (n - 64) / 64) * 100;
                break;
            default:
                khz = 100;
                break;
        }
        return khz * 1000.0;
    }
    if (Is51x4(type)) {
        const unsigned code = range & 15;
        const unsigned exponent = code < 15 ? code : 7;
        return (value + 1) * 200000.0 / static_cast<double>(1u << exponent);
    }
    return 0.0;
}

std::array<uint8_t, 8> SerialRom(uint64_t serial, bool corrupt) {
    std::array<uint8_t, 8> rom{};
    rom[0] = 1;
    for (int i = 0; i < 6; ++i)
        rom[1 + i] = static_cast<uint8_t>(serial >> (8 * i));
    rom[7] = Crc8Maxim(rom.data(), 7);
    if (corrupt) rom[7] ^= 0xFF;
    return rom;
}

const std::array<uint8_t, kPodStartupProgramSize>& PodStartupProgram() {
    static const std::array<uint8_t, kPodStartupProgramSize> program = [] {
        std::array<uint8_t, kPodStartupProgramSize> p{};
        p.fill(0x81);
        constexpr struct {
            size_t offset;
            uint8_t value;
        } kExceptions[] = {{2, 0xF1},  {3, 0x85},  {17, 0xF3}, {18, 0x85},  {32, 0xB1},
                           {43, 0xB5}, {54, 0xB3}, {85, 0xB7}, {116, 0xC7}, {117, 0xC7}};
        for (const auto& e : kExceptions)
            p[e.offset] = e.value;
        return p;
    }();
    return program;
}

Controller::Controller(const ControllerConfig& config) : config_(config) {
    error_ = config_.errorBits;
    button_ = config_.buttonPressed;
    memorySizes_ = MemorySizes(config_.type, config_.flashCode);
    controllerRom_ = SerialRom(config_.controllerSerial, config_.corruptRoms);
    transceiverRom_ = SerialRom(config_.transceiverSerial, config_.corruptRoms);
    for (size_t i = 0; i < podRoms_.size(); ++i) {
        // A pod number without a pod reads as zeros, so the library's poll for the first byte
        // never sees the family code.
        if (config_.podPresent && config_.podSerials[i] != 0)
            podRoms_[i] = SerialRom(config_.podSerials[i], config_.corruptRoms);
    }
    ip_ = config_.ipAddress;
    macFirst_ = config_.macFirst;
    macSecond_ = config_.macSecond;
    dhcp_ = config_.dhcp;
    pod_.Configure(config_.podPresent, config_.podKind, config_.taps);
    // The 5120 family has no pod power register: its pod is powered with the controller.
    pod_.SetPowered(!Is51x4(config_.type));
}

Controller::~Controller() = default;

double Controller::ClockHzLocked() const {
    return emu::ClockHz(config_.type, clockValue_, clockRange_);
}

void Controller::UpdateSequencerLocked() {
    if (running_ && Clock::now() >= runEnd_) {
        running_ = false;
        control_ &= static_cast<uint8_t>(~0x03);
        if (!startupRunning_) error_ |= config_.runErrorBits;
        startupRunning_ = false;
    }
}

bool Controller::ReadRegister(unsigned reg, uint32_t* value) {
    std::lock_guard lock(mutex_);
    uint32_t v = 0;
    bool known = true;
    switch (reg) {
        case kControlRegister:
            UpdateSequencerLocked();
            v = control_;
            break;
        case kErrorRegister:
            UpdateSequencerLocked();
            v = error_;
            break;
        case kPodRegister:
            v = Register2ReadLocked();
            break;
        case kSelectRegister:
            v = ReadRegister3Locked();
            break;
        case kWordRegister:
            v = word_;
            break;
        case kClockValueRegister:
            v = clockValue_;
            break;
        case kClockRangeRegister:
            v = clockRange_;
            // The 5120 board answers its board test through the upper nibble of the range
            // register: with the older pod attached it comes back rotated left by one bit.
            if (config_.type == 0 && config_.podPresent && config_.podKind == 0) {
                const unsigned h = clockRange_ >> 4;
                v = ((((h << 1) | (h >> 3)) & 0xF) << 4) | (clockRange_ & 0xF);
            }
            break;
        case kPowerRegister:
            if (!Is51x4(config_.type)) {
                known = false;
                break;
            }
            v = power_;
            if (power_ == 3 && (register2_ & 1) != 0 && config_.podPresent) v |= 0x40;
            if (error_ & 0x20) v |= 0x80;
            break;
        default:
            known = false;
            break;
    }
    *value = v;
    return known;
}

bool Controller::WriteRegister(unsigned reg, uint32_t value) {
    std::lock_guard lock(mutex_);
    const auto byte = static_cast<uint8_t>(value);
    switch (reg) {
        case kControlRegister:
            WriteRegister0Locked(byte);
            return true;
        case kErrorRegister:
            error_ = byte;
            return true;
        case kPodRegister:
            WriteRegister2Locked(byte);
            return true;
        case kSelectRegister:
            select_ = byte;
            romIndex_ = 0;
            return true;
        case kWordRegister:
            word_ = static_cast<uint16_t>(value);
            return true;
        case kClockValueRegister:
            clockValue_ = byte;
            return true;
        case kClockRangeRegister:
            clockRange_ = byte;
            return true;
        case kPowerRegister: {
            if (!Is51x4(config_.type)) return false;
            uint8_t next = byte & 3;
            // Full power needs the first step: from off, a 3 only reaches the first step.
            if (next == 3 && power_ == 0) next = 1;
            if (next == 0 && power_ != 0)
                pod_.Configure(config_.podPresent, config_.podKind, config_.taps);
            power_ = next;
            pod_.SetPowered(power_ == 3);
            return true;
        }
        default:
            return false;
    }
}

void Controller::WriteRegister0Locked(uint8_t value) {
    UpdateSequencerLocked();
    controlHistory_[0] = controlHistory_[1];
    controlHistory_[1] = controlHistory_[2];
    controlHistory_[2] = value;
    if (controlHistory_[0] == 0 && controlHistory_[2] == 0) {
        if (controlHistory_[1] == 1) {
            // Reset of the controller logic: the sequencer stops, the error bits clear, and only
            // the pod bits of registers 1 and 2 survive.
            ++resets_;
            running_ = false;
            error_ &= 0x20;
            register2_ &= 0x01;
        } else if (controlHistory_[1] == 2) {
            ++boots_;
            bootImage_ = select_ >> 3;
        }
    }
    if ((value & 3) == 3) {
        if (!running_) {
            running_ = true;
            ++runs_;
            // The pod's start-up program, loaded into memory 0 since the last start and started
            // from its beginning, runs one period per step; a test run as configured.
            const auto& program = PodStartupProgram();
            const auto& memory0 = memories_[0];
            startupRunning_ = memory0Loaded_ && counters_[0] == 0 &&
                              memory0.size() >= program.size() &&
                              std::equal(program.begin(), program.end(), memory0.begin());
            memory0Loaded_ = false;
            if (startupRunning_) ++startupRuns_;
            const double periods = startupRunning_ ? static_cast<double>(program.size())
                                                   : static_cast<double>(config_.runPeriods);
            const double hz = ClockHzLocked();
            const double seconds = hz > 0 ? periods / hz : 0.0;
            runEnd_ = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                         std::chrono::duration<double>(seconds));
        }
    } else {
        running_ = false;
        startupRunning_ = false;
    }
    control_ = value;
}

void Controller::WriteRegister2Locked(uint8_t value) {
    register2_ = value;
    const uint64_t before = pod_.FramesDecoded();
    pod_.Write(value);
    vcd_.Register2Written(value);
    if (pod_.FramesDecoded() != before)
        vcd_.FrameDecoded(static_cast<unsigned>(pod_.LastFrameKind()), pod_.LastFrameValue());
    if (podLog_ && pod_.FramesDecoded() != before) {
        char line[96];
        std::snprintf(line, sizeof line, "pod link: %s (0x%X)", pod_.LastFrame(),
                      pod_.LastFrameValue());
        podLog_(line);
    }
}

uint8_t Controller::Register2ReadLocked() {
    if (pod_.LinkSelected() || pod_.AnyParallel()) {
        const bool bit = pod_.OutputBit();
        vcd_.BitSampled(bit);
        return static_cast<uint8_t>((register2_ & 0xFE) | (bit ? 1 : 0));
    }
    return static_cast<uint8_t>((register2_ & 0xFE) | (button_ ? 1 : 0));
}

uint8_t Controller::ReadRegister3Locked() {
    switch (select_) {
        case 0: {
            const uint8_t kind = pod_.KindCode();
            const uint8_t model = Is51x4(config_.type) ? kModelBits[config_.type] : 0;
            return static_cast<uint8_t>(((config_.epldRevision & 0xF) << 4) | (model << 2) | kind);
        }
        case 1:
            return config_.flashCode;
        case 6:
            return controllerRom_[romIndex_++ % 8];
        case 7:
            switch (pod_.Route()) {
                case RomRoute::kTransceiver:
                    return transceiverRom_[romIndex_++ % 8];
                case RomRoute::kPod:
                    return podRoms_[pod_.RoutedPod() & 3][romIndex_++ % 8];
                case RomRoute::kNone:
                    return 0;
            }
            return 0;
        default:
            return 0;
    }
}

void Controller::WriteCounter(unsigned counter, uint32_t value) {
    std::lock_guard lock(mutex_);
    if (counter <= 4) counters_[counter] = value & kCounterMask24;
    if (counter == 5) counters_[5] = value;
}

uint32_t Controller::ReadCounter(unsigned counter) {
    std::lock_guard lock(mutex_);
    return counter < counters_.size() ? counters_[counter] : 0;
}

uint32_t& Controller::AddressCounterLocked(unsigned memory) {
    return counters_[memory < 3 ? memory : 3];
}

std::vector<uint8_t>& Controller::MemoryLocked(unsigned memory) {
    auto& m = memories_[memory];
    // Memories are allocated on first write: a type-3 controller has 32 MiB of them.
    if (m.size() != memorySizes_[memory]) m.assign(memorySizes_[memory], 0);
    return m;
}

bool Controller::WriteMemory(unsigned memory, const uint8_t* data, size_t length) {
    if (memory > 5) return false;
    std::lock_guard lock(mutex_);
    if (memory == 0) memory0Loaded_ = true;
    uint32_t& counter = AddressCounterLocked(memory);
    const uint32_t size = memorySizes_[memory];
    if (size == 0) {
        counter = static_cast<uint32_t>((counter + length) & kCounterMask24);
        return true;
    }
    auto& m = MemoryLocked(memory);
    while (length > 0) {
        const uint32_t offset = counter % size;
        const size_t n = std::min<size_t>(length, size - offset);
        std::memcpy(m.data() + offset, data, n);
        data += n;
        length -= n;
        counter = static_cast<uint32_t>((counter + n) & kCounterMask24);
    }
    return true;
}

bool Controller::ReadMemory(unsigned memory, uint8_t* data, size_t length) {
    if (memory > 5) return false;
    std::lock_guard lock(mutex_);
    uint32_t& counter = AddressCounterLocked(memory);
    const uint32_t size = memorySizes_[memory];
    const auto& m = memories_[memory];
    while (length > 0) {
        const uint32_t offset = size ? counter % size : 0;
        const size_t n = size ? std::min<size_t>(length, size - offset) : length;
        if (m.size() == size && size != 0)
            std::memcpy(data, m.data() + offset, n);
        else
            std::memset(data, 0, n);
        data += n;
        length -= n;
        counter = static_cast<uint32_t>((counter + n) & kCounterMask24);
    }
    return true;
}

std::vector<uint8_t> Controller::PeekMemory(unsigned memory, uint32_t address, size_t length) {
    std::vector<uint8_t> out(length, 0);
    if (memory > 5) return out;
    std::lock_guard lock(mutex_);
    const auto& m = memories_[memory];
    const uint32_t size = memorySizes_[memory];
    if (size == 0 || m.size() != size) return out;
    for (size_t i = 0; i < length; ++i)
        out[i] = m[(address + i) % size];
    return out;
}

bool Controller::ReadConfigItem(unsigned item, uint32_t* data0, uint32_t* data1) {
    std::lock_guard lock(mutex_);
    *data0 = 0;
    *data1 = 0;
    switch (item) {
        case kItemFpgaVersion:
            *data0 = config_.fpgaVersion;
            return true;
        case kItemFirmwareVersion:
            *data0 = config_.firmwareVersion;
            return true;
        case kItemMacAddress:
            *data0 = macFirst_;
            *data1 = macSecond_;
            return true;
        case kItemIpAddress:
            *data0 = ip_;
            return true;
        case kItemDhcp:
            *data0 = dhcp_;
            return true;
        default:
            return false;
    }
}

bool Controller::WriteConfigItem(unsigned item, uint32_t data0, uint32_t data1) {
    std::lock_guard lock(mutex_);
    switch (item) {
        case kItemMacAddress:
            macFirst_ = data0;
            macSecond_ = data1;
            return true;
        case kItemIpAddress:
            ip_ = data0;
            return true;
        case kItemDhcp:
            dhcp_ = data0;
            return true;
        default:
            return false;
    }
}

uint32_t Controller::ReceiveImage(unsigned kind, uint16_t crc, uint8_t callerByte1,
                                  uint8_t callerByte2, std::vector<uint8_t> image) {
    const uint16_t computed = ImageCrc(image.data(), image.size());
    std::lock_guard lock(mutex_);
    lastImage_.kind = kind;
    lastImage_.length = static_cast<uint32_t>(image.size());
    lastImage_.crc = crc;
    lastImage_.callerByte1 = callerByte1;
    lastImage_.callerByte2 = callerByte2;
    if (image.size() > config_.maxImageBytes) {
        lastImage_.status = config_.imageTooLongStatus;
    } else if (config_.refuseImages || computed != crc || (kind != 1 && kind != 2)) {
        lastImage_.status = config_.imageRefusedStatus;
    } else {
        lastImage_.status = 0;
    }
    lastImage_.bytes = std::move(image);
    return lastImage_.status;
}

ImageRecord Controller::LastImage() {
    std::lock_guard lock(mutex_);
    return lastImage_;
}

bool Controller::Running() {
    std::lock_guard lock(mutex_);
    UpdateSequencerLocked();
    return running_;
}

double Controller::ClockHz() {
    std::lock_guard lock(mutex_);
    return ClockHzLocked();
}

uint8_t Controller::PowerState() {
    std::lock_guard lock(mutex_);
    return power_;
}

TapState Controller::Tap(unsigned index) {
    std::lock_guard lock(mutex_);
    return pod_.Tap(index);
}

uint64_t Controller::ExtenderCommands() {
    std::lock_guard lock(mutex_);
    return pod_.ExtenderCommands();
}

bool Controller::ExtenderOn() {
    std::lock_guard lock(mutex_);
    return pod_.ExtenderOn();
}

uint64_t Controller::PodFramesDecoded() {
    std::lock_guard lock(mutex_);
    return pod_.FramesDecoded();
}

uint64_t Controller::PodFramesIgnored() {
    std::lock_guard lock(mutex_);
    return pod_.FramesIgnored();
}

uint64_t Controller::ResetCount() {
    std::lock_guard lock(mutex_);
    return resets_;
}

uint64_t Controller::BootCount() {
    std::lock_guard lock(mutex_);
    return boots_;
}

uint32_t Controller::LastBootImage() {
    std::lock_guard lock(mutex_);
    return bootImage_;
}

uint64_t Controller::RunCount() {
    std::lock_guard lock(mutex_);
    return runs_;
}

uint64_t Controller::StartupProgramRuns() {
    std::lock_guard lock(mutex_);
    return startupRuns_;
}

void Controller::WrittenStatusRegisters(uint8_t* register1, uint8_t* register2) {
    std::lock_guard lock(mutex_);
    *register1 = error_;
    *register2 = register2_;
}

void Controller::SetButton(bool pressed) {
    std::lock_guard lock(mutex_);
    button_ = pressed;
}

void Controller::RaiseError(uint8_t bits) {
    std::lock_guard lock(mutex_);
    error_ |= bits;
}

void Controller::SetPodLog(LogSink sink) {
    std::lock_guard lock(mutex_);
    podLog_ = std::move(sink);
}

bool Controller::StartVcd(const std::string& path, std::string* error) {
    std::lock_guard lock(mutex_);
    return vcd_.Open(path, error);
}

void Controller::StopVcd() {
    std::lock_guard lock(mutex_);
    vcd_.Close();
}

}  // namespace zpx::emu
