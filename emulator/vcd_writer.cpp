#include "vcd_writer.h"

#include <cerrno>
#include <cstring>
#include <ctime>

#include "os.h"

namespace zpx::emu {

namespace {

// Identifier characters of the five signals, in declaration order.
constexpr char kClockId = '!';
constexpr char kDataId = '"';
constexpr char kSelectId = '#';
constexpr char kTapId = '$';
constexpr char kSampledId = '%';
constexpr char kFrameId = '&';
constexpr char kFrameValueId = '\'';

void PutBinary(std::FILE* file, uint32_t value, char id) {
    char bits[33];
    int n = 0;
    for (int bit = 31; bit >= 0; --bit) {
        if (n == 0 && bit > 0 && ((value >> bit) & 1) == 0) continue;
        bits[n++] = ((value >> bit) & 1) != 0 ? '1' : '0';
    }
    bits[n] = '\0';
    std::fprintf(file, "b%s %c\n", bits, id);
}

}  // namespace

VcdWriter::~VcdWriter() {
    Close();
}

bool VcdWriter::Open(const std::string& path, std::string* error) {
    Close();
    // Binary, so that the file has the same bytes on every system (no CR before each LF).
    file_ = std::fopen(path.c_str(), "wb");
    if (file_ == nullptr) {
        if (error) *error = "cannot write " + path + ": " + std::strerror(errno);
        return false;
    }
    char date[64] = "unknown";
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    if (os::LocalTime(now, &local)) std::strftime(date, sizeof date, "%Y-%m-%d %H:%M:%S", &local);
    std::fprintf(file_,
                 "$date %s $end\n"
                 "$version zpx-emu pod link $end\n"
                 "$comment frame: 1 exchange pins, 2 write pins, 3 output voltage, "
                 "4 threshold voltage, 5 read voltage, 6 extender, 7 parallel on, "
                 "8 parallel off, 9 route transceiver ROM, 10 route pod ROM $end\n"
                 "$timescale 1ns $end\n"
                 "$scope module pod_link $end\n"
                 "$var wire 1 %c clock $end\n"
                 "$var wire 1 %c data $end\n"
                 "$var wire 1 %c link_select $end\n"
                 "$var wire 2 %c tap $end\n"
                 "$var wire 1 %c sampled $end\n"
                 "$var integer 8 %c frame $end\n"
                 "$var integer 32 %c frame_value $end\n"
                 "$upscope $end\n"
                 "$enddefinitions $end\n"
                 "#0\n"
                 "$dumpvars\n0%c\n0%c\n0%c\nb0 %c\n0%c\nb0 %c\nb0 %c\n$end\n",
                 date, kClockId, kDataId, kSelectId, kTapId, kSampledId, kFrameId, kFrameValueId,
                 kClockId, kDataId, kSelectId, kTapId, kSampledId, kFrameId, kFrameValueId);
    start_ = std::chrono::steady_clock::now();
    lastTime_ = 0;
    clock_ = data_ = select_ = tap_ = sampled_ = 0;
    return true;
}

void VcdWriter::Close() {
    if (file_ == nullptr) return;
    std::fclose(file_);
    file_ = nullptr;
}

void VcdWriter::Stamp() {
    const auto elapsed = std::chrono::steady_clock::now() - start_;
    uint64_t t = static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed).count());
    if (t <= lastTime_) t = lastTime_ + 1;
    lastTime_ = t;
    std::fprintf(file_, "#%llu\n", static_cast<unsigned long long>(t));
}

void VcdWriter::Register2Written(uint8_t value) {
    if (file_ == nullptr) return;
    const int clock = (value >> 5) & 1;
    const int data = (value >> 4) & 1;
    const int select = (value >> 3) & 1;
    const int tap = value >> 6;
    if (clock == clock_ && data == data_ && select == select_ && tap == tap_) return;
    Stamp();
    if (clock != clock_) std::fprintf(file_, "%d%c\n", clock, kClockId);
    if (data != data_) std::fprintf(file_, "%d%c\n", data, kDataId);
    if (select != select_) std::fprintf(file_, "%d%c\n", select, kSelectId);
    if (tap != tap_) std::fprintf(file_, "b%d%d %c\n", (tap >> 1) & 1, tap & 1, kTapId);
    clock_ = clock;
    data_ = data;
    select_ = select;
    tap_ = tap;
}

void VcdWriter::BitSampled(bool bit) {
    if (file_ == nullptr) return;
    const int value = bit ? 1 : 0;
    if (value == sampled_) return;
    Stamp();
    std::fprintf(file_, "%d%c\n", value, kSampledId);
    sampled_ = value;
}

void VcdWriter::FrameDecoded(unsigned kind, uint32_t value) {
    if (file_ == nullptr) return;
    Stamp();
    PutBinary(file_, kind, kFrameId);
    PutBinary(file_, value, kFrameValueId);
}

}  // namespace zpx::emu
