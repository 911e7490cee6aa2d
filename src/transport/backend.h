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

// The ways a controller is reached, and the two families of controllers.
enum InterfaceKind : int32_t {
    kInterfaceIsa = 0,
    kInterfacePci = 1,
    kInterfaceUsb = 2,
    kInterfaceVxi = 3,
    kInterfaceEthernet = 4,
    kInterfaceFireWire = 5,
};

enum ControllerFamily : uint32_t {
    kFamily5120 = 0,
    kFamily51x4 = 1,
};

}  // namespace zpx

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
    // `chunkSize`: the largest piece a memory block travels in on this path; fixed at open.
    // `legacyDriver`: 1 while the driver is taken for one that does not answer the identification
    // request, which sends counters and some transfers on their older path.
    Backend(uint32_t chunkSize, uint32_t legacyDriver)
        : chunkSize_(chunkSize), legacyDriver_(legacyDriver) {}
    virtual ~Backend() = default;
    Backend(const Backend&) = delete;
    Backend& operator=(const Backend&) = delete;

    uint32_t chunkSize() const { return chunkSize_; }
    uint32_t legacyDriver() const { return legacyDriver_; }
    // What identifying the controller, or the driver's later answer, tells of the driver.
    void SetLegacyDriver(uint32_t legacy) { legacyDriver_ = legacy; }
    // The controller type identification settled (-1, or 0 to 3); some paths depend on it.
    virtual void SetControllerType(int32_t /*controllerType*/) {}

    // 8-bit registers 0, 1, 2, 3 and 0x0B. A read stores the byte, zero-extended, and leaves
    // `value` untouched on failure. `partner` is the session's copy of the register that shares
    // a bus word with `reg` on boards whose registers come in pairs (0 with 1, 2 with 3); the
    // others ignore it.
    virtual Result ReadRegister(uint32_t reg, uint32_t* value) = 0;
    virtual Result WriteRegister(uint32_t reg, uint32_t value, uint32_t partner) = 0;
    // The 16-bit register 4.
    virtual Result ReadRegisterWord(uint32_t* value) = 0;
    virtual Result WriteRegisterWord(uint32_t value) = 0;

    // The clock registers 6 and 7. Only the low byte of `value` is written; a read stores the
    // byte, zero-extended, and leaves `value` untouched on failure.
    virtual Result ReadClockRegister(uint32_t reg, uint32_t* value) = 0;
    virtual Result WriteClockRegister(uint32_t reg, uint32_t value) = 0;

    // Counters. Write counters 0-3 are the memories' address counters, 4 the immediate address
    // counter, 5 a further one; read counters are numbered apart (see counters.h). A number the
    // back-end's path does not know is not an error: it travels as the path's default, and a
    // read of it succeeds with 0 and sends nothing. `*value` is already 0 on entry to a read.
    virtual Result WriteCounter(uint32_t counter, uint32_t value) = 0;
    virtual Result ReadCounter(uint32_t counter, uint32_t* value) = 0;

    // A block of `length` bytes to or from memory `memory` (0-5, the caller's numbering) at the
    // controller's current address, in pieces of at most chunkSize(). `data` may be null only
    // when `length` is 0. Pieces already moved stay moved when a later one fails.
    virtual Result WriteMemoryBlock(uint32_t memory, uint32_t length, const uint8_t* data) = 0;
    virtual Result ReadMemoryBlock(uint32_t memory, uint32_t length, uint8_t* buffer) = 0;

    // Requests that only some back-ends answer. Elsewhere they fail, as a driver that does not
    // know a request refuses it, and nothing is sent. Outputs are written only on success.
    // The driver's identification: the family id in the upper 16 bits of the answer.
    virtual Result QueryDriverId(uint32_t* /*answer*/) { return kFail; }
    // The two status registers that a current driver of the 5120 family keeps.
    virtual Result QueryStatusRegisters(uint32_t* /*register1*/, uint32_t* /*register2*/) {
        return kFail;
    }
    // Pod sense: 0 tells an older pod with fixed TAPs.
    virtual Result QueryPodSense(uint32_t* /*answer*/) { return kFail; }

    // Network settings and images of the controllers that keep them. Back-ends that do not
    // carry them say so, and the exports answer without sending anything.
    virtual bool CarriesConfiguration() const { return false; }
    // One configuration packet; a read gets the controller's reply in `packet`.
    virtual Result ConfigWrite(const LanPacket& /*packet*/) { return kFail; }
    virtual Result ConfigRead(LanPacket& /*packet*/) { return kFail; }
    // The image behind its header, then the controller's verdict on it (0 accepted, or its own
    // nonzero status) in *verdict; fails when the transport did.
    virtual Result UploadImage(LanPacket& /*header*/, const uint8_t* /*image*/, uint32_t /*length*/,
                               uint32_t* /*verdict*/) {
        return kFail;
    }

    // Holding register writes. While at least one hold is open, a back-end may keep register
    // writes back and send them together, in the same order, before its next read and at the
    // latest when FlushWrites is called or the last hold ends. A back-end whose writes cost the
    // same one by one sends them at once. A failure to send what was held is reported by the
    // read, flush or release that sends it.
    virtual void HoldWrites() {}
    virtual Result ReleaseWrites() { return kOk; }
    virtual Result FlushWrites() { return kOk; }

  private:
    const uint32_t chunkSize_;
    uint32_t legacyDriver_;
};

}  // namespace zpx::transport
