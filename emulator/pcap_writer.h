// A recording of TCP conversations in the pcap format, with IPv4 and TCP headers made up around
// the bytes each side sent, so that Wireshark and tshark open it and reassemble its streams as
// they would a live capture: each conversation opens with the three-way handshake, carries its
// data with sequence and acknowledgement numbers that follow the bytes, and ends with FINs.
//
// A recording is written as it goes by a thread of its own, within milliseconds and with at most
// kPcapMaxQueued bytes waiting, whole records one after the other, so that one cut short by a
// kill is still readable up to its last record, and recording costs the conversation little more
// than a copy of its bytes.
// Several conversations may be recorded at once from several threads.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "os.h"

namespace zpx::emu {

// An IPv4 address (host order, 127.0.0.1 is 0x7F000001) and a TCP port.
struct TcpEndpoint {
    uint32_t address = 0;
    uint16_t port = 0;
};

// "a.b.c.d:port" as an endpoint; 0.0.0.0:0 for text that is not one.
TcpEndpoint EndpointOfText(const std::string& text);

// The link type of the records: raw IP, no link-layer header.
inline constexpr uint32_t kPcapLinkTypeRaw = 101;
// The largest TCP payload of one made-up segment: an IPv4 packet holds at most 65535 bytes.
inline constexpr size_t kPcapMaxSegment = 65535 - 40;
// Data bytes waiting to be written at most, beyond which a conversation waits for the writer.
inline constexpr size_t kPcapMaxQueued = 8u << 20;
// The writer writes what has come once this many data bytes wait, or this long after the first.
inline constexpr size_t kBatchBytes = 256u << 10;
inline constexpr std::chrono::milliseconds kBatchWait{2};

// Bytes a recording can hold on to until they are written, instead of copying them.
using SharedBytes = std::shared_ptr<const uint8_t[]>;

class PcapWriter {
  public:
    // Creates (or empties) `path` and writes the file header; null with the reason when it
    // cannot.
    static std::unique_ptr<PcapWriter> Create(const std::string& path, std::string* error);
    ~PcapWriter();
    PcapWriter(const PcapWriter&) = delete;
    PcapWriter& operator=(const PcapWriter&) = delete;

    // One TCP conversation in the recording. Its member functions may be called from any thread:
    // a proxy records each direction from its own.
    class Conversation {
      public:
        // The bytes one side sent, as they left it; empty data records nothing. The first form
        // copies them; the second holds on to `bytes` until they are written, and the caller
        // must not change them from now on.
        void Sent(bool byClient, const uint8_t* data, size_t length);
        void Sent(bool byClient, SharedBytes bytes, size_t offset, size_t length);
        // The conversation ends: FINs from both sides, the first from `byClient`'s side.
        void Close(bool byClient);

      private:
        friend class PcapWriter;
        Conversation(PcapWriter& writer, TcpEndpoint client, TcpEndpoint server);
        // Under the writer's lock, which guards the sequence numbers too.
        void SegmentLocked(bool byClient, uint8_t flags, const SharedBytes& owner,
                           const uint8_t* data, size_t length);

        PcapWriter& writer_;
        TcpEndpoint ends_[2];  // [0] the client, [1] the server
        uint32_t nextSeq_[2];  // the sequence number of each side's next byte
        bool closed_ = false;
    };

    // Starts a conversation: the handshake is recorded at once.
    std::unique_ptr<Conversation> Begin(TcpEndpoint client, TcpEndpoint server);
    // Records in the file so far, the file header not counted.
    uint64_t Records() const;
    // Returns once everything recorded so far is in the file.
    void Flush();

  private:
    // A record waiting for the writer's thread: the pcap record header and the made-up IP and
    // TCP headers, the TCP checksum holding the pseudo-header's sum; then the data.
    struct Record {
        uint8_t headers[56];
        SharedBytes owner;
        const uint8_t* data;
        size_t length;
    };
    explicit PcapWriter(os::File file);
    void QueueLocked(const uint8_t* headers, const SharedBytes& owner, const uint8_t* data,
                     size_t length);
    void WriteQueued();

    os::File file_;
    mutable std::mutex mutex_;
    std::condition_variable queued_, room_;
    std::deque<Record> queue_;
    size_t queuedBytes_ = 0;
    uint64_t recorded_ = 0;  // records queued so far
    bool stopping_ = false;
    std::thread thread_;
    uint64_t records_ = 0;
    uint16_t nextId_ = 1;        // of the IPv4 header
    uint32_t nextIsn_ = 0x1000;  // initial sequence numbers, different for each side
};

}  // namespace zpx::emu
