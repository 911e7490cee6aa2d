#include "replay.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

#include "lan_protocol.h"
#include "wire.h"

namespace zpx::emu {

ReplayServer::ReplayServer(RecordedConversation conversation, bool keepTiming)
    : conversation_(std::move(conversation)), keepTiming_(keepTiming) {}

ReplayServer::~ReplayServer() {
    if (client_ != os::kNoSocket) os::Close(client_);
    if (listener_ != os::kNoSocket) os::Close(listener_);
}

bool ReplayServer::Start(const std::string& address, uint16_t port, std::string* error) {
    listener_ = os::ListenTcp(address, port, 1, &address_, error);
    return listener_ != os::kNoSocket;
}

void ReplayServer::Stop() {
    stopping_ = true;
    if (listener_ != os::kNoSocket) os::ShutdownBoth(listener_);
    if (client_ != os::kNoSocket) os::ShutdownBoth(client_);
}

bool ReplayServer::Serve(std::string* verdict) {
    const bool matched = Play(verdict);
    // The station learns at once that the controller has gone, instead of waiting for replies.
    if (client_ != os::kNoSocket) os::ShutdownBoth(client_);
    return matched;
}

bool ReplayServer::Play(std::string* verdict) {
    std::string peer;
    os::AcceptFailure failure = os::AcceptFailure::kNone;
    do {
        client_ = os::Accept(listener_, stopping_, &peer, &failure);
    } while (client_ == os::kNoSocket && failure == os::AcceptFailure::kRetry && !stopping_);
    if (client_ == os::kNoSocket) {
        *verdict = "no station connected";
        return false;
    }
    os::SetNoDelay(client_);
    const std::vector<RecordedRequest>& requests = conversation_.requests;
    std::vector<uint8_t> in;
    bool ended = false;
    // Reads until `in` holds `n` bytes or the station stops sending; false when it did.
    auto fill = [&](size_t n) {
        while (in.size() < n && !ended) {
            uint8_t buffer[65536];
            const std::ptrdiff_t got =
                os::Receive(client_, buffer, sizeof buffer, kReplayIdleMs, stopping_);
            if (got <= 0) {
                ended = true;
                break;
            }
            in.insert(in.end(), buffer, buffer + got);
        }
        return in.size() >= n;
    };
    auto where = [&](size_t i) {
        char text[96];
        std::snprintf(text, sizeof text, "request #%zu (recorded as frame %u at %.6f s)", i + 1,
                      requests[i].frame, requests[i].time);
        return std::string(text);
    };
    for (size_t i = 0; i < requests.size(); ++i) {
        const RecordedRequest& r = requests[i];
        const bool whole = fill(r.bytes.size());
        const size_t compared = std::min(in.size(), r.bytes.size());
        const auto differ = std::mismatch(r.bytes.begin(), r.bytes.begin() + compared, in.begin());
        if (differ.first != r.bytes.begin() + compared || !whole) {
            if (in.empty()) {
                *verdict = "the session ended after request #" + std::to_string(i) + " of " +
                           std::to_string(requests.size()) + "; " + where(i) + " never came";
                return false;
            }
            const size_t at = static_cast<size_t>(differ.first - r.bytes.begin());
            *verdict = where(i) + " differs at byte " + std::to_string(at) + ": recorded " +
                       DescribeRequest(r.bytes) + ", came " + DescribeRequest(in) +
                       (whole ? "" : " (cut short)");
            return false;
        }
        in.erase(in.begin(), in.begin() + static_cast<long>(r.bytes.size()));
        if (r.reply.empty()) continue;
        if (keepTiming_ && r.replyFrame != 0 && r.replyTime > r.time) {
            std::this_thread::sleep_for(std::chrono::duration<double>(r.replyTime - r.time));
        }
        if (!os::SendAll(client_, r.reply.data(), r.reply.size(), stopping_)) {
            *verdict = "the station stopped taking replies at " + where(i);
            return false;
        }
    }
    // The recording is played out: the station must end its session now.
    if (fill(1)) {
        fill(kLanPacketSize);
        *verdict = "request #" + std::to_string(requests.size() + 1) +
                   " is past the end of the recording: " + DescribeRequest(in);
        return false;
    }
    *verdict =
        "the session matched the recording: " + std::to_string(requests.size()) + " requests";
    return true;
}

}  // namespace zpx::emu
