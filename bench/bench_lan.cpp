// Ethernet register traffic against a minimal loopback peer (one thread per connection, answers
// each 12-byte read packet with 12 bytes, swallows writes) on port 5104 of a 127.0.0.x address
// that is still free.
//
// BM_RegisterRead: ZPX_GetError (one read packet and its reply through the call frame and the
// Ethernet back-end) against a raw 12-byte round trip on a blocking TCP_NODELAY socket to the same
// peer, back to back in each iteration. Figures: lib_us, raw_us per read and ratio (lib / raw).
//
// BM_EmulatorRegisterRead: the emulator's own cost, a raw round trip to it against one to the
// minimal peer.
//
// BM_PodLinkFrame: the shape of a pod-link frame, 40 register writes then one read, many frames
// on one connection. The library's socket against a raw socket left with Nagle's algorithm on
// doing the same bytes: there the writes after the first wait for an acknowledgement that the
// peer delays, and the frame stalls. Figures: lib_ms and raw_nagle_ms per frame.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "controller.h"
#include "device/controller_session.h"
#include "lan_server.h"
#include "one_core_main.h"
#include "session/handle_table.h"
#include "transport/lan_backend.h"
#include "zpx/zpx.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr uint16_t kPort = 5104;

bool ReadAll(int fd, uint8_t* buffer, size_t n) {
    return ::recv(fd, buffer, n, MSG_WAITALL) == static_cast<ssize_t>(n);
}

// A plain client socket to port 5104 of `address` (network byte order).
int ConnectTo(in_addr_t address, bool noDelay) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    const int flag = noDelay ? 1 : 0;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &flag, sizeof flag);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(kPort);
    a.sin_addr.s_addr = address;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

class LoopbackPeer {
  public:
    LoopbackPeer() {
        for (uint32_t host = 250; host > 200 && address_ == 0; --host) {
            const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
            const int one = 1;
            ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
            sockaddr_in a{};
            a.sin_family = AF_INET;
            a.sin_port = htons(kPort);
            a.sin_addr.s_addr = htonl(0x7F000000 | host);
            if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
                ::listen(fd, 8) == 0) {
                listener_ = fd;
                address_ = 0x7F000000 | host;
            } else {
                ::close(fd);
            }
        }
        if (listener_ >= 0) acceptor_ = std::thread([this] { Accept(); });
    }
    ~LoopbackPeer() {
        ::shutdown(listener_, SHUT_RDWR);
        ::close(listener_);
        if (acceptor_.joinable()) acceptor_.join();
        for (std::thread& t : connections_)
            t.join();
    }
    uint32_t address() const { return address_; }
    std::string Name() const {
        in_addr a{htonl(address_)};
        return std::string("ETH") + ::inet_ntoa(a);
    }
    // A plain client socket to the peer.
    int Connect(bool noDelay) const { return ConnectTo(htonl(address_), noDelay); }

  private:
    void Accept() {
        for (;;) {
            const int fd = ::accept(listener_, nullptr, nullptr);
            if (fd < 0) return;
            connections_.emplace_back([fd] { Serve(fd); });
        }
    }
    static void Serve(int fd) {
        const int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        uint8_t packet[12];
        while (ReadAll(fd, packet, 12)) {
            if ((packet[0] | (packet[1] << 8)) != 0x0001) continue;  // writes are not answered
            std::memset(packet + 4, 0, 8);
            if (::send(fd, packet, 12, MSG_NOSIGNAL) != 12) break;
        }
        ::close(fd);
    }

    int listener_ = -1;
    uint32_t address_ = 0;
    std::thread acceptor_;
    std::vector<std::thread> connections_;
};

LoopbackPeer& Peer() {
    static LoopbackPeer peer;
    return peer;
}

// A raw register packet: command word (width << 24 | register << 16 | opcode), data0.
void RawPacket(uint8_t* p, uint32_t command, uint32_t data0) {
    for (int i = 0; i < 4; ++i) {
        p[i] = static_cast<uint8_t>(command >> (8 * i));
        p[4 + i] = static_cast<uint8_t>(data0 >> (8 * i));
        p[8 + i] = 0;
    }
}

bool RawRead(int fd, uint32_t command) {
    uint8_t p[12];
    RawPacket(p, command, 0);
    return ::send(fd, p, 12, 0) == 12 && ReadAll(fd, p, 12);
}

double Us(Clock::duration d) {
    return std::chrono::duration<double, std::micro>(d).count();
}

void BM_RegisterRead(benchmark::State& state) {
    uint32_t status = 0;
    ZPX_Handle h = Peer().address() ? ZPX_OpenController(Peer().Name().c_str(), &status) : nullptr;
    const int raw = Peer().Connect(true);
    if (h == nullptr || raw < 0) {
        state.SkipWithError("no loopback peer");
        return;
    }
    constexpr int kBatch = 50;
    Clock::duration lib{}, base{};
    uint32_t error = 0;
    for (auto _ : state) {
        const auto t0 = Clock::now();
        for (int i = 0; i < kBatch; ++i) {
            if (ZPX_GetError(h, &error) != 0) state.SkipWithError("library read failed");
        }
        const auto t1 = Clock::now();
        for (int i = 0; i < kBatch; ++i) {
            if (!RawRead(raw, 0x01010001)) state.SkipWithError("raw read failed");
        }
        lib += t1 - t0;
        base += Clock::now() - t1;
    }
    const double reads = static_cast<double>(state.iterations()) * kBatch;
    state.counters["lib_us"] = Us(lib) / reads;
    state.counters["raw_us"] = Us(base) / reads;
    state.counters["ratio"] = Us(lib) / Us(base);
    ::close(raw);
    ZPX_CloseController(h);
}
BENCHMARK(BM_RegisterRead)->MinTime(2.0);

void BM_PodLinkFrame(benchmark::State& state) {
    uint32_t status = 0;
    ZPX_Handle h = Peer().address() ? ZPX_OpenController(Peer().Name().c_str(), &status) : nullptr;
    const int raw = Peer().Connect(false);
    if (h == nullptr || raw < 0) {
        state.SkipWithError("no loopback peer");
        return;
    }
    Clock::duration lib{}, base{};
    for (auto _ : state) {
        const auto t0 = Clock::now();
        uint32_t mask = 0;
        for (uint32_t i = 0; i < 40; ++i) {
            if (ZPX_SetTapEnable(h, (i & 1) << 4) != 0) state.SkipWithError("library write failed");
        }
        if (ZPX_GetTapEnable(h, &mask) != 0) state.SkipWithError("library read failed");
        const auto t1 = Clock::now();
        for (uint32_t i = 0; i < 40; ++i) {
            uint8_t p[12];
            RawPacket(p, 0x01020002, (i & 1) << 4);
            if (::send(raw, p, 12, 0) != 12) state.SkipWithError("raw write failed");
        }
        if (!RawRead(raw, 0x01020001)) state.SkipWithError("raw read failed");
        lib += t1 - t0;
        base += Clock::now() - t1;
    }
    const double frames = static_cast<double>(state.iterations());
    state.counters["lib_ms"] = Us(lib) / 1000 / frames;
    state.counters["raw_nagle_ms"] = Us(base) / 1000 / frames;
    state.counters["ratio"] = Us(lib) / Us(base);
    ::close(raw);
    ZPX_CloseController(h);
}
BENCHMARK(BM_PodLinkFrame)->Iterations(40);

// The emulated controller against the minimal peer: a raw 12-byte read round trip to each, and
// the library's ZPX_GetError against the emulator. Figures: emu_us and peer_us (raw round trips),
// emu_ratio (emu_us / peer_us, what the emulator adds), lib_emu_us.
void BM_EmulatorRegisterRead(benchmark::State& state) {
    zpx::emu::Controller controller(zpx::emu::ControllerConfig{});
    zpx::emu::LanServer server(controller);
    std::string address, error;
    if (!zpx::emu::StartOnFreeLoopback(server, kPort, &address, &error)) {
        state.SkipWithError(error.c_str());
        return;
    }
    uint32_t status = 0;
    ZPX_Handle h = ZPX_OpenController(("ETH" + address).c_str(), &status);
    const int toEmulator = ConnectTo(inet_addr(address.c_str()), true);
    const int toPeer = Peer().address() ? Peer().Connect(true) : -1;
    if (h == nullptr || toEmulator < 0 || toPeer < 0) {
        state.SkipWithError("no emulator or loopback peer");
        return;
    }
    constexpr int kBatch = 50;
    Clock::duration emu{}, peer{}, lib{};
    uint32_t value = 0;
    for (auto _ : state) {
        const auto t0 = Clock::now();
        for (int i = 0; i < kBatch; ++i) {
            if (!RawRead(toEmulator, 0x01010001)) state.SkipWithError("emulator read failed");
        }
        const auto t1 = Clock::now();
        for (int i = 0; i < kBatch; ++i) {
            if (!RawRead(toPeer, 0x01010001)) state.SkipWithError("peer read failed");
        }
        const auto t2 = Clock::now();
        for (int i = 0; i < kBatch; ++i) {
            if (ZPX_GetError(h, &value) != 0) state.SkipWithError("library read failed");
        }
        emu += t1 - t0;
        peer += t2 - t1;
        lib += Clock::now() - t2;
    }
    const double reads = static_cast<double>(state.iterations()) * kBatch;
    state.counters["emu_us"] = Us(emu) / reads;
    state.counters["peer_us"] = Us(peer) / reads;
    state.counters["emu_ratio"] = Us(emu) / Us(peer);
    state.counters["lib_emu_us"] = Us(lib) / reads;
    ::close(toEmulator);
    ::close(toPeer);
    ZPX_CloseController(h);
    server.Stop();
}
BENCHMARK(BM_EmulatorRegisterRead)->MinTime(2.0);

// The pod link over Ethernet against the emulated pod, the library next to a raw socket on the
// same emulator in the same run.
//
// BM_TapVoltagesSet: ZPX_SetTapVoltageEx for four TAPs (eight frames of 40 register writes; the
// settle it arms is not waited for), then one register read so that everything has arrived,
// against one raw send of the same 320 writes and one raw 12-byte round trip. Figures: lib_us,
// raw_us, ratio (goal: at most 2).
//
// BM_TapVoltagesRead: ZPX_GetTapVoltage (a read-back frame: 16 samples, each behind its clock
// writes) against 16 raw 12-byte round trips. Figures: lib_us, raw_us, ratio (goal: at most 1.3).
//
// Both also give unheld_us: the library with the link's holding of writes switched off, one send
// per write, the same bytes.
class PodOnEmulator {
  public:
    PodOnEmulator() : controller_(Config()), server_(controller_) {
        std::string error;
        if (!zpx::emu::StartOnFreeLoopback(server_, kPort, &address_, &error)) return;
        uint32_t status = 0;
        handle_ = ZPX_OpenController(("ETH" + address_).c_str(), &status);
        raw_ = ConnectTo(inet_addr(address_.c_str()), true);
        if (handle_ == nullptr || raw_ < 0 || ZPX_SetPodPowerOn(handle_) != 0 ||
            ZPX_AddNewTapInfo(handle_, 0, 33, ZPX_DEFAULT_THRESHOLD) != 0) {
            handle_ = nullptr;
        }
    }
    ~PodOnEmulator() {
        if (raw_ >= 0) ::close(raw_);
        if (handle_ != nullptr) ZPX_CloseController(handle_);
        server_.Stop();
    }
    ZPX_Handle handle() const { return handle_; }
    int raw() const { return raw_; }
    void Hold(bool on) {
        static_cast<zpx::transport::LanBackend&>(*zpx::SessionOf(handle_).backend)
            .SetHoldingEnabled(on);
    }

  private:
    static zpx::emu::ControllerConfig Config() {
        zpx::emu::ControllerConfig c;
        c.podKind = 1;
        return c;
    }
    zpx::emu::Controller controller_;
    zpx::emu::LanServer server_;
    std::string address_;
    ZPX_Handle handle_ = nullptr;
    int raw_ = -1;
};

// The register-2 write packets of one voltage frame on TAP index `tap`, built from the link's
// definition: the base, then 19 bits of (code | command) × 4, each with the clock (bit 5) low and
// then high and the data in bit 4, then the closing value.
void AppendVoltageFrame(std::vector<uint8_t>& out, uint32_t tap, uint32_t command, uint32_t code) {
    auto write = [&out](uint32_t value) {
        uint8_t p[12];
        RawPacket(p, 0x01020002, value);
        out.insert(out.end(), p, p + 12);
    };
    uint32_t v = tap * 64 + 9;
    write(v);
    const uint32_t bits = (code | command) * 4;
    for (int i = 18; i >= 0; --i) {
        v = ((bits >> i) & 1) != 0 ? (v | 0x10) : (v & ~0x10u);
        write(v & ~0x20u);
        write(v | 0x20u);
    }
    write(0x01);
}

// Times `library` (held, as it runs), `raw` and `library` with holding off, in turn, and reports
// the three figures per call.
template <typename Library, typename Raw>
void CompareWithRaw(benchmark::State& state, PodOnEmulator& pod, Library library, Raw raw) {
    Clock::duration lib{}, base{}, unheld{};
    for (auto _ : state) {
        const auto t0 = Clock::now();
        if (!library()) state.SkipWithError("library call failed");
        const auto t1 = Clock::now();
        if (!raw()) state.SkipWithError("raw exchange failed");
        const auto t2 = Clock::now();
        pod.Hold(false);
        if (!library()) state.SkipWithError("library call failed");
        pod.Hold(true);
        lib += t1 - t0;
        base += t2 - t1;
        unheld += Clock::now() - t2;
    }
    const double calls = static_cast<double>(state.iterations());
    state.counters["lib_us"] = Us(lib) / calls;
    state.counters["raw_us"] = Us(base) / calls;
    state.counters["unheld_us"] = Us(unheld) / calls;
    state.counters["ratio"] = Us(lib) / Us(base);
}

void BM_TapVoltagesSet(benchmark::State& state) {
    PodOnEmulator pod;
    if (pod.handle() == nullptr) {
        state.SkipWithError("no emulated pod");
        return;
    }
    std::vector<uint8_t> frames;
    for (uint32_t tap = 0; tap < 4; ++tap) {
        AppendVoltageFrame(frames, tap, 0x6400, 675);  // 3.3 V
        AppendVoltageFrame(frames, tap, 0x6800, 375);  // 1.5 V
    }
    uint32_t error = 0;
    CompareWithRaw(
        state, pod,
        [&] {
            return ZPX_SetTapVoltageEx(pod.handle()) == 0 &&
                   ZPX_GetError(pod.handle(), &error) == 0;
        },
        [&] {
            return ::send(pod.raw(), frames.data(), frames.size(), 0) ==
                       static_cast<ssize_t>(frames.size()) &&
                   RawRead(pod.raw(), 0x01010001);
        });
}
BENCHMARK(BM_TapVoltagesSet)->MinTime(2.0);

void BM_TapVoltagesRead(benchmark::State& state) {
    PodOnEmulator pod;
    if (pod.handle() == nullptr) {
        state.SkipWithError("no emulated pod");
        return;
    }
    ZPX_DeviceInfo info{};
    info.PodKind = 1;
    uint32_t output = 0, threshold = 0;
    CompareWithRaw(
        state, pod,
        [&] { return ZPX_GetTapVoltage(pod.handle(), &info, 1, &output, &threshold) == 0; },
        [&] {
            for (int i = 0; i < 16; ++i) {
                if (!RawRead(pod.raw(), 0x01020001)) return false;
            }
            return true;
        });
}
BENCHMARK(BM_TapVoltagesRead)->MinTime(2.0);

}  // namespace
