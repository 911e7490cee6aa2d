#include "os.h"

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
// winsock2.h before windows.h, which would otherwise pull in the old winsock.h.
#include <windows.h>
#include <winsock2.h>
#include <ws2tcpip.h>
// The C runtime's file descriptors, for recordings.
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#else
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

namespace zpx::emu::os {

namespace {

#ifdef _WIN32

static_assert(std::is_same_v<Socket, SOCKET>);

// How long a waiting call sleeps before it looks at the stop flag again: the most a stop waits
// per thread.
constexpr long kPollMicroseconds = 20 * 1000;

std::string ErrorText(int code) {
    char text[256] = "";
    const DWORD n =
        FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                       static_cast<DWORD>(code), 0, text, sizeof text, nullptr);
    std::string message(text, n);
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r' ||
                                message.back() == ' ' || message.back() == '.'))
        message.pop_back();
    // Not every system has the text of each socket error; the ones a server meets when it binds
    // are worth naming.
    if (message.empty()) {
        switch (code) {
            case WSAEADDRINUSE:
                message = "Address already in use";
                break;
            case WSAEADDRNOTAVAIL:
                message = "Cannot assign requested address";
                break;
            case WSAEACCES:
                message = "Permission denied";
                break;
            default:
                message = "error";
                break;
        }
    }
    return message + " (" + std::to_string(code) + ")";
}

int LastError() {
    return WSAGetLastError();
}

// Windows Sockets 2.2, started once for the process on first use. It is left running until the
// process ends: static objects holding sockets may still close them while the process exits.
bool Started(std::string* reason) {
    static const int error = [] {
        WSADATA data;
        return WSAStartup(MAKEWORD(2, 2), &data);
    }();
    if (error != 0 && reason) *reason = "cannot start Windows Sockets: " + ErrorText(error);
    return error == 0;
}

void SetNonBlocking(SOCKET socket) {
    u_long on = 1;
    ioctlsocket(socket, FIONBIO, &on);
}

// Waits until `socket` is ready to read (or accept) or to write, or at most one poll interval.
void WaitUntilReady(SOCKET socket, bool write) {
    fd_set set;
    FD_ZERO(&set);
    FD_SET(socket, &set);
    timeval timeout{0, kPollMicroseconds};
    select(0, write ? nullptr : &set, write ? &set : nullptr, nullptr, &timeout);
}

int Length(size_t length) {
    return static_cast<int>(std::min<size_t>(length, INT_MAX));
}

// The sockets are non-blocking: a connect is under way when it says it would block, and done
// once the socket turns writable with no error pending.
bool ConnectFinished(SOCKET socket) {
    if (LastError() != WSAEWOULDBLOCK) return false;
    for (int waits = 0; waits < 10000000 / kPollMicroseconds; ++waits) {
        fd_set writable, failed;
        FD_ZERO(&writable);
        FD_ZERO(&failed);
        FD_SET(socket, &writable);
        FD_SET(socket, &failed);
        timeval timeout{0, kPollMicroseconds};
        if (select(0, nullptr, &writable, &failed, &timeout) > 0) {
            int error = 0;
            int length = sizeof error;
            getsockopt(socket, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &length);
            WSASetLastError(error);
            return error == 0 && FD_ISSET(socket, &writable);
        }
    }
    WSASetLastError(WSAETIMEDOUT);
    return false;
}

#else

std::string ErrorText(int code) {
    return std::strerror(code);
}

int LastError() {
    return errno;
}

bool Started(std::string*) {
    return true;
}

// The sockets block: a connect that returned an error has failed.
bool ConnectFinished(Socket) {
    return false;
}

#endif

sockaddr_in Endpoint(uint32_t address, uint16_t port) {
    sockaddr_in endpoint{};
    endpoint.sin_family = AF_INET;
    endpoint.sin_port = htons(port);
    endpoint.sin_addr.s_addr = address;
    return endpoint;
}

std::string EndpointText(const sockaddr_in& endpoint) {
    char text[INET_ADDRSTRLEN] = "?";
    inet_ntop(AF_INET, &endpoint.sin_addr, text, sizeof text);
    return std::string(text) + ":" + std::to_string(ntohs(endpoint.sin_port));
}

}  // namespace

bool ParseIpv4(const std::string& text, uint32_t* address) {
    in_addr parsed{};
    if (!Started(nullptr) || inet_pton(AF_INET, text.c_str(), &parsed) != 1) return false;
    *address = parsed.s_addr;
    return true;
}

bool Bind(Socket socket, uint32_t address, uint16_t port, std::string* reason) {
    const sockaddr_in endpoint = Endpoint(address, port);
    if (bind(socket, reinterpret_cast<const sockaddr*>(&endpoint), sizeof endpoint) == 0)
        return true;
    if (reason) *reason = ErrorText(LastError());
    return false;
}

bool Listen(Socket socket, int backlog, std::string* reason) {
    if (listen(socket, backlog) == 0) return true;
    if (reason) *reason = ErrorText(LastError());
    return false;
}

Socket ListenTcp(const std::string& address, uint16_t port, int backlog, std::string* bound,
                 std::string* reason) {
    std::string why = "no loopback address is free";
    for (int host = 2; host <= 254; ++host) {
        const std::string candidate = address.empty() ? "127.0.0." + std::to_string(host) : address;
        uint32_t ip = 0;
        if (!ParseIpv4(candidate, &ip)) {
            why = "not an IPv4 address: " + candidate;
            break;
        }
        const Socket socket = OpenTcp(&why);
        if (socket == kNoSocket) break;
        if (Bind(socket, ip, port, &why) && Listen(socket, backlog, &why)) {
            *bound = candidate;
            return socket;
        }
        Close(socket);
        if (!address.empty()) break;
    }
    if (reason) *reason = "cannot listen on port " + std::to_string(port) + ": " + why;
    return kNoSocket;
}

Socket Connect(uint32_t address, uint16_t port, std::string* reason) {
    const Socket socket = OpenTcp(reason);
    if (socket == kNoSocket) return kNoSocket;
    const sockaddr_in endpoint = Endpoint(address, port);
    if (connect(socket, reinterpret_cast<const sockaddr*>(&endpoint), sizeof endpoint) != 0 &&
        !ConnectFinished(socket)) {
        if (reason) *reason = ErrorText(LastError());
        Close(socket);
        return kNoSocket;
    }
    SetNoDelay(socket);
    return socket;
}

uint16_t LocalPort(Socket socket) {
    sockaddr_in endpoint{};
    socklen_t length = sizeof endpoint;
    if (getsockname(socket, reinterpret_cast<sockaddr*>(&endpoint), &length) != 0) return 0;
    return ntohs(endpoint.sin_port);
}

void ResetAndClose(Socket socket) {
    if (socket == kNoSocket) return;
    // A zero linger time makes the close abort the connection.
    const linger abort{1, 0};
    setsockopt(socket, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&abort), sizeof abort);
    Close(socket);
}

void SetNoDelay(Socket socket) {
    const int one = 1;
    setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
}

#ifdef _WIN32

Socket OpenTcp(std::string* reason) {
    if (!Started(reason)) return kNoSocket;
    // No SO_REUSEADDR here: on Windows it would let a second socket bind a port that one is
    // listening on. Without it a bind fails only while another socket holds the address:port.
    const SOCKET socket = WSASocketW(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0,
                                     WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
    if (socket == INVALID_SOCKET) {
        if (reason) *reason = ErrorText(LastError());
        return kNoSocket;
    }
    SetNonBlocking(socket);
    return socket;
}

Socket Accept(Socket listener, const std::atomic<bool>& stopping, std::string* peer,
              AcceptFailure* failure) {
    for (;;) {
        sockaddr_in endpoint{};
        int length = sizeof endpoint;
        const SOCKET socket = accept(listener, reinterpret_cast<sockaddr*>(&endpoint), &length);
        if (socket != INVALID_SOCKET) {
            // An accepted socket takes the listener's properties; set both anyway, they are
            // what the serving thread relies on.
            SetHandleInformation(reinterpret_cast<HANDLE>(socket), HANDLE_FLAG_INHERIT, 0);
            SetNonBlocking(socket);
            *peer = EndpointText(endpoint);
            *failure = AcceptFailure::kNone;
            return socket;
        }
        const int error = LastError();
        if (error == WSAEWOULDBLOCK && !stopping) {
            WaitUntilReady(listener, false);
            continue;
        }
        if (error == WSAEINTR || error == WSAECONNRESET)
            *failure = AcceptFailure::kRetry;
        else if (error == WSAEMFILE || error == WSAENOBUFS)
            *failure = AcceptFailure::kOutOfResources;
        else
            *failure = AcceptFailure::kFatal;
        return kNoSocket;
    }
}

std::ptrdiff_t Receive(Socket socket, void* data, size_t length, uint32_t timeoutMs,
                       const std::atomic<bool>& stopping) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        const int n = recv(socket, static_cast<char*>(data), Length(length), 0);
        if (n >= 0) return n;
        const int error = LastError();
        if (error == WSAEINTR) continue;
        if (error != WSAEWOULDBLOCK || stopping) return -1;
        if (timeoutMs != 0 && std::chrono::steady_clock::now() >= deadline) return kTimedOut;
        WaitUntilReady(socket, false);
    }
}

std::ptrdiff_t Send(Socket socket, const void* data, size_t length,
                    const std::atomic<bool>& stopping) {
    for (;;) {
        const int n = send(socket, static_cast<const char*>(data), Length(length), 0);
        if (n >= 0) return n;
        const int error = LastError();
        if (error == WSAEINTR) continue;
        if (error != WSAEWOULDBLOCK || stopping) return -1;
        WaitUntilReady(socket, true);
    }
}

void ShutdownBoth(Socket socket) {
    if (socket != kNoSocket) shutdown(socket, SD_BOTH);
}

void Close(Socket socket) {
    if (socket != kNoSocket) closesocket(socket);
}

File CreateOutputFile(const std::string& path, std::string* reason) {
    const int file = _open(path.c_str(), _O_WRONLY | _O_CREAT | _O_TRUNC | _O_BINARY | _O_NOINHERIT,
                           _S_IREAD | _S_IWRITE);
    if (file < 0 && reason) *reason = std::strerror(errno);
    return file < 0 ? kNoFile : file;
}

// The runtime has no gathered write: the pieces are joined first.
bool WritePieces(File file, const Piece* pieces, size_t count) {
    std::vector<uint8_t> joined;
    for (size_t i = 0; i < count; ++i) {
        const auto* p = static_cast<const uint8_t*>(pieces[i].data);
        joined.insert(joined.end(), p, p + pieces[i].length);
    }
    for (size_t at = 0; at < joined.size();) {
        const int n = _write(file, joined.data() + at,
                             static_cast<unsigned>(std::min<size_t>(joined.size() - at, 1u << 30)));
        if (n <= 0) return false;
        at += static_cast<size_t>(n);
    }
    return true;
}

void CloseFile(File file) {
    if (file != kNoFile) _close(file);
}

bool LocalTime(std::time_t time, std::tm* local) {
    return localtime_s(local, &time) == 0;
}

namespace {

std::mutex g_stopMutex;
std::condition_variable g_stopRequested;
const char* g_stopRequest = nullptr;

// Runs in a thread of its own that the system starts for each console event.
BOOL WINAPI OnConsoleEvent(DWORD event) {
    {
        std::lock_guard lock(g_stopMutex);
        if (g_stopRequest == nullptr) g_stopRequest = event == CTRL_C_EVENT ? "SIGINT" : "SIGTERM";
    }
    g_stopRequested.notify_all();
    if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT) return TRUE;
    // The console is closing or the user logging off: the process is ended as soon as this
    // returns. Hold on while main stops the server; its exit ends this thread too.
    Sleep(INFINITE);
    return TRUE;
}

}  // namespace

void CatchStopRequests() {
    SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
}

// Without Unix-domain sockets to count on, a local socket is a TCP port of 127.0.0.1 that the
// system picks, its "path" the address and port.
Socket ListenLocal(std::string* path, std::string* reason) {
    std::string bound;
    const Socket socket = ListenTcp("127.0.0.1", 0, 16, &bound, reason);
    if (socket != kNoSocket) *path = bound + ":" + std::to_string(LocalPort(socket));
    return socket;
}

void RemoveLocal(const std::string&) {}

Socket ConnectLocal(const std::string& path) {
    const size_t colon = path.rfind(':');
    uint32_t address = 0;
    if (colon == std::string::npos || !ParseIpv4(path.substr(0, colon), &address)) return kNoSocket;
    const unsigned long port = std::strtoul(path.c_str() + colon + 1, nullptr, 10);
    if (port == 0 || port > 65535) return kNoSocket;
    return Connect(address, static_cast<uint16_t>(port), nullptr);
}

std::string BesideExecutable(const char*, const std::string& name) {
    char self[MAX_PATH];
    const DWORD n = GetModuleFileNameA(nullptr, self, sizeof self);
    if (n == 0 || n >= sizeof self) return "";
    std::string path(self, n);
    path = path.substr(0, path.find_last_of("\\/") + 1) + name;
    return GetFileAttributesA(path.c_str()) == INVALID_FILE_ATTRIBUTES ? "" : path;
}

void SetEnvironment(const std::string& name, const std::string& value) {
    SetEnvironmentVariableA(name.c_str(), value.c_str());
}

namespace {

// One argument as the C runtime's command-line parser reads it back: quoted when it has to be,
// backslashes doubled where they precede a quote.
std::string Quoted(const std::string& argument) {
    if (!argument.empty() && argument.find_first_of(" \t\"") == std::string::npos) return argument;
    std::string out = "\"";
    size_t backslashes = 0;
    for (const char c : argument) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        out.append(c == '"' ? backslashes * 2 + 1 : backslashes, '\\');
        backslashes = 0;
        out += c;
    }
    out.append(backslashes * 2, '\\');
    return out + "\"";
}

}  // namespace

// Ctrl+C and Ctrl+Break reach every process of the console, the command too.
int RunCommand(const std::vector<std::string>& command, std::string* reason) {
    std::string line;
    for (const std::string& argument : command)
        line += (line.empty() ? "" : " ") + Quoted(argument);
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessA(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                        &process)) {
        if (reason)
            *reason =
                command[0] + ": cannot be started (error " + std::to_string(GetLastError()) + ")";
        return -1;
    }
    CloseHandle(process.hThread);
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD status = 1;
    GetExitCodeProcess(process.hProcess, &status);
    CloseHandle(process.hProcess);
    return static_cast<int>(status);
}

const char* WaitForStopRequest() {
    std::unique_lock lock(g_stopMutex);
    g_stopRequested.wait(lock, [] { return g_stopRequest != nullptr; });
    return g_stopRequest;
}

#else

Socket OpenTcp(std::string* reason) {
    const int socket = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (socket < 0) {
        if (reason) *reason = ErrorText(errno);
        return kNoSocket;
    }
    // Lets a restarted server bind its port while the connections of the last one linger in
    // TIME_WAIT; Linux still refuses a port that a socket is bound to.
    const int one = 1;
    setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    return socket;
}

// A blocked accept returns when ShutdownBoth is called on the listener; `stopping` need not be
// polled.
Socket Accept(Socket listener, const std::atomic<bool>&, std::string* peer,
              AcceptFailure* failure) {
    sockaddr_in endpoint{};
    socklen_t length = sizeof endpoint;
    const int socket =
        accept4(listener, reinterpret_cast<sockaddr*>(&endpoint), &length, SOCK_CLOEXEC);
    if (socket >= 0) {
        *peer = EndpointText(endpoint);
        *failure = AcceptFailure::kNone;
        return socket;
    }
    if (errno == EINTR || errno == ECONNABORTED)
        *failure = AcceptFailure::kRetry;
    else if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM)
        *failure = AcceptFailure::kOutOfResources;
    else
        *failure = AcceptFailure::kFatal;
    return kNoSocket;
}

std::ptrdiff_t Receive(Socket socket, void* data, size_t length, uint32_t timeoutMs,
                       const std::atomic<bool>&) {
    if (timeoutMs != 0) {
        // Shutting the socket down makes it readable, so a stop still wakes this wait.
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        for (;;) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                                  deadline - std::chrono::steady_clock::now())
                                  .count();
            if (left <= 0) return kTimedOut;
            pollfd wait{socket, POLLIN, 0};
            const int ready = poll(&wait, 1, static_cast<int>(std::min<long long>(left, INT_MAX)));
            if (ready > 0) break;
            if (ready < 0 && errno != EINTR) return -1;
        }
    }
    for (;;) {
        const ssize_t n = recv(socket, data, length, 0);
        if (n < 0 && errno == EINTR) continue;
        return n;
    }
}

std::ptrdiff_t Send(Socket socket, const void* data, size_t length, const std::atomic<bool>&) {
    for (;;) {
        const ssize_t n = send(socket, data, length, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        return n;
    }
}

void ShutdownBoth(Socket socket) {
    if (socket != kNoSocket) shutdown(socket, SHUT_RDWR);
}

void Close(Socket socket) {
    if (socket != kNoSocket) close(socket);
}

File CreateOutputFile(const std::string& path, std::string* reason) {
    const int file = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (file < 0 && reason) *reason = std::strerror(errno);
    return file < 0 ? kNoFile : file;
}

bool WritePieces(File file, const Piece* pieces, size_t count) {
    // In groups of as many as one call takes; a short write leaves the rest for the next call,
    // from where it stopped.
    constexpr size_t kGroup = 64;
    iovec vectors[kGroup];
    while (count > 0) {
        const size_t group = std::min(count, kGroup);
        for (size_t i = 0; i < group; ++i)
            vectors[i] = {const_cast<void*>(pieces[i].data), pieces[i].length};
        for (size_t first = 0; first < group;) {
            const ssize_t n = writev(file, vectors + first, static_cast<int>(group - first));
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return false;
            auto left = static_cast<size_t>(n);
            for (; first < group && left >= vectors[first].iov_len; ++first)
                left -= vectors[first].iov_len;
            if (first < group) {
                vectors[first].iov_base = static_cast<uint8_t*>(vectors[first].iov_base) + left;
                vectors[first].iov_len -= left;
            }
        }
        pieces += group;
        count -= group;
    }
    return true;
}

void CloseFile(File file) {
    if (file != kNoFile) close(file);
}

bool LocalTime(std::time_t time, std::tm* local) {
    return localtime_r(&time, local) != nullptr;
}

namespace {

sigset_t StopSignals() {
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    return signals;
}

}  // namespace

void CatchStopRequests() {
    const sigset_t signals = StopSignals();
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
}

const char* WaitForStopRequest() {
    const sigset_t signals = StopSignals();
    int signal = 0;
    sigwait(&signals, &signal);
    return signal == SIGINT ? "SIGINT" : "SIGTERM";
}

Socket ListenLocal(std::string* path, std::string* reason) {
    const char* temporary = getenv("TMPDIR");
    std::string folder =
        std::string(temporary && *temporary ? temporary : "/tmp") + "/zpx-emu-XXXXXX";
    if (mkdtemp(folder.data()) == nullptr) {
        if (reason) *reason = folder + ": " + ErrorText(errno);
        return kNoSocket;
    }
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string file = folder + "/devices";
    const int socket = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (file.size() >= sizeof address.sun_path || socket < 0) {
        if (reason) *reason = file + ": " + (socket < 0 ? ErrorText(errno) : "path too long");
        if (socket >= 0) close(socket);
        rmdir(folder.c_str());
        return kNoSocket;
    }
    std::memcpy(address.sun_path, file.c_str(), file.size() + 1);
    if (bind(socket, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(socket, 16) != 0) {
        if (reason) *reason = file + ": " + ErrorText(errno);
        close(socket);
        RemoveLocal(file);
        return kNoSocket;
    }
    *path = file;
    return socket;
}

void RemoveLocal(const std::string& path) {
    unlink(path.c_str());
    const size_t slash = path.rfind('/');
    if (slash != std::string::npos) rmdir(path.substr(0, slash).c_str());
}

Socket ConnectLocal(const std::string& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) return kNoSocket;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    const int socket = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (socket < 0) return kNoSocket;
    if (connect(socket, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        close(socket);
        return kNoSocket;
    }
    return socket;
}

std::string BesideExecutable(const char* argv0, const std::string& name) {
    char self[4096];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    std::string path = n > 0 ? std::string(self, static_cast<size_t>(n)) : argv0;
    path = path.substr(0, path.rfind('/') + 1) + name;
    return access(path.c_str(), R_OK) == 0 ? path : "";
}

void SetEnvironment(const std::string& name, const std::string& value) {
    setenv(name.c_str(), value.c_str(), 1);
}

int RunCommand(const std::vector<std::string>& command, std::string* reason) {
    std::vector<char*> argv;
    for (const std::string& argument : command)
        argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    // The command starts with no signal blocked and SIGINT and SIGTERM at their defaults,
    // whatever this process did with them.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none, stops = StopSignals();
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &stops);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    pid_t child = 0;
    const int failed = posix_spawnp(&child, argv[0], nullptr, &attributes, argv.data(), environ);
    posix_spawnattr_destroy(&attributes);
    if (failed != 0) {
        if (reason) *reason = command[0] + ": " + ErrorText(failed);
        return -1;
    }
    // A stop request to this process goes on to the command, which then ends, and so does the
    // wait below. The thread is left behind, blocked, when none comes.
    std::thread([child] {
        const char* request = WaitForStopRequest();
        kill(child, std::strcmp(request, "SIGINT") == 0 ? SIGINT : SIGTERM);
    }).detach();
    int status = 0;
    while (waitpid(child, &status, 0) < 0) {
        if (errno != EINTR) {
            if (reason) *reason = command[0] + ": " + ErrorText(errno);
            return -1;
        }
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

#endif

}  // namespace zpx::emu::os
