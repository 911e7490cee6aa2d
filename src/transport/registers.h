// Register access as the rest of the library uses it: one call per access, no retry, no cache.
// Each forwards to the session's back-end; a session without one fails.
#pragma once

#include <cstdint>

#include "core/result.h"
#include "transport/backend.h"

namespace zpx {
struct ControllerSession;
}

namespace zpx::transport {

Result ReadRegister(ControllerSession& s, uint32_t reg, uint32_t* value);
Result WriteRegister(ControllerSession& s, uint32_t reg, uint32_t value);
Result ReadRegisterWord(ControllerSession& s, uint32_t* value);
Result WriteRegisterWord(ControllerSession& s, uint32_t value);
// The clock registers kClockValueRegister and kClockRangeRegister (6 and 7).
Result ReadClockRegister(ControllerSession& s, uint32_t reg, uint32_t* value);
Result WriteClockRegister(ControllerSession& s, uint32_t reg, uint32_t value);
// The requests only some back-ends answer (see Backend); a session without one fails them.
Result QueryDriverId(ControllerSession& s, uint32_t* answer);
Result QueryStatusRegisters(ControllerSession& s, uint32_t* register1, uint32_t* register2);
Result QueryPodSense(ControllerSession& s, uint32_t* answer);

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
    ControllerSession& s_;
    bool open_;
};

}  // namespace zpx::transport
