#include "pcap_writer.h"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <chrono>
#include <cstdio>
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
void StoreLe32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<uint8_t>(v >> (8 * i));
}
void PutBe16(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
}
uint32_t LoadBe16(const uint8_t* p) {
    return uint32_t{p[0]} << 8 | p[1];
}
void PutBe32(uint8_t* p, uint32_t v) {
    PutBe16(p, v >> 16);
    PutBe16(p + 2, v & 0xFFFF);
}

// The ones'-complement sum of 16-bit big-endian words that IP and TCP checksums are made of,
// added to `sum`. The sum does not depend on byte order but for a final swap, and carries wrap
// around whatever the word size, so the data is added as 32-bit words as they lie in memory, in
// four lanes the compiler can add side by side: a recording of a 16 MiB block checksums it all.
// A lane takes 2^32 words before it could overflow, far more than a segment holds.
uint32_t SumWords(const uint8_t* p, size_t n, uint32_t sum = 0) {
    uint64_t lanes[4] = {};
    size_t i = 0;
    for (uint32_t words[4]; i + sizeof words <= n; i += sizeof words) {
        std::memcpy(words, p + i, sizeof words);
        for (int k = 0; k < 4; ++k)
            lanes[k] += words[k];
    }
    uint64_t wide = lanes[0] + lanes[1] + lanes[2] + lanes[3];
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
uint16_t Folded(uint32_t sum) {
    while (sum > 0xFFFF)
        sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<uint16_t>(sum);
}
uint16_t Fold(uint32_t sum) {
    return static_cast<uint16_t>(~Folded(sum));
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
    std::string reason;
    const os::File file = os::CreateOutputFile(path, &reason);
    if (file == os::kNoFile) {
        if (error != nullptr) *error = path + ": " + reason;
        return nullptr;
    }
    std::unique_ptr<PcapWriter> writer(new PcapWriter(file));
    std::vector<uint8_t> header;
    PutLe32(header, kPcapMagic);
    PutLe32(header, 2 | 4u << 16);  // version 2.4
    PutLe32(header, 0);             // time zone
    PutLe32(header, 0);             // accuracy
    PutLe32(header, kSnapLength);
    PutLe32(header, kPcapLinkTypeRaw);
    const os::Piece piece{header.data(), header.size()};
    if (!os::WritePieces(file, &piece, 1)) {
        if (error != nullptr) *error = path + ": cannot write";
        return nullptr;
    }
    return writer;
}

PcapWriter::PcapWriter(os::File file) : file_(file) {
    thread_ = std::thread([this] { WriteQueued(); });
}

PcapWriter::~PcapWriter() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    queued_.notify_all();
    thread_.join();
    os::CloseFile(file_);
}

uint64_t PcapWriter::Records() const {
    std::lock_guard lock(mutex_);
    return records_;
}

void PcapWriter::Flush() {
    std::unique_lock lock(mutex_);
    const uint64_t target = recorded_;
    queued_.notify_one();
    room_.wait(lock, [&] { return records_ >= target; });
}

std::unique_ptr<PcapWriter::Conversation> PcapWriter::Begin(TcpEndpoint client,
                                                            TcpEndpoint server) {
    std::unique_ptr<Conversation> c(new Conversation(*this, client, server));
    std::lock_guard lock(mutex_);
    c->SegmentLocked(true, kSyn, nullptr, nullptr, 0);
    c->SegmentLocked(false, kSyn | kAck, nullptr, nullptr, 0);
    c->SegmentLocked(true, kAck, nullptr, nullptr, 0);
    return c;
}

void PcapWriter::QueueLocked(const uint8_t* headers, const SharedBytes& owner, const uint8_t* data,
                             size_t length) {
    Record r{{}, owner, data, length};
    std::memcpy(r.headers, headers, sizeof r.headers);
    ++recorded_;
    const bool first = queue_.empty();
    const bool crossed = queuedBytes_ < kBatchBytes && queuedBytes_ + length >= kBatchBytes;
    queuedBytes_ += length;
    queue_.push_back(std::move(r));
    // The writer is woken by the first record and by a full batch, not by every record between.
    if (first || crossed) queued_.notify_one();
}

// The checksums and the writes are done here, away from the conversation's threads, in batches:
// small records come in bursts (a request and its reply every few tens of microseconds), and
// waking for each would cost the conversation more than writing them does. Each record is whole
// in the file before the next begins, so that a kill leaves it readable up to its last record.
void PcapWriter::WriteQueued() {
    std::deque<Record> batch;
    std::vector<os::Piece> pieces;
    std::unique_lock lock(mutex_);
    for (;;) {
        queued_.wait(lock, [this] { return !queue_.empty() || stopping_; });
        if (queue_.empty()) return;
        queued_.wait_for(lock, kBatchWait,
                         [this] { return queuedBytes_ >= kBatchBytes || stopping_; });
        batch.swap(queue_);
        lock.unlock();
        size_t bytes = 0;
        pieces.clear();
        for (Record& r : batch) {
            uint8_t* tcp = r.headers + 16 + kIpHeader;
            const uint32_t pseudo = LoadBe16(tcp + 16);
            PutBe16(tcp + 16, 0);
            const uint32_t sum = SumWords(tcp, kTcpHeader, pseudo);
            PutBe16(tcp + 16, Fold(r.length == 0 ? sum : SumWords(r.data, r.length, sum)));
            pieces.push_back({r.headers, sizeof r.headers});
            if (r.length > 0) pieces.push_back({r.data, r.length});
            bytes += r.length;
        }
        // A recording that stops being written (a full disk) must not stop the conversation.
        (void)os::WritePieces(file_, pieces.data(), pieces.size());
        lock.lock();
        records_ += batch.size();
        queuedBytes_ -= bytes;
        batch.clear();
        room_.notify_all();
    }
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
    if (length == 0) return;
    std::shared_ptr<uint8_t[]> copy(new uint8_t[length]);
    std::memcpy(copy.get(), data, length);
    Sent(byClient, std::move(copy), 0, length);
}

void PcapWriter::Conversation::Sent(bool byClient, SharedBytes bytes, size_t offset,
                                    size_t length) {
    const uint8_t* data = bytes.get() + offset;
    while (length > 0) {
        const size_t piece = std::min(length, kPcapMaxSegment);
        std::unique_lock lock(writer_.mutex_);
        // A recording that cannot keep up slows the conversation down rather than pile up.
        writer_.room_.wait(lock, [this] { return writer_.queuedBytes_ < kPcapMaxQueued; });
        if (closed_) return;
        SegmentLocked(byClient, kPush | kAck, bytes, data, piece);
        data += piece;
        length -= piece;
    }
}

void PcapWriter::Conversation::Close(bool byClient) {
    std::lock_guard lock(writer_.mutex_);
    if (closed_) return;
    SegmentLocked(byClient, kFin | kAck, nullptr, nullptr, 0);
    SegmentLocked(!byClient, kFin | kAck, nullptr, nullptr, 0);
    SegmentLocked(byClient, kAck, nullptr, nullptr, 0);
    closed_ = true;
}

void PcapWriter::Conversation::SegmentLocked(bool byClient, uint8_t flags, const SharedBytes& owner,
                                             const uint8_t* data, size_t length) {
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
    uint8_t record[16 + kIpHeader + kTcpHeader] = {};
    StoreLe32(record, static_cast<uint32_t>(micros / 1000000));
    StoreLe32(record + 4, static_cast<uint32_t>(micros % 1000000));
    StoreLe32(record + 8, static_cast<uint32_t>(packetLength));
    StoreLe32(record + 12, static_cast<uint32_t>(packetLength));
    uint8_t* ip = record + 16;
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
    // The pseudo-header's sum (addresses, protocol, TCP length) waits in the checksum field for
    // the writer's thread to add the header's and the data's.
    PutBe16(tcp + 16,
            Folded(SumWords(ip + 12, 8) + 6 + static_cast<uint32_t>(kTcpHeader + length)));
    writer_.QueueLocked(record, owner, data, length);
}

}  // namespace zpx::emu
