// A recording of TCP conversations in the pcap format, with IPv4 and TCP headers made up around
// the bytes each side sent, so that Wireshark and tshark open it and reassemble its streams as
// they would a live capture: each conversation opens with the three-way handshake, carries its
// data with sequence and acknowledgement numbers that follow the bytes, and ends with FINs.
//
// A recording is written as it goes, one whole record per write and nothing held in memory, so
// that one cut short by a kill is still readable up to its last record. Several conversations
// may be recorded at once from several threads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

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
        // The bytes one side sent, as they left it; empty data records nothing.
        void Sent(bool byClient, const uint8_t* data, size_t length);
        // The conversation ends: FINs from both sides, the first from `byClient`'s side.
        void Close(bool byClient);

      private:
        friend class PcapWriter;
        Conversation(PcapWriter& writer, TcpEndpoint client, TcpEndpoint server);
        // Under the writer's lock, which guards the sequence numbers too.
        void SegmentLocked(bool byClient, uint8_t flags, const uint8_t* data, size_t length);

        PcapWriter& writer_;
        TcpEndpoint ends_[2];  // [0] the client, [1] the server
        uint32_t nextSeq_[2];  // the sequence number of each side's next byte
        bool closed_ = false;
    };

    // Starts a conversation: the handshake is recorded at once.
    std::unique_ptr<Conversation> Begin(TcpEndpoint client, TcpEndpoint server);
    // Records written so far, the file header not counted.
    uint64_t Records() const;

  private:
    explicit PcapWriter(std::FILE* file) : file_(file) {}
    void Write(const std::vector<uint8_t>& record);

    std::FILE* file_;
    mutable std::mutex mutex_;
    uint64_t records_ = 0;
    uint16_t nextId_ = 1;        // of the IPv4 header
    uint32_t nextIsn_ = 0x1000;  // initial sequence numbers, different for each side
};

}  // namespace zpx::emu
