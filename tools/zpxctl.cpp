// zpxctl: command-line tool over the public exports. Every command is a row of the table below;
// the station commands' handlers are in zpxctl_station.cpp, the parser and the report that every
// command goes through in zpxctl_command.cpp.
//
//   zpxctl demo [--type N] [--vcd FILE]   a whole test run against an in-process emulated
//                                         Ethernet controller
//   zpxctl open NAME                      open controller NAME, print its type, interface and
//                                         status registers, close it
//   zpxctl list|info|clock|...            the station commands
//   zpxctl --version                      the package version, given by the build
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "zpx/zpx.h"
#include "zpxctl_command.h"
#include "zpxctl_station.h"

#ifdef ZPX_HAVE_EMULATOR
#include "controller.h"
#include "lan_server.h"
#endif

namespace zpx::ctl {
namespace {

#ifdef ZPX_HAVE_EMULATOR

// Runs the steps in order, printing each with its duration; stops at the first failure.
class StepRunner {
  public:
    bool Step(const char* what, const std::function<std::string()>& body) {
        if (failed_) return false;
        const auto start = std::chrono::steady_clock::now();
        const std::string problem = body();
        const double ms =
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
                .count();
        total_ += ms;
        ++count_;
        if (problem.empty()) {
            std::printf("  %-44s ok    %9.3f ms\n", what, ms);
        } else {
            std::printf("  %-44s FAIL  %9.3f ms  %s\n", what, ms, problem.c_str());
            failed_ = true;
        }
        std::fflush(stdout);
        return !failed_;
    }
    bool failed() const { return failed_; }
    int count() const { return count_; }
    double total() const { return total_; }

  private:
    bool failed_ = false;
    int count_ = 0;
    double total_ = 0;
};

std::string Status(const char* call, uint32_t status) {
    return status == ZPX_STATUS_OK ? std::string()
                                   : std::string(call) + " returned " + std::to_string(status);
}

int Demo(int type, const char* vcdPath) {
    zpx::emu::ControllerConfig config;
    config.type = type;
    config.runPeriods = 20000;  // 2 ms at the 10 MHz test clock below
    zpx::emu::Controller controller(config);
    zpx::emu::LanServer server(controller);
    std::string address, error;
    if (!zpx::emu::StartOnFreeLoopback(server, zpx::emu::kLanPort, &address, &error)) {
        std::printf("demo: cannot start the emulated controller: %s\n", error.c_str());
        return 1;
    }
    if (vcdPath != nullptr && !controller.StartVcd(vcdPath, &error)) {
        std::printf("demo: cannot write %s: %s\n", vcdPath, error.c_str());
        return 1;
    }
    const std::string name = "ETH" + address;
    std::printf("zpx demo: emulated controller of type %d at %s:%u\n", type, address.c_str(),
                static_cast<unsigned>(zpx::emu::kLanPort));

    constexpr uint32_t kMemory = 1;
    constexpr uint32_t kVectorBytes = 64 * 1024;
    constexpr int32_t kClockKhz = 10000;
    std::vector<uint8_t> vectors(kVectorBytes);
    uint32_t seed = 0x2545F491;
    for (uint8_t& b : vectors) {
        seed = seed * 1664525u + 1013904223u;
        b = static_cast<uint8_t>(seed >> 24);
    }
    std::vector<uint8_t> results(kVectorBytes, 0);

    StepRunner run;
    std::vector<std::string> summary;  // what the steps found, printed after them
    constexpr int32_t kOutputTenths = 33;
    ZPX_Handle h = nullptr;
    run.Step(("open " + name).c_str(), [&] {
        uint32_t status = 0;
        h = ZPX_OpenController(name.c_str(), &status);
        return Status("ZPX_OpenController", status);
    });
    run.Step("identify", [&] {
        uint32_t got = 0, kind = 0;
        if (auto s = Status("ZPX_GetControllerType", ZPX_GetControllerType(h, &got)); !s.empty())
            return s;
        if (auto s =
                Status("ZPX_GetInterfaceType", ZPX_GetInterfaceType(h, &kind, nullptr, nullptr));
            !s.empty())
            return s;
        if (got != static_cast<uint32_t>(type) || kind != ZPX_INTERFACE_ETHERNET) {
            return "type " + std::to_string(got) + " interface " + std::to_string(kind);
        }
        return std::string();
    });
    run.Step("read controller serial number", [&] {
        uint32_t high = 0, low = 0;
        if (auto s = Status("ZPX_GetControllerSerialNumber",
                            ZPX_GetControllerSerialNumber(h, &high, &low));
            !s.empty())
            return s;
        return high == 0 && low == 0 ? std::string("serial ROM failed its checksum")
                                     : std::string();
    });
    run.Step("set test clock to 10 MHz",
             [&] { return Status("ZPX_SetCtrlFrequency", ZPX_SetCtrlFrequency(h, 0, kClockKhz)); });
    run.Step("read back test clock", [&] {
        uint32_t khz = 0;
        if (auto s = Status("ZPX_GetCurrentFrequency", ZPX_GetCurrentFrequency(h, &khz));
            !s.empty())
            return s;
        return khz == static_cast<uint32_t>(kClockKhz) ? std::string()
                                                       : "reads back " + std::to_string(khz);
    });
    run.Step("power the pod up and identify it", [&] {
        if (auto s = Status("ZPX_SetPodPowerOn", ZPX_SetPodPowerOn(h)); !s.empty()) return s;
        int32_t podType = -2;
        ZPX_GetPodType(h, &podType);
        std::string taps;
        for (int32_t tap = 1; tap <= 4; ++tap) {
            int32_t type = -1;
            ZPX_GetTapType(h, tap, &type);
            taps.append(" ").append(std::to_string(type));
        }
        summary.push_back("pod type " + std::to_string(podType) + ", TAP types" + taps);
        return podType == 1 ? std::string() : "pod type " + std::to_string(podType);
    });
    run.Step("read pod 0 serial number", [&] {
        uint32_t high = 0, low = 0;
        if (auto s = Status(
                "ZPX_GetPodSerialNumber",
                RomReadKeepingPod(h, [&] { return ZPX_GetPodSerialNumber(h, 0, &high, &low); }));
            !s.empty())
            return s;
        return (low & 0xFF) == 1 ? std::string() : std::string("no pod ROM answered");
    });
    run.Step("set every TAP to 3.3 V, threshold 1.5 V", [&] {
        if (auto s = Status("ZPX_AddNewTapInfo",
                            ZPX_AddNewTapInfo(h, 0, kOutputTenths, ZPX_DEFAULT_THRESHOLD));
            !s.empty())
            return s;
        return Status("ZPX_SetTapVoltageEx", ZPX_SetTapVoltageEx(h));
    });
    run.Step("read the TAP voltages back", [&] {
        std::string line = "voltages read back (output / threshold):";
        for (uint32_t tap = 1; tap <= 4; ++tap) {
            uint32_t output = 0, threshold = 0;
            if (auto s =
                    Status("ZPX_GetTapVoltageEx", ZPX_GetTapVoltageEx(h, tap, &output, &threshold));
                !s.empty())
                return s;
            char text[48];
            std::snprintf(text, sizeof text, "%s TAP %u %u.%u V / %u.%u V", tap > 1 ? "," : "", tap,
                          output / 10, output % 10, threshold / 10, threshold % 10);
            line += text;
            if (output != static_cast<uint32_t>(kOutputTenths) || threshold != 15)
                return "TAP " + std::to_string(tap) + " reads" + text;
        }
        summary.push_back(line);
        return std::string();
    });
    run.Step("activate the pod", [&] {
        if (auto s = Status("ZPX_ActivatePod", ZPX_ActivatePod(h, 0)); !s.empty()) return s;
        uint32_t active = 0;
        if (auto s = Status("ZPX_PodActivated", ZPX_PodActivated(h, &active)); !s.empty()) return s;
        return active == 1 ? std::string() : std::string("the pod reads as inactive");
    });
    run.Step("drive and read TAP 1 I/O pins", [&] {
        if (auto s = Status("ZPX_SetTapIoPins", ZPX_SetTapIoPins(h, 1, 0xA, 0x5)); !s.empty())
            return s;
        uint32_t data = 0, control = 0;
        if (auto s = Status("ZPX_GetTapIoPins", ZPX_GetTapIoPins(h, 1, &data, &control));
            !s.empty())
            return s;
        return data == 0xA && control == 0x5 ? std::string()
                                             : "pins read back as " + std::to_string(data);
    });
    run.Step("check memory size", [&] {
        uint32_t size = 0;
        if (auto s = Status("ZPX_GetMemorySize", ZPX_GetMemorySize(h, kMemory, &size)); !s.empty())
            return s;
        return size >= kVectorBytes ? std::string()
                                    : "memory holds only " + std::to_string(size) + " bytes";
    });
    run.Step("clear errors", [&] { return Status("ZPX_ClearError", ZPX_ClearError(h, 0xFF)); });
    run.Step("write 64 KiB of vectors", [&] {
        return Status("ZPX_WriteMemory",
                      ZPX_WriteMemory(h, 0, kMemory, 0, kVectorBytes, vectors.data()));
    });
    run.Step("start controller",
             [&] { return Status("ZPX_StartController", ZPX_StartController(h)); });
    run.Step("poll status until stopped", [&] {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        int polls = 0;
        for (;;) {
            uint32_t running = 1;
            if (auto s = Status("ZPX_GetControllerStatus", ZPX_GetControllerStatus(h, &running));
                !s.empty())
                return s;
            ++polls;
            if (running == 0) return std::string();
            if (std::chrono::steady_clock::now() > deadline) {
                return "still running after " + std::to_string(polls) + " polls";
            }
        }
    });
    run.Step("read error register", [&] {
        uint32_t errorBits = 0xFF;
        if (auto s = Status("ZPX_GetError", ZPX_GetError(h, &errorBits)); !s.empty()) return s;
        return errorBits == 0 ? std::string() : "error bits " + std::to_string(errorBits);
    });
    run.Step("read results back", [&] {
        return Status("ZPX_ReadMemory",
                      ZPX_ReadMemory(h, 0, kMemory, 0, kVectorBytes, results.data()));
    });
    run.Step("compare results", [&] {
        for (size_t i = 0; i < kVectorBytes; ++i) {
            if (results[i] != vectors[i]) return "first difference at byte " + std::to_string(i);
        }
        return std::string();
    });
    run.Step("describe the controller", [&] {
        uint32_t status = 0;
        ZPX_DeviceInfo* info = ZPX_CreateDeviceInfo(h, &status);
        if (info == nullptr) return Status("ZPX_CreateDeviceInfo", status);
        std::string sizes;
        for (uint32_t size : info->MemorySize)
            sizes.append(" ").append(std::to_string(size >> 10));
        char line[160];
        std::snprintf(line, sizeof line,
                      "device information: controller kind %d, clock %d..%d kHz, memories (KiB)%s",
                      info->ControllerKind, info->MinFrequencyKhz, info->MaxFrequencyKhz,
                      sizes.c_str());
        summary.push_back(line);
        if (info->ControllerKind == 0 && type != 0) {
            summary.push_back(
                "  (over Ethernet no driver answers the identification: the record names the "
                "5120 family)");
        }
        ZPX_DestroyDeviceInfo(h, info);
        uint32_t model = 0, minKhz = 0, maxKhz = 0;
        int32_t minOut = 0, maxOut = 0, minTh = 0, maxTh = 0;
        ZPX_GetControllerType(h, &model);
        ZPX_GetFrequencyRange(h, &minKhz, &maxKhz);
        ZPX_GetOutputVoltRange(h, 0, &minOut, &maxOut);
        ZPX_GetThresholdVoltRange(h, 0, &minTh, &maxTh);
        std::snprintf(line, sizeof line,
                      "session: model %u, clock %u..%u kHz, TAP 1 output %d.%d..%d.%d V, "
                      "threshold %d.%d..%d.%d V",
                      model, minKhz, maxKhz, minOut / 10, minOut % 10, maxOut / 10, maxOut % 10,
                      minTh / 10, minTh % 10, maxTh / 10, maxTh % 10);
        summary.push_back(line);
        return std::string();
    });
    if (h != nullptr) {
        run.Step("close", [&] { return Status("ZPX_CloseController", ZPX_CloseController(h)); });
    }
    for (const std::string& line : summary)
        std::printf("  %s\n", line.c_str());
    controller.StopVcd();
    server.Stop();
    std::printf("demo: %s (%d steps, %.1f ms)%s%s\n", run.failed() ? "FAIL" : "PASS", run.count(),
                run.total(), vcdPath != nullptr ? ", waveform in " : "",
                vcdPath != nullptr ? vcdPath : "");
    return run.failed() ? 1 : 0;
}

// demo [--type N] [--vcd FILE]
int DemoCommand(const Args& args, Report*) {
    const uint64_t type = args.type.given ? args.type.number : 2;
    if (type == 0) return BadUsage("--type takes a model of the 51x4 family, 1 to 3");
    return Demo(static_cast<int>(type), args.vcd.text);
}

#endif  // ZPX_HAVE_EMULATOR

constexpr Option kJson = {"--json", Value::kNone, 0, &Args::json};

const Command kCommands[] = {
#ifdef ZPX_HAVE_EMULATOR
    {.name = "demo",
     .usage = "demo [--type N] [--vcd FILE]",
     .help =
         "run a whole test run through the exports against an emulated Ethernet\n"
         "      controller of the 51x4 family, model N (1, 2 or 3; default 2),\n"
         "      started in-process on a free loopback address; --vcd keeps the pod-link waveform",
     .words = {0, 0},
     .options = {{"--type", Value::kNumber, 3, &Args::type},
                 {"--vcd", Value::kText, 0, &Args::vcd}},
     .run = DemoCommand},
#endif
    {.name = "open",
     .usage = "open NAME",
     .help = "open controller NAME (e.g. ETH127.0.0.2, PCI0, USB1,5120), print its type,\n"
             "      interface and status registers, close it",
     .words = {1, 1},
     .run = Open,
     .text = OpenText},
    {.name = "list",
     .usage = "list",
     .help = "the controller device nodes present, with the name that opens each. Ethernet\n"
             "      and VXI controllers have no node: open them as ETH<address> and\n"
             "      VXIPCI<board>,<logical address>,5120",
     .words = {0, 0},
     .run = List,
     .text = ListText},
    {.name = "info",
     .usage = "info NAME [--json]",
     .help = "identity, serial numbers, clock and memory sizes of controller NAME, with its\n"
             "      information record and device information",
     .words = {1, 1},
     .options = {kJson},
     .run = Info,
     .text = InfoText},
    {.name = "clock",
     .usage = "clock NAME [--set KHZ] [--json]",
     .help = "the test clock in kHz; --set programs it first",
     .words = {1, 1},
     .options = {{"--set", Value::kNumber, 0x7FFFFFFF, &Args::set}, kJson},
     .run = Clock,
     .text = ClockText},
    {.name = "serial",
     .usage = "serial NAME [--json]",
     .help = "the controller's (and transceiver's) serial numbers",
     .words = {1, 1},
     .options = {kJson},
     .run = Serial},
    {.name = "pod",
     .usage = "pod NAME on|off|activate|deactivate|status [--json]",
     .help = "pod power and activation, then the pod's state",
     .words = {2, 2},
     .options = {kJson},
     .run = Pod,
     .text = PodText},
    {.name = "run",
     .usage = "run NAME [--clear] [--timeout S] [--json]",
     .help =
         "start the sequencer, wait until it stops (default 10 s), print the error register\n"
         "      with its bits named; exit status 3 when error bits 0-4 are set. --clear clears\n"
         "      the error bits first (the VPP mode and pod power bits are kept)",
     .words = {1, 1},
     .options = {{"--timeout", Value::kNumber, 86400, &Args::timeout},
                 {"--clear", Value::kNone, 0, &Args::clear},
                 kJson},
     .run = Run,
     .text = RunText},
    {.name = "tap",
     .usage = "tap NAME TAP [--vout VOLTS] [--vth VOLTS] [--pins DATA,CONTROL] [--json]",
     .help = "power the pod, set TAP 1-4's output and threshold voltages and drive its pins,\n"
             "      then read them back. Voltages are in volts (3.3 or 3.3V), or in millivolts\n"
             "      with the unit written (3300mV), in steps of 0.1 V",
     .words = {2, 2},
     .options = {{"--vout", Value::kVolts, 10000, &Args::vout},
                 {"--vth", Value::kVolts, 10000, &Args::vth},
                 {"--pins", Value::kPair, 15, &Args::pins},
                 kJson},
     .run = Tap,
     .text = TapText},
    {.name = "net",
     .usage = "net NAME show | set [--ip U32] [--mac U32,U32] [--dhcp 0|1] [--json]",
     .help = "the Ethernet settings and versions of a 51x4 controller; set changes them first",
     .words = {2, 2},
     .options = {{"--ip", Value::kNumber, 0xFFFFFFFF, &Args::ip},
                 {"--mac", Value::kPair, 0xFFFFFFFF, &Args::mac},
                 {"--dhcp", Value::kNumber, 1, &Args::dhcp},
                 kJson},
     .run = Net},
    {.name = "update",
     .usage = "update NAME firmware|fpga FILE [--bytes FIRST,SECOND]",
     .help = "send a firmware or FPGA image and wait for the controller's verdict",
     .words = {3, 3},
     .options = {{"--bytes", Value::kPair, 255, &Args::bytes}},
     .run = Update,
     .text = UpdateText},
    {.name = "mem",
     .usage = "mem read NAME MEMORY ADDRESS LENGTH [FILE] | mem write NAME MEMORY ADDRESS [FILE]",
     .help = "a memory block to FILE or standard output, or from FILE or standard input",
     .words = {4, 6},
     .run = Mem},
};

// The whole listing: on standard output when asked for, on standard error after a command line
// that names no command.
int Usage(FILE* to, int status) {
    std::fprintf(to,
                 "usage: zpxctl COMMAND ... (zpxctl COMMAND --help for one command)\n"
                 "       zpxctl --version\n");
    for (const Command& c : kCommands)
        std::fprintf(to, "  zpxctl %s\n      %s\n", c.usage, c.help);
    return status;
}

}  // namespace
}  // namespace zpx::ctl

int main(int argc, char** argv) {
    using namespace zpx::ctl;
    if (argc < 2) return Usage(stderr, kUsage);
    const std::string_view first = argv[1];
    if (first == "--help" || first == "-h" || first == "help") return Usage(stdout, kDone);
    if (first == "--version") {
        std::printf("zpxctl %s\n", ZPX_PACKAGE_VERSION);
        return kDone;
    }
    for (const Command& c : kCommands) {
        if (first == c.name) return RunCommand(c, argc - 2, argv + 2);
    }
    std::fprintf(stderr, "zpxctl: no command %s\n", argv[1]);
    return Usage(stderr, kUsage);
}
