// The session's way to its controller: every register, counter, memory block and configuration
// item through the session's back-end, one call per access, no retry, no cache. A session
// without a back-end fails each. The boards whose byte registers come in pairs get the partner's
// byte from the session's copy of it.
#pragma once

#include <cstdint>

#include "core/result.h"
#include "transport/backend.h"
#include "transport/counters.h"
#include "transport/lan_config.h"
#include "transport/memory.h"

namespace zpx {
struct ControllerSession;
}

namespace zpx::device {

using transport::kClockRangeRegister;
using transport::kClockValueRegister;
using transport::kControlRegister;
using transport::kErrorRegister;
using transport::kPodPowerRegister;
using transport::kPodRegister;
using transport::kSelectRegister;

Result ReadRegister(ControllerSession& s, uint32_t reg, uint32_t* value);
Result WriteRegister(ControllerSession& s, uint32_t reg, uint32_t value);
Result ReadRegisterWord(ControllerSession& s, uint32_t* value);
Result WriteRegisterWord(ControllerSession& s, uint32_t value);
// The clock registers kClockValueRegister and kClockRangeRegister (6 and 7).
Result ReadClockRegister(ControllerSession& s, uint32_t reg, uint32_t* value);
Result WriteClockRegister(ControllerSession& s, uint32_t reg, uint32_t value);
// The requests only some back-ends answer (see Backend).
Result QueryDriverId(ControllerSession& s, uint32_t* answer);
Result QueryStatusRegisters(ControllerSession& s, uint32_t* register1, uint32_t* register2);
Result QueryPodSense(ControllerSession& s, uint32_t* answer);

// Loads a write counter. 0 ok, 1 when the request or send failed.
Result WriteCounterValue(ControllerSession& s, uint32_t counter, uint32_t value);
// Reads a read counter. Stores 0 in *value before anything else; a counter the session's path
// does not know reads 0 with success and nothing is sent.
Result ReadCounterValue(ControllerSession& s, uint32_t counter, uint32_t* value);

// Streams `length` bytes to or from memory `memory` at its current address, in the back-end's
// pieces. `data` may be null only when `length` is 0. A length of 0 succeeds (an Ethernet write
// still announces it). Reads do not wait for the controller: callers collecting results wait for
// the stopped-controller settle first.
Result WriteMemoryBlock(ControllerSession& s, uint32_t memory, uint32_t length,
                        const uint8_t* data);
Result ReadMemoryBlock(ControllerSession& s, uint32_t memory, uint32_t length, uint8_t* buffer);

// Whether the session's back-end carries configuration at all (USB, Ethernet, FireWire).
bool CarriesConfiguration(const ControllerSession& s);
// One item written, or read into *data0 and *data1 (the second MAC part; 0 otherwise).
Result ConfigWrite(ControllerSession& s, transport::ConfigItem item, uint32_t data0,
                   uint32_t data1);
Result ConfigRead(ControllerSession& s, transport::ConfigItem item, uint32_t* data0,
                  uint32_t* data1);
// Sends the image behind its header; the controller's verdict (0 accepted, or its own nonzero
// status) in *verdict. Fails when the transport did.
Result FirmwareUpload(ControllerSession& s, transport::ImageKind kind, uint32_t length,
                      uint8_t first, uint8_t second, const uint8_t* image, uint32_t* verdict);

// Register writes made while an object of this class lives may be held by the back-end and sent
// together (one Ethernet send instead of one per write); reads still see every write before them.
// Flush before sleeping, so that the controller has the writes before the wait starts; Finish
// when the sequence is done and report its result. Holds nest: the outermost one sends.
class HeldWrites {
  public:
    explicit HeldWrites(ControllerSession& s);
    ~HeldWrites();
    HeldWrites(const HeldWrites&) = delete;
    HeldWrites& operator=(const HeldWrites&) = delete;

    Result Flush();
    // Ends the hold; 1 when what it held could not be sent.
    Result Finish();

  private:
    transport::Backend* backend_;  // null once finished, or for a session without a back-end
};

}  // namespace zpx::device
