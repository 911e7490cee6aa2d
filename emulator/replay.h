// Playing a recorded conversation back as the controller: the station's requests are expected in
// the recorded order, byte for byte, and each is answered with the reply bytes the controller sent
// then (as many as it sent, so a reply that was cut short is cut short again). The first request
// that differs ends the replay with a verdict that says which one, decoded.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "os.h"
#include "recording.h"

namespace zpx::emu {

class ReplayServer {
  public:
    // `keepTiming`: each reply waits as long after its request as it did in the recording.
    ReplayServer(RecordedConversation conversation, bool keepTiming);
    ~ReplayServer();
    ReplayServer(const ReplayServer&) = delete;
    ReplayServer& operator=(const ReplayServer&) = delete;

    // Listens on address:port; an empty address takes the first loopback address from 127.0.0.2
    // upward where the port is free. False with the reason when it cannot.
    bool Start(const std::string& address, uint16_t port, std::string* error);
    const std::string& Address() const { return address_; }

    // Serves one connection to its end. True when the session matched the recording to its end;
    // `verdict` says what happened either way.
    bool Serve(std::string* verdict);
    // Ends a Serve that waits, from another thread.
    void Stop();

  private:
    bool Play(std::string* verdict);

    RecordedConversation conversation_;
    bool keepTiming_;
    os::Socket listener_ = os::kNoSocket;
    os::Socket client_ = os::kNoSocket;
    std::string address_;
    std::atomic<bool> stopping_{false};
};

// How long the replay waits for the station's next bytes before it gives up on the session.
inline constexpr uint32_t kReplayIdleMs = 60000;

}  // namespace zpx::emu
