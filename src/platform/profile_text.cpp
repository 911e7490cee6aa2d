#include "platform/profile_text.h"

#include <string_view>
#include <vector>

namespace zpx::platform {

namespace {

struct Line {
    std::string_view text;  // without its line ending
};

std::vector<Line> SplitLines(const std::string& text) {
    std::vector<Line> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string_view line(text.data() + start, end - start);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        lines.push_back({line});
        start = end + 1;
    }
    return lines;
}

std::string_view Trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t'))
        s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t'))
        s.remove_suffix(1);
    return s;
}

bool EqualNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        char x = a[i], y = b[i];
        if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
        if (x != y) return false;
    }
    return true;
}

// The section name of a "[name]" line.
std::optional<std::string_view> SectionName(std::string_view line) {
    line = Trim(line);
    if (line.size() < 2 || line.front() != '[') return std::nullopt;
    const size_t close = line.find(']');
    if (close == std::string_view::npos) return std::nullopt;
    return Trim(line.substr(1, close - 1));
}

// Splits "key = value"; false for lines without '='.
bool KeyValue(std::string_view line, std::string_view* key, std::string_view* value) {
    const size_t eq = line.find('=');
    if (eq == std::string_view::npos) return false;
    *key = Trim(line.substr(0, eq));
    *value = Trim(line.substr(eq + 1));
    return true;
}

// Where a section's lines lie: [first, end) after its header line; npos header when absent.
struct SectionSpan {
    size_t header = std::string::npos;
    size_t end = 0;
};

SectionSpan FindSection(const std::vector<Line>& lines, const std::string& section) {
    SectionSpan span;
    for (size_t i = 0; i < lines.size(); ++i) {
        const auto name = SectionName(lines[i].text);
        if (!name) continue;
        if (span.header != std::string::npos) {
            span.end = i;
            return span;
        }
        if (EqualNoCase(*name, section)) span.header = i;
    }
    span.end = lines.size();
    return span;
}

}  // namespace

std::optional<std::string> ProfileLookup(const std::string& text, const std::string& section,
                                         const std::string& key) {
    const std::vector<Line> lines = SplitLines(text);
    const SectionSpan span = FindSection(lines, section);
    if (span.header == std::string::npos) return std::nullopt;
    for (size_t i = span.header + 1; i < span.end; ++i) {
        std::string_view k, v;
        if (KeyValue(lines[i].text, &k, &v) && EqualNoCase(k, key)) return std::string(v);
    }
    return std::nullopt;
}

std::string ProfileUpdate(const std::string& text, const std::string& section,
                          const std::string& key, const std::string& value) {
    const std::string eol = text.find("\r\n") != std::string::npos ? "\r\n" : "\n";
    const std::vector<Line> lines = SplitLines(text);
    const std::string entry = key + "=" + value;
    const SectionSpan span = FindSection(lines, section);

    std::vector<std::string> out;
    out.reserve(lines.size() + 2);
    for (const Line& l : lines)
        out.emplace_back(l.text);

    if (span.header == std::string::npos) {
        out.push_back("[" + section + "]");
        out.push_back(entry);
    } else {
        size_t insertAt = span.header + 1;
        bool replaced = false;
        for (size_t i = span.header + 1; i < span.end; ++i) {
            std::string_view k, v;
            if (!KeyValue(lines[i].text, &k, &v)) continue;
            if (EqualNoCase(k, key)) {
                out[i] = entry;
                replaced = true;
                break;
            }
            insertAt = i + 1;
        }
        if (!replaced) out.insert(out.begin() + static_cast<long>(insertAt), entry);
    }
    std::string result;
    for (const std::string& l : out)
        result += l + eol;
    return result;
}

}  // namespace zpx::platform
