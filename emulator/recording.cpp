#include "recording.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <map>
#include <tuple>

#include "lan_protocol.h"
#include "wire.h"

namespace zpx::emu {

namespace {

constexpr uint32_t kMicroMagic = 0xA1B2C3D4, kNanoMagic = 0xA1B23C4D;
constexpr uint32_t kLinkEthernet = 1, kLinkIpv4 = 228;

uint32_t Be(const uint8_t* p, int bytes) {
    uint32_t v = 0;
    for (int i = 0; i < bytes; ++i)
        v = v << 8 | p[i];
    return v;
}

std::string Format(const char* format, auto... values) {
    char text[160];
    std::snprintf(text, sizeof text, format, values...);
    return text;
}

// One direction of a conversation: its bytes in order, and where each record's bytes ended.
struct Direction {
    std::vector<uint8_t> bytes;
    struct Piece {
        size_t end;
        uint32_t frame;
        double time;
    };
    std::vector<Piece> pieces;
    bool started = false;
    uint32_t next = 0;  // the sequence number of the next byte

    void Add(uint32_t seq, bool syn, const uint8_t* data, size_t length, uint32_t frame,
             double time) {
        if (syn) {
            started = true;
            next = seq + 1;
            return;
        }
        if (length == 0) return;
        if (!started) {  // a capture that began after the handshake
            started = true;
            next = seq;
        }
        // A retransmission brings nothing new; one that overlaps brings its tail.
        const auto behind = static_cast<int32_t>(next - seq);
        if (behind >= 0 && static_cast<size_t>(behind) >= length) return;
        const size_t skip = behind > 0 ? static_cast<size_t>(behind) : 0;
        bytes.insert(bytes.end(), data + skip, data + length);
        next = seq + static_cast<uint32_t>(length);
        pieces.push_back({bytes.size(), frame, time});
    }
    // The record and time at which byte `offset` had arrived.
    std::pair<uint32_t, double> At(size_t offset) const {
        auto it = std::upper_bound(pieces.begin(), pieces.end(), offset,
                                   [](size_t o, const Piece& p) { return o < p.end; });
        return it == pieces.end() ? std::pair<uint32_t, double>{0, 0}
                                  : std::pair<uint32_t, double>{it->frame, it->time};
    }
};

struct Stream {
    TcpEndpoint client, server;
    Direction toController, fromController;
};

RecordedConversation Frame(const Stream& s) {
    RecordedConversation c{s.client, s.server, {}, {}, {}};
    const std::vector<uint8_t>& in = s.toController.bytes;
    size_t at = 0;
    while (at + kLanPacketSize <= in.size()) {
        const size_t header = LanRequestSize(LoadU16(&in[at]));
        if (at + header > in.size()) break;
        const size_t whole = header + LanDataLength(&in[at]);
        if (whole > in.size() - at) break;
        RecordedRequest r;
        std::tie(r.frame, r.time) = s.toController.At(at + whole - 1);
        r.bytes.assign(in.begin() + static_cast<long>(at),
                       in.begin() + static_cast<long>(at + whole));
        r.replyLength = LanReplyLength(&in[at]);
        c.requests.push_back(std::move(r));
        at += whole;
    }
    c.unframed.assign(in.begin() + static_cast<long>(at), in.end());
    // Replies in the order of the requests that are due one.
    const std::vector<uint8_t>& out = s.fromController.bytes;
    size_t from = 0;
    for (RecordedRequest& r : c.requests) {
        if (r.replyLength == 0 || from >= out.size()) continue;
        const size_t n = std::min(r.replyLength, out.size() - from);
        r.reply.assign(out.begin() + static_cast<long>(from),
                       out.begin() + static_cast<long>(from + n));
        if (n == r.replyLength)
            std::tie(r.replyFrame, r.replyTime) = s.fromController.At(from + n - 1);
        from += n;
    }
    c.unmatched.assign(out.begin() + static_cast<long>(from), out.end());
    return c;
}

}  // namespace

bool ReadRecording(const std::string& path, uint16_t controllerPort,
                   std::vector<RecordedConversation>* conversations, std::string* error) {
    std::ifstream in(path, std::ios::binary);
    if (!in.is_open()) {
        *error = path + ": cannot be opened";
        return false;
    }
    const std::vector<uint8_t> file{std::istreambuf_iterator<char>(in),
                                    std::istreambuf_iterator<char>()};
    const uint32_t magic = file.size() >= 24 ? LoadU32(file.data()) : 0;
    const uint32_t link = file.size() >= 24 ? LoadU32(file.data() + 20) : 0;
    if (magic != kMicroMagic && magic != kNanoMagic) {
        *error = path + ": not a pcap recording (little-endian, micro- or nanosecond)";
        return false;
    }
    if (link != kPcapLinkTypeRaw && link != kLinkIpv4 && link != kLinkEthernet) {
        *error = path + ": link type " + std::to_string(link) + " is not raw IP or Ethernet";
        return false;
    }
    const double unit = magic == kMicroMagic ? 1e-6 : 1e-9;
    std::map<std::tuple<uint32_t, uint16_t, uint32_t>, size_t> index;  // client end, server
    std::vector<Stream> streams;
    double start = -1;
    uint32_t frame = 0;
    for (size_t at = 24; at + 16 <= file.size();) {
        const uint32_t captured = LoadU32(&file[at + 8]);
        if (captured > file.size() - at - 16) break;  // cut short by a kill: the records before
        const double time = LoadU32(&file[at]) + LoadU32(&file[at + 4]) * unit;
        const uint8_t* ip = &file[at + 16];
        size_t length = captured;
        at += 16 + captured;
        ++frame;
        if (start < 0) start = time;
        if (link == kLinkEthernet) {
            if (length < 14 || Be(ip + 12, 2) != 0x0800) continue;
            ip += 14;
            length -= 14;
        }
        if (length < 20 || ip[0] >> 4 != 4 || ip[9] != 6) continue;
        const size_t ipHeader = (ip[0] & 0x0Fu) * 4;
        const size_t total = std::min<size_t>(Be(ip + 2, 2), length);
        if (total < ipHeader + 20) continue;
        const uint8_t* tcp = ip + ipHeader;
        const size_t tcpHeader = (tcp[12] >> 4) * 4u;
        if (total < ipHeader + tcpHeader) continue;
        const uint16_t sourcePort = static_cast<uint16_t>(Be(tcp, 2));
        const uint16_t destPort = static_cast<uint16_t>(Be(tcp + 2, 2));
        const bool toController = destPort == controllerPort;
        if (!toController && sourcePort != controllerPort) continue;
        const TcpEndpoint source{Be(ip + 12, 4), sourcePort}, dest{Be(ip + 16, 4), destPort};
        const TcpEndpoint& client = toController ? source : dest;
        const TcpEndpoint& server = toController ? dest : source;
        const bool syn = (tcp[13] & 0x02) != 0;
        auto key = std::make_tuple(client.address, client.port, server.address);
        auto found = index.find(key);
        // A new SYN from the client on a known pair of ends starts a new conversation.
        if (found == index.end() ||
            (syn && toController && streams[found->second].toController.started)) {
            found = index.insert_or_assign(key, streams.size()).first;
            streams.push_back({client, server, {}, {}});
        }
        Direction& d = toController ? streams[found->second].toController
                                    : streams[found->second].fromController;
        d.Add(Be(tcp + 4, 4), syn, tcp + tcpHeader, total - ipHeader - tcpHeader, frame,
              time - start);
    }
    conversations->clear();
    for (const Stream& s : streams)
        conversations->push_back(Frame(s));
    return true;
}

std::string DescribeRequest(const std::vector<uint8_t>& request) {
    if (request.size() < kLanPacketSize) return "a request cut short";
    const uint8_t* p = request.data();
    const uint16_t opcode = LoadU16(p);
    const unsigned address = p[2], width = p[3];
    const uint32_t data0 = LoadU32(p + 4), data1 = LoadU32(p + 8);
    std::string what;
    switch (opcode) {
        case kLanReadRegister:
            what = Format("read register %u, width %u", address, width);
            break;
        case kLanWriteRegister:
            what = Format("write register %u = 0x%X, width %u", address, data0, width);
            break;
        case kLanReadCounter:
            what = Format("read counter 0x%02X", address);
            break;
        case kLanWriteCounter:
            what = Format("write counter 0x%02X, data 0x%08X 0x%08X", address, data0, data1);
            break;
        case kLanReadMemory:
            what = Format("read memory, select 0x%02X, %u bytes", address, data0);
            break;
        case kLanWriteMemory:
            what = Format("write memory, select 0x%02X, %u bytes", address, data0);
            break;
        case kLanReadConfig:
            what = Format("read item 0x%02X", address);
            break;
        case kLanWriteConfig:
            what = Format("write item 0x%02X, data 0x%08X 0x%08X", address, data0, data1);
            break;
        case kLanImage:
            what = Format("image of kind %u, %u bytes, CRC 0x%04X", address, data0, data1 & 0xFFFF);
            break;
        case 0:
            what = "empty packet";
            break;
        default:
            what = Format("opcode 0x%04X, address 0x%02X, data 0x%08X 0x%08X", opcode, address,
                          data0, data1);
    }
    return what + Format("  [0x%08X]", LoadU32(p));
}

std::string DescribeReply(const std::vector<uint8_t>& request, const std::vector<uint8_t>& reply) {
    const size_t due = request.size() >= kLanPacketSize ? LanReplyLength(request.data()) : 0;
    if (reply.size() < due) return Format("cut short: %zu of %zu bytes", reply.size(), due);
    if (LoadU16(request.data()) == kLanReadMemory) return Format("%zu bytes", reply.size());
    const uint32_t data0 = LoadU32(reply.data() + 4);
    if (LoadU16(request.data()) == kLanImage)
        return data0 == 0 ? "image accepted" : Format("image refused, status %u", data0);
    return Format("0x%X", data0) + (LoadU32(reply.data() + 8) != 0
                                        ? Format(" 0x%X", LoadU32(reply.data() + 8))
                                        : std::string());
}

std::string Transcript(const std::vector<RecordedConversation>& conversations) {
    std::string out;
    const auto end = [](const TcpEndpoint& e) {
        return Format("%u.%u.%u.%u:%u", e.address >> 24, e.address >> 16 & 0xFF,
                      e.address >> 8 & 0xFF, e.address & 0xFF, e.port);
    };
    for (size_t k = 0; k < conversations.size(); ++k) {
        const RecordedConversation& c = conversations[k];
        out += Format("conversation %zu: ", k + 1) + end(c.client) + " -> " + end(c.server) +
               Format(", %zu requests\n", c.requests.size());
        for (size_t i = 0; i < c.requests.size(); ++i) {
            const RecordedRequest& r = c.requests[i];
            out += Format("%7u %12.6f  ->  #%-5zu ", r.frame, r.time, i + 1) +
                   DescribeRequest(r.bytes) + "\n";
            if (r.replyLength == 0) continue;
            if (r.replyFrame == 0) {
                out +=
                    Format("%7s %12s  <-  #%-5zu ", "-", "-", i + 1) +
                    (r.reply.empty() ? std::string("no reply") : DescribeReply(r.bytes, r.reply)) +
                    "\n";
                continue;
            }
            out += Format("%7u %12.6f  <-  #%-5zu ", r.replyFrame, r.replyTime, i + 1) +
                   DescribeReply(r.bytes, r.reply) +
                   Format("  (%.3f ms)\n", (r.replyTime - r.time) * 1000);
        }
        if (!c.unframed.empty())
            out += Format("  ->  %zu bytes that make no whole request\n", c.unframed.size());
        if (!c.unmatched.empty())
            out += Format("  <-  %zu bytes where no reply was due\n", c.unmatched.size());
    }
    return out;
}

}  // namespace zpx::emu
