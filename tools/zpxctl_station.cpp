// zpxctl's station commands: one subcommand per thing a user does with a controller at a test
// station. Each opens the controller by name, does its work through the exports, reports a
// failed export by its status name and gathers what it found into its report.
#include "zpxctl_station.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#ifdef _WIN32
#include <io.h>
#else
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#endif

#include "number_arguments.h"
#include "zpx/zpx.h"

namespace zpx::ctl {

// A serial ROM is routed through register 2, which the read leaves at 1: a 51x4 controller takes
// that as "pod active". Writing the learn-mode bit back as it was rewrites register 2 from the
// session's copy, so that looking at a controller does not activate its pod.
uint32_t RomReadKeepingPod(ZPX_Handle h, const std::function<uint32_t()>& read) {
    uint32_t learn = 0;
    const bool restore = ZPX_GetLearnMode(h, &learn) == ZPX_STATUS_OK;
    const uint32_t status = read();
    if (restore) (void)ZPX_SetLearnMode(h, learn);
    return status;
}

namespace {

constexpr size_t kMemPiece = 256 * 1024;

bool StderrIsTerminal() {
#ifdef _WIN32
    return _isatty(_fileno(stderr)) != 0;
#else
    return isatty(fileno(stderr)) != 0;
#endif
}

std::string Hex64(uint32_t high, uint32_t low) {
    char text[17];
    std::snprintf(text, sizeof text, "%08X%08X", high, low);
    return text;
}

// The whole of a file, or of standard input for "-" where the command takes it from there.
bool ReadAll(const char* path, bool dashIsStdin, std::vector<uint8_t>* data) {
    const bool stdio = dashIsStdin && std::strcmp(path, "-") == 0;
    FILE* in = stdio ? stdin : std::fopen(path, "rb");
    if (in == nullptr) {
        std::fprintf(stderr, "zpxctl: cannot read %s\n", path);
        return false;
    }
    uint8_t piece[65536];
    for (size_t n; (n = std::fread(piece, 1, sizeof piece, in)) > 0;)
        data->insert(data->end(), piece, piece + n);
    if (!stdio) std::fclose(in);
    return true;
}

// The transceiver's serial number, where the controller has a transceiver.
bool TransceiverSerial(ZPX_Handle h, uint32_t* high, uint32_t* low) {
    return RomReadKeepingPod(h, [&] { return ZPX_GetTransceiverSerialNumber(h, high, low); }) ==
           ZPX_STATUS_OK;
}

std::string Lower(std::string text) {
    for (char& ch : text)
        ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    return text;
}

#ifndef _WIN32
// What the system answers to the device node of a driver name. The library has already failed
// to open it, so zpxctl opens it once more itself only to learn the system's reason.
std::string DeviceNodeAnswer(const std::string& node, uint32_t status) {
    const int fd = ::open(node.c_str(), O_RDWR | O_CLOEXEC | O_NONBLOCK);
    if (fd >= 0) {
        ::close(fd);
        return node + (status == ZPX_STATUS_DEVICE_BUSY
                           ? " is held by another program"
                           : " opens, but the controller behind it did not identify itself");
    }
    if (errno == ENOENT)
        return node + ": no such device (zpxctl list shows the controllers present)";
    if (errno == EBUSY) return node + ": busy, another program holds it";
    return node + ": " + std::strerror(errno);
}

// Whether anything answers on the controller port of the address: the library's status 1 does
// not tell a controller that is off or unreachable from an address where nothing listens.
std::string ConnectAnswer(const in_addr& address) {
    constexpr int kWaitMs = 3000;
    char text[INET_ADDRSTRLEN] = "?";
    inet_ntop(AF_INET, &address, text, sizeof text);
    const std::string where = std::string(text) + ":5104";
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return where + ": no socket: " + std::strerror(errno);
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_port = htons(5104);
    peer.sin_addr = address;
    int error = 0;
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&peer), sizeof peer) != 0) {
        error = errno;
        if (error == EINPROGRESS) {
            pollfd wait{fd, POLLOUT, 0};
            const int ready = ::poll(&wait, 1, kWaitMs);
            socklen_t length = sizeof error;
            if (ready == 0) {
                error = ETIMEDOUT;
            } else if (ready < 0 || ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) {
                error = errno;
            }
        }
    }
    ::close(fd);
    if (error == 0) return where + " accepts a connection now: the controller may have been busy";
    if (error == ECONNREFUSED) return where + ": connection refused, nothing listens there";
    if (error == ETIMEDOUT)
        return where + ": no answer within " + std::to_string(kWaitMs / 1000) +
               " s (switched off, unreachable, or not this address)";
    return where + ": " + std::strerror(error);
}
#endif

// Why an open failed, in the terms of the name the user typed: which back-end the name chose,
// and what its device node or address answers. The library's status alone (12 for "cannot
// open") says nothing of which part of the name was wrong.
std::string WhyNotOpened(const std::string& name, uint32_t status) {
    const size_t comma = name.rfind(',');
    const bool family5120 =
        comma != std::string::npos && Lower(name.substr(comma + 1, 4)) == "5120";
    const std::string working = Lower(name.substr(0, comma));
    struct BackEnd {
        const char* prefix;
        bool only5120;
        const char* node;  // the device node of the 51x4 family, then of the 5120 family
        const char* node5120;
    };
    static constexpr BackEnd kBackEnds[] = {
        {"pci", false, "pci51x4ex_", "pci5120_"},
        {"usb", false, "usb51x4ex_", "usb5120_"},
        {"isa", true, "", "isa5120_"},
        {"vxipci", true, nullptr, nullptr},
        {"eth", false, nullptr, nullptr},
        {"fw", false, "fw51x4_", "fw51x4_"},
    };
    const BackEnd* backEnd = nullptr;
    for (const BackEnd& b : kBackEnds) {
        if (working.rfind(b.prefix, 0) == 0 && (family5120 || !b.only5120)) backEnd = &b;
    }
    if (backEnd == nullptr) {
        return "not a controller name: names start with PCI, USB, ETH or FW, or with ISA or "
               "VXIPCI and end in ,5120 (zpxctl list shows the controllers present)";
    }
    switch (status) {
        case ZPX_STATUS_NOT_AVAILABLE:
            return "out of memory";
        case ZPX_STATUS_LEGACY_INDEX:
            return "this system's single-open device takes only index 0";
        case ZPX_STATUS_NO_USB:
            return "this system has no USB support";
        case ZPX_STATUS_OS_UNSUPPORTED:
            return "this system cannot run the controller's driver";
        default:
            break;
    }
    std::string rest = working.substr(std::strlen(backEnd->prefix));
    if (backEnd->node == nullptr && std::strcmp(backEnd->prefix, "eth") == 0) {
#ifdef _WIN32
        return status == ZPX_STATUS_CANNOT_OPEN
                   ? "connected, but the controller did not identify itself"
                   : "no connection to port 5104 of " + rest;
#else
        in_addr address{};
        if (inet_aton(rest.c_str(), &address) == 0)
            return std::string("'")
                .append(name.substr(3, rest.size()))
                .append("' is not an IPv4 address");
        if (status == ZPX_STATUS_CANNOT_OPEN)
            return "connected, but the controller did not identify itself";
        return ConnectAnswer(address);
#endif
    }
    if (backEnd->node == nullptr) return "the VXI driver library did not open the controller";
    // The device number: white space, then an unsigned decimal number or nothing at all.
    const size_t first = rest.find_first_not_of(" \t");
    const size_t last = rest.find_last_not_of(" \t");
    rest = first == std::string::npos ? "" : rest.substr(first, last - first + 1);
    uint64_t index = 0;
    if (!rest.empty() && (rest.find_first_not_of("0123456789") != std::string::npos ||
                          !tools::ParseUnsigned(rest, 0x7FFFFFFF, &index))) {
        return "'" + rest + "' after " + name.substr(0, std::strlen(backEnd->prefix)) +
               " is not a device number";
    }
    std::string node = std::string("/dev/") + (family5120 ? backEnd->node5120 : backEnd->node);
    // The 5120 ISA driver's first device has no number.
    if (index == 0 && node == "/dev/isa5120_") {
        node.pop_back();
    } else {
        node += std::to_string(index);
    }
#ifdef _WIN32
    return "the driver's device " + node.substr(5) + " did not open";
#else
    return DeviceNodeAnswer(node, status);
#endif
}

// The controller of one command, closed when the command ends. A failed open is reported with
// the library's status and with what zpxctl finds out about the name.
class Opened {
  public:
    explicit Opened(const char* name) {
        SetController(name);
        uint32_t status = 0;
        handle_ = ZPX_OpenController(name, &status);
        if (handle_ == nullptr) {
            (void)Ok("ZPX_OpenController", status);
            (void)Fail(WhyNotOpened(name, status));
        }
    }
    ~Opened() {
        if (handle_ != nullptr) (void)Ok("ZPX_CloseController", ZPX_CloseController(handle_));
    }
    Opened(const Opened&) = delete;
    Opened& operator=(const Opened&) = delete;
    ZPX_Handle get() const { return handle_; }

  private:
    ZPX_Handle handle_ = nullptr;
};

// A progress line on standard error for transfers that take more than a moment, shown only when
// standard error is a terminal (never in a pipe or a log).
class Progress {
  public:
    Progress(const char* what, size_t total)
        : what_(what), total_(total), shown_(total >= kShownFrom && StderrIsTerminal()) {}
    void Show(size_t done) {
        if (!shown_) return;
        std::fprintf(stderr, "\r%s: %3u%% (%.1f of %.1f MiB)", what_,
                     static_cast<unsigned>(done * 100 / total_), done / 1048576.0,
                     total_ / 1048576.0);
        std::fflush(stderr);
    }
    void Done() {
        if (shown_) std::fprintf(stderr, "\n");
    }

  private:
    static constexpr size_t kShownFrom = 1 << 20;
    const char* what_;
    size_t total_;
    bool shown_;
};

// The seconds a single long call has been running, on standard error while it runs: an image
// update is one call that cannot say how far it got. Only on a terminal, like Progress.
class Ticker {
  public:
    explicit Ticker(const char* what) {
        if (!StderrIsTerminal()) return;
        thread_ = std::thread([this, what] {
            const auto start = std::chrono::steady_clock::now();
            std::unique_lock lock(mutex_);
            while (!stopped_.wait_for(lock, std::chrono::seconds(1), [this] { return stop_; })) {
                const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(
                    std::chrono::steady_clock::now() - start);
                std::fprintf(stderr, "\r%s: %lld s", what, static_cast<long long>(seconds.count()));
                std::fflush(stderr);
                shown_ = true;
            }
        });
    }
    ~Ticker() {
        if (!thread_.joinable()) return;
        {
            std::lock_guard lock(mutex_);
            stop_ = true;
        }
        stopped_.notify_one();
        thread_.join();
        if (shown_) std::fprintf(stderr, "\n");
    }
    Ticker(const Ticker&) = delete;
    Ticker& operator=(const Ticker&) = delete;

  private:
    std::mutex mutex_;
    std::condition_variable stopped_;
    bool stop_ = false;
    bool shown_ = false;  // written by the thread, read after joining it
    std::thread thread_;
};

// The word's row in a table of named actions; null for a word none of them has.
template <typename Row, size_t N>
const Row* Named(const Row (&rows)[N], const char* word) {
    for (const Row& row : rows) {
        if (std::strcmp(row.word, word) == 0) return &row;
    }
    return nullptr;
}

}  // namespace

// open NAME: its type and interface, then its status registers. It shows what it read even when
// the status registers then cannot be read.
int Open(const Args& args, Report* report) {
    const char* name = args.words[0];
    Opened c(name);
    const ZPX_Handle h = c.get();
    if (h == nullptr) return kFailed;
    uint32_t type = 0, kind = 0, index = 0, aux = 0, error = 0, taps = 0, learn = 0, button = 0;
    // Read from the session record: they cannot fail on a handle just opened.
    (void)ZPX_GetControllerType(h, &type);
    (void)ZPX_GetInterfaceType(h, &kind, &index, &aux);
    report->Add("name", name)
        .Add("type", static_cast<int32_t>(type))
        .Add("interface", kind)
        .Add("index", static_cast<int32_t>(index));
    const bool registers =
        ZPX_GetError(h, &error) == ZPX_STATUS_OK && ZPX_GetTapEnable(h, &taps) == ZPX_STATUS_OK &&
        ZPX_GetLearnMode(h, &learn) == ZPX_STATUS_OK && ZPX_GetButton(h, &button) == 0;
    if (registers) {
        report->Add("error", error)
            .Add("tap_enables", taps)
            .Add("learn", learn)
            .Add("button", button);
    }
    return registers ? kDone : kFailed;
}

void OpenText(const Report& r) {
    std::printf("controller %s\n  type %lld\n  interface %lld index %lld\n",
                r["name"].text().c_str(), r["type"].number(), r["interface"].number(),
                r["index"].number());
    if (!r.Has("error")) {
        std::printf("  status registers could not be read\n");
        return;
    }
    std::printf(
        "  register 1 (error) 0x%02llX\n"
        "  register 2: tap enables 0x%02llX, learn 0x%llX, button %lld\n",
        r["error"].number(), r["tap_enables"].number(), r["learn"].number(), r["button"].number());
}

// list: the kernel-driver device nodes present, with the controller name that opens each. The
// drivers' nodes are /dev/<name> on Linux; Windows keeps its devices out of the file system.
int List(const Args&, Report* report) {
    struct Node {
        const char* prefix;  // the node's name up to its index
        const char* open;    // the controller name's prefix
        const char* suffix;  // the family suffix of the controller name
    };
    static constexpr Node kNodes[] = {
        {"pci51x4ex_", "PCI", ""},    {"usb51x4ex_", "USB", ""},    {"fw51x4_", "FW", ""},
        {"pci5120_", "PCI", ",5120"}, {"usb5120_", "USB", ",5120"}, {"isa5120_", "ISA", ",5120"},
    };
    std::error_code error;
    std::vector<std::string> found;
    for (auto it = std::filesystem::directory_iterator("/dev", error);
         !error && it != std::filesystem::directory_iterator(); it.increment(error)) {
        const std::string file = it->path().filename().string();
        if (file == "isa5120") found.push_back("/dev/isa5120  ISA,5120");
        for (const Node& n : kNodes) {
            const std::string prefix = n.prefix;
            uint64_t index = 0;
            if (file.rfind(prefix, 0) == 0 &&
                tools::ParseUnsigned(file.substr(prefix.size()), 255, &index))
                found.push_back("/dev/" + file + "  " + n.open + std::to_string(index) + n.suffix);
        }
    }
    if (error) {
        std::fprintf(stderr, "zpxctl: this system keeps no controller device nodes in /dev\n");
        return kFailed;
    }
    std::sort(found.begin(), found.end());
    report->Add("nodes", Report::Texts(found));
    return kDone;
}

void ListText(const Report& r) {
    for (const Report& node : r["nodes"].items())
        std::printf("%s\n", node.text().c_str());
    if (r["nodes"].items().empty()) std::printf("no controller device nodes\n");
}

// info NAME: identity, serial numbers, clock range and memory sizes, then the session's
// information record and the device information record as the library builds them.
int Info(const Args& args, Report* report) {
    Opened c(args.words[0]);
    if (c.get() == nullptr) return kFailed;
    const ZPX_Handle h = c.get();
    uint32_t type = 0, kind = 0, index = 0, epld = 0, flash = 0, clock[2] = {};
    uint32_t high = 0, low = 0, thigh = 0, tlow = 0;
    uint32_t sizes[6] = {};
    ZPX_ControllerInfoRecord* record = nullptr;
    bool ok = Ok("ZPX_GetControllerType", ZPX_GetControllerType(h, &type)) &&
              Ok("ZPX_GetInterfaceType", ZPX_GetInterfaceType(h, &kind, &index, nullptr)) &&
              Ok("ZPX_GetControllerEPLD", ZPX_GetControllerEPLD(h, &epld)) &&
              Ok("ZPX_GetControllerFlash", ZPX_GetControllerFlash(h, &flash)) &&
              Ok("ZPX_GetFrequencyRange", ZPX_GetFrequencyRange(h, &clock[0], &clock[1])) &&
              Ok("ZPX_GetControllerSerialNumber", ZPX_GetControllerSerialNumber(h, &high, &low)) &&
              Ok("ZPX_GetControllerInfo", ZPX_GetControllerInfo(h, &record));
    for (int32_t m = 0; ok && m < 6; ++m)
        ok = Ok("ZPX_GetMemorySize", ZPX_GetMemorySize(h, m, &sizes[m]));
    if (!ok) return kFailed;
    report->Add("name", args.words[0])
        .Add("type", static_cast<int32_t>(type))
        .Add("interface", kind)
        .Add("index", static_cast<int32_t>(index))
        .Add("epld", epld)
        .Add("flash", flash)
        .Add("clock_khz", Report::Numbers(clock, 2))
        .Add("serial", Hex64(high, low));
    // Not every controller has a transceiver, nor every session a device description: their
    // absence is not a failure of the command.
    if (TransceiverSerial(h, &thigh, &tlow)) report->Add("transceiver_serial", Hex64(thigh, tlow));
    report->Add("memory_bytes", Report::Numbers(sizes, 6));
    // The record's blocks hold one entry per TAP, four at the most.
    const ZPX_ControllerInfoRecord& r = *record;
    const size_t taps = std::min<size_t>(r.TapCount, 4);
    report->Add("record",
                Report()
                    .Add("valid_mask", r.ValidMask)
                    .Add("pod_type", r.PodType)
                    .Add("tap_count", r.TapCount)
                    .Add("tap_states", Report::Numbers(r.TapStates, r.TapStates ? taps : 0))
                    .Add("min_output_volts",
                         Report::TenthsList(r.MinOutputVoltage, r.MinOutputVoltage ? taps : 0))
                    .Add("max_output_volts",
                         Report::TenthsList(r.MaxOutputVoltage, r.MaxOutputVoltage ? taps : 0))
                    .Add("frequency_khz", r.FrequencyKhz));
    if (ZPX_DeviceInfo* d = ZPX_CreateDeviceInfo(h, nullptr); d != nullptr) {
        const int32_t range[3][2] = {{d->MinFrequencyKhz, d->MaxFrequencyKhz},
                                     {d->MinOutputVoltage, d->MaxOutputVoltage},
                                     {d->MinThresholdVoltage, d->MaxThresholdVoltage}};
        report->Add("device", Report()
                                  .Add("controller_kind", d->ControllerKind)
                                  .Add("pod_kind", d->PodKind)
                                  .Add("tap_state", Report::Numbers(d->TapState, 4))
                                  .Add("clock_khz", Report::Numbers(range[0], 2))
                                  .Add("output_volts", Report::TenthsList(range[1], 2))
                                  .Add("threshold_volts", Report::TenthsList(range[2], 2)));
        (void)ZPX_DestroyDeviceInfo(h, d);
    }
    return kDone;
}

void InfoText(const Report& r) {
    const Report& clock = r["clock_khz"];
    const Report& record = r["record"];
    std::printf(
        "controller %s\n  type %lld, interface %lld index %lld\n  EPLD revision %lld, flash "
        "code 0x%02llX\n  clock %lld..%lld kHz, now %lld kHz\n  serial %s\n",
        r["name"].text().c_str(), r["type"].number(), r["interface"].number(), r["index"].number(),
        r["epld"].number(), r["flash"].number(), clock.items()[0].number(),
        clock.items()[1].number(), record["frequency_khz"].number(), r["serial"].text().c_str());
    if (r.Has("transceiver_serial"))
        std::printf("  transceiver serial %s\n", r["transceiver_serial"].text().c_str());
    std::printf("  memories (bytes)");
    for (const Report& size : r["memory_bytes"].items())
        std::printf(" %lld", size.number());
    std::printf("\n  pod type %lld, %lld TAPs", record["pod_type"].number(),
                record["tap_count"].number());
    // The TAPs are listed only where the record has all three blocks.
    const auto& states = record["tap_states"].items();
    const auto& lows = record["min_output_volts"].items();
    const auto& highs = record["max_output_volts"].items();
    const size_t taps = std::min({states.size(), lows.size(), highs.size()});
    for (size_t t = 0; t < taps; ++t) {
        std::printf("%s TAP %zu state %lld output %s..%s V", t == 0 ? ":" : ",", t + 1,
                    states[t].number(), lows[t].Plain().c_str(), highs[t].Plain().c_str());
    }
    std::printf("\n");
    if (!r.Has("device")) return;
    const Report& d = r["device"];
    const auto& tapState = d["tap_state"].items();
    const auto& dclock = d["clock_khz"].items();
    const auto& output = d["output_volts"].items();
    const auto& threshold = d["threshold_volts"].items();
    std::printf(
        "  device: kind %lld, pod kind %lld, TAP states %lld %lld %lld %lld, clock %lld..%lld "
        "kHz, output %s..%s V, threshold %s..%s V\n",
        d["controller_kind"].number(), d["pod_kind"].number(), tapState[0].number(),
        tapState[1].number(), tapState[2].number(), tapState[3].number(), dclock[0].number(),
        dclock[1].number(), output[0].Plain().c_str(), output[1].Plain().c_str(),
        threshold[0].Plain().c_str(), threshold[1].Plain().c_str());
}

// clock NAME [--set KHZ]
int Clock(const Args& args, Report* report) {
    Opened c(args.words[0]);
    if (c.get() == nullptr) return kFailed;
    uint32_t now = 0, range[2] = {};
    if (!Ok("ZPX_GetFrequencyRange", ZPX_GetFrequencyRange(c.get(), &range[0], &range[1])))
        return kFailed;
    // The library answers a frequency it cannot program with a bare status code; the range it
    // would have needed is in the session, so the refusal can name it.
    if (args.set.given && (args.set.number < range[0] || args.set.number > range[1])) {
        return Fail(std::to_string(args.set.number) +
                    " kHz is outside this controller's clock range, " + std::to_string(range[0]) +
                    ".." + std::to_string(range[1]) + " kHz");
    }
    if (args.set.given &&
        !Ok("ZPX_SetCtrlFrequency",
            ZPX_SetCtrlFrequency(c.get(), 0, static_cast<int32_t>(args.set.number))))
        return kFailed;
    if (!Ok("ZPX_GetCurrentFrequency", ZPX_GetCurrentFrequency(c.get(), &now))) return kFailed;
    report->Add("khz", now).Add("range_khz", Report::Numbers(range, 2));
    return kDone;
}

void ClockText(const Report& r) {
    std::printf("%lld kHz\n", r["khz"].number());
}

// serial NAME
int Serial(const Args& args, Report* report) {
    Opened c(args.words[0]);
    if (c.get() == nullptr) return kFailed;
    uint32_t high = 0, low = 0, thigh = 0, tlow = 0;
    if (!Ok("ZPX_GetControllerSerialNumber", ZPX_GetControllerSerialNumber(c.get(), &high, &low)))
        return kFailed;
    report->Add("controller", Hex64(high, low));
    // Not every controller has a transceiver: its absence is not a failure of the command.
    if (TransceiverSerial(c.get(), &thigh, &tlow)) report->Add("transceiver", Hex64(thigh, tlow));
    return kDone;
}

// pod NAME on|off|activate|deactivate|status
int Pod(const Args& args, Report* report) {
    struct Action {
        const char* word;
        const char* call;  // null: the state alone
        uint32_t (*act)(ZPX_Handle);
    };
    // Not constexpr: on Windows the exports' addresses come from the import table at load time.
    static const Action kActions[] = {
        {"on", "ZPX_SetPodPowerOn", ZPX_SetPodPowerOn},
        {"off", "ZPX_SetPodPowerOff", ZPX_SetPodPowerOff},
        {"activate", "ZPX_ActivatePod", [](ZPX_Handle h) { return ZPX_ActivatePod(h, 0); }},
        {"deactivate", "ZPX_DeActivatePod", ZPX_DeActivatePod},
        {"status", nullptr, nullptr},
    };
    const Action* action = Named(kActions, args.words[1]);
    if (action == nullptr)
        return BadUsage(std::string("no pod action ") + args.words[1] +
                        ": on, off, activate, deactivate or status");
    Opened c(args.words[0]);
    if (c.get() == nullptr) return kFailed;
    const ZPX_Handle h = c.get();
    if (action->act != nullptr && !Ok(action->call, action->act(h))) return kFailed;
    uint32_t powered = 0, active = 0;
    int32_t podType = -1;
    if (!Ok("ZPX_PodPowered", ZPX_PodPowered(h, &powered)) ||
        !Ok("ZPX_PodActivated", ZPX_PodActivated(h, &active))) {
        return kFailed;
    }
    // Without a pod there is no type to tell: -1 stands for it.
    (void)ZPX_GetPodType(h, &podType);
    // ZPX_PodPowered stores 1 for a pod that is switched off: the sense is the reverse of its
    // name, and is turned round here so that nobody reading zpxctl's output has to know it.
    report->Add("power", powered == 0 ? "on" : "off")
        .Add("activated", active)
        .Add("pod_type", podType);
    return kDone;
}

void PodText(const Report& r) {
    std::printf("pod power %s, activated %lld, pod type %lld\n", r["power"].text().c_str(),
                r["activated"].number(), r["pod_type"].number());
}

// The error register: bits 0-4 are the error bits a run raises; above them sit two flags that are
// no verdict, bit 5 set while the pod is powered and identified, and the VPP mode in bits 7..6.
constexpr uint32_t kErrorBits = 0x1F;
constexpr uint32_t kPodPowerBit = 0x20;
constexpr uint32_t kVppModeBits = 0xC0;

std::vector<long long> BitsSet(uint32_t value) {
    std::vector<long long> bits;
    for (int bit = 0; bit < 8; ++bit) {
        if ((value >> bit) & 1) bits.push_back(bit);
    }
    return bits;
}

// run NAME [--clear] [--timeout S]: a run still going when the time is up is a failure, and says
// so; a run that ends with error bits set is a verdict, exit status 3.
int Run(const Args& args, Report* report) {
    const uint64_t seconds = args.timeout.given ? args.timeout.number : 10;
    Opened c(args.words[0]);
    if (c.get() == nullptr) return kFailed;
    uint32_t before = 0;
    if (args.clear.given && (!Ok("ZPX_GetError", ZPX_GetError(c.get(), &before)) ||
                             !Ok("ZPX_ClearError", ZPX_ClearError(c.get(), kErrorBits)))) {
        return kFailed;
    }
    if (!Ok("ZPX_StartController", ZPX_StartController(c.get()))) return kFailed;
    uint32_t running = 1;
    for (uint64_t waited = 0; running != 0 && waited <= seconds * 1000; waited += 10) {
        if (!Ok("ZPX_GetControllerStatus", ZPX_GetControllerStatus(c.get(), &running)))
            return kFailed;
        if (running != 0) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    uint32_t error = 0;
    if (!Ok("ZPX_GetError", ZPX_GetError(c.get(), &error))) return kFailed;
    const std::vector<long long> bits = BitsSet(error & kErrorBits);
    report->Add("stopped", running == 0)
        .Add("error", error)
        .Add("error_bits", Report::Numbers(bits.data(), bits.size()))
        .Add("pod_power_bit", (error & kPodPowerBit) != 0)
        .Add("vpp_mode", error & kVppModeBits)
        .Add("verdict", running != 0   ? "not finished"
                        : bits.empty() ? "pass"
                                       : "error bits set");
    if (args.clear.given) {
        const std::vector<long long> cleared = BitsSet(before & kErrorBits);
        report->Add("cleared_bits", Report::Numbers(cleared.data(), cleared.size()));
    }
    if (running != 0) return kFailed;
    return bits.empty() ? kDone : kRunErrors;
}

void RunText(const Report& r) {
    const auto list = [](const Report& bits) {
        std::string text;
        for (const Report& bit : bits.items())
            text += (text.empty() ? "" : ", ") + std::to_string(bit.number());
        return text.empty() ? std::string("none") : text;
    };
    if (r.Has("cleared_bits"))
        std::printf("cleared error bits %s\n", list(r["cleared_bits"]).c_str());
    std::printf("%s, error register 0x%02llX\n",
                r["stopped"].number() ? "stopped" : "still running", r["error"].number());
    std::printf("  error bits set: %s\n  pod power bit %s, VPP mode 0x%02llX\nverdict: %s\n",
                list(r["error_bits"]).c_str(), r["pod_power_bit"].number() ? "set" : "clear",
                r["vpp_mode"].number(), r["verdict"].text().c_str());
}

// A voltage refused by the library, with the TAP's ranges: the status code (12) is the one that
// ZPX_OpenController gives for a device that cannot be opened, which is no help at a TAP.
int VoltageOutOfRange(ZPX_Handle h, uint32_t tap, int32_t outputMv, int32_t thresholdMv) {
    int32_t range[2][2] = {{-1, -1}, {-1, -1}};
    const auto index = static_cast<int32_t>(tap - 1);
    (void)ZPX_GetOutputVoltRange(h, index, &range[0][0], &range[0][1]);
    (void)ZPX_GetThresholdVoltRange(h, index, &range[1][0], &range[1][1]);
    char text[200];
    int used = std::snprintf(text, sizeof text, "TAP %u: output %.1f V", tap, outputMv / 1000.0);
    if (thresholdMv != ZPX_DEFAULT_THRESHOLD)
        used += std::snprintf(text + used, sizeof text - used, ", threshold %.1f V",
                              thresholdMv / 1000.0);
    std::snprintf(text + used, sizeof text - used,
                  " out of range; this TAP takes output %.1f..%.1f V, threshold %.1f..%.1f V",
                  range[0][0] / 10.0, range[0][1] / 10.0, range[1][0] / 10.0, range[1][1] / 10.0);
    return Fail(text);
}

// tap NAME TAP [--vout VOLTS] [--vth VOLTS] [--pins DATA,CONTROL]: the pod is powered (TAP
// voltages need its TAPs identified in the session), the voltages set and the pins driven as
// asked, then the TAP's voltages and pins read back.
int Tap(const Args& args, Report* report) {
    uint64_t tap = 0;
    if (!tools::ParseUnsigned(args.words[1], 4, &tap) || tap == 0)
        return BadUsage(std::string("TAP is a number from 1 to 4, not ") + args.words[1]);
    // A threshold is set together with its output voltage.
    if (args.vth.given && !args.vout.given) return BadUsage("--vth is set with --vout");
    Opened c(args.words[0]);
    if (c.get() == nullptr) return kFailed;
    const ZPX_Handle h = c.get();
    const auto t = static_cast<uint32_t>(tap);
    if (!Ok("ZPX_SetPodPowerOn", ZPX_SetPodPowerOn(h))) return kFailed;
    const auto vout = static_cast<int32_t>(args.vout.number);
    const int32_t vth =
        args.vth.given ? static_cast<int32_t>(args.vth.number) : ZPX_DEFAULT_THRESHOLD;
    if (args.vout.given) {
        const uint32_t added = ZPX_AddNewTapInfoMillivolt(h, t, vout, vth);
        if (added == ZPX_STATUS_OUT_OF_RANGE) {
            (void)Ok("ZPX_AddNewTapInfoMillivolt", added);
            return VoltageOutOfRange(h, t, vout, vth);
        }
        if (!Ok("ZPX_AddNewTapInfoMillivolt", added) ||
            !Ok("ZPX_SetTapVoltageEx", ZPX_SetTapVoltageEx(h)))
            return kFailed;
    }
    if (args.pins.given &&
        !Ok("ZPX_SetTapIoPins", ZPX_SetTapIoPins(h, t, static_cast<uint32_t>(args.pins.number),
                                                 static_cast<uint32_t>(args.pins.second)))) {
        return kFailed;
    }
    uint32_t output = 0, threshold = 0, pinData = 0, pinControl = 0;
    int32_t type = -1;
    if (!Ok("ZPX_GetTapVoltageEx", ZPX_GetTapVoltageEx(h, t, &output, &threshold)) ||
        !Ok("ZPX_GetTapIoPins", ZPX_GetTapIoPins(h, t, &pinData, &pinControl)) ||
        !Ok("ZPX_GetTapType", ZPX_GetTapType(h, static_cast<int32_t>(t), &type))) {
        return kFailed;
    }
    report->Add("tap", t)
        .Add("type", type)
        .Add("output_volts", Report::Tenths(output))
        .Add("threshold_volts", Report::Tenths(threshold))
        .Add("pin_data", pinData)
        .Add("pin_control", pinControl);
    return kDone;
}

void TapText(const Report& r) {
    std::printf(
        "TAP %lld type %lld: output %s V, threshold %s V, pins data 0x%llX control 0x%llX\n",
        r["tap"].number(), r["type"].number(), r["output_volts"].Plain().c_str(),
        r["threshold_volts"].Plain().c_str(), r["pin_data"].number(), r["pin_control"].number());
}

// net NAME show  /  net NAME set [--ip U32] [--mac U32,U32] [--dhcp 0|1]
// The controller keeps the address as one u32 and the MAC address as two; they are shown and
// taken as those numbers, so that what is shown can be set again as it stands.
int Net(const Args& args, Report* report) {
    const std::string action = args.words[1];
    const bool settings = args.ip.given || args.mac.given || args.dhcp.given;
    if (action != "show" && action != "set")
        return BadUsage("no net action " + action + ": show or set");
    if (settings != (action == "set"))
        return BadUsage(settings ? "show takes no settings" : "set takes --ip, --mac or --dhcp");
    Opened c(args.words[0]);
    if (c.get() == nullptr) return kFailed;
    const ZPX_Handle h = c.get();
    const auto ip = static_cast<uint32_t>(args.ip.number);
    const auto mac1 = static_cast<uint32_t>(args.mac.number);
    const auto mac2 = static_cast<uint32_t>(args.mac.second);
    const auto dhcp = static_cast<uint32_t>(args.dhcp.number);
    if ((args.ip.given && !Ok("ZPX_SetIpAddress", ZPX_SetIpAddress(h, ip))) ||
        (args.mac.given && !Ok("ZPX_SetMACAddress", ZPX_SetMACAddress(h, mac1, mac2))) ||
        (args.dhcp.given && !Ok("ZPX_SetDHCP", ZPX_SetDHCP(h, dhcp)))) {
        return kFailed;
    }
    uint32_t address = 0, mac[2] = {}, flag = 0, fpga = 0, firmware = 0;
    if (!Ok("ZPX_GetIpAddress", ZPX_GetIpAddress(h, &address)) ||
        !Ok("ZPX_GetMACAddress", ZPX_GetMACAddress(h, &mac[0], &mac[1])) ||
        !Ok("ZPX_GetDHCP", ZPX_GetDHCP(h, &flag)) ||
        !Ok("ZPX_GetFPGAVersion", ZPX_GetFPGAVersion(h, &fpga)) ||
        !Ok("ZPX_GetFirmwareVersion", ZPX_GetFirmwareVersion(h, &firmware))) {
        return kFailed;
    }
    report->AddHex("ip", address)
        .AddHex("mac", mac, 2)
        .Add("dhcp", flag)
        .AddHex("fpga_version", fpga)
        .AddHex("firmware_version", firmware);
    return kDone;
}

// update NAME firmware|fpga FILE [--bytes FIRST,SECOND]
int Update(const Args& args, Report* report) {
    struct Image {
        const char* word;
        const char* call;
        const char* waiting;  // what the seconds shown on a terminal are for
        uint32_t (*send)(ZPX_Handle, uint32_t, uint32_t, uint8_t, uint8_t, const uint8_t*);
    };
    static const Image kImages[] = {
        {"firmware", "ZPX_UpdateFirmware", "update firmware", ZPX_UpdateFirmware},
        {"fpga", "ZPX_UpdateFPGA", "update fpga", ZPX_UpdateFPGA},
    };
    const Image* kind = Named(kImages, args.words[1]);
    if (kind == nullptr)
        return BadUsage(std::string("no image kind ") + args.words[1] + ": firmware or fpga");
    std::vector<uint8_t> image;
    if (!ReadAll(args.words[2], false, &image)) return kFailed;
    Opened c(args.words[0]);
    if (c.get() == nullptr) return kFailed;
    // The controller checks the image before it answers, which may take up to about a minute.
    std::fprintf(stderr, "zpxctl: sending %zu bytes, waiting for the controller's verdict\n",
                 image.size());
    const auto length = static_cast<uint32_t>(image.size());
    uint32_t status = 1;
    {
        Ticker ticker(kind->waiting);
        status = kind->send(c.get(), length, 0, static_cast<uint8_t>(args.bytes.number),
                            static_cast<uint8_t>(args.bytes.second), image.data());
    }
    if (!Ok(kind->call, status)) return kFailed;
    report->Add("image", kind->word).Add("bytes", length);
    return kDone;
}

void UpdateText(const Report& r) {
    std::printf("%s image of %lld bytes accepted\n", r["image"].text().c_str(),
                r["bytes"].number());
}

// mem read NAME MEMORY ADDRESS LENGTH [FILE]  /  mem write NAME MEMORY ADDRESS [FILE]
// The block goes to standard output or comes from standard input when FILE is "-" or absent.
int Mem(const Args& args, Report*) {
    const auto& words = args.words;
    const bool read = std::strcmp(words[0], "read") == 0;
    if (!read && std::strcmp(words[0], "write") != 0)
        return BadUsage(std::string("no mem action ") + words[0] + ": read or write");
    const size_t fileWord = read ? 5 : 4;
    uint64_t memory = 0, address = 0, length = 0;
    if (words.size() < fileWord) return BadUsage("words missing");
    if (words.size() > fileWord + 1)
        return BadUsage(std::string("one word too many: ") + words[fileWord + 1]);
    if (!tools::ParseUnsigned(words[2], 5, &memory))
        return BadUsage(std::string("MEMORY is a number from 0 to 5, not ") + words[2]);
    if (!tools::ParseUnsigned(words[3], 0xFFFFFFFF, &address))
        return BadUsage(std::string("ADDRESS is a number up to 0xFFFFFFFF, not ") + words[3]);
    if (read && !tools::ParseUnsigned(words[4], 0x7FFFFFFF, &length))
        return BadUsage(std::string("LENGTH is a number up to 0x7FFFFFFF, not ") + words[4]);
    const char* path = words.size() > fileWord ? words[fileWord] : "-";
    const bool stdio = std::strcmp(path, "-") == 0;
    std::vector<uint8_t> data;
    if (!read && !ReadAll(path, true, &data)) return kFailed;
    Opened c(words[1]);
    if (c.get() == nullptr) return kFailed;
    if (read) data.resize(length);
    // The controller's address counter wraps at the end of a memory: a block that does not fit
    // would overwrite (or read back) the memory's start. Refused before anything is sent.
    uint32_t size = 0;
    if (!Ok("ZPX_GetMemorySize", ZPX_GetMemorySize(c.get(), static_cast<int32_t>(memory), &size)))
        return kFailed;
    const std::string block = std::to_string(data.size()) + " bytes";
    const std::string holds =
        "memory " + std::to_string(memory) + " holds " + std::to_string(size) + " bytes";
    if (!read && data.size() > size)
        return Fail(std::string(stdio ? "standard input" : path) + " has " + block + ", " + holds);
    if (address + data.size() > size) {
        return Fail(std::string(read ? "reading " : "writing ") + block + " at " +
                    std::to_string(address) + " passes the end: " + holds);
    }
    // In pieces, each at its own address, so that a long transfer can show how far it got.
    Progress progress(read ? "mem read" : "mem write", data.size());
    for (size_t done = 0; done < data.size() || done == 0;) {
        const auto piece = static_cast<uint32_t>(std::min(data.size() - done, kMemPiece));
        const auto at = static_cast<uint32_t>(address + done);
        const auto m = static_cast<uint32_t>(memory);
        const bool ok = read ? Ok("ZPX_ReadMemory",
                                  ZPX_ReadMemory(c.get(), 0, m, at, piece, data.data() + done))
                             : Ok("ZPX_WriteMemory",
                                  ZPX_WriteMemory(c.get(), 0, m, at, piece, data.data() + done));
        if (!ok) return kFailed;
        done += piece;
        progress.Show(done);
        if (piece == 0) break;
    }
    progress.Done();
    if (!read) return kDone;
    FILE* out = stdio ? stdout : std::fopen(path, "wb");
    if (out == nullptr || std::fwrite(data.data(), 1, data.size(), out) != data.size()) {
        std::fprintf(stderr, "zpxctl: cannot write %s\n", path);
        return kFailed;
    }
    if (!stdio) std::fclose(out);
    return kDone;
}

}  // namespace zpx::ctl
