// The serial-number registry by controller name. These take a working name (without its family
// suffix), not a handle; a null name gives 1 and a null output 10.
#include "core/status.h"
#include "session/serial_registry.h"

using namespace zpx;

namespace {

uint32_t Peek(const char* name, uint32_t* first, uint32_t* second) noexcept {
    if (first == nullptr || second == nullptr) return kStatusInvalid;
    try {
        return PeekSerial(name, first, second);
    } catch (...) {
        // Only allocation can throw here.
        return kStatusFailed;
    }
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
    return kStatusOk;
}

}  // extern "C"
