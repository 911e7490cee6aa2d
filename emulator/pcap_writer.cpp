#include "pcap_writer.h"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <chrono>
#include <cstring>

namespace zpx::emu {

namespace {

constexpr uint32_t kPcapMagic = 0xA1B2C3D4;  // microsecond time stamps
constexpr uint32_t kSnapLength = 262144;
constexpr size_t kIpHeader = 20;
constexpr size_t kTcpHeader = 20;
constexpr uint8_t kFin = 0x01, kSyn = 0x02, kPush = 0x08, kAck = 0x10;

void PutLe32(std::vector<uint8_t>& out, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
void PutBe16(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
}
void PutBe32(uint8_t* p, uint32_t v) {
    PutBe16(p, v >> 16);
    PutBe16(p + 2, v & 0xFFFF);
}

// The ones'-complement sum of 16-bit big-endian words that IP and TCP checksums are made of,
// added to `sum`. The sum does not depend on byte order but for a final swap, so the words are
// added as they lie in memory, four bytes at a time: a recording of a 16 MiB block checksums it
// all.
uint32_t SumWords(const uint8_t* p, size_t n, uint32_t sum = 0) {
    uint64_t wide = 0;
    size_t i = 0;
    for (uint32_t word = 0; i + 4 <= n; i += 4) {
        std::memcpy(&word, p + i, 4);
        wide += word;
    }
    uint8_t tail[4] = {};  // an odd last byte is the high half of its word
    std::memcpy(tail, p + i, n - i);
    uint32_t word = 0;
    std::memcpy(&word, tail, 4);
    wide += word;
    while (wide > 0xFFFF)
        wide = (wide & 0xFFFF) + (wide >> 16);
    const auto native = static_cast<uint32_t>(wide);
    return sum + (std::endian::native == std::endian::little ? (native >> 8 | native << 8) & 0xFFFF
                                                             : native);
}
uint16_t Fold(uint32_t sum) {
    while (sum > 0xFFFF)
        sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<uint16_t>(~sum);
}

}  // namespace

TcpEndpoint EndpointOfText(const std::string& text) {
    unsigned a = 0, b = 0, c = 0, d = 0, port = 0;
    char end = 0;
    if (std::sscanf(text.c_str(), "%u.%u.%u.%u:%u%c", &a, &b, &c, &d, &port, &end) != 5 ||
        a > 255 || b > 255 || c > 255 || d > 255 || port > 65535)
        return {};
    return {a << 24 | b << 16 | c << 8 | d, static_cast<uint16_t>(port)};
}

std::unique_ptr<PcapWriter> PcapWriter::Create(const std::string& path, std::string* error) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) {
        if (error != nullptr) *error = path + ": " + std::strerror(errno);
        return nullptr;
    }
    // Unbuffered: each record leaves in one write, so a kill never leaves half of one behind
    // a whole one that is missing.
    std::setvbuf(file, nullptr, _IONBF, 0);
    std::unique_ptr<PcapWriter> writer(new PcapWriter(file));
    std::vector<uint8_t> header;
    PutLe32(header, kPcapMagic);
    PutLe32(header, 2 | 4u << 16);  // version 2.4
    PutLe32(header, 0);             // time zone
    PutLe32(header, 0);             // accuracy
    PutLe32(header, kSnapLength);
    PutLe32(header, kPcapLinkTypeRaw);
    if (std::fwrite(header.data(), 1, header.size(), file) != header.size()) {
        if (error != nullptr) *error = path + ": cannot write";
        return nullptr;
    }
    return writer;
}

PcapWriter::~PcapWriter() {
    std::fclose(file_);
}

uint64_t PcapWriter::Records() const {
    std::lock_guard lock(mutex_);
    return records_;
}

std::unique_ptr<PcapWriter::Conversation> PcapWriter::Begin(TcpEndpoint client,
                                                            TcpEndpoint server) {
    std::unique_ptr<Conversation> c(new Conversation(*this, client, server));
    std::lock_guard lock(mutex_);
    c->SegmentLocked(true, kSyn, nullptr, 0);
    c->SegmentLocked(false, kSyn | kAck, nullptr, 0);
    c->SegmentLocked(true, kAck, nullptr, 0);
    return c;
}

void PcapWriter::Write(const std::vector<uint8_t>& record) {
    // A recording that stops being written (a full disk) must not stop the conversation.
    (void)std::fwrite(record.data(), 1, record.size(), file_);
    ++records_;
}

PcapWriter::Conversation::Conversation(PcapWriter& writer, TcpEndpoint client, TcpEndpoint server)
    : writer_(writer), ends_{client, server} {
    std::lock_guard lock(writer.mutex_);
    // Sequence numbers start one below the first byte: the SYN takes one.
    nextSeq_[0] = writer.nextIsn_ - 1;
    nextSeq_[1] = writer.nextIsn_ + 0x100000 - 1;
    writer.nextIsn_ += 0x200000;
}

void PcapWriter::Conversation::Sent(bool byClient, const uint8_t* data, size_t length) {
    while (length > 0) {
        const size_t piece = std::min(length, kPcapMaxSegment);
        std::lock_guard lock(writer_.mutex_);
        if (closed_) return;
        SegmentLocked(byClient, kPush | kAck, data, piece);
        data += piece;
        length -= piece;
    }
}

void PcapWriter::Conversation::Close(bool byClient) {
    std::lock_guard lock(writer_.mutex_);
    if (closed_) return;
    SegmentLocked(byClient, kFin | kAck, nullptr, 0);
    SegmentLocked(!byClient, kFin | kAck, nullptr, 0);
    SegmentLocked(byClient, kAck, nullptr, 0);
    closed_ = true;
}

void PcapWriter::Conversation::SegmentLocked(bool byClient, uint8_t flags, const uint8_t* data,
                                             size_t length) {
    const int from = byClient ? 0 : 1, to = 1 - from;
    const uint32_t seq = nextSeq_[from];
    // SYN and FIN take a sequence number each, as the bytes do.
    nextSeq_[from] += static_cast<uint32_t>(length) + ((flags & (kSyn | kFin)) != 0 ? 1 : 0);
    const bool acks = (flags & kAck) != 0;

    // The time stamp is taken under the lock, so that the records stand in the order of time.
    const auto micros = std::chrono::duration_cast<std::chrono::microseconds>(
                            std::chrono::system_clock::now().time_since_epoch())
                            .count();
    const size_t packetLength = kIpHeader + kTcpHeader + length;
    std::vector<uint8_t> record;
    record.reserve(16 + packetLength);
    PutLe32(record, static_cast<uint32_t>(micros / 1000000));
    PutLe32(record, static_cast<uint32_t>(micros % 1000000));
    PutLe32(record, static_cast<uint32_t>(packetLength));
    PutLe32(record, static_cast<uint32_t>(packetLength));
    record.resize(16 + kIpHeader + kTcpHeader, 0);
    record.insert(record.end(), data, data + length);
    uint8_t* ip = record.data() + 16;
    uint8_t* tcp = ip + kIpHeader;

    ip[0] = 0x45;  // IPv4, a 20-byte header
    PutBe16(ip + 2, static_cast<uint32_t>(packetLength));
    PutBe16(ip + 4, writer_.nextId_++);
    PutBe16(ip + 6, 0x4000);  // don't fragment
    ip[8] = 64;               // time to live
    ip[9] = 6;                // TCP
    PutBe32(ip + 12, ends_[from].address);
    PutBe32(ip + 16, ends_[to].address);
    PutBe16(ip + 10, Fold(SumWords(ip, kIpHeader)));

    PutBe16(tcp, ends_[from].port);
    PutBe16(tcp + 2, ends_[to].port);
    PutBe32(tcp + 4, seq);
    PutBe32(tcp + 8, acks ? nextSeq_[to] : 0);
    tcp[12] = static_cast<uint8_t>((kTcpHeader / 4) << 4);
    tcp[13] = flags;
    PutBe16(tcp + 14, 0xFFFF);  // window
    // The pseudo-header: addresses, protocol, TCP length.
    uint32_t sum = SumWords(ip + 12, 8) + 6 + static_cast<uint32_t>(kTcpHeader + length);
    PutBe16(tcp + 16, Fold(SumWords(tcp, kTcpHeader + length, sum)));
    writer_.Write(record);
}

}  // namespace zpx::emu
