// The table of live sessions behind the handles handed to callers.
//
// A handle is a slot number and the slot's generation, never a pointer: a handle that is not
// live (closed, never opened, garbage) is found out without touching memory it names, and a
// closed slot opened again gets a new generation, so an old handle to it stays dead. Calls enter
// and leave their session's slot; a close first stops new calls from entering, then waits for
// those inside to leave. Slots live in static storage for as long as the library is loaded, so a
// lookup never races with a table that moves; no lock is taken on the way in or out (only the
// last call to leave a closing slot takes one, to wake the close).
#pragma once

#include <cstdint>
#include <memory>

#include "device/controller_session.h"
#include "zpx/zpx.h"

namespace zpx {

namespace handle_table {

class Slot;

// Hands `session` out under a new handle; null (and the session freed) when the table is full.
ZPX_Handle Publish(std::unique_ptr<ControllerSession> session);

// A call inside its session: entered when the handle is live and no close has begun on it.
class Call {
  public:
    explicit Call(ZPX_Handle handle);
    ~Call();
    Call(const Call&) = delete;
    Call& operator=(const Call&) = delete;

    explicit operator bool() const { return session_ != nullptr; }
    ControllerSession& session() const { return *session_; }

  private:
    Slot* slot_ = nullptr;
    ControllerSession* session_ = nullptr;
};

// Stops new calls on `handle`, waits until the calls inside have left, and takes the session
// out of the table; the handle is dead from then on. Null when the handle is not live or a close
// of it has begun already.
std::unique_ptr<ControllerSession> Retire(ZPX_Handle handle);

// The session behind a live handle, without entering it; null when the handle is not live. For
// checks made before a call enters, and for tests: nothing stops a close from freeing the session
// meanwhile.
ControllerSession* Peek(ZPX_Handle handle);

// Whether `handle` names an open session no close has begun on: what the exports check first,
// in the place where a null handle was checked.
inline bool IsLive(ZPX_Handle handle) {
    return Peek(handle) != nullptr;
}

}  // namespace handle_table

// For tests: the session of a handle known to be live.
inline ControllerSession& SessionOf(ZPX_Handle handle) {
    return *handle_table::Peek(handle);
}

}  // namespace zpx
