// zpxctl's station commands: one subcommand per thing a user does with a controller at a test
// station. Each opens the controller by name, does its work through the exports, prints status
// codes by name and exits non-zero on a failure.
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
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

#include "zpx/zpx.h"
#include "zpxctl_station.h"

namespace {

const char* StatusName(uint32_t status) {
    switch (status) {
        case ZPX_STATUS_OK:
            return "OK";
        case ZPX_STATUS_FAILED:
            return "FAILED";
        case ZPX_STATUS_NULL_HANDLE:
            return "NULL_HANDLE";
        case ZPX_STATUS_BUSY:
            return "BUSY";
        case ZPX_STATUS_INVALID:
            return "INVALID";
        case ZPX_STATUS_NOT_AVAILABLE:
            return "NOT_AVAILABLE";
        case ZPX_STATUS_CANNOT_OPEN:
            return "CANNOT_OPEN";
        case ZPX_STATUS_LEGACY_INDEX:
            return "LEGACY_INDEX";
        case ZPX_STATUS_NO_USB:
            return "NO_USB";
        case ZPX_STATUS_OS_UNSUPPORTED:
            return "OS_UNSUPPORTED";
        case ZPX_STATUS_DEVICE_BUSY:
            return "DEVICE_BUSY";
        default:
            return "UNKNOWN";
    }
}

// Reports a failed export as "zpxctl: ZPX_X: INVALID (10)"; true when the call succeeded.
bool Ok(const char* call, uint32_t status) {
    if (status == ZPX_STATUS_OK) return true;
    std::fprintf(stderr, "zpxctl: %s: %s (%u)\n", call, StatusName(status), status);
    return false;
}

constexpr size_t kMemPiece = 256 * 1024;

bool StderrIsTerminal() {
#ifdef _WIN32
    return _isatty(_fileno(stderr)) != 0;
#else
    return isatty(fileno(stderr)) != 0;
#endif
}

bool Number(const char* text, uint64_t limit, uint64_t* value) {
    if (text == nullptr || *text == '\0') return false;
    char* end = nullptr;
    const unsigned long long v = std::strtoull(text, &end, 0);
    if (*end != '\0' || v > limit || text[0] == '-') return false;
    *value = v;
    return true;
}

// Takes "--json" out of a command's arguments (after the controller's name); true when it was
// there.
bool TakeJson(int* argc, char** argv) {
    for (int i = 1; i < *argc; ++i) {
        if (std::strcmp(argv[i], "--json") != 0) continue;
        std::copy(argv + i + 1, argv + *argc, argv + i);
        --*argc;
        return true;
    }
    return false;
}

// One JSON object, for the --json output of the commands that print a record.
class Json {
  public:
    Json& Int(const char* key, long long value) {
        Key(key);
        out_ += std::to_string(value);
        return *this;
    }
    Json& Text(const char* key, const std::string& value) {
        Key(key);
        out_ += '"';
        for (const unsigned char ch : value) {
            if (ch == '"' || ch == '\\') {
                out_ += '\\';
                out_ += static_cast<char>(ch);
            } else if (ch < 0x20) {
                char escaped[8];
                std::snprintf(escaped, sizeof escaped, "\\u%04x", ch);
                out_ += escaped;
            } else {
                out_ += static_cast<char>(ch);
            }
        }
        out_ += '"';
        return *this;
    }
    template <typename T>
    Json& Ints(const char* key, const T* values, size_t count) {
        Key(key);
        out_ += '[';
        for (size_t i = 0; i < count; ++i)
            out_ += (i != 0 ? ", " : "") + std::to_string(values[i]);
        out_ += ']';
        return *this;
    }
    Json& Object(const char* key, const Json& inner) {
        Key(key);
        out_ += inner.str();
        return *this;
    }
    std::string str() const { return out_ + '}'; }
    void Print() const { std::printf("%s\n", str().c_str()); }

  private:
    void Key(const char* key) {
        if (out_.size() > 1) out_ += ", ";
        out_ += '"';
        out_ += key;
        out_ += "\": ";
    }
    std::string out_ = "{";
};

std::string Hex64(uint32_t high, uint32_t low) {
    char text[17];
    std::snprintf(text, sizeof text, "%08X%08X", high, low);
    return text;
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

struct Command {
    const char* name;
    const char* usage;
    const char* help;
    int (*run)(int argc, char** argv);  // argv[0] is the command's first argument
};

// The session's information record, copied while the session is open.
Json RecordJson(const ZPX_ControllerInfoRecord& r) {
    const size_t taps = std::min<size_t>(r.TapCount, 4);
    Json json;
    json.Int("valid_mask", r.ValidMask)
        .Int("pod_type", r.PodType)
        .Int("tap_count", r.TapCount)
        .Ints("tap_states", r.TapStates, r.TapStates ? taps : 0)
        .Ints("min_output_decivolts", r.MinOutputVoltage, r.MinOutputVoltage ? taps : 0)
        .Ints("max_output_decivolts", r.MaxOutputVoltage, r.MaxOutputVoltage ? taps : 0)
        .Int("frequency_khz", r.FrequencyKhz);
    return json;
}

Json DeviceJson(const ZPX_DeviceInfo& d) {
    const int32_t clock[2] = {d.MinFrequencyKhz, d.MaxFrequencyKhz};
    const int32_t output[2] = {d.MinOutputVoltage, d.MaxOutputVoltage};
    const int32_t threshold[2] = {d.MinThresholdVoltage, d.MaxThresholdVoltage};
    Json json;
    json.Int("controller_kind", d.ControllerKind)
        .Int("pod_kind", d.PodKind)
        .Ints("tap_state", d.TapState, 4)
        .Ints("clock_khz", clock, 2)
        .Ints("output_decivolts", output, 2)
        .Ints("threshold_decivolts", threshold, 2);
    return json;
}

// info NAME [--json]: identity, serial numbers, clock range and memory sizes, then the session's
// information record and the device information record as the library builds them.
int Info(int argc, char** argv) {
    const bool json = TakeJson(&argc, argv);
    if (argc != 1) return 2;
    Opened c(argv[0]);
    if (c.get() == nullptr) return 1;
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
    if (!ok) return 1;
    // Not every controller has a transceiver, nor every session a device description: their
    // absence is not a failure of the command.
    const bool transceiver = TransceiverSerial(h, &thigh, &tlow);
    ZPX_DeviceInfo* device = ZPX_CreateDeviceInfo(h, nullptr);
    if (json) {
        Json out;
        out.Text("name", argv[0])
            .Int("type", static_cast<int32_t>(type))
            .Int("interface", kind)
            .Int("index", static_cast<int32_t>(index))
            .Int("epld", epld)
            .Int("flash", flash)
            .Ints("clock_khz", clock, 2)
            .Text("serial", Hex64(high, low));
        if (transceiver) out.Text("transceiver_serial", Hex64(thigh, tlow));
        out.Ints("memory_bytes", sizes, 6).Object("record", RecordJson(*record));
        if (device != nullptr) out.Object("device", DeviceJson(*device));
        out.Print();
    } else {
        std::printf(
            "controller %s\n  type %d, interface %u index %d\n  EPLD revision %u, flash "
            "code 0x%02X\n  clock %u..%u kHz, now %u kHz\n  serial %s\n",
            argv[0], static_cast<int>(type), kind, static_cast<int>(index), epld, flash, clock[0],
            clock[1], record->FrequencyKhz, Hex64(high, low).c_str());
        if (transceiver) std::printf("  transceiver serial %s\n", Hex64(thigh, tlow).c_str());
        std::printf("  memories (bytes)");
        for (uint32_t size : sizes)
            std::printf(" %u", size);
        std::printf("\n  pod type %d, %u TAPs", record->PodType, record->TapCount);
        const bool blocks = record->TapStates != nullptr && record->MinOutputVoltage != nullptr &&
                            record->MaxOutputVoltage != nullptr;
        for (uint32_t t = 0; blocks && t < record->TapCount; ++t) {
            std::printf("%s TAP %u state %d output %d..%d", t == 0 ? ":" : ",", t + 1,
                        record->TapStates[t], record->MinOutputVoltage[t],
                        record->MaxOutputVoltage[t]);
        }
        std::printf("\n");
        if (device != nullptr) {
            std::printf(
                "  device: kind %d, pod kind %d, TAP states %d %d %d %d, clock %d..%d kHz, "
                "output %d..%d, threshold %d..%d (tenths of a volt)\n",
                device->ControllerKind, device->PodKind, device->TapState[0], device->TapState[1],
                device->TapState[2], device->TapState[3], device->MinFrequencyKhz,
                device->MaxFrequencyKhz, device->MinOutputVoltage, device->MaxOutputVoltage,
                device->MinThresholdVoltage, device->MaxThresholdVoltage);
        }
    }
    if (device != nullptr) (void)ZPX_DestroyDeviceInfo(h, device);
    return 0;
}

int Clock(int argc, char** argv) {
    const bool json = TakeJson(&argc, argv);
    uint64_t khz = 0;
    const bool set = argc == 3 && std::strcmp(argv[1], "--set") == 0;
    if (!(argc == 1 || set) || (set && !Number(argv[2], 0x7FFFFFFF, &khz))) return 2;
    Opened c(argv[0]);
    if (c.get() == nullptr) return 1;
    if (set &&
        !Ok("ZPX_SetCtrlFrequency", ZPX_SetCtrlFrequency(c.get(), 0, static_cast<int32_t>(khz)))) {
        return 1;
    }
    uint32_t now = 0, range[2] = {};
    if (!Ok("ZPX_GetCurrentFrequency", ZPX_GetCurrentFrequency(c.get(), &now))) return 1;
    if (!json) {
        std::printf("%u kHz\n", now);
        return 0;
    }
    if (!Ok("ZPX_GetFrequencyRange", ZPX_GetFrequencyRange(c.get(), &range[0], &range[1])))
        return 1;
    Json().Int("khz", now).Ints("range_khz", range, 2).Print();
    return 0;
}

int Serial(int argc, char** argv) {
    const bool json = TakeJson(&argc, argv);
    if (argc != 1) return 2;
    Opened c(argv[0]);
    if (c.get() == nullptr) return 1;
    uint32_t high = 0, low = 0, thigh = 0, tlow = 0;
    if (!Ok("ZPX_GetControllerSerialNumber", ZPX_GetControllerSerialNumber(c.get(), &high, &low)))
        return 1;
    // Not every controller has a transceiver: its absence is not a failure of the command.
    const bool transceiver = TransceiverSerial(c.get(), &thigh, &tlow);
    if (json) {
        Json out;
        out.Text("controller", Hex64(high, low));
        if (transceiver) out.Text("transceiver", Hex64(thigh, tlow));
        out.Print();
        return 0;
    }
    std::printf("controller %s\n", Hex64(high, low).c_str());
    if (transceiver) std::printf("transceiver %s\n", Hex64(thigh, tlow).c_str());
    return 0;
}

int Pod(int argc, char** argv) {
    const bool json = TakeJson(&argc, argv);
    if (argc != 2) return 2;
    const std::string what = argv[1];
    if (what != "on" && what != "off" && what != "activate" && what != "deactivate" &&
        what != "status") {
        return 2;
    }
    Opened c(argv[0]);
    if (c.get() == nullptr) return 1;
    const ZPX_Handle h = c.get();
    bool ok = true;
    if (what == "on") ok = Ok("ZPX_SetPodPowerOn", ZPX_SetPodPowerOn(h));
    if (what == "off") ok = Ok("ZPX_SetPodPowerOff", ZPX_SetPodPowerOff(h));
    if (what == "activate") ok = Ok("ZPX_ActivatePod", ZPX_ActivatePod(h, 0));
    if (what == "deactivate") ok = Ok("ZPX_DeActivatePod", ZPX_DeActivatePod(h));
    if (!ok) return 1;
    uint32_t powered = 0, active = 0;
    int32_t podType = -1;
    if (!Ok("ZPX_PodPowered", ZPX_PodPowered(h, &powered)) ||
        !Ok("ZPX_PodActivated", ZPX_PodActivated(h, &active))) {
        return 1;
    }
    (void)ZPX_GetPodType(h, &podType);
    if (json) {
        Json()
            .Int("power_state", powered)
            .Int("activated", active)
            .Int("pod_type", podType)
            .Print();
    } else {
        std::printf("pod power state %u, activated %u, pod type %d\n", powered, active, podType);
    }
    return 0;
}

int Run(int argc, char** argv) {
    const bool json = TakeJson(&argc, argv);
    uint64_t seconds = 10;
    if (argc != 1 && !(argc == 3 && std::strcmp(argv[1], "--timeout") == 0 &&
                       Number(argv[2], 86400, &seconds))) {
        return 2;
    }
    Opened c(argv[0]);
    if (c.get() == nullptr) return 1;
    if (!Ok("ZPX_StartController", ZPX_StartController(c.get()))) return 1;
    uint32_t running = 1;
    for (uint64_t waited = 0; running != 0 && waited <= seconds * 1000; waited += 10) {
        if (!Ok("ZPX_GetControllerStatus", ZPX_GetControllerStatus(c.get(), &running))) return 1;
        if (running != 0) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    uint32_t error = 0;
    if (!Ok("ZPX_GetError", ZPX_GetError(c.get(), &error))) return 1;
    if (json) {
        Json().Int("stopped", running == 0).Int("error", error).Print();
    } else {
        std::printf("%s, error register 0x%02X\n", running != 0 ? "still running" : "stopped",
                    error);
    }
    return running != 0 ? 1 : 0;
}

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

// tap NAME TAP [--vout MV] [--vth MV] [--pins DATA,CONTROL]: the pod is powered (TAP voltages
// need its TAPs identified in the session), the voltages set and the pins driven as asked, then
// the TAP's voltages and pins read back.
int Tap(int argc, char** argv) {
    const bool json = TakeJson(&argc, argv);
    uint64_t tap = 0, vout = 0, vth = 0, data = 0, control = 0;
    bool setVout = false, setVth = false, setPins = false;
    if (argc < 2 || !Number(argv[1], 4, &tap) || tap == 0) return 2;
    for (int i = 2; i < argc; i += 2) {
        if (i + 1 >= argc) return 2;
        const std::string option = argv[i];
        if (option == "--vout" && Number(argv[i + 1], 10000, &vout)) {
            setVout = true;
        } else if (option == "--vth" && Number(argv[i + 1], 10000, &vth)) {
            setVth = true;
        } else if (option == "--pins") {
            const std::string pins = argv[i + 1];
            const size_t comma = pins.find(',');
            if (comma == std::string::npos || !Number(pins.substr(0, comma).c_str(), 15, &data) ||
                !Number(pins.substr(comma + 1).c_str(), 15, &control)) {
                return 2;
            }
            setPins = true;
        } else {
            return 2;
        }
    }
    if (setVth && !setVout) return 2;  // a threshold is set together with its output voltage
    Opened c(argv[0]);
    if (c.get() == nullptr) return 1;
    const ZPX_Handle h = c.get();
    const auto t = static_cast<uint32_t>(tap);
    if (!Ok("ZPX_SetPodPowerOn", ZPX_SetPodPowerOn(h))) return 1;
    if (setVout && (!Ok("ZPX_AddNewTapInfoMillivolt",
                        ZPX_AddNewTapInfoMillivolt(
                            h, t, static_cast<int32_t>(vout),
                            setVth ? static_cast<int32_t>(vth) : ZPX_DEFAULT_THRESHOLD)) ||
                    !Ok("ZPX_SetTapVoltageEx", ZPX_SetTapVoltageEx(h)))) {
        return 1;
    }
    if (setPins && !Ok("ZPX_SetTapIoPins", ZPX_SetTapIoPins(h, t, static_cast<uint32_t>(data),
                                                            static_cast<uint32_t>(control)))) {
        return 1;
    }
    uint32_t output = 0, threshold = 0, pinData = 0, pinControl = 0;
    int32_t type = -1;
    if (!Ok("ZPX_GetTapVoltageEx", ZPX_GetTapVoltageEx(h, t, &output, &threshold)) ||
        !Ok("ZPX_GetTapIoPins", ZPX_GetTapIoPins(h, t, &pinData, &pinControl)) ||
        !Ok("ZPX_GetTapType", ZPX_GetTapType(h, static_cast<int32_t>(t), &type))) {
        return 1;
    }
    if (json) {
        Json()
            .Int("tap", t)
            .Int("type", type)
            .Int("output_decivolts", output)
            .Int("threshold_decivolts", threshold)
            .Int("pin_data", pinData)
            .Int("pin_control", pinControl)
            .Print();
        return 0;
    }
    std::printf("TAP %u type %d: output %u.%u V, threshold %u.%u V, pins data 0x%X control 0x%X\n",
                t, type, output / 10, output % 10, threshold / 10, threshold % 10, pinData,
                pinControl);
    return 0;
}

// list: the kernel-driver device nodes present, with the controller name that opens each. The
// drivers' nodes are /dev/<name> on Linux; Windows keeps its devices out of the file system.
int List(int argc, char**) {
    if (argc != 0) return 2;
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
            if (file.rfind(prefix, 0) == 0 && Number(file.c_str() + prefix.size(), 255, &index))
                found.push_back("/dev/" + file + "  " + n.open + std::to_string(index) + n.suffix);
        }
    }
    if (error) {
        std::fprintf(stderr, "zpxctl: this system keeps no controller device nodes in /dev\n");
        return 1;
    }
    std::sort(found.begin(), found.end());
    for (const std::string& line : found)
        std::printf("%s\n", line.c_str());
    if (found.empty()) std::printf("no controller device nodes\n");
    return 0;
}

// net NAME show [--json]  /  net NAME set [--ip U32] [--mac U32,U32] [--dhcp 0|1]
// The controller keeps the address as one u32 and the MAC address as two; they are shown and
// taken as those numbers, so that what is shown can be set again as it stands.
int Net(int argc, char** argv) {
    const bool json = TakeJson(&argc, argv);
    if (argc < 2) return 2;
    const std::string action = argv[1];
    uint64_t ip = 0, mac1 = 0, mac2 = 0, dhcp = 0;
    bool setIp = false, setMac = false, setDhcp = false;
    if (action == "show") {
        if (argc != 2) return 2;
    } else if (action == "set") {
        for (int i = 2; i < argc; i += 2) {
            if (i + 1 >= argc) return 2;
            const std::string option = argv[i], value = argv[i + 1];
            const size_t comma = value.find(',');
            if (option == "--ip" && Number(value.c_str(), 0xFFFFFFFF, &ip)) {
                setIp = true;
            } else if (option == "--dhcp" && Number(value.c_str(), 1, &dhcp)) {
                setDhcp = true;
            } else if (option == "--mac" && comma != std::string::npos &&
                       Number(value.substr(0, comma).c_str(), 0xFFFFFFFF, &mac1) &&
                       Number(value.substr(comma + 1).c_str(), 0xFFFFFFFF, &mac2)) {
                setMac = true;
            } else {
                return 2;
            }
        }
        if (!setIp && !setMac && !setDhcp) return 2;
    } else {
        return 2;
    }
    Opened c(argv[0]);
    if (c.get() == nullptr) return 1;
    const ZPX_Handle h = c.get();
    if ((setIp && !Ok("ZPX_SetIpAddress", ZPX_SetIpAddress(h, static_cast<uint32_t>(ip)))) ||
        (setMac && !Ok("ZPX_SetMACAddress", ZPX_SetMACAddress(h, static_cast<uint32_t>(mac1),
                                                              static_cast<uint32_t>(mac2)))) ||
        (setDhcp && !Ok("ZPX_SetDHCP", ZPX_SetDHCP(h, static_cast<uint32_t>(dhcp))))) {
        return 1;
    }
    uint32_t address = 0, first = 0, second = 0, flag = 0, fpga = 0, firmware = 0;
    if (!Ok("ZPX_GetIpAddress", ZPX_GetIpAddress(h, &address)) ||
        !Ok("ZPX_GetMACAddress", ZPX_GetMACAddress(h, &first, &second)) ||
        !Ok("ZPX_GetDHCP", ZPX_GetDHCP(h, &flag)) ||
        !Ok("ZPX_GetFPGAVersion", ZPX_GetFPGAVersion(h, &fpga)) ||
        !Ok("ZPX_GetFirmwareVersion", ZPX_GetFirmwareVersion(h, &firmware))) {
        return 1;
    }
    if (json) {
        const uint32_t mac[2] = {first, second};
        Json()
            .Int("ip", address)
            .Ints("mac", mac, 2)
            .Int("dhcp", flag)
            .Int("fpga_version", fpga)
            .Int("firmware_version", firmware)
            .Print();
    } else {
        std::printf(
            "ip 0x%08X\nmac 0x%08X,0x%08X\ndhcp %u\nfpga version 0x%08X\nfirmware version "
            "0x%08X\n",
            address, first, second, flag, fpga, firmware);
    }
    return 0;
}

// update NAME firmware|fpga FILE [--bytes FIRST,SECOND]
int Update(int argc, char** argv) {
    if (argc != 3 && argc != 5) return 2;
    const std::string what = argv[1];
    if (what != "firmware" && what != "fpga") return 2;
    uint64_t first = 0, second = 0;
    if (argc == 5) {
        const std::string value = argv[4];
        const size_t comma = value.find(',');
        if (std::strcmp(argv[3], "--bytes") != 0 || comma == std::string::npos ||
            !Number(value.substr(0, comma).c_str(), 255, &first) ||
            !Number(value.substr(comma + 1).c_str(), 255, &second)) {
            return 2;
        }
    }
    FILE* in = std::fopen(argv[2], "rb");
    if (in == nullptr) {
        std::fprintf(stderr, "zpxctl: cannot read %s\n", argv[2]);
        return 1;
    }
    std::vector<uint8_t> image;
    uint8_t piece[65536];
    for (size_t n; (n = std::fread(piece, 1, sizeof piece, in)) > 0;)
        image.insert(image.end(), piece, piece + n);
    std::fclose(in);
    Opened c(argv[0]);
    if (c.get() == nullptr) return 1;
    // The controller checks the image before it answers, which may take up to about a minute.
    std::fprintf(stderr, "zpxctl: sending %zu bytes, waiting for the controller's verdict\n",
                 image.size());
    const auto length = static_cast<uint32_t>(image.size());
    const auto a = static_cast<uint8_t>(first), b = static_cast<uint8_t>(second);
    uint32_t status = 1;
    {
        Ticker ticker(what == "firmware" ? "update firmware" : "update fpga");
        status = what == "firmware" ? ZPX_UpdateFirmware(c.get(), length, 0, a, b, image.data())
                                    : ZPX_UpdateFPGA(c.get(), length, 0, a, b, image.data());
    }
    if (!Ok(what == "firmware" ? "ZPX_UpdateFirmware" : "ZPX_UpdateFPGA", status)) return 1;
    std::printf("%s image of %u bytes accepted\n", what.c_str(), length);
    return 0;
}

// mem read NAME MEMORY ADDRESS LENGTH [FILE]  /  mem write NAME MEMORY ADDRESS [FILE]
int Mem(int argc, char** argv) {
    if (argc < 4) return 2;
    const bool read = std::strcmp(argv[0], "read") == 0;
    if (!read && std::strcmp(argv[0], "write") != 0) return 2;
    uint64_t memory = 0, address = 0, length = 0;
    if (!Number(argv[2], 5, &memory) || !Number(argv[3], 0xFFFFFFFF, &address)) return 2;
    const int fileArg = read ? 5 : 4;
    if (read && (argc < 5 || !Number(argv[4], 0x7FFFFFFF, &length))) return 2;
    if (argc > fileArg + 1) return 2;
    const char* path = argc > fileArg ? argv[fileArg] : "-";
    const bool stdio = std::strcmp(path, "-") == 0;
    std::vector<uint8_t> data;
    if (!read) {
        FILE* in = stdio ? stdin : std::fopen(path, "rb");
        if (in == nullptr) {
            std::fprintf(stderr, "zpxctl: cannot read %s\n", path);
            return 1;
        }
        uint8_t piece[65536];
        for (size_t n; (n = std::fread(piece, 1, sizeof piece, in)) > 0;)
            data.insert(data.end(), piece, piece + n);
        if (!stdio) std::fclose(in);
    }
    Opened c(argv[1]);
    if (c.get() == nullptr) return 1;
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
        if (!ok) return 1;
        done += piece;
        progress.Show(done);
        if (piece == 0) break;
    }
    progress.Done();
    if (!read) return 0;
    FILE* out = stdio ? stdout : std::fopen(path, "wb");
    if (out == nullptr || std::fwrite(data.data(), 1, data.size(), out) != data.size()) {
        std::fprintf(stderr, "zpxctl: cannot write %s\n", path);
        return 1;
    }
    if (!stdio) std::fclose(out);
    return 0;
}

const Command kCommands[] = {
    {"list", "list", "the controller device nodes present, with the name that opens each", List},
    {"info", "info NAME [--json]",
     "identity, serial numbers, clock and memory sizes of controller NAME, with its\n"
     "      information record and device information",
     Info},
    {"clock", "clock NAME [--set KHZ] [--json]", "the test clock in kHz; --set programs it first",
     Clock},
    {"serial", "serial NAME [--json]", "the controller's (and transceiver's) serial numbers",
     Serial},
    {"pod", "pod NAME on|off|activate|deactivate|status [--json]",
     "pod power and activation, then the pod's state", Pod},
    {"run", "run NAME [--timeout S] [--json]",
     "start the sequencer, wait until it stops (default 10 s), print the error register", Run},
    {"tap", "tap NAME TAP [--vout MV] [--vth MV] [--pins DATA,CONTROL] [--json]",
     "power the pod, set TAP 1-4's voltages (millivolts) and drive its pins, then read them back",
     Tap},
    {"net", "net NAME show | set [--ip U32] [--mac U32,U32] [--dhcp 0|1] [--json]",
     "the Ethernet settings and versions of a 51x4 controller; set changes them first", Net},
    {"update", "update NAME firmware|fpga FILE [--bytes FIRST,SECOND]",
     "send a firmware or FPGA image and wait for the controller's verdict", Update},
    {"mem", "mem read NAME MEMORY ADDRESS LENGTH [FILE] | mem write NAME MEMORY ADDRESS [FILE]",
     "a memory block to FILE or standard output, or from FILE or standard input", Mem},
};

}  // namespace

void PrintStationUsage() {
    for (const Command& c : kCommands)
        std::printf("  zpxctl %s\n      %s\n", c.usage, c.help);
}

int StationCommand(int argc, char** argv) {
    if (argc < 2) return -1;
    for (const Command& c : kCommands) {
        if (std::strcmp(argv[1], c.name) != 0) continue;
        if (argc >= 3 && std::strcmp(argv[2], "--help") == 0) {
            std::printf("usage: zpxctl %s\n  %s\n", c.usage, c.help);
            return 0;
        }
        const int rc = c.run(argc - 2, argv + 2);
        if (rc == 2) std::fprintf(stderr, "usage: zpxctl %s\n", c.usage);
        return rc;
    }
    return -1;
}
