#include "zpxctl_command.h"

#include <cstdio>
#include <cstring>
#include <span>
#include <string_view>

#include "number_arguments.h"
#include "zpx/zpx.h"

namespace zpx::ctl {

// ---- the command line ----

namespace {

bool IsOption(const char* argument) {
    return std::strncmp(argument, "--", 2) == 0;
}

const Option* FindOption(const Command& command, std::string_view name) {
    for (const Option& option : command.options) {
        if (option.name != nullptr && name == option.name) return &option;
    }
    return nullptr;
}

// A voltage in millivolts: volts as a decimal number ("3.3", "3.3V") or millivolts with their
// unit ("3300mV"). The TAPs take tenths of a volt, so finer steps are refused rather than
// truncated. Earlier zpxctl took bare millivolts ("--vout 3300"); a bare whole number of 100 or
// more cannot be a TAP's volts, so scripts written for it keep working, told of the new form.
bool ParseMillivolts(std::string_view text, uint64_t limit, uint64_t* millivolts, bool* bare) {
    bool milli = false, volts = false;
    if (text.size() > 2 && (text.ends_with("mV") || text.ends_with("mv"))) {
        milli = true;
        text.remove_suffix(2);
    } else if (!text.empty() && (text.back() == 'V' || text.back() == 'v')) {
        volts = true;
        text.remove_suffix(1);
    }
    const size_t dot = text.find('.');
    const bool decimal = dot != std::string_view::npos;
    const std::string_view whole = text.substr(0, dot);
    const std::string_view fraction = decimal ? text.substr(dot + 1) : "";
    const auto digits = [](std::string_view part) {
        for (const char ch : part) {
            if (ch < '0' || ch > '9') return false;
        }
        return true;
    };
    if (whole.empty() || whole.size() > 6 || !digits(whole) || !digits(fraction) ||
        (decimal && (milli || fraction.empty() || fraction.size() > 3))) {
        return false;
    }
    uint64_t value = 0;
    for (const char ch : whole)
        value = value * 10 + static_cast<uint64_t>(ch - '0');
    *bare = !milli && !volts && !decimal && value >= 100;
    if (!milli && !*bare) {
        uint64_t thousandths = 0;
        for (size_t i = 0; i < 3; ++i)
            thousandths = thousandths * 10 + (i < fraction.size() ? fraction[i] - '0' : 0);
        value = value * 1000 + thousandths;
    }
    if (value > limit || value % 100 != 0) return false;
    *millivolts = value;
    return true;
}

std::string Quote(const char* text) {
    return std::string("'") + text + "'";
}

// Takes the option's value; the reason when the value is not one the option takes.
std::string TakeValue(const Option& option, const char* text, Args* args) {
    Given& to = args->*option.to;
    to.given = true;
    to.text = text;
    const std::string limit = std::to_string(option.limit);
    switch (option.value) {
        case Value::kNumber:
            if (tools::ParseUnsigned(text, option.limit, &to.number)) return {};
            return std::string(option.name) + " takes a number from 0 to " + limit + ", not " +
                   Quote(text);
        case Value::kPair:
            if (tools::ParseUnsignedPair(text, ',', option.limit, option.limit, &to.number,
                                         &to.second))
                return {};
            return std::string(option.name) + " takes two numbers A,B, each from 0 to " + limit +
                   ", not " + Quote(text);
        case Value::kVolts: {
            bool bare = false;
            if (ParseMillivolts(text, option.limit, &to.number, &bare)) {
                if (bare) {
                    std::fprintf(stderr, "zpxctl: %s %s taken as %smV; volts are written %.1f\n",
                                 option.name, text, text, static_cast<double>(to.number) / 1000);
                }
                return {};
            }
            char most[16];
            std::snprintf(most, sizeof most, "%.1f", static_cast<double>(option.limit) / 1000);
            return std::string(option.name) +
                   " takes volts (3.3 or 3.3V) or millivolts with their unit (3300mV), in "
                   "steps of 0.1 V up to " +
                   most + " V, not " + Quote(text);
        }
        case Value::kText:
        case Value::kNone:
            break;
    }
    return {};
}

// Flags are taken wherever they stand after the command's name; then come the words, then the
// options, each with its value in the next argument. The reason for anything else.
std::string Parse(const Command& command, int argc, char** argv, Args* args) {
    std::vector<const char*> rest;
    for (int i = 0; i < argc; ++i) {
        const Option* option = FindOption(command, argv[i]);
        if (option != nullptr && option->value == Value::kNone) {
            (args->*option->to).given = true;
        } else {
            rest.push_back(argv[i]);
        }
    }
    bool options = false;
    for (size_t i = 0; i < rest.size(); ++i) {
        if (!IsOption(rest[i])) {
            if (options) return Quote(rest[i]) + " stands after the options: the words come first";
            args->words.push_back(rest[i]);
            continue;
        }
        options = true;
        const Option* option = FindOption(command, rest[i]);
        if (option == nullptr) return std::string(command.name) + " has no option " + rest[i];
        if (i + 1 == rest.size()) return std::string(rest[i]) + " needs a value";
        if (std::string why = TakeValue(*option, rest[++i], args); !why.empty()) return why;
    }
    if (args->words.size() < command.words.fewest) return "words missing";
    if (args->words.size() > command.words.most)
        return "one word too many: " + Quote(args->words[command.words.most]);
    return {};
}

std::string usageReason;  // set by BadUsage, printed by RunCommand
std::string controller;   // named by every error report

}  // namespace

int BadUsage(std::string why) {
    usageReason = std::move(why);
    return kUsage;
}

void SetController(const char* name) {
    controller = name;
}

int Fail(const std::string& what) {
    if (controller.empty()) {
        std::fprintf(stderr, "zpxctl: %s\n", what.c_str());
    } else {
        std::fprintf(stderr, "zpxctl: %s: %s\n", controller.c_str(), what.c_str());
    }
    return kFailed;
}

int RunCommand(const Command& command, int argc, char** argv) {
    for (int i = 0; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") != 0 && std::strcmp(argv[i], "-h") != 0) continue;
        std::printf("usage: zpxctl %s\n  %s\n", command.usage, command.help);
        return kDone;
    }
    Args args;
    Report report;
    usageReason.clear();
    const std::string why = Parse(command, argc, argv, &args);
    const int status = why.empty() ? command.run(args, &report) : BadUsage(why);
    if (status == kUsage) {
        if (!usageReason.empty())
            std::fprintf(stderr, "zpxctl %s: %s\n", command.name, usageReason.c_str());
        std::fprintf(stderr, "usage: zpxctl %s\n", command.usage);
        return status;
    }
    if (report.empty()) return status;
    if (args.json.given) {
        std::printf("%s\n", report.Json().c_str());
    } else if (command.text != nullptr) {
        command.text(report);
    } else {
        report.PrintLines();
    }
    return status;
}

// ---- the report ----

Report Report::Number(long long value) {
    Report number(Kind::kNumber);
    number.number_ = value;
    return number;
}

Report Report::Tenths(long long tenths) {
    Report number = Number(tenths);
    number.tenths_ = true;
    return number;
}

Report Report::Text(std::string value) {
    Report text(Kind::kText);
    text.text_ = std::move(value);
    return text;
}

Report Report::Texts(const std::vector<std::string>& values) {
    Report list(Kind::kList);
    for (const std::string& value : values)
        list.items_.push_back(Text(value));
    return list;
}

Report& Report::Add(const char* key, Report value) {
    keys_.emplace_back(key);
    items_.push_back(std::move(value));
    return *this;
}

Report& Report::AddHex(const char* key, long long number) {
    Report hex = Number(number);
    hex.hex_ = true;
    return Add(key, std::move(hex));
}

bool Report::Has(const char* key) const {
    for (const std::string& k : keys_) {
        if (k == key) return true;
    }
    return false;
}

const Report& Report::operator[](const char* key) const {
    for (size_t i = 0; i < keys_.size(); ++i) {
        if (keys_[i] == key) return items_[i];
    }
    static const Report kNone;
    return kNone;
}

namespace {

std::string Quoted(const std::string& text) {
    std::string out = "\"";
    for (const unsigned char ch : text) {
        if (ch == '"' || ch == '\\') {
            out += '\\';
            out += static_cast<char>(ch);
        } else if (ch < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", ch);
            out += escaped;
        } else {
            out += static_cast<char>(ch);
        }
    }
    return out + '"';
}

}  // namespace

std::string Report::Json() const {
    switch (kind_) {
        case Kind::kNumber:
            if (tenths_) return number_ < 0 ? "null" : Plain();
            return std::to_string(number_);
        case Kind::kText:
            return Quoted(text_);
        case Kind::kList:
        case Kind::kRecord:
            break;
    }
    const bool record = kind_ == Kind::kRecord;
    std::string out = record ? "{" : "[";
    for (size_t i = 0; i < items_.size(); ++i) {
        if (i != 0) out += ", ";
        if (record) out += Quoted(keys_[i]) + ": ";
        out += items_[i].Json();
    }
    return out + (record ? "}" : "]");
}

std::string Report::Plain() const {
    switch (kind_) {
        case Kind::kNumber: {
            char text[24];
            if (tenths_ && number_ < 0) return "unknown";
            if (tenths_) {
                std::snprintf(text, sizeof text, "%lld.%lld", number_ / 10, number_ % 10);
            } else {
                std::snprintf(text, sizeof text, hex_ ? "0x%08llX" : "%lld", number_);
            }
            return text;
        }
        case Kind::kText:
            return text_;
        case Kind::kList:
        case Kind::kRecord:
            break;
    }
    std::string out;
    for (size_t i = 0; i < items_.size(); ++i) {
        if (i != 0) out += kind_ == Kind::kList ? "," : ", ";
        if (kind_ == Kind::kRecord) out += keys_[i] + ' ';
        out += items_[i].Plain();
    }
    return out;
}

void Report::PrintLines() const {
    for (size_t i = 0; i < items_.size(); ++i) {
        std::string name = keys_[i];
        for (char& ch : name) {
            if (ch == '_') ch = ' ';
        }
        std::printf("%s %s\n", name.c_str(), items_[i].Plain().c_str());
    }
}

// ---- status codes ----

namespace {

// The header gives code 12 two meanings: from the TAP voltage exports a voltage out of range,
// from ZPX_OpenController a device that cannot be opened.
constexpr const char* kTapVoltageExports[] = {
    "ZPX_AddNewTapInfo",   "ZPX_AddNewTapInfoMillivolt", "ZPX_GetTapInfo",    "ZPX_SetTapVoltageEx",
    "ZPX_GetTapVoltageEx", "ZPX_SetTapVoltage",          "ZPX_GetTapVoltage",
};

struct StatusRow {
    uint32_t code;
    const char* name;
    // The exports this name is theirs for; none: every export that the code has no other name
    // for.
    std::span<const char* const> from;
};

// Spelled from the header's own macros, so that a name cannot drift from its code;
// tests/zpxctl/check.sh checks that every ZPX_STATUS_ macro of the header has its row.
#define ZPX_STATUS_ROW(name)         \
    StatusRow {                      \
        ZPX_STATUS_##name, #name, {} \
    }
#define ZPX_STATUS_ROW_FROM(name, exports) \
    StatusRow {                            \
        ZPX_STATUS_##name, #name, exports  \
    }
constexpr StatusRow kStatusNames[] = {
    ZPX_STATUS_ROW(OK),
    ZPX_STATUS_ROW(FAILED),
    ZPX_STATUS_ROW(NULL_HANDLE),
    ZPX_STATUS_ROW(BUSY),
    ZPX_STATUS_ROW(INVALID),
    ZPX_STATUS_ROW(NOT_AVAILABLE),
    ZPX_STATUS_ROW(CANNOT_OPEN),
    ZPX_STATUS_ROW_FROM(OUT_OF_RANGE, kTapVoltageExports),
    ZPX_STATUS_ROW(LEGACY_INDEX),
    ZPX_STATUS_ROW(NO_USB),
    ZPX_STATUS_ROW(OS_UNSUPPORTED),
    ZPX_STATUS_ROW(DEVICE_BUSY),
};
#undef ZPX_STATUS_ROW
#undef ZPX_STATUS_ROW_FROM

// Every code has exactly one name for the exports that no row claims, so that a name is never
// chosen by the order of the rows.
constexpr bool EachCodeHasOneGeneralName() {
    for (const StatusRow& row : kStatusNames) {
        int general = 0;
        for (const StatusRow& other : kStatusNames)
            general += other.code == row.code && other.from.empty();
        if (general != 1) return false;
    }
    return true;
}
static_assert(EachCodeHasOneGeneralName());

}  // namespace

const char* StatusName(const char* call, uint32_t status) {
    const char* general = "UNKNOWN";
    for (const StatusRow& row : kStatusNames) {
        if (row.code != status) continue;
        if (row.from.empty()) general = row.name;
        for (const char* from : row.from) {
            if (std::strcmp(from, call) == 0) return row.name;
        }
    }
    return general;
}

bool Ok(const char* call, uint32_t status) {
    if (status == ZPX_STATUS_OK) return true;
    char text[128];
    std::snprintf(text, sizeof text, "%s: %s (%u)", call, StatusName(call, status), status);
    (void)Fail(text);
    return false;
}

}  // namespace zpx::ctl
