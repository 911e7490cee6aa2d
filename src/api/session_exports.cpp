// Library version, session queries, opening and closing.
#include "core/status.h"
#include "session/call_frame.h"
#include "session/handle_table.h"
#include "session/open_close.h"

using namespace zpx;

extern "C" {

ZPX_API uint32_t ZPX_LibraryVersion(ZPX_Handle handle) {
    return CallFrame(handle, [](ControllerSession&) { return ZPX_LIBRARY_VERSION; });
}

ZPX_API uint32_t ZPX_LibraryVersionEx(ZPX_Handle handle, uint32_t* version) {
    if (!handle_table::IsLive(handle)) return kStatusNullHandle;
    if (version == nullptr) return kStatusInvalid;
    return CallFrame(handle, [&](ControllerSession&) {
        *version = ZPX_LIBRARY_VERSION;
        return kStatusOk;
    });
}

ZPX_API uint32_t ZPX_GetControllerType(ZPX_Handle handle, uint32_t* type) {
    return CallFrame(handle, [&](ControllerSession& s) {
        if (type == nullptr) return kStatusInvalid;
        *type = static_cast<uint32_t>(s.controllerType);
        return kStatusOk;
    });
}

ZPX_API uint32_t ZPX_GetInterfaceType(ZPX_Handle handle, uint32_t* kind, uint32_t* index,
                                      uint32_t* aux) {
    return CallFrame(handle, [&](ControllerSession& s) {
        if (kind != nullptr) *kind = static_cast<uint32_t>(s.interfaceKind);
        if (index != nullptr) *index = static_cast<uint32_t>(s.deviceIndex);
        if (aux != nullptr) *aux = static_cast<uint32_t>(s.auxIndex);
        return kStatusOk;
    });
}

ZPX_API uint32_t ZPX_BufferingUseful(ZPX_Handle handle, uint32_t* useful) {
    return CallFrame(handle, [&](ControllerSession& s) {
        // Every back-end gains from buffered transfers.
        if (useful != nullptr) *useful = 1;
        return kStatusOk;
    });
}

ZPX_API ZPX_Handle ZPX_OpenController(const char* name, uint32_t* status) {
    uint32_t ignored = 0;
    try {
        return OpenController(name, status != nullptr ? status : &ignored);
    } catch (...) {
        // Only allocation can throw here.
        if (status != nullptr) *status = kStatusNotAvailable;
        return nullptr;
    }
}

ZPX_API uint32_t ZPX_CloseController(ZPX_Handle handle) {
    try {
        return CloseController(handle);
    } catch (...) {
        return kStatusFailed;
    }
}

}  // extern "C"
