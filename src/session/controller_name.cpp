#include "session/controller_name.h"

#include "transport/name_text.h"

namespace zpx {

NameParts SplitName(std::string_view name) {
    NameParts parts;
    const size_t comma = name.rfind(',');
    if (comma == std::string_view::npos) {
        parts.working = name;
        return parts;
    }
    parts.working = name.substr(0, comma);
    parts.family =
        transport::StartsWithNoCase(name.substr(comma + 1), "5120") ? kFamily5120 : kFamily51x4;
    return parts;
}

}  // namespace zpx
