#include "session/session.h"

#include <new>

#include "transport/backend.h"

namespace zpx {

ControllerSession::ControllerSession() = default;
ControllerSession::~ControllerSession() = default;

Result TransferBuffer::Reserve(uint32_t bytes) {
    if (capacity >= bytes) return kOk;
    std::unique_ptr<uint8_t[]> grown(new (std::nothrow) uint8_t[bytes]);
    if (!grown) return kFail;
    data = std::move(grown);
    capacity = bytes;
    return kOk;
}

}  // namespace zpx
