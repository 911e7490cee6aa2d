// Library version, session queries, opening and closing.
#include "api/call_frame.h"
#include "session/open_close.h"

using namespace zpx;

extern "C" {

ZPX_API uint32_t ZPX_LibraryVersion(ZPX_Handle handle) {
    return Frame(handle).Run([](ControllerSession&) { return Answer(ZPX_LIBRARY_VERSION); });
}

ZPX_API uint32_t ZPX_LibraryVersionEx(ZPX_Handle handle, uint32_t* version) {
    return Frame(handle).Require(version, Status::kInvalid).Run([&](ControllerSession&) {
        *version = ZPX_LIBRARY_VERSION;
        return Status::kOk;
    });
}

ZPX_API uint32_t ZPX_GetControllerType(ZPX_Handle handle, uint32_t* type) {
    return Frame(handle).Run([&](ControllerSession& s) {
        if (type == nullptr) return Status::kInvalid;
        *type = static_cast<uint32_t>(s.controllerType);
        return Status::kOk;
    });
}

ZPX_API uint32_t ZPX_GetInterfaceType(ZPX_Handle handle, uint32_t* kind, uint32_t* index,
                                      uint32_t* aux) {
    return Frame(handle).Run([&](ControllerSession& s) {
        if (kind != nullptr) *kind = static_cast<uint32_t>(s.interfaceKind);
        if (index != nullptr) *index = static_cast<uint32_t>(s.deviceIndex);
        if (aux != nullptr) *aux = static_cast<uint32_t>(s.auxIndex);
        return Status::kOk;
    });
}

ZPX_API uint32_t ZPX_BufferingUseful(ZPX_Handle handle, uint32_t* useful) {
    return Frame(handle).Run([&](ControllerSession&) {
        // Every back-end gains from buffered transfers.
        if (useful != nullptr) *useful = 1;
        return Status::kOk;
    });
}

ZPX_API ZPX_Handle ZPX_OpenController(const char* name, uint32_t* status) {
    ZPX_Handle opened = nullptr;
    // A session that cannot be allocated is "not available".
    const uint32_t result = Guarded(Status::kNotAvailable, [&] {
        OpenFailure failure = OpenFailure::kFailed;
        opened = OpenController(name, &failure);
        return opened != nullptr ? Status::kOk : StatusOf(failure);
    });
    if (status != nullptr) *status = result;
    return opened;
}

ZPX_API uint32_t ZPX_CloseController(ZPX_Handle handle) {
    return Guarded(Status::kFailed,
                   [&] { return CloseController(handle) ? Status::kOk : Status::kNullHandle; });
}

}  // extern "C"
