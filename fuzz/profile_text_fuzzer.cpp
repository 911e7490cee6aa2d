// The status file's text: ProfileLookup and ProfileUpdate on any text, section, key and value.
//
// Input: six fields separated by NUL bytes: text, section, key, value, and a second section and
// key that the update must leave alone (missing fields are empty).
//
// Checked for every input: no crash, and the lookups run on any text. Checked where the written
// entry can be read back at all (section, key and value on one line each, without the white space
// that lookups trim away, the section without ']', the key without '=' and not starting with '['
// where it would read as a section header):
//   - a lookup after the update finds exactly the value written;
//   - every other entry (the second section and key, unless they name the same entry) reads as
//     it did before;
//   - writing the same entry again changes nothing.
#include <algorithm>
#include <cctype>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_support.h"
#include "platform/profile_text.h"

namespace zpx::fuzz {
namespace {

bool HasAny(std::string_view s, std::string_view chars) {
    return s.find_first_of(chars) != std::string_view::npos;
}

bool Trimmed(std::string_view s) {
    auto blank = [](char c) { return c == ' ' || c == '\t'; };
    return s.empty() || (!blank(s.front()) && !blank(s.back()));
}

// Written apart from the library's own comparison on purpose: the fuzzer checks it. The C
// library's tolower in the "C" locale folds ASCII letters only, as profile files do.
bool SameNoCase(std::string_view a, std::string_view b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
        return std::tolower(static_cast<unsigned char>(x)) ==
               std::tolower(static_cast<unsigned char>(y));
    });
}

std::string Show(const std::optional<std::string>& v) {
    return v ? "\"" + *v + "\"" : "(none)";
}

}  // namespace
}  // namespace zpx::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace zpx::fuzz;
    using zpx::platform::ProfileLookup;
    using zpx::platform::ProfileUpdate;

    std::vector<std::string> field(6);
    size_t f = 0;
    for (size_t i = 0; i < size; ++i) {
        if (data[i] == 0) {
            if (++f == field.size()) break;
        } else {
            field[f] += static_cast<char>(data[i]);
        }
    }
    const std::string& text = field[0];
    const std::string& section = field[1];
    const std::string& key = field[2];
    const std::string& value = field[3];
    const std::string& otherSection = field[4];
    const std::string& otherKey = field[5];

    const std::optional<std::string> otherBefore = ProfileLookup(text, otherSection, otherKey);
    (void)ProfileLookup(text, section, key);
    const std::string updated = ProfileUpdate(text, section, key, value);

    const bool readable = !HasAny(section, "\r\n]") && Trimmed(section) && !HasAny(key, "\r\n=") &&
                          Trimmed(key) && (key.empty() || key[0] != '[') &&
                          !HasAny(value, "\r\n") && Trimmed(value);
    if (!readable) {
        (void)ProfileLookup(updated, section, key);
        return 0;
    }

    const std::optional<std::string> readBack = ProfileLookup(updated, section, key);
    ZPX_FUZZ_CHECK(readBack && *readBack == value,
                   "read back " + Show(readBack) + " after writing \"" + value + "\"");

    if (!(SameNoCase(otherSection, section) && SameNoCase(otherKey, key))) {
        const std::optional<std::string> otherAfter =
            ProfileLookup(updated, otherSection, otherKey);
        ZPX_FUZZ_CHECK(otherAfter == otherBefore,
                       "another entry changed: " + Show(otherBefore) + " -> " + Show(otherAfter));
    }

    ZPX_FUZZ_CHECK(ProfileUpdate(updated, section, key, value) == updated,
                   "writing the same entry twice changed the text");
    return 0;
}
