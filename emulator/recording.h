// Reading a recording back: the pcap files that zpx-emu --record writes (and captures of port 5104
// that any tool made, as long as they hold raw IP or Ethernet frames), cut into the controller
// protocol's requests with the replies matched to them by order, as the controller answers them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "pcap_writer.h"

namespace zpx::emu {

// One request of a conversation, with whatever data followed it (a memory write's block, an
// image), and the reply bytes matched to it.
struct RecordedRequest {
    uint32_t frame = 0;  // the record (counted from 1) that completed the request
    double time = 0;     // seconds from the recording's first record
    std::vector<uint8_t> bytes;
    // Reply bytes the protocol has the controller send for it: 12 for the reads and the image
    // verdict, the count asked for by a memory read, 0 for the writes.
    size_t replyLength = 0;
    std::vector<uint8_t> reply;  // as much of it as the recording holds
    uint32_t replyFrame = 0;     // the record that completed the reply, 0 when it did not end
    double replyTime = 0;
};

struct RecordedConversation {
    TcpEndpoint client, server;
    std::vector<RecordedRequest> requests;
    std::vector<uint8_t> unframed;   // client bytes after the last whole request
    std::vector<uint8_t> unmatched;  // controller bytes beyond every reply that was due
};

// The conversations with the controller's port in `path`, in the order they began; false with
// the reason when the file is no pcap recording this can read.
bool ReadRecording(const std::string& path, uint16_t controllerPort,
                   std::vector<RecordedConversation>* conversations, std::string* error);

// One line that says what the request does ("read register 3, width 1"), and one for its reply
// ("0x39" for a read; the memory's byte count; the image verdict).
std::string DescribeRequest(const std::vector<uint8_t>& request);
std::string DescribeReply(const std::vector<uint8_t>& request, const std::vector<uint8_t>& reply);

// A transcript of `conversations`: a line per request and per reply with its time, direction and
// what it says, each reply naming its request and the time it took.
std::string Transcript(const std::vector<RecordedConversation>& conversations);

}  // namespace zpx::emu
