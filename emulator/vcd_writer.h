// A VCD waveform of the pod link as the pod sees it on register 2, for GTKWave.
//
// Signals: clock (bit 5), data (bit 4), link_select (bit 3), tap (bits 7..6), sampled (the bit
// the pod answered on the last read), and frame and frame_value: the kind of each frame the pod
// decoded (numbered as PodFrame, the legend in the file's comment) and the value it carried. Time
// is wall time since the file was opened, in nanoseconds; two events in the same nanosecond are
// pulled one nanosecond apart so that every edge stays visible.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>

namespace zpx::emu {

class VcdWriter {
  public:
    VcdWriter() = default;
    ~VcdWriter();
    VcdWriter(const VcdWriter&) = delete;
    VcdWriter& operator=(const VcdWriter&) = delete;

    bool Open(const std::string& path, std::string* error);
    void Close();
    bool IsOpen() const { return file_ != nullptr; }

    // A write of register 2.
    void Register2Written(uint8_t value);
    // A read of register 2 during the link: the bit the pod answered.
    void BitSampled(bool bit);
    // A frame the pod decoded, and what it carried.
    void FrameDecoded(unsigned kind, uint32_t value);

  private:
    void Stamp();

    std::FILE* file_ = nullptr;
    std::chrono::steady_clock::time_point start_;
    uint64_t lastTime_ = 0;
    int clock_ = -1, data_ = -1, select_ = -1, tap_ = -1, sampled_ = -1;
};

}  // namespace zpx::emu
