#include "platform/load_unload.h"

#include "platform/platform.h"

namespace zpx::platform {

bool OnLoad() {
    return Use<SharedObjects>().Attach();
}

void OnUnload() {
    Use<SharedObjects>().Detach();
}

}  // namespace zpx::platform
