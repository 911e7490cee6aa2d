#include "device/identity.h"

#include "device/access.h"
#include "device/controller_session.h"
#include "platform/platform.h"

namespace zpx::device {

using transport::kClockRangeRegister;
using transport::kPodRegister;
using transport::kSelectRegister;

namespace {

constexpr uint32_t kMemoryKinds = 6;

// Rows of memory sizes in bytes, one column per memory 0-5. Row 0 is the 5120 family; for the
// 51x4 models the row is the type (1-3), plus 3 when the flash code's high nibble is 0xC and plus
// 6 when it is 0xD to 0xF.
constexpr uint32_t kMemorySizeTable[10][kMemoryKinds] = {
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

// Register-2 sequences that route a ROM to register 3: bit 5 is the clock, bit 4 the data bit,
// bits 6-7 the pod number; the closing 0x01 keeps only bit 0. A pod's sequence clocks in 0, 1, 1;
// the transceiver's 1, 1, 1.
constexpr uint32_t kTransceiverRoute[] = {0x19, 0x39, 0x19, 0x39, 0x19, 0x39, 0x19, 0x01};
constexpr uint32_t kPodRoute[] = {0x09, 0x29, 0x19, 0x39, 0x19, 0x39, 0x19, 0x01};
constexpr uint32_t kRouteClose = 0x01;

constexpr uint32_t kRomBytes = 8;
constexpr uint8_t kPodRomFamily = 1;  // the first byte of a pod ROM
constexpr int kPodRomPolls = 25;

// Waits, in milliseconds, that give the ROM logic time to follow.
constexpr uint32_t kControllerRomSettleMs = 15;
constexpr uint32_t kControllerRomByteMs = 10;
constexpr uint32_t kRouteSettleMs = 25;
constexpr uint32_t kRoutedRomSettleMs = 20;
constexpr uint32_t kPodLeadInMs = 50;
constexpr uint32_t kPodRouteStepMs = 2;
constexpr uint32_t kPodPollMs = 100;
constexpr uint32_t kPodRomByteMs = 20;

void Sleep(uint32_t ms) {
    platform::Use<platform::Clock>().SleepMs(ms);
}

Result Select(ControllerSession& s, uint32_t select) {
    return device::WriteRegister(s, kSelectRegister, select);
}

// The eight bytes of a ROM as they arrive: bytes 0-3 into low, 4-7 into high, lowest first.
class RomReader {
  public:
    RomReader(uint32_t* high, uint32_t* low) : high_(high), low_(low) {
        *high_ = 0;
        *low_ = 0;
    }

    void Take(uint32_t index, uint8_t byte) {
        crc_ = Crc8Maxim(crc_, byte);
        Place(index, byte);
    }
    // A byte that enters the check but not the serial (the pod ROM's poll).
    void Check(uint8_t byte) { crc_ = Crc8Maxim(crc_, byte); }
    void Place(uint32_t index, uint8_t byte) {
        uint32_t* word = index < 4 ? low_ : high_;
        *word |= static_cast<uint32_t>(byte) << (8 * (index % 4));
    }

    // Reads bytes `first` to 7 from register 3, waiting `waitMs` after each. A failed read
    // leaves select 0 behind and fails.
    Result ReadBytes(ControllerSession& s, uint32_t first, uint32_t waitMs) {
        for (uint32_t i = first; i < kRomBytes; ++i) {
            uint32_t byte = 0;
            if (device::ReadRegister(s, kSelectRegister, &byte).failed()) {
                (void)Select(s, kSelectRevision);  // already failing: best effort
                return kFail;
            }
            Take(i, static_cast<uint8_t>(byte));
            Sleep(waitMs);
        }
        return kOk;
    }

    // Back to select 0; a ROM that fails its check reads as serial 0.
    Result Finish(ControllerSession& s) {
        if (Select(s, kSelectRevision).failed()) return kFail;
        if (crc_ != 0) {
            *high_ = 0;
            *low_ = 0;
        }
        return kOk;
    }

  private:
    uint32_t* high_;
    uint32_t* low_;
    uint8_t crc_ = 0;
};

// Writes a routing sequence to register 2, waiting `stepMs` after each value but the last.
Result Route(ControllerSession& s, const uint32_t (&sequence)[kRomBytes], uint32_t podBits,
             uint32_t stepMs) {
    for (uint32_t i = 0; i < kRomBytes; ++i) {
        const uint32_t value = sequence[i] == kRouteClose ? kRouteClose : (podBits | sequence[i]);
        if (device::WriteRegister(s, kPodRegister, value).failed()) return kFail;
        if (stepMs != 0 && i + 1 < kRomBytes) Sleep(stepMs);
    }
    return kOk;
}

}  // namespace

DriverIdentity DecodeDriverId(Result asked, uint32_t answer) {
    if (asked.failed()) return {0, 1};
    const uint32_t id = answer >> 16;
    return {id == kDriverId51x4 ? 1 : id == kDriverId5120 ? 0 : -1, 0};
}

DriverIdentity AskDriverIdentity(ControllerSession& s) {
    uint32_t answer = 0;
    const Result asked = QueryDriverId(s, &answer);
    return DecodeDriverId(asked, answer);
}

int32_t ModelFromIdentityByte(uint32_t value) {
    static constexpr int32_t kModelOfBits[4] = {3, 1, 2, 1};
    return kModelOfBits[(value >> 2) & 3];
}

FrequencyLimits FrequencyLimitsOf(int32_t controllerType) {
    struct Row {
        int32_t type;
        FrequencyLimits limits;
    };
    static constexpr Row kLimits[] = {
        {0, {100, 25000}},
        {1, {1, 40000}},
        {2, {1, 40000}},
        {3, {1, 40000}},
    };
    for (const Row& row : kLimits) {
        if (row.type == controllerType) return row.limits;
    }
    return {-1, -1};
}

uint8_t Crc8Maxim(uint8_t crc, uint8_t byte) {
    for (int bit = 0; bit < 8; ++bit) {
        const bool mix = ((crc ^ byte) & 1) != 0;
        crc = static_cast<uint8_t>(crc >> 1);
        if (mix) crc ^= 0x8C;
        byte = static_cast<uint8_t>(byte >> 1);
    }
    return crc;
}

void RestoreIdleRegisters(ControllerSession& s) {
    // The order matters where registers 2 and 3 share one bus word built from both copies.
    s.register3Copy = 0;
    (void)device::WriteRegister(s, kSelectRegister, 0);  // cleanup: nothing left to report
    s.register2Copy = 1;
    (void)device::WriteRegister(s, kPodRegister, 1);  // cleanup: nothing left to report
}

Result ReadIdentityByte(ControllerSession& s, uint32_t* byte) {
    if (Select(s, kSelectRevision).failed()) return kFail;
    return device::ReadRegister(s, kSelectRegister, byte);
}

Result ReadHwRevision(ControllerSession& s, uint32_t* revision) {
    if (s.hwRevision == 0) {
        uint32_t byte = 0;
        if (ReadIdentityByte(s, &byte).failed()) return kFail;
        s.hwRevision = static_cast<uint8_t>(byte >> 4);
        if (Select(s, kSelectRevision).failed()) return kFail;
    }
    *revision = s.hwRevision;
    return kOk;
}

Result ReadFlashCode(ControllerSession& s, uint32_t* code) {
    uint32_t byte = 0;
    if (Select(s, kSelectFlashCode).failed() ||
        device::ReadRegister(s, kSelectRegister, &byte).failed()) {
        return kFail;
    }
    s.flashCode = static_cast<uint8_t>(byte);
    if (Select(s, kSelectRevision).failed()) return kFail;
    *code = s.flashCode;
    return kOk;
}

Result LookupMemorySize(ControllerSession& s, int32_t kind, uint32_t* size) {
    uint32_t row = 0;
    if (Is51x4Model(s.controllerType)) {
        uint32_t code = s.flashCode;
        if (code == 0 && ReadFlashCode(s, &code).failed()) return kFail;
        const uint32_t nibble = code >> 4;
        row = static_cast<uint32_t>(s.controllerType) + (nibble == 0xC ? 3 : nibble > 0xC ? 6 : 0);
    } else if (s.controllerType != 0) {
        *size = 0;
        return kOk;
    }
    *size =
        kind >= 0 && kind < static_cast<int32_t>(kMemoryKinds) ? kMemorySizeTable[row][kind] : 0;
    return kOk;
}

Result ReadControllerSerial(ControllerSession& s, uint32_t* high, uint32_t* low) {
    RomReader rom(high, low);
    if (Select(s, kSelectControllerRom).failed()) {
        (void)Select(s, kSelectRevision);  // already failing: best effort
        return kFail;
    }
    Sleep(kControllerRomSettleMs);
    if (rom.ReadBytes(s, 0, kControllerRomByteMs).failed()) return kFail;
    return rom.Finish(s);
}

Result ReadTransceiverSerial(ControllerSession& s, uint32_t* high, uint32_t* low) {
    RomReader rom(high, low);
    if (Route(s, kTransceiverRoute, 0, 0).failed()) {
        RestoreIdleRegisters(s);
        return kFail;
    }
    Sleep(kRouteSettleMs);
    if (Select(s, kSelectRoutedRom).failed()) {
        RestoreIdleRegisters(s);
        return kFail;
    }
    Sleep(kRoutedRomSettleMs);
    if (rom.ReadBytes(s, 0, kControllerRomByteMs).failed()) return kFail;
    return rom.Finish(s);
}

Result ReadPodSerial(ControllerSession& s, uint32_t pod, uint32_t* high, uint32_t* low) {
    Sleep(kPodLeadInMs);
    RomReader rom(high, low);
    if (Route(s, kPodRoute, pod << 6, kPodRouteStepMs).failed()) {
        RestoreIdleRegisters(s);
        return kFail;
    }
    Sleep(kRouteSettleMs);
    // The pod's ROM takes a while to answer: poll for its first byte, which is always 1. Bytes
    // of 0 before it leave the check unchanged.
    bool answered = false;
    for (int poll = 0; poll < kPodRomPolls && !answered; ++poll) {
        if (Select(s, kSelectRoutedRom).failed()) {
            RestoreIdleRegisters(s);
            return kFail;
        }
        Sleep(kPodPollMs);
        uint32_t byte = 0;
        if (device::ReadRegister(s, kSelectRegister, &byte).failed()) {
            (void)Select(s, kSelectRevision);  // already failing: best effort
            return kFail;
        }
        rom.Check(static_cast<uint8_t>(byte));
        answered = byte == kPodRomFamily;
    }
    if (!answered) {
        RestoreIdleRegisters(s);
        return kFail;
    }
    Sleep(kRoutedRomSettleMs);
    rom.Place(0, kPodRomFamily);
    if (rom.ReadBytes(s, 1, kPodRomByteMs).failed()) return kFail;
    return rom.Finish(s);
}

Result ProbeBoard(ControllerSession& s, uint32_t* verdict) {
    uint32_t r0 = 0;
    if (device::ReadClockRegister(s, kClockRangeRegister, &r0).failed()) return kFail;
    // The low nibble (the clock setting) is written back as it is; no settle is armed.
    const uint32_t w = (r0 & 0x80) != 0 ? r0 : (r0 | 0x30);
    if (device::WriteClockRegister(s, kClockRangeRegister, w).failed()) return kFail;
    uint32_t r1 = 0;
    if (device::ReadClockRegister(s, kClockRangeRegister, &r1).failed()) return kFail;
    const uint32_t h = (w >> 4) & 0xF;
    const uint32_t g = (r1 >> 4) & 0xF;
    if (g == (((h << 1) | (h >> 3)) & 0xF)) {
        *verdict = 0;
    } else if (g == (h ^ 0xF)) {
        *verdict = 2;
    } else {
        *verdict = 1;
    }
    return kOk;
}

}  // namespace zpx::device
