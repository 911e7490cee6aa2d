#include "faults.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <iterator>
#include <thread>
#include <utility>

namespace zpx::emu {

namespace {

bool ParseNumber(std::string_view text, uint64_t* value) {
    if (text.empty()) return false;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), *value);
    return ec == std::errc() && end == text.data() + text.size();
}

// "read-register", "read-register-3", "image", ...
bool ParseTarget(std::string_view text, RequestTarget* target) {
    static constexpr std::pair<std::string_view, RequestKind> kKinds[] = {
        {"read-register", RequestKind::kReadRegister},
        {"write-register", RequestKind::kWriteRegister},
        {"read-counter", RequestKind::kReadCounter},
        {"write-counter", RequestKind::kWriteCounter},
        {"read-memory", RequestKind::kReadMemory},
        {"write-memory", RequestKind::kWriteMemory},
        {"read-item", RequestKind::kReadItem},
        {"write-item", RequestKind::kWriteItem},
        {"image", RequestKind::kImage},
    };
    for (const auto& [name, kind] : kKinds) {
        if (text.substr(0, name.size()) != name) continue;
        const std::string_view rest = text.substr(name.size());
        uint64_t address = 0;
        const bool registers =
            kind == RequestKind::kReadRegister || kind == RequestKind::kWriteRegister;
        if (!rest.empty() && (!registers || rest[0] != '-' ||
                              !ParseNumber(rest.substr(1), &address) || address > 255))
            return false;
        *target = {kind, rest.empty() ? -1 : static_cast<int>(address)};
        return true;
    }
    return false;
}

}  // namespace

bool ParseFault(std::string_view text, Fault* fault) {
    Fault f;
    const size_t colon = text.find(':');
    if (colon == std::string_view::npos) return false;
    const std::string_view kind = text.substr(0, colon);
    std::string_view rest = text.substr(colon + 1);

    uint64_t count = 1;
    if (const size_t x = rest.find('x'); x != std::string_view::npos) {
        if (!ParseNumber(rest.substr(x + 1), &count)) return false;
        rest = rest.substr(0, x);
    }
    // Up to two arguments after the request number.
    std::string_view arguments[2];
    size_t given = 0;
    for (size_t colon2; (colon2 = rest.rfind(':')) != std::string_view::npos;) {
        if (given == 2) return false;
        arguments[given++] = rest.substr(colon2 + 1);
        rest = rest.substr(0, colon2);
    }
    if (given == 2) std::swap(arguments[0], arguments[1]);
    uint64_t first = 0;
    if (!ParseTarget(rest, &f.target) && (!ParseNumber(rest, &first) || first == 0)) return false;
    f.first = f.target.kind == RequestKind::kAny ? first : 1;
    f.count = count;

    struct Shape {
        std::string_view name;
        FaultKind kind;
        bool bytes, delay;  // the arguments it takes, in this order
    };
    static constexpr Shape kShapes[] = {
        {"drop", FaultKind::kDropReply, false, false},
        {"close", FaultKind::kCloseConnection, false, false},
        {"reset", FaultKind::kResetConnection, false, false},
        {"fail", FaultKind::kFailRequest, false, false},
        {"stall", FaultKind::kStopReading, false, false},
        {"short", FaultKind::kShortReply, true, false},
        {"delay", FaultKind::kDelayReply, false, true},
        {"cut", FaultKind::kCutReply, true, true},
    };
    const auto shape = std::find_if(std::begin(kShapes), std::end(kShapes),
                                    [&](const Shape& s) { return s.name == kind; });
    if (shape == std::end(kShapes) || given != size_t{shape->bytes} + size_t{shape->delay})
        return false;
    f.kind = shape->kind;
    uint64_t number = 0;
    size_t next = 0;
    if (shape->bytes) {
        if (!ParseNumber(arguments[next++], &number) || number > 0xFFFF) return false;
        f.bytes = static_cast<uint32_t>(number);
    }
    if (shape->delay) {
        if (!ParseNumber(arguments[next], &number) || number > 600000) return false;
        f.delayMs = static_cast<uint32_t>(number);
    }
    *fault = f;
    return true;
}

void FaultPlan::Set(std::vector<Fault> faults) {
    std::lock_guard lock(mutex_);
    faults_.clear();
    for (Fault& f : faults)
        faults_.push_back({std::move(f), 0});
}

void FaultPlan::Add(Fault fault) {
    std::lock_guard lock(mutex_);
    faults_.push_back({std::move(fault), 0});
}

bool FaultPlan::Next(Fault* fault, RequestTarget what) {
    std::lock_guard lock(mutex_);
    const uint64_t n = ++requests_;
    bool found = false;
    for (Planned& p : faults_) {
        const Fault& f = p.fault;
        uint64_t number = n;
        if (f.target.kind != RequestKind::kAny) {
            // Aimed at a kind of request: counted among the requests of that kind only.
            const bool carried =
                f.target.address < 0 || (f.target.address >= what.address &&
                                         f.target.address <= std::max(what.address, what.last));
            if (f.target.kind != what.kind || !carried) continue;
            number = ++p.seen;
        }
        if (found || number < f.first) continue;
        if (f.count != 0 && number - f.first >= f.count) continue;
        *fault = f;
        found = true;
    }
    return found;
}

bool RefusesCall(const Fault& fault) {
    switch (fault.kind) {
        case FaultKind::kFailRequest:
        case FaultKind::kCloseConnection:
        case FaultKind::kStopReading:
        case FaultKind::kResetConnection:
            return true;
        case FaultKind::kDelayReply:
        case FaultKind::kCutReply:  // a call returns once: late as a whole
            std::this_thread::sleep_for(std::chrono::milliseconds(fault.delayMs));
            return false;
        case FaultKind::kDropReply:
        case FaultKind::kShortReply:
            return false;
    }
    return false;
}

uint64_t FaultPlan::RequestCount() const {
    std::lock_guard lock(mutex_);
    return requests_;
}

}  // namespace zpx::emu
