#include "platform/profile_text.h"

#include <string_view>
#include <vector>

namespace zpx::platform {

namespace {

struct Line {
    std::string_view text;    // without its line ending
    std::string_view ending;  // as it stands: "\r\n", "\n", or at the end "\r" or nothing
};

std::vector<Line> SplitLines(const std::string& text) {
    std::vector<Line> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        const size_t next = end == std::string::npos ? text.size() : end + 1;
        if (end == std::string::npos) end = text.size();
        std::string_view line(text.data() + start, end - start);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        lines.push_back({line, std::string_view(text.data() + start + line.size(),
                                                next - start - line.size())});
        start = next;
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

    // Every line the update does not touch is written back exactly as it stood, its own line
    // ending included; a last line without one gets the text's ending once lines follow it.
    std::vector<std::pair<std::string, std::string>> out;
    out.reserve(lines.size() + 2);
    for (const Line& l : lines)
        out.emplace_back(std::string(l.text), std::string(l.ending));
    if (!out.empty() && out.back().second.find('\n') == std::string::npos) {
        // A lone carriage return there was read as the line's end already: "\n" completes it.
        out.back().second += out.back().second == "\r" ? "\n" : eol;
    }

    if (span.header == std::string::npos) {
        out.emplace_back("[" + section + "]", eol);
        out.emplace_back(entry, eol);
    } else {
        size_t insertAt = span.header + 1;
        bool replaced = false;
        for (size_t i = span.header + 1; i < span.end; ++i) {
            std::string_view k, v;
            if (!KeyValue(lines[i].text, &k, &v)) continue;
            if (EqualNoCase(k, key)) {
                out[i].first = entry;
                replaced = true;
                break;
            }
            insertAt = i + 1;
        }
        if (!replaced) out.insert(out.begin() + static_cast<long>(insertAt), {entry, eol});
    }
    std::string result;
    for (const auto& [line, ending] : out)
        result += line + ending;
    return result;
}

}  // namespace zpx::platform
