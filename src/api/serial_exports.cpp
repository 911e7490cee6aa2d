// The serial-number registry by controller name. These take a working name (without its family
// suffix), not a handle; a null name gives 1 and a null output 10.
#include "api/call_frame.h"
#include "session/serial_registry.h"

using namespace zpx;

namespace {

uint32_t Peek(const char* name, uint32_t* first, uint32_t* second) {
    return Guarded(Status::kFailed, [&] {
        if (first == nullptr || second == nullptr) return Status::kInvalid;
        return StatusOf(PeekSerial(name, first, second), Status::kFailed);
    });
}

}  // namespace

extern "C" {

ZPX_API uint32_t ZPX_ControllerSerialNumberPeek(const char* name, uint32_t* first,
                                                uint32_t* second) {
    return Peek(name, first, second);
}

ZPX_API uint32_t ZPX_ControllerSerialNumberAlloc(const char* name, uint32_t* first,
                                                 uint32_t* second) {
    return Peek(name, first, second);
}

// Entries are never removed: giving one back changes nothing.
ZPX_API uint32_t ZPX_ControllerSerialNumberFree(const char*, uint32_t*, uint32_t*) {
    return ZPX_STATUS_OK;
}

}  // extern "C"
