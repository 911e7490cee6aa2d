#include "faults.h"

#include <charconv>

namespace zpx::emu {

namespace {

bool ParseNumber(std::string_view text, uint64_t* value) {
    if (text.empty()) return false;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), *value);
    return ec == std::errc() && end == text.data() + text.size();
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
    std::string_view argument;
    if (const size_t second = rest.find(':'); second != std::string_view::npos) {
        argument = rest.substr(second + 1);
        rest = rest.substr(0, second);
    }
    uint64_t first = 0;
    if (!ParseNumber(rest, &first) || first == 0) return false;
    f.first = first;
    f.count = count;

    uint64_t number = 0;
    if (kind == "drop") {
        f.kind = FaultKind::kDropReply;
    } else if (kind == "close") {
        f.kind = FaultKind::kCloseConnection;
    } else if (kind == "fail") {
        f.kind = FaultKind::kFailRequest;
    } else if (kind == "stall") {
        f.kind = FaultKind::kStopReading;
    } else if (kind == "short") {
        if (!ParseNumber(argument, &number) || number > 0xFFFF) return false;
        f.kind = FaultKind::kShortReply;
        f.bytes = static_cast<uint32_t>(number);
    } else if (kind == "delay") {
        if (!ParseNumber(argument, &number) || number > 600000) return false;
        f.kind = FaultKind::kDelayReply;
        f.delayMs = static_cast<uint32_t>(number);
    } else {
        return false;
    }
    // Only "short" and "delay" take an argument.
    if (!argument.empty() && f.kind != FaultKind::kShortReply && f.kind != FaultKind::kDelayReply)
        return false;
    *fault = f;
    return true;
}

void FaultPlan::Set(std::vector<Fault> faults) {
    std::lock_guard lock(mutex_);
    faults_ = std::move(faults);
}

bool FaultPlan::Next(Fault* fault) {
    std::lock_guard lock(mutex_);
    const uint64_t n = ++requests_;
    for (const Fault& f : faults_) {
        if (n < f.first) continue;
        if (f.count != 0 && n - f.first >= f.count) continue;
        *fault = f;
        return true;
    }
    return false;
}

uint64_t FaultPlan::RequestCount() const {
    std::lock_guard lock(mutex_);
    return requests_;
}

}  // namespace zpx::emu
