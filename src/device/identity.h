// Controller identity: the driver's identification, the select-and-read register 3 (the logic
// (EPLD) revision, the model, the flash code, the three 8-byte serial ROMs of controller,
// transceiver and pod), memory sizes and clock limits from the controller type and flash code,
// and the board test on the clock range register. The logic floors all ask here.
//
// Each operation returns 0 or 1 and leaves register 3 selecting 0 behind it (except where a
// failed access makes that impossible).
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/result.h"

namespace zpx {
struct ControllerSession;
}

namespace zpx::device {

// What register 3 answers after one of these was written to it.
enum IdentitySelect : uint32_t {
    kSelectRevision = 0,       // bits 4-7 the EPLD revision; the idle value
    kSelectFlashCode = 1,      // the flash code
    kSelectControllerRom = 6,  // the controller's serial ROM, a byte per read
    kSelectRoutedRom = 7,      // the ROM the register-2 sequence routed: transceiver or pod
};

inline constexpr uint32_t kPodCount = 4;

// The driver identification's answer: the family id in its upper 16 bits.
inline constexpr uint32_t kDriverId51x4 = 0x9030;
inline constexpr uint32_t kDriverId5120 = 0x9050;

// What the driver's identification tells: the controller type (1 for the 51x4 family, whose
// model register 3 then tells, 0 for the 5120 family, -1 for a family this library does not
// know) and whether the driver is an older one that does not know the request.
struct DriverIdentity {
    int32_t controllerType;
    uint32_t legacyDriver;
};
// Decodes the outcome of the identification request. A driver that refuses it is an older one,
// which serves a 5120-family controller.
DriverIdentity DecodeDriverId(Result asked, uint32_t answer);
// Asks the session's driver; nothing else changes.
DriverIdentity AskDriverIdentity(ControllerSession& s);

// The 51x4 model (1 to 3) from bits 3..2 of register 3 at select 0.
int32_t ModelFromIdentityByte(uint32_t value);

// The test clock's range of a controller type, in kHz; -1 and -1 for a type without a clock.
struct FrequencyLimits {
    int32_t minimumKhz;
    int32_t maximumKhz;
};
FrequencyLimits FrequencyLimitsOf(int32_t controllerType);

// CRC-8/MAXIM (reflected polynomial 0x8C, initial 0, no final inversion). A serial ROM is valid
// when the CRC of all eight bytes is 0.
uint8_t Crc8Maxim(uint8_t crc, uint8_t byte);

// Register 3 at select 0: the EPLD revision (bits 4-7), the 51x4 model (bits 2-3) and the pod
// kind (bits 0-1).
Result ReadIdentityByte(ControllerSession& s, uint32_t* byte);

// Bits 4-7 of register 3 at select 0; kept once non-zero.
Result ReadHwRevision(ControllerSession& s, uint32_t* revision);
// Always reads, and keeps the result in the session.
Result ReadFlashCode(ControllerSession& s, uint32_t* code);
// Size in bytes of memory `kind` (0-5); 0 for a kind or a controller type without one. The 51x4
// family's sizes depend on the flash code, which is read once if not yet known.
Result LookupMemorySize(ControllerSession& s, int32_t kind, uint32_t* size);

// A ROM whose CRC fails reads as 0 and 0 with success: it is not an error.
Result ReadControllerSerial(ControllerSession& s, uint32_t* high, uint32_t* low);
Result ReadTransceiverSerial(ControllerSession& s, uint32_t* high, uint32_t* low);
// `pod` 0 to 3. Polls up to 25 times (about 2.6 s in all) for the ROM to answer.
Result ReadPodSerial(ControllerSession& s, uint32_t pod, uint32_t* high, uint32_t* low);

// Board test: 0 when the upper nibble of the clock range register comes back rotated left by one
// bit, 2 when it comes back inverted, 1 otherwise.
Result ProbeBoard(ControllerSession& s, uint32_t* verdict);

// Register 3 back to select 0 and register 2 back to 1, in that order; results are ignored.
void RestoreIdleRegisters(ControllerSession& s);

}  // namespace zpx::device
