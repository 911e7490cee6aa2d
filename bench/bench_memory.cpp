// Memory transfer throughput: the library against a raw baseline measured in the same run.
//
// Ethernet: a 16 MiB block written to, and read from, a minimal loopback peer. The baseline for a
// write is a plain TCP stream of the same bytes in 8 KiB send calls (ratio); a second one sends
// the block as the protocol cuts it, in 512-byte pieces marked more-to-come (ratio512), which
// shows what the library adds to the cost of that many sends. For a read the baseline is a loop
// that sends a 16-byte request and receives 8192 bytes. Driver: a 16 MiB block through an
// in-process driver that copies each piece as a kernel driver copies a user buffer; the baseline is
// the least any caller of that request layout does (one staging copy per piece), and every
// allocation the library makes during a transfer is counted.
//
// Each iteration runs the library transfer and its baseline back to back, so drift on a shared
// machine hits both. Figures: lib_MiBps, raw_MiBps and ratio (library throughput / baseline).
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <thread>
#include <vector>

#include "device/controller_session.h"
#include "platform/platform.h"
#include "session/handle_table.h"
#include "transport/backend_table.h"
#include "transport/driver_backend.h"
#include "transport/driver_requests.h"
#include "transport/lan_backend.h"
#include "zpx/zpx.h"

// ---- allocation counting ----
// The replacements below are one matched pair (malloc under every new, free under every
// delete); GCC cannot see that once it inlines them into their callers.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
namespace {
std::atomic<uint64_t> gAllocations{0};
}  // namespace

void* operator new(size_t n) {
    gAllocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(n ? n : 1)) return p;
    throw std::bad_alloc();
}
void* operator new[](size_t n) {
    gAllocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(n ? n : 1)) return p;
    throw std::bad_alloc();
}
void* operator new(size_t n, const std::nothrow_t&) noexcept {
    gAllocations.fetch_add(1, std::memory_order_relaxed);
    return std::malloc(n ? n : 1);
}
void* operator new[](size_t n, const std::nothrow_t&) noexcept {
    gAllocations.fetch_add(1, std::memory_order_relaxed);
    return std::malloc(n ? n : 1);
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete[](void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, size_t) noexcept {
    std::free(p);
}
void operator delete[](void* p, size_t) noexcept {
    std::free(p);
}

namespace {

using Clock = std::chrono::steady_clock;
using zpx::ControllerSession;

constexpr uint32_t kBlock = 16u << 20;
constexpr uint32_t kLoopback = 0x7F000001;

uint32_t Le32(const uint8_t* p) {
    return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24;
}

std::vector<uint8_t> Pattern(size_t n) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i)
        v[i] = static_cast<uint8_t>(i * 131 + (i >> 12));
    return v;
}

// ---- the loopback peer ----

bool RecvAll(int fd, uint8_t* p, size_t n) {
    while (n > 0) {
        const ssize_t r = ::recv(fd, p, n, 0);
        if (r <= 0) return false;
        p += r;
        n -= static_cast<size_t>(r);
    }
    return true;
}

bool SendAll(int fd, const uint8_t* p, size_t n, int flags = 0) {
    while (n > 0) {
        const ssize_t r = ::send(fd, p, n, MSG_NOSIGNAL | flags);
        if (r <= 0) return false;
        p += r;
        n -= static_cast<size_t>(r);
    }
    return true;
}

// Accepts connections on a loopback port. A sink swallows everything and counts it; a source
// answers every 16-byte memory-read header with the bytes it asks for.
class Peer {
  public:
    enum Mode { kSink, kSource };

    explicit Peer(Mode mode) : mode_(mode), data_(Pattern(1 << 20)) {
        listen_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(kLoopback);
        a.sin_port = 0;
        socklen_t len = sizeof a;
        if (::bind(listen_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
            ::listen(listen_, 4) != 0 ||
            ::getsockname(listen_, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
            std::abort();
        }
        port_ = ntohs(a.sin_port);
        acceptor_ = std::thread([this] { Accept(); });
    }
    ~Peer() {
        ::shutdown(listen_, SHUT_RDWR);
        ::close(listen_);
        acceptor_.join();
        for (int fd : fds_)
            ::shutdown(fd, SHUT_RDWR);
        for (std::thread& t : servers_)
            t.join();
        for (int fd : fds_)
            ::close(fd);
    }

    uint16_t port() const { return port_; }

    // Sink: blocks until `bytes` more have arrived since the call to Expect.
    void Expect(uint64_t bytes) { target_.store(received_.load() + bytes); }
    void AwaitExpected() {
        for (uint64_t seen = received_.load(); seen < target_.load(); seen = received_.load())
            received_.wait(seen);
    }

  private:
    void Accept() {
        for (;;) {
            const int fd = ::accept(listen_, nullptr, nullptr);
            if (fd < 0) return;
            fds_.push_back(fd);
            servers_.emplace_back([this, fd] { mode_ == kSink ? Sink(fd) : Source(fd); });
        }
    }
    void Sink(int fd) {
        std::vector<uint8_t> buffer(1 << 18);
        for (;;) {
            const ssize_t r = ::recv(fd, buffer.data(), buffer.size(), 0);
            if (r <= 0) return;
            if (received_.fetch_add(static_cast<uint64_t>(r)) + static_cast<uint64_t>(r) >=
                target_.load()) {
                received_.notify_all();
            }
        }
    }
    void Source(int fd) {
        uint8_t header[16];
        while (RecvAll(fd, header, sizeof header)) {
            uint32_t left = Le32(header + 4);
            while (left > 0) {
                const uint32_t n = std::min<uint32_t>(left, static_cast<uint32_t>(data_.size()));
                if (!SendAll(fd, data_.data(), n)) return;
                left -= n;
            }
        }
    }

    const Mode mode_;
    const std::vector<uint8_t> data_;
    int listen_ = -1;
    uint16_t port_ = 0;
    std::thread acceptor_;
    std::vector<int> fds_;  // touched by the acceptor only until the destructor joins it
    std::vector<std::thread> servers_;
    std::atomic<uint64_t> received_{0};
    std::atomic<uint64_t> target_{0};
};

// A raw client socket with the options the library's platform sets.
int RawConnect(uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(kLoopback);
    a.sin_port = htons(port);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) std::abort();
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return fd;
}

// A session of an Ethernet controller of the 51x4 family on the peer's port, as opening leaves
// it (the peer does not speak the register protocol that opening uses).
// Hands a session the benchmark made itself to the handle table, so that the exports accept it;
// the benchmark keeps looking at it, and it is closed with the handle at the end of the scope.
struct LiveHandle {
    explicit LiveHandle(std::unique_ptr<ControllerSession>& s)
        : session(s.get()), handle(zpx::handle_table::Publish(std::move(s))) {}
    ~LiveHandle() { (void)zpx::handle_table::Retire(handle); }
    LiveHandle(const LiveHandle&) = delete;
    LiveHandle& operator=(const LiveHandle&) = delete;
    ControllerSession* session;
    ZPX_Handle handle;
};

std::unique_ptr<ControllerSession> LanSession(uint16_t port) {
    auto s = std::make_unique<ControllerSession>();
    s->interfaceKind = zpx::kInterfaceEthernet;
    s->controllerType = 2;
    auto socket = zpx::platform::System<zpx::platform::Network>().ConnectTcp(kLoopback, port, 0);
    if (!socket) std::abort();
    size_t prefix = 0;
    const uint32_t chunk = zpx::transport::FindBackEnd("ETH", zpx::kFamily51x4, &prefix)->chunkSize;
    s->backend = std::make_unique<zpx::transport::LanBackend>(std::move(socket), kLoopback, chunk);
    s->inUse.store(1);
    return s;
}

struct Pair {
    double lib = 0, raw = 0;  // seconds
};

void Report(benchmark::State& state, const Pair& t, uint64_t bytesPerSide) {
    const double mib = static_cast<double>(bytesPerSide) / (1 << 20);
    state.counters["lib_MiBps"] = mib / t.lib;
    state.counters["raw_MiBps"] = mib / t.raw;
    state.counters["ratio"] = t.raw / t.lib;
}

template <typename F>
double Timed(F&& f) {
    const auto start = Clock::now();
    f();
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// ---- Ethernet ----

void BM_EthernetWrite16MiB(benchmark::State& state) {
    Peer peer(Peer::kSink);
    auto s = LanSession(peer.port());
    const int raw = RawConnect(peer.port());
    const auto data = Pattern(kBlock);
    LiveHandle live(s);
    const ZPX_Handle h = live.handle;
    uint8_t header[16] = {0x20, 0, 0x0C};
    std::memcpy(header + 4, &kBlock, 4);
    Pair t;
    double pieces = 0;
    for (auto _ : state) {
        t.lib += Timed([&] {
            peer.Expect(kBlock + 16);
            if (ZPX_WriteMemoryEx(h, 0, 0, kBlock, data.data()) != 0) std::abort();
            peer.AwaitExpected();
        });
        pieces += Timed([&] {
            peer.Expect(kBlock + 16);
            if (!SendAll(raw, header, sizeof header, MSG_MORE)) std::abort();
            for (uint32_t off = 0; off < kBlock; off += 512) {
                if (!SendAll(raw, data.data() + off, 512, off + 512 < kBlock ? MSG_MORE : 0))
                    std::abort();
            }
            peer.AwaitExpected();
        });
        t.raw += Timed([&] {
            peer.Expect(kBlock + 16);
            if (!SendAll(raw, header, sizeof header)) std::abort();
            for (uint32_t off = 0; off < kBlock; off += 8192)
                if (!SendAll(raw, data.data() + off, 8192)) std::abort();
            peer.AwaitExpected();
        });
    }
    Report(state, t, uint64_t{kBlock} * state.iterations());
    state.counters["raw512_MiBps"] =
        static_cast<double>(kBlock) / (1 << 20) * static_cast<double>(state.iterations()) / pieces;
    state.counters["ratio512"] = pieces / t.lib;
    ::close(raw);
    live.session->backend.reset();
}

void BM_EthernetRead16MiB(benchmark::State& state) {
    Peer peer(Peer::kSource);
    auto s = LanSession(peer.port());
    const int raw = RawConnect(peer.port());
    std::vector<uint8_t> back(kBlock);
    LiveHandle live(s);
    const ZPX_Handle h = live.handle;
    Pair t;
    for (auto _ : state) {
        t.lib += Timed([&] {
            if (ZPX_ReadMemoryEx(h, 0, 0, kBlock, back.data()) != 0) std::abort();
        });
        t.raw += Timed([&] {
            uint8_t header[16] = {0x10, 0, 0x0C, 0, 0x00, 0x20};  // 8192 bytes
            for (uint32_t off = 0; off < kBlock; off += 8192) {
                if (!SendAll(raw, header, sizeof header) || !RecvAll(raw, back.data() + off, 8192))
                    std::abort();
            }
        });
        benchmark::DoNotOptimize(back.data());
    }
    Report(state, t, uint64_t{kBlock} * state.iterations());
    ::close(raw);
    live.session->backend.reset();
}

// ---- driver ----

// Copies each memory piece between the request buffer and its own memory, once, as a driver
// copies from and to the caller's buffer.
class CopyingDriver : public zpx::platform::DriverDevice {
  public:
    CopyingDriver() : memory_(kBlock) {}
    bool Request(uint32_t code, const void* in, uint32_t, void* out, uint32_t) override {
        const auto* request = static_cast<const uint8_t*>(in);
        const uint32_t count = Le32(request + 8);
        if (at_ + count > memory_.size()) at_ = 0;
        if (code == zpx::transport::kRequestMemoryWrite) {
            std::memcpy(memory_.data() + at_, request + 12, count);
        } else if (code == zpx::transport::kRequestMemoryRead) {
            std::memcpy(static_cast<uint8_t*>(out) + 12, memory_.data() + at_, count);
        } else {
            return false;
        }
        at_ += count;
        return true;
    }
    uint8_t* memory() { return memory_.data(); }

  private:
    std::vector<uint8_t> memory_;
    size_t at_ = 0;
};

void BM_DriverTransfer16MiB(benchmark::State& state) {
    const bool usb = state.range(0) != 0;
    auto driver = std::make_unique<CopyingDriver>();
    CopyingDriver& device = *driver;
    auto s = std::make_unique<ControllerSession>();
    s->interfaceKind = usb ? zpx::kInterfaceUsb : zpx::kInterfacePci;
    s->controllerType = 2;
    size_t prefix = 0;
    const uint32_t chunkSize =
        zpx::transport::FindBackEnd(usb ? "USB" : "PCI", zpx::kFamily51x4, &prefix)->chunkSize;
    auto backend = std::make_unique<zpx::transport::DriverBackend>(
        static_cast<zpx::InterfaceKind>(s->interfaceKind), chunkSize, std::move(driver));
    backend->SetLegacyDriver(0);
    backend->SetControllerType(s->controllerType);
    const zpx::transport::TransferBuffer& transferBuffer = backend->transferBuffer();
    s->backend = std::move(backend);
    s->inUse.store(1);
    LiveHandle live(s);
    const ZPX_Handle h = live.handle;
    const uint32_t chunk = live.session->backend->chunkSize();
    const auto data = Pattern(kBlock);
    std::vector<uint8_t> back(kBlock);
    std::vector<uint8_t> staging(chunk + 16);
    // The first transfer grows the staging buffer; everything after must not allocate.
    if (ZPX_WriteMemoryEx(h, 0, 0, chunk, data.data()) != 0) std::abort();
    const uint8_t* staged = transferBuffer.data.get();
    uint64_t allocations = 0;
    Pair t;
    for (auto _ : state) {
        const uint64_t before = gAllocations.load();
        t.lib += Timed([&] {
            if (ZPX_WriteMemoryEx(h, 0, 0, kBlock, data.data()) != 0 ||
                ZPX_ReadMemoryEx(h, 0, 0, kBlock, back.data()) != 0) {
                std::abort();
            }
        });
        allocations += gAllocations.load() - before;
        t.raw += Timed([&] {
            for (uint32_t off = 0; off < kBlock; off += chunk) {
                std::memcpy(staging.data() + 12, data.data() + off, chunk);
                std::memcpy(device.memory() + off, staging.data() + 12, chunk);
            }
            for (uint32_t off = 0; off < kBlock; off += chunk) {
                std::memcpy(staging.data() + 12, device.memory() + off, chunk);
                std::memcpy(back.data() + off, staging.data() + 12, chunk);
            }
        });
        benchmark::DoNotOptimize(back.data());
    }
    if (transferBuffer.data.get() != staged || transferBuffer.capacity != chunk + 16) std::abort();
    Report(state, t, 2ull * kBlock * state.iterations());
    state.counters["allocs_per_transfer"] =
        static_cast<double>(allocations) / (2.0 * static_cast<double>(state.iterations()));
    state.counters["requests_per_transfer"] = static_cast<double>(kBlock / chunk);
}

BENCHMARK(BM_EthernetWrite16MiB)->Unit(benchmark::kMillisecond)->Iterations(20);
BENCHMARK(BM_EthernetRead16MiB)->Unit(benchmark::kMillisecond)->Iterations(20);
BENCHMARK(BM_DriverTransfer16MiB)
    ->Arg(0)
    ->Arg(1)
    ->ArgName("usb")
    ->Unit(benchmark::kMillisecond)
    ->Iterations(20);

}  // namespace

BENCHMARK_MAIN();
