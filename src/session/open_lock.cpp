#include "session/open_lock.h"

#include "platform/platform.h"

namespace zpx {

OpenLockHold OpenLockHold::Take() {
    platform::SharedObjects& objects = platform::Use<platform::SharedObjects>();
    return OpenLockHold(objects.LockOpen(kOpenLockTimeoutMs) ? &objects : nullptr);
}

OpenLockHold::~OpenLockHold() {
    if (objects_ != nullptr) objects_->UnlockOpen();
}

}  // namespace zpx
