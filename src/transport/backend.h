// What every back-end carries: byte registers, the word register, the two clock registers,
// counters and memory blocks, and the few requests that only some back-ends answer.
//
// One implementation per way of reaching a controller (kernel driver, Ethernet, later VXI). A
// back-end knows its own mapping tables; the logic above asks for "register 3" and never switches
// on the interface kind for transport details.
#pragma once

#include <cstdint>

#include "core/result.h"
#include "transport/lan_link.h"

namespace zpx {
struct ControllerSession;
}

namespace zpx::transport {

// The controller's register numbers as the logic names them.
inline constexpr uint32_t kControlRegister = 0x00;
inline constexpr uint32_t kErrorRegister = 0x01;
inline constexpr uint32_t kPodRegister = 0x02;
inline constexpr uint32_t kSelectRegister = 0x03;
inline constexpr uint32_t kPodPowerRegister = 0x0B;
// The test-clock generator's registers; each back-end carries them under its own numbers.
inline constexpr uint32_t kClockValueRegister = 6;
inline constexpr uint32_t kClockRangeRegister = 7;

class Backend {
  public:
    virtual ~Backend() = default;

    // 8-bit registers 0, 1, 2, 3 and 0x0B. A read stores the byte, zero-extended, and leaves
    // `value` untouched on failure.
    virtual Result ReadRegister(ControllerSession& s, uint32_t reg, uint32_t* value) = 0;
    virtual Result WriteRegister(ControllerSession& s, uint32_t reg, uint32_t value) = 0;
    // The 16-bit register 4.
    virtual Result ReadRegisterWord(ControllerSession& s, uint32_t* value) = 0;
    virtual Result WriteRegisterWord(ControllerSession& s, uint32_t value) = 0;

    // The clock registers 6 and 7. Only the low byte of `value` is written; a read stores the
    // byte, zero-extended, and leaves `value` untouched on failure.
    virtual Result ReadClockRegister(ControllerSession& s, uint32_t reg, uint32_t* value) = 0;
    virtual Result WriteClockRegister(ControllerSession& s, uint32_t reg, uint32_t value) = 0;

    // Counters. Write counters 0-3 are the memories' address counters, 4 the immediate address
    // counter, 5 a further one; read counters are numbered apart (see counters.h). A number the
    // back-end's path does not know is not an error: it travels as the path's default, and a
    // read of it succeeds with 0 and sends nothing. `*value` is already 0 on entry to a read.
    virtual Result WriteCounter(ControllerSession& s, uint32_t counter, uint32_t value) = 0;
    virtual Result ReadCounter(ControllerSession& s, uint32_t counter, uint32_t* value) = 0;

    // A block of `length` bytes to or from memory `memory` (0-5, the caller's numbering) at the
    // controller's current address; the back-end cuts it into its own pieces. `data` may be null
    // only when `length` is 0. Pieces already moved stay moved when a later one fails.
    virtual Result WriteMemoryBlock(ControllerSession& s, uint32_t memory, uint32_t length,
                                    const uint8_t* data) = 0;
    virtual Result ReadMemoryBlock(ControllerSession& s, uint32_t memory, uint32_t length,
                                   uint8_t* buffer) = 0;

    // Requests that only some back-ends answer. Elsewhere they fail, as a driver that does not
    // know a request refuses it. Outputs are written only on success.
    // The driver's identification: the family id in the upper 16 bits of the answer.
    virtual Result QueryDriverId(uint32_t* answer) {
        (void)answer;
        return kFail;
    }
    // The two status registers that a current driver of the 5120 family keeps.
    virtual Result QueryStatusRegisters(uint32_t* register1, uint32_t* register2) {
        (void)register1;
        (void)register2;
        return kFail;
    }
    // Pod sense: 0 tells an older pod with fixed TAPs.
    virtual Result QueryPodSense(uint32_t* answer) {
        (void)answer;
        return kFail;
    }

    // Network settings and images of the controllers that keep them. Back-ends that do not
    // carry them say so, and the exports answer without sending anything.
    virtual bool CarriesConfiguration() const { return false; }
    // One configuration packet; a read gets the controller's reply in `packet`.
    virtual Result ConfigWrite(const LanPacket& packet) {
        (void)packet;
        return kFail;
    }
    virtual Result ConfigRead(LanPacket& packet) {
        (void)packet;
        return kFail;
    }
    // The image behind its header: 1 for a transport failure, else the controller's status.
    virtual uint32_t UploadImage(ControllerSession& s, LanPacket& header, const uint8_t* image,
                                 uint32_t length) {
        (void)s;
        (void)header;
        (void)image;
        (void)length;
        return kFail.value();
    }

    // Holding register writes. While at least one hold is open, a back-end may keep register
    // writes back and send them together, in the same order, before its next read and at the
    // latest when FlushWrites is called or the last hold ends. A back-end whose writes cost the
    // same one by one sends them at once. A failure to send what was held is reported by the
    // read, flush or release that sends it.
    virtual void HoldWrites() {}
    virtual Result ReleaseWrites() { return kOk; }
    virtual Result FlushWrites() { return kOk; }
};

}  // namespace zpx::transport
