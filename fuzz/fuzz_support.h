// What the fuzzers share: a reader over the input bytes, and how a broken invariant is reported.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace zpx::fuzz {

// Consumes the fuzz input from the front. Past the end every read gives zeros, so a harness never
// has to check lengths before it reads a field.
class ByteReader {
  public:
    ByteReader(const uint8_t* data, size_t size) : data_(data), size_(size) {}

    bool empty() const { return pos_ >= size_; }
    size_t remaining() const { return empty() ? 0 : size_ - pos_; }

    uint8_t Byte() { return empty() ? 0 : data_[pos_++]; }
    uint32_t U32() {
        uint32_t v = 0;
        for (int i = 0; i < 4; ++i)
            v |= static_cast<uint32_t>(Byte()) << (8 * i);
        return v;
    }
    // Up to `n` bytes; *got says how many there were.
    const uint8_t* Take(size_t n, size_t* got) {
        const uint8_t* p = data_ + pos_;
        *got = n < remaining() ? n : remaining();
        pos_ += *got;
        return p;
    }
    std::string String(size_t n) {
        size_t got = 0;
        const uint8_t* p = Take(n, &got);
        return std::string(reinterpret_cast<const char*>(p), got);
    }

  private:
    const uint8_t* data_;
    size_t size_;
    size_t pos_ = 0;
};

// A broken invariant: reported like a crash, so that libFuzzer keeps the input.
[[noreturn]] inline void Fail(const char* what, const std::string& detail = {}) {
    std::fprintf(stderr, "invariant broken: %s %s\n", what, detail.c_str());
    std::abort();
}

#define ZPX_FUZZ_CHECK(condition, detail)                        \
    do {                                                         \
        if (!(condition)) ::zpx::fuzz::Fail(#condition, detail); \
    } while (0)

}  // namespace zpx::fuzz
