// Linked into every test program: its objects shared between processes are the test programs'
// own, so that tests neither disturb a station's programs using the library nor fail when one
// runs beside them.
#include "platform/platform.h"

namespace {

[[maybe_unused]] const bool kOwnObjects = [] {
    zpx::platform::SetSharedNamesForTesting("zpx-tests");
    return true;
}();

}  // namespace
