// The text of a profile (INI) file, with the semantics of Windows profile files: sections and
// keys compared without letter case, white space around keys and values ignored, every other
// line kept as it stands when a value is written.
#pragma once

#include <optional>
#include <string>

namespace zpx::platform {

// The value of `key` in `section`, or nothing when the section or key is missing.
std::optional<std::string> ProfileLookup(const std::string& text, const std::string& section,
                                         const std::string& key);

// The text with `key` of `section` set to `value`: the key's line replaced in place, or a new
// line after the section's last entry, or a new section at the end.
std::string ProfileUpdate(const std::string& text, const std::string& section,
                          const std::string& key, const std::string& value);

}  // namespace zpx::platform
