#include "memory_sockets.h"

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

#include "os.h"

namespace zpx::fuzz::sockets {
namespace {

constexpr emu::os::Socket kConnection = 1000;

struct State {
    std::mutex mutex;
    std::condition_variable changed;
    emu::os::Socket listener = emu::os::kNoSocket;
    emu::os::Socket nextSocket = 3;
    uint16_t port = 0;
    bool listenerShut = false;
    bool offered = false;
    bool accepted = false;
    bool connectionShut = false;
    bool endRead = false;
    std::vector<std::vector<uint8_t>> pieces;
    size_t piece = 0;
    size_t offset = 0;
    size_t sent = 0;
} g_state;

}  // namespace

void Offer(std::vector<std::vector<uint8_t>> pieces) {
    std::lock_guard lock(g_state.mutex);
    g_state.listenerShut = false;
    g_state.offered = true;
    g_state.accepted = false;
    g_state.connectionShut = false;
    g_state.endRead = false;
    g_state.pieces = std::move(pieces);
    g_state.piece = 0;
    g_state.offset = 0;
    g_state.sent = 0;
}

void WaitUntilServed() {
    std::unique_lock lock(g_state.mutex);
    g_state.changed.wait(lock, [] { return g_state.endRead || g_state.connectionShut; });
}

size_t BytesSent() {
    std::lock_guard lock(g_state.mutex);
    return g_state.sent;
}

bool ReadToEnd() {
    std::lock_guard lock(g_state.mutex);
    return g_state.endRead;
}

}  // namespace zpx::fuzz::sockets

namespace zpx::emu::os {

using fuzz::sockets::g_state;
using fuzz::sockets::kConnection;

bool ParseIpv4(const std::string& text, uint32_t* address) {
    unsigned a = 0, b = 0, c = 0, d = 0;
    char end = 0;
    if (std::sscanf(text.c_str(), "%3u.%3u.%3u.%3u%c", &a, &b, &c, &d, &end) != 4 || a > 255 ||
        b > 255 || c > 255 || d > 255) {
        return false;
    }
    *address = a | (b << 8) | (c << 16) | (d << 24);  // network byte order
    return true;
}

Socket OpenTcp(std::string*) {
    std::lock_guard lock(g_state.mutex);
    return g_state.nextSocket++;
}

bool Bind(Socket socket, uint32_t, uint16_t port, std::string*) {
    std::lock_guard lock(g_state.mutex);
    g_state.listener = socket;
    g_state.port = port != 0 ? port : 5104;
    return true;
}

bool Listen(Socket, int, std::string*) {
    return true;
}

uint16_t LocalPort(Socket) {
    std::lock_guard lock(g_state.mutex);
    return g_state.port;
}

Socket Accept(Socket listener, const std::atomic<bool>& stopping, std::string* peer,
              AcceptFailure* failure) {
    std::unique_lock lock(g_state.mutex);
    g_state.changed.wait(lock, [&] {
        return (g_state.offered && !g_state.accepted) || g_state.listenerShut || stopping;
    });
    if (g_state.offered && !g_state.accepted && !g_state.listenerShut && !stopping &&
        listener == g_state.listener) {
        g_state.accepted = true;
        *peer = "fuzz:1";
        *failure = AcceptFailure::kNone;
        return kConnection;
    }
    *failure = AcceptFailure::kFatal;
    return kNoSocket;
}

// The next bytes of the stream, or 0 at its end (which tells the fuzzer the server read it all).
// The bytes are all there, so no time limit ever runs out.
std::ptrdiff_t Receive(Socket socket, void* data, size_t length, uint32_t,
                       const std::atomic<bool>&) {
    std::lock_guard lock(g_state.mutex);
    if (socket != kConnection || g_state.connectionShut) return 0;
    while (g_state.piece < g_state.pieces.size() &&
           g_state.offset == g_state.pieces[g_state.piece].size()) {
        ++g_state.piece;
        g_state.offset = 0;
    }
    if (g_state.piece == g_state.pieces.size()) {
        g_state.endRead = true;
        g_state.changed.notify_all();
        return 0;
    }
    const std::vector<uint8_t>& p = g_state.pieces[g_state.piece];
    const size_t n = std::min(length, p.size() - g_state.offset);
    std::memcpy(data, p.data() + g_state.offset, n);
    g_state.offset += n;
    return static_cast<std::ptrdiff_t>(n);
}

std::ptrdiff_t Send(Socket socket, const void*, size_t length, const std::atomic<bool>&) {
    std::lock_guard lock(g_state.mutex);
    if (socket != kConnection || g_state.connectionShut) return -1;
    g_state.sent += length;
    return static_cast<std::ptrdiff_t>(length);
}

void SetNoDelay(Socket) {}

void ShutdownBoth(Socket socket) {
    std::lock_guard lock(g_state.mutex);
    if (socket == g_state.listener) g_state.listenerShut = true;
    if (socket == kConnection) g_state.connectionShut = true;
    g_state.changed.notify_all();
}

void Close(Socket) {}

void ResetAndClose(Socket socket) {
    ShutdownBoth(socket);
}

// No recordings while fuzzing.
File CreateOutputFile(const std::string&, std::string* reason) {
    if (reason) *reason = "no files here";
    return kNoFile;
}

bool WritePieces(File, const Piece*, size_t) {
    return false;
}

void CloseFile(File) {}

bool LocalTime(std::time_t, std::tm*) {
    return false;  // a waveform header without the local time
}

void CatchStopRequests() {}

const char* WaitForStopRequest() {
    return "SIGTERM";
}

}  // namespace zpx::emu::os
