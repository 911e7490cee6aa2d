#include "control_server.h"

#include <cstdio>
#include <sstream>

#include "serving.h"

namespace zpx::emu {

ControlServer::~ControlServer() {
    Stop();
}

bool ControlServer::Start(std::string* error) {
    uint32_t loopback = 0;
    os::ParseIpv4("127.0.0.1", &loopback);
    listener_ = os::OpenTcp(error);
    if (listener_ == os::kNoSocket) return false;
    if (!os::Bind(listener_, loopback, 0, error) || !os::Listen(listener_, 4, error)) {
        os::Close(listener_);
        listener_ = os::kNoSocket;
        return false;
    }
    port_ = os::LocalPort(listener_);
    thread_ = std::thread([this] { Serve(); });
    return true;
}

std::string ControlServer::Address() const {
    return "127.0.0.1:" + std::to_string(port_);
}

void ControlServer::Stop() {
    if (listener_ == os::kNoSocket) return;
    stopping_ = true;
    os::ShutdownBoth(listener_);
    os::ShutdownBoth(client_);
    thread_.join();
    os::Close(listener_);
    listener_ = os::kNoSocket;
}

// One client at a time, one line at a time.
void ControlServer::Serve() {
    while (!stopping_) {
        std::string peer;
        const os::Socket client = AcceptNext(listener_, stopping_, &peer);
        if (client == os::kNoSocket) return;
        client_ = client;
        std::string pending;
        char buffer[512];
        for (std::ptrdiff_t n;
             (n = os::Receive(client, buffer, sizeof buffer, 0, stopping_)) > 0;) {
            pending.append(buffer, static_cast<size_t>(n));
            bool sent = true;
            for (size_t end; sent && (end = pending.find('\n')) != std::string::npos;) {
                std::string line = pending.substr(0, end);
                pending.erase(0, end + 1);
                if (!line.empty() && line.back() == '\r') line.pop_back();
                const std::string answer = Answer(line) + "\n";
                sent = os::SendAll(client, answer.data(), answer.size(), stopping_);
            }
            if (!sent || pending.size() > 4096) break;
        }
        client_ = os::kNoSocket;
        os::Close(client);
    }
}

std::string ControlServer::Answer(const std::string& command) {
    std::istringstream words(command);
    std::string verb;
    words >> verb;
    if (verb == "state") return State();
    if (verb == "memory") {
        unsigned memory = 0;
        uint32_t address = 0, length = 0;
        if (!(words >> memory >> address >> length) || memory > 5 || length > (1u << 20))
            return "error: memory takes a memory 0-5, an address and a length up to 1 MiB";
        static constexpr char kHex[] = "0123456789abcdef";
        std::string hex;
        for (const uint8_t b : controller_.PeekMemory(memory, address, length)) {
            hex += kHex[b >> 4];
            hex += kHex[b & 15];
        }
        return hex;
    }
    if (verb == "fault") {
        std::string text;
        Fault fault;
        if (!(words >> text) || !ParseFault(text, &fault))
            return "error: not a fault: " + text + " (zpx-emu --help lists them)";
        addFault_(fault);
        return "ok";
    }
    return "error: unknown command: " + verb + " (state, memory, fault)";
}

std::string ControlServer::State() {
    uint8_t errors = 0, register2 = 0;
    controller_.WrittenStatusRegisters(&errors, &register2);
    std::ostringstream out;
    out << "{\"type\": " << controller_.Type()
        << ", \"running\": " << (controller_.Running() ? "true" : "false")
        << ", \"clock_hz\": " << static_cast<uint64_t>(controller_.ClockHz())
        << ", \"error_register\": " << unsigned{errors}
        << ", \"register2\": " << unsigned{register2}
        << ", \"power_register\": " << unsigned{controller_.PowerState()}
        << ", \"runs\": " << controller_.RunCount() << ", \"taps\": [";
    for (unsigned i = 0; i < 4; ++i) {
        const TapState t = controller_.Tap(i);
        // The DACs' codes in millivolts: 600 + 4 × code for the output, 4 × code for the
        // threshold; an output never set is off.
        out << (i ? ", " : "") << "{\"tap\": " << i + 1
            << ", \"present\": " << (t.present ? "true" : "false")
            << ", \"output_mv\": " << (t.outputSet ? 600 + 4 * t.outputCode : 0)
            << ", \"threshold_mv\": " << 4 * t.thresholdCode << ", \"data\": " << unsigned{t.data}
            << ", \"control\": " << unsigned{t.control} << "}";
    }
    out << "]}";
    return out.str();
}

}  // namespace zpx::emu
