// Result of an internal operation: 0 for success, 1 for failure, as the controller interface
// defines them. [[nodiscard]] so that a failure is never dropped by accident; where a failure is
// deliberately ignored, the caller says so with a (void) cast and a comment.
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

}  // namespace zpx
