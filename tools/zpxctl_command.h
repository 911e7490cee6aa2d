// zpxctl's command line: the table row that describes a command, the one parser every command's
// arguments go through, the report a command fills with what it found, and the status names.
//
// A command is a row (name, usage, help, the numbers of words it takes, its options, its handler,
// its text layout). The parser takes the flags out wherever they stand, then reads the words,
// then each option with its value, into Args; a bad command line never reaches the handler. The
// handler gathers its findings once, into a Report, which is printed as one JSON object when
// --json was given and as the command's text otherwise.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace zpx::ctl {

// Exit statuses: done, an export (or a file) failed, the command line was not understood, and
// a run that ended with error bits set (a test verdict, told apart from a tool that failed).
inline constexpr int kDone = 0;
inline constexpr int kFailed = 1;
inline constexpr int kUsage = 2;
inline constexpr int kRunErrors = 3;

// One option's value, as the command line gave it.
struct Given {
    bool given = false;
    uint64_t number = 0;         // a number, or the first of a pair
    uint64_t second = 0;         // the second number of a pair
    const char* text = nullptr;  // a text value
};

// A command line as the parser understood it: the words in order, then every option a command
// can take, where the option table puts its value.
struct Args {
    std::vector<const char*> words;
    Given json;
    Given set;              // clock
    Given timeout, clear;   // run
    Given vout, vth, pins;  // tap
    Given ip, mac, dhcp;    // net
    Given bytes;            // update
    Given type, vcd;        // demo
};

// What follows an option's name on the command line.
enum class Value {
    kNone,    // a flag: --json
    kNumber,  // one number up to the limit: --set 10000
    kPair,    // two numbers up to the limit each, "A,B": --pins 5,15
    kText,    // the next argument as it stands: --vcd demo.vcd
    kVolts,   // a voltage up to the limit in millivolts, in steps of 0.1 V: --vout 3.3, 3300mV
};

struct Option {
    const char* name;  // with its dashes
    Value value;
    uint64_t limit;  // the largest number taken (each of a pair; millivolts for a voltage)
    Given Args::*to;
};

// What a command found: a record of named fields in the order they were added, each a number,
// a text, a list or a nested record. Gathered once by the command's handler, then printed.
class Report {
  public:
    static Report Number(long long value);
    // A number in tenths, shown with its one decimal: 33 is 3.3 in text and in JSON. The library
    // reports a voltage it does not know (no pod, no such TAP) as -1: "unknown" in text, null in
    // JSON.
    static Report Tenths(long long tenths);
    static Report Text(std::string value);
    template <typename T>
    static Report Numbers(const T* values, size_t count) {
        Report list(Kind::kList);
        for (size_t i = 0; i < count; ++i)
            list.items_.push_back(Number(values[i]));
        return list;
    }
    template <typename T>
    static Report TenthsList(const T* tenths, size_t count) {
        Report list = Numbers(tenths, count);
        for (Report& item : list.items_)
            item.tenths_ = true;
        return list;
    }
    static Report Texts(const std::vector<std::string>& values);

    Report() = default;  // an empty record

    // Adds a field to the record.
    Report& Add(const char* key, long long number) { return Add(key, Number(number)); }
    Report& Add(const char* key, std::string text) { return Add(key, Text(std::move(text))); }
    Report& Add(const char* key, Report value);
    // A number that the text rendering shows as eight hexadecimal digits ("0x0A000002"), and a
    // list of them.
    Report& AddHex(const char* key, long long number);
    template <typename T>
    Report& AddHex(const char* key, const T* values, size_t count) {
        Report list = Numbers(values, count);
        for (Report& item : list.items_)
            item.hex_ = true;
        return Add(key, std::move(list));
    }

    bool empty() const { return kind_ == Kind::kRecord && items_.empty(); }
    bool Has(const char* key) const;
    // A record's field (an empty record when there is none), a number's or a text's value, and
    // the items of a list or the fields of a record.
    const Report& operator[](const char* key) const;
    long long number() const { return number_; }
    const std::string& text() const { return text_; }
    const std::vector<Report>& items() const { return items_; }

    // One JSON object on one line.
    std::string Json() const;
    // As the text rendering shows it.
    std::string Plain() const;
    // One "name value" line per field, the name being the key with spaces for underscores;
    // a list's items joined by commas.
    void PrintLines() const;

  private:
    enum class Kind { kNumber, kText, kList, kRecord };
    explicit Report(Kind kind) : kind_(kind) {}

    Kind kind_ = Kind::kRecord;
    long long number_ = 0;
    bool hex_ = false;
    bool tenths_ = false;
    std::string text_;
    std::vector<std::string> keys_;  // a record's, one per item
    std::vector<Report> items_;      // a list's items, or a record's values
};

struct Command {
    const char* name;
    const char* usage;  // after "zpxctl "
    const char* help;   // continued lines indented by six spaces, as the usage listing shows it
    struct {
        size_t fewest, most;
    } words;  // how many words the command takes before its options
    Option options[4] = {};
    // Checks what the parser cannot (words that depend on each other), does the work and fills
    // the report; returns kDone, kFailed or kUsage. The report is printed whatever it returns: a
    // handler that fails before it knows its findings leaves it empty.
    int (*run)(const Args& args, Report* report);
    // Prints the report as text; null for one "name value" line per field.
    void (*text)(const Report& report) = nullptr;
};

// Parses the command's arguments (those after its name), runs it and prints its report; the
// exit status.
int RunCommand(const Command& command, int argc, char** argv);

// Why the command line was not understood, printed with the command's usage; returns kUsage.
int BadUsage(std::string why);

// The controller a command works on, named in every error it reports from here on.
void SetController(const char* name);
// Reports a failure as "zpxctl: NAME: what"; returns kFailed.
int Fail(const std::string& what);

// The name of a status code as the header names it ("OUT_OF_RANGE"); the export that returned
// it decides between names that share a code.
const char* StatusName(const char* call, uint32_t status);
// Reports a failed export as "zpxctl: NAME: ZPX_X: INVALID (10)"; true when the call succeeded.
bool Ok(const char* call, uint32_t status);

}  // namespace zpx::ctl
