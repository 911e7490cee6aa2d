// How operations below the exports fail: one way per kind of answer.
//
// Result: 0 for success, 1 for failure, as the controller interface defines them.
// Outcome: done, or the reason it was not, for the operations whose exports tell reasons apart
// (the categories the exports report; they map each to their status code).
// Both are [[nodiscard]], so that a failure is never dropped by accident; where one is
// deliberately ignored, the caller says so with a (void) cast and a comment. An operation that
// cannot fail returns void. Allocation failure is not among these: it throws std::bad_alloc up to
// the export's frame, which answers with the export's failure code.
#pragma once

#include <cstdint>

namespace zpx {

class [[nodiscard]] Result {
  public:
    constexpr Result() = default;
    constexpr explicit Result(uint32_t value) : value_(value) {}
    constexpr bool failed() const { return value_ != 0; }
    constexpr bool ok() const { return value_ == 0; }
    constexpr uint32_t value() const { return value_; }
    friend constexpr bool operator==(Result a, Result b) { return a.value_ == b.value_; }

  private:
    uint32_t value_ = 0;
};

inline constexpr Result kOk{0};
inline constexpr Result kFail{1};

// Why an operation did not do what it was asked.
enum class Reason : uint8_t {
    kFailed,        // it failed: a controller access went wrong
    kInvalid,       // an argument it cannot take, or a request that failed
    kNotAvailable,  // the controller or its pod has no such thing
    kOutOfRange,    // a value beyond what the hardware takes
};

class [[nodiscard]] Outcome {
  public:
    constexpr Outcome() = default;                                        // done
    constexpr Outcome(Reason reason) : failed_(true), reason_(reason) {}  // NOLINT: a refusal
    // A plain result, its failure given the reason `reason`.
    static constexpr Outcome Of(Result r, Reason reason) {
        return r.ok() ? Outcome() : Outcome(reason);
    }
    constexpr bool failed() const { return failed_; }
    constexpr bool ok() const { return !failed_; }
    constexpr Reason reason() const { return reason_; }
    friend constexpr bool operator==(Outcome a, Outcome b) {
        return a.failed_ == b.failed_ && (!a.failed_ || a.reason_ == b.reason_);
    }

  private:
    bool failed_ = false;
    Reason reason_ = Reason::kFailed;
};

inline constexpr Outcome kDone{};

}  // namespace zpx
