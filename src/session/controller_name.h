// The family suffix of controller names: split off at the last comma.
#pragma once

#include <string_view>

#include "transport/backend.h"

namespace zpx {

struct NameParts {
    ControllerFamily family = kFamily51x4;
    std::string_view working;  // the name in front of the last comma, or the whole name
};

// Splits the suffix off. The family is 5120 when the four characters after the last comma are
// "5120"; any other suffix, or none, means the 51x4 family.
NameParts SplitName(std::string_view name);

}  // namespace zpx
