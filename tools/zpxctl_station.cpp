// zpxctl's station commands: one subcommand per thing a user does with a controller at a test
// station. Each opens the controller by name, does its work through the exports, reports a
// failed export by its status name and gathers what it found into its report.
#include "zpxctl_station.h"

#include <algorithm>
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
#include <unistd.h>
#endif

#include "number_arguments.h"
#include "zpx/zpx.h"

namespace zpx::ctl {

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

// The transceiver's serial number, where the controller has a transceiver. Its ROM is routed
// through register 2, which the read leaves at 1: a 51x4 controller takes that as "pod active".
// Writing the learn-mode bit back as it was rewrites register 2 from the session's copy, so that
// looking at a controller does not activate its pod.
bool TransceiverSerial(ZPX_Handle h, uint32_t* high, uint32_t* low) {
    uint32_t learn = 0;
    const bool restore = ZPX_GetLearnMode(h, &learn) == ZPX_STATUS_OK;
    const bool ok = ZPX_GetTransceiverSerialNumber(h, high, low) == ZPX_STATUS_OK;
    if (restore) (void)ZPX_SetLearnMode(h, learn);
    return ok;
}

// The controller of one command, closed when the command ends.
class Opened {
  public:
    explicit Opened(const char* name) {
        uint32_t status = 0;
        handle_ = ZPX_OpenController(name, &status);
        if (handle_ == nullptr) (void)Ok("ZPX_OpenController", status);
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

// open NAME: its type and interface, then its status registers. Unlike the other commands it
// prints a failed open as the bare status on standard output, and shows what it read even when
// the status registers then cannot be read.
int Open(const Args& args, Report* report) {
    const char* name = args.words[0];
    uint32_t status = 0;
    ZPX_Handle h = ZPX_OpenController(name, &status);
    if (h == nullptr) {
        std::printf("open %s: status %u\n", name, status);
        return kFailed;
    }
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
    (void)ZPX_CloseController(h);
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
                    .Add("min_output_decivolts",
                         Report::Numbers(r.MinOutputVoltage, r.MinOutputVoltage ? taps : 0))
                    .Add("max_output_decivolts",
                         Report::Numbers(r.MaxOutputVoltage, r.MaxOutputVoltage ? taps : 0))
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
                                  .Add("output_decivolts", Report::Numbers(range[1], 2))
                                  .Add("threshold_decivolts", Report::Numbers(range[2], 2)));
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
    const auto& lows = record["min_output_decivolts"].items();
    const auto& highs = record["max_output_decivolts"].items();
    const size_t taps = std::min({states.size(), lows.size(), highs.size()});
    for (size_t t = 0; t < taps; ++t) {
        std::printf("%s TAP %zu state %lld output %lld..%lld", t == 0 ? ":" : ",", t + 1,
                    states[t].number(), lows[t].number(), highs[t].number());
    }
    std::printf("\n");
    if (!r.Has("device")) return;
    const Report& d = r["device"];
    const auto& tapState = d["tap_state"].items();
    const auto& dclock = d["clock_khz"].items();
    const auto& output = d["output_decivolts"].items();
    const auto& threshold = d["threshold_decivolts"].items();
    std::printf(
        "  device: kind %lld, pod kind %lld, TAP states %lld %lld %lld %lld, clock %lld..%lld "
        "kHz, output %lld..%lld, threshold %lld..%lld (tenths of a volt)\n",
        d["controller_kind"].number(), d["pod_kind"].number(), tapState[0].number(),
        tapState[1].number(), tapState[2].number(), tapState[3].number(), dclock[0].number(),
        dclock[1].number(), output[0].number(), output[1].number(), threshold[0].number(),
        threshold[1].number());
}

// clock NAME [--set KHZ]
int Clock(const Args& args, Report* report) {
    Opened c(args.words[0]);
    if (c.get() == nullptr) return kFailed;
    if (args.set.given &&
        !Ok("ZPX_SetCtrlFrequency",
            ZPX_SetCtrlFrequency(c.get(), 0, static_cast<int32_t>(args.set.number))))
        return kFailed;
    uint32_t now = 0, range[2] = {};
    if (!Ok("ZPX_GetCurrentFrequency", ZPX_GetCurrentFrequency(c.get(), &now)) ||
        !Ok("ZPX_GetFrequencyRange", ZPX_GetFrequencyRange(c.get(), &range[0], &range[1])))
        return kFailed;
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
    if (action == nullptr) return kUsage;
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
    report->Add("power_state", powered).Add("activated", active).Add("pod_type", podType);
    return kDone;
}

void PodText(const Report& r) {
    std::printf("pod power state %lld, activated %lld, pod type %lld\n", r["power_state"].number(),
                r["activated"].number(), r["pod_type"].number());
}

// run NAME [--timeout S]: a run still going when the time is up is a failure, and says so.
int Run(const Args& args, Report* report) {
    const uint64_t seconds = args.timeout.given ? args.timeout.number : 10;
    Opened c(args.words[0]);
    if (c.get() == nullptr) return kFailed;
    if (!Ok("ZPX_StartController", ZPX_StartController(c.get()))) return kFailed;
    uint32_t running = 1;
    for (uint64_t waited = 0; running != 0 && waited <= seconds * 1000; waited += 10) {
        if (!Ok("ZPX_GetControllerStatus", ZPX_GetControllerStatus(c.get(), &running)))
            return kFailed;
        if (running != 0) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    uint32_t error = 0;
    if (!Ok("ZPX_GetError", ZPX_GetError(c.get(), &error))) return kFailed;
    report->Add("stopped", running == 0).Add("error", error);
    return running != 0 ? kFailed : kDone;
}

void RunText(const Report& r) {
    std::printf("%s, error register 0x%02llX\n",
                r["stopped"].number() ? "stopped" : "still running", r["error"].number());
}

// tap NAME TAP [--vout MV] [--vth MV] [--pins DATA,CONTROL]: the pod is powered (TAP voltages
// need its TAPs identified in the session), the voltages set and the pins driven as asked, then
// the TAP's voltages and pins read back.
int Tap(const Args& args, Report* report) {
    uint64_t tap = 0;
    if (!tools::ParseUnsigned(args.words[1], 4, &tap) || tap == 0) return kUsage;
    // A threshold is set together with its output voltage.
    if (args.vth.given && !args.vout.given) return kUsage;
    Opened c(args.words[0]);
    if (c.get() == nullptr) return kFailed;
    const ZPX_Handle h = c.get();
    const auto t = static_cast<uint32_t>(tap);
    if (!Ok("ZPX_SetPodPowerOn", ZPX_SetPodPowerOn(h))) return kFailed;
    const auto vout = static_cast<int32_t>(args.vout.number);
    const int32_t vth =
        args.vth.given ? static_cast<int32_t>(args.vth.number) : ZPX_DEFAULT_THRESHOLD;
    if (args.vout.given &&
        (!Ok("ZPX_AddNewTapInfoMillivolt", ZPX_AddNewTapInfoMillivolt(h, t, vout, vth)) ||
         !Ok("ZPX_SetTapVoltageEx", ZPX_SetTapVoltageEx(h)))) {
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
        .Add("output_decivolts", output)
        .Add("threshold_decivolts", threshold)
        .Add("pin_data", pinData)
        .Add("pin_control", pinControl);
    return kDone;
}

void TapText(const Report& r) {
    const long long output = r["output_decivolts"].number();
    const long long threshold = r["threshold_decivolts"].number();
    std::printf(
        "TAP %lld type %lld: output %lld.%lld V, threshold %lld.%lld V, pins data 0x%llX "
        "control 0x%llX\n",
        r["tap"].number(), r["type"].number(), output / 10, output % 10, threshold / 10,
        threshold % 10, r["pin_data"].number(), r["pin_control"].number());
}

// net NAME show  /  net NAME set [--ip U32] [--mac U32,U32] [--dhcp 0|1]
// The controller keeps the address as one u32 and the MAC address as two; they are shown and
// taken as those numbers, so that what is shown can be set again as it stands.
int Net(const Args& args, Report* report) {
    const std::string action = args.words[1];
    const bool settings = args.ip.given || args.mac.given || args.dhcp.given;
    if ((action != "show" && action != "set") || settings != (action == "set")) return kUsage;
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
    if (kind == nullptr) return kUsage;
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
    if (!read && std::strcmp(words[0], "write") != 0) return kUsage;
    const size_t fileWord = read ? 5 : 4;
    uint64_t memory = 0, address = 0, length = 0;
    if (!tools::ParseUnsigned(words[2], 5, &memory) ||
        !tools::ParseUnsigned(words[3], 0xFFFFFFFF, &address) || words.size() < fileWord ||
        words.size() > fileWord + 1 ||
        (read && !tools::ParseUnsigned(words[4], 0x7FFFFFFF, &length))) {
        return kUsage;
    }
    const char* path = words.size() > fileWord ? words[fileWord] : "-";
    const bool stdio = std::strcmp(path, "-") == 0;
    std::vector<uint8_t> data;
    if (!read && !ReadAll(path, true, &data)) return kFailed;
    Opened c(words[1]);
    if (c.get() == nullptr) return kFailed;
    if (read) data.resize(length);
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
