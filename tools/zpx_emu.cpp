// zpx-emu: serves one emulated Ethernet controller on a loopback address until SIGINT or SIGTERM
// (on Windows Ctrl+C, Ctrl+Break or closing its console).
//
//   zpx-emu --address 127.0.0.2 --type 2 --pod 1 --log
//
// Prints one line per connection, and with --log one per request and per pod-link frame.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "control_server.h"
#include "controller.h"
#include "device_link.h"
#include "device_server.h"
#include "driver_stand_in.h"
#include "faults.h"
#include "lan_proxy.h"
#include "lan_server.h"
#include "number_arguments.h"
#include "os.h"
#include "recording.h"
#include "replay.h"

namespace {

// The usage text, around the system's way of asking a program to stop.
constexpr const char* kUsageHead =
    "usage: zpx-emu [options]\n"
    "       zpx-emu run [options] [--interface eth|isa|pci|usb|fw] [--index N] -- COMMAND\n"
    "                                                                         [ARGS...]\n"
    "\n"
    "The second form starts the controller, runs COMMAND with the controller's name (e.g.\n"
    "ETH127.0.0.2) in ZPX_EMU_NAME, and exits with COMMAND's exit status, stopping the\n"
    "controller; its own lines go to standard error. On a driver interface (Linux) the\n"
    "device node /dev/<name> of controller N (default 0) is served to COMMAND and every\n"
    "process it starts, one open at a time, as the driver serves it.\n"
    "\n"
    "Serves one emulated Ethernet boundary-scan controller until ";
constexpr const char* kUsageTail =
    ".\n"
    "Numbers may be decimal or 0x-prefixed hexadecimal.\n"
    "\n"
    "Where it listens:\n"
    "  --address A          IPv4 address to listen on (default: the first loopback address\n"
    "                       from 127.0.0.2 upward where the port is free)\n"
    "  --port P             TCP port (default 5104, the port the library connects to)\n"
    "  --idle-timeout S     drop a connection that sends nothing for S seconds, between\n"
    "                       requests or inside one (default 600; 0 keeps it however long it\n"
    "                       is quiet). The library does not reconnect: a session left quiet\n"
    "                       longer than this fails its next call. With all 32 connections\n"
    "                       open, a new client takes the place of the one quiet the longest.\n"
    "\n"
    "The controller:\n"
    "  --type T             0 the 5120 family, 1, 2, 3 the 51x4 models (default 2)\n"
    "  --flash C            flash code, 0-255 (default 0x45); its high nibble picks the memory\n"
    "                       sizes of the 51x4 family\n"
    "  --epld R             EPLD revision, 0-15 (default 3)\n"
    "  --serial S           controller serial number, 48 bits (default 0xA1B2C3D4E5)\n"
    "  --transceiver-serial S  transceiver serial number, 48 bits (default 0x11223344)\n"
    "  --bad-roms           spoil the checksum byte of every serial ROM\n"
    "  --run-periods N      test-clock periods one sequencer run takes (default 1000)\n"
    "  --error-bits B       register 1 at power-up (default 0)\n"
    "  --run-error-bits B   error bits raised in register 1 when a run ends (default 0)\n"
    "  --button             the button reads as pressed\n"
    "  --image-status S     reply status of an image whose checksum fails (default 5)\n"
    "  --refuse-images      refuse every image with that status\n"
    "  --max-image N        longest image the flash takes, bytes (default 4194304); a longer\n"
    "                       one is refused with status 6\n"
    "\n"
    "The pod:\n"
    "  --pod K              pod kind, 0-3 (default 1); kinds 2 and 3 have an extender,\n"
    "                       on after power-up, while which they report kind 1\n"
    "  --no-pod             no pod attached\n"
    "  --pod-serial N:S     serial number of pod N (0-3); 0 removes it (default pod 0 only)\n"
    "  --tap N:ID           TAP N (0-3) answers identity ID (0-3)\n"
    "  --no-tap N           TAP N (0-3) is absent\n"
    "\n"
    "Misbehaviour (may be repeated; requests count from 1 over all connections; with\n"
    "--proxy the real controller's replies are shaped the same way):\n"
    "  --fault drop:N       carry request N out but send no reply\n"
    "  --fault short:N:B    send only B bytes of the reply to request N\n"
    "  --fault delay:N:MS   delay the reply to request N by MS milliseconds\n"
    "  --fault cut:N:B:MS   send B bytes of the reply to request N, the rest MS\n"
    "                       milliseconds later\n"
    "  --fault close:N      close the connection on request N\n"
    "  --fault reset:N      reset the connection on request N\n"
    "  --fault fail:N       ignore request N (the proxy does not forward it)\n"
    "  --fault stall:N      stop reading the connection at request N, as a hung controller\n"
    "                       a suffix xCOUNT applies the fault to COUNT requests from N on\n"
    "                       (x0: every request from N on), e.g. drop:5x3, delay:1:200x0\n"
    "\n"
    "Output:\n"
    "  --log                one line per request and per pod-link frame\n"
    "  --control            a control port on 127.0.0.1 (its address is printed; under run\n"
    "                       always, in ZPX_EMU_CONTROL): a line \"state\" answers the\n"
    "                       controller's state as JSON, \"memory M ADDRESS LENGTH\" the bytes\n"
    "                       in hex, \"fault SPEC\" sets a fault as --fault does; in place of\n"
    "                       N a fault takes the kind of request it hits: read-register[-R],\n"
    "                       write-register[-R], read-counter, write-counter, read-memory,\n"
    "                       write-memory, read-item, write-item, image (e.g.\n"
    "                       fail:read-register-1, the next read of register 1)\n"
    "  --vcd FILE           write a VCD waveform of the pod link (GTKWave opens it)\n"
    "  --record FILE        record every connection, both directions, in the pcap format\n"
    "                       (Wireshark and tshark open it; written as it goes)\n"
    "  --proxy A[:P]        forward every connection to the real controller at A (port P,\n"
    "                       default 5104) instead of emulating one; with --record, a\n"
    "                       recording of what the station and the controller said\n"
    "  --replay FILE        play a recording back as the controller to one station: the\n"
    "                       recorded requests are expected in order and answered with the\n"
    "                       recorded replies; exits 0 when the session matched to its end,\n"
    "                       1 at the first request that differs (it says which)\n"
    "  --replay-timing      with --replay: each reply as late as it was recorded\n"
    "  --transcript FILE    print a recording as text, a line per request and per reply,\n"
    "                       and exit (--port names the controller's port, default 5104)\n"
    "  --help               this text\n";

using zpx::tools::ParseUnsigned;

// "N:VALUE" with N in 0..3.
bool ParseIndexed(std::string_view text, uint64_t max, unsigned* index, uint64_t* value) {
    uint64_t n = 0;
    if (!zpx::tools::ParseUnsignedPair(text, ':', 3, max, &n, value)) return false;
    *index = static_cast<unsigned>(n);
    return true;
}

std::mutex g_outputMutex;

// Where the emulator's own lines go: standard output, or under `run` standard error, so that the
// command's output stays its own.
std::FILE* g_output = stdout;

void Print(std::string_view line) {
    std::lock_guard lock(g_outputMutex);
    std::fwrite(line.data(), 1, line.size(), g_output);
    std::fputc('\n', g_output);
    std::fflush(g_output);
}

// How a station opens what listens on address:port; the library dials port 5104 only, so on any
// other port there is no name that opens it.
std::string OpenHint(const std::string& address, uint64_t port) {
    return port == zpx::emu::kLanPort ? " (open it as ETH" + address + ")"
                                      : " (the library dials port 5104 only: no controller name "
                                        "opens this one)";
}

// Plays the first conversation of `path` back to one station; the exit status of zpx-emu.
int Replay(const std::string& path, bool timing, const std::string& address, uint64_t port) {
    std::vector<zpx::emu::RecordedConversation> conversations;
    std::string error;
    if (!zpx::emu::ReadRecording(path, static_cast<uint16_t>(port), &conversations, &error)) {
        std::fprintf(stderr, "zpx-emu: %s\n", error.c_str());
        return 1;
    }
    if (conversations.empty()) {
        std::fprintf(stderr, "zpx-emu: %s holds no conversation with port %u\n", path.c_str(),
                     static_cast<unsigned>(port));
        return 1;
    }
    const size_t requests = conversations[0].requests.size();
    zpx::emu::ReplayServer server(std::move(conversations[0]), timing);
    if (!server.Start(address, static_cast<uint16_t>(port), &error)) {
        std::fprintf(stderr, "zpx-emu: %s\n", error.c_str());
        return 1;
    }
    Print("zpx-emu: replaying " + std::to_string(requests) + " requests of " + path + " on " +
          server.Address() + ":" + std::to_string(port) + OpenHint(server.Address(), port));
    std::string verdict;
    const bool matched = server.Serve(&verdict);
    Print("zpx-emu: " + verdict);
    return matched ? 0 : 1;
}

int Usage(const char* message);

// Forwards every connection on address:port to the controller at `target` until a stop request.
int Proxy(const std::string& target, const std::string& address, uint64_t port,
          zpx::emu::PcapWriter* recording, std::vector<zpx::emu::Fault> faults) {
    const size_t colon = target.find(':');
    uint32_t controller = 0;
    uint64_t controllerPort = zpx::emu::kLanPort;
    if (!zpx::emu::os::ParseIpv4(target.substr(0, colon), &controller) ||
        (colon != std::string::npos &&
         !ParseUnsigned(std::string_view(target).substr(colon + 1), 65535, &controllerPort)))
        return Usage(("bad --proxy: " + target).c_str());
    zpx::emu::LanProxy proxy(controller, static_cast<uint16_t>(controllerPort), recording, Print);
    proxy.SetFaults(std::move(faults));
    std::string error;
    if (!proxy.Start(address, static_cast<uint16_t>(port), &error)) {
        std::fprintf(stderr, "zpx-emu: %s\n", error.c_str());
        return 1;
    }
    Print("zpx-emu: forwarding " + proxy.Address() + ":" + std::to_string(port) + " to " + target +
          OpenHint(proxy.Address(), port));
    const char* request = zpx::emu::os::WaitForStopRequest();
    Print(std::string("zpx-emu: ") + request + ", stopping after " +
          std::to_string(proxy.ConnectionsForwarded()) + " connections");
    proxy.Stop();
    return 0;
}

int Usage(const char* message) {
    std::fprintf(stderr, "zpx-emu: %s\n(see zpx-emu --help)\n", message);
    return 2;
}

// The driver stand-in kind behind a driver interface's name; false for any other name.
bool DriverOfInterface(const std::string& interface, zpx::emu::DriverKind* kind) {
    using enum zpx::emu::DriverKind;
    const std::pair<const char*, zpx::emu::DriverKind> kinds[] = {
        {"isa", kIsa}, {"pci", kPci}, {"usb", kUsb}, {"fw", kFireWire}};
    for (const auto& [name, k] : kinds) {
        if (interface != name) continue;
        if (kind != nullptr) *kind = k;
        return true;
    }
    return false;
}

// Runs `command` with the device node of `interface` and `index` served by `driver`: the
// preload library beside zpx-emu carries the command's opens and requests of the node here.
int RunOnDriver(const std::string& interface, unsigned index, bool family5120,
                zpx::emu::Controller& controller, zpx::emu::DriverStandIn* driver, bool log,
                const std::vector<std::string>& command, const char* self) {
    // The nodes and the working name the library takes for them, by family.
    const std::string n = std::to_string(index);
    std::vector<std::string> nodes;
    std::string name;
    if (interface == "isa") {
        nodes = {"isa5120_" + n};
        if (index == 0) nodes.push_back("isa5120");
        name = "ISA" + n + ",5120";
    } else {
        const std::string upper = interface == "fw" ? "FW" : interface == "pci" ? "PCI" : "USB";
        nodes = {interface == "fw" ? "fw51x4_" + n
                 : family5120      ? interface + "5120_" + n
                                   : interface + "51x4ex_" + n};
        name = upper + n + (family5120 ? ",5120" : "");
    }
    // Beside zpx-emu in a build folder; where the package puts it once installed.
    std::string preload = zpx::emu::os::BesideExecutable(self, "libzpx-emu-preload.so");
    if (preload.empty()) {
        preload = zpx::emu::os::BesideExecutable(
            self, std::string(ZPX_PRELOAD_FROM_BIN) + "/libzpx-emu-preload.so");
    }
    if (preload.empty()) {
        std::fprintf(stderr,
                     "zpx-emu: libzpx-emu-preload.so is neither beside zpx-emu nor in "
                     "%s from it\n",
                     ZPX_PRELOAD_FROM_BIN);
        return 1;
    }
    zpx::emu::DeviceServer server(log ? zpx::emu::LogSink(Print) : nullptr);
    for (const std::string& node : nodes)
        server.Add(node, driver);
    zpx::emu::ControlServer control(controller,
                                    [driver](zpx::emu::Fault f) { driver->AddFault(f); });
    std::string error;
    if (!server.Start(&error) || !control.Start(&error)) {
        std::fprintf(stderr, "zpx-emu: %s\n", error.c_str());
        return 1;
    }
    zpx::emu::os::SetEnvironment("ZPX_EMU_CONTROL", control.Address());
    const char* before = std::getenv("LD_PRELOAD");
    zpx::emu::os::SetEnvironment("LD_PRELOAD",
                                 preload + (before && *before ? std::string(":") + before : ""));
    zpx::emu::os::SetEnvironment(zpx::emu::kDevicesSocketVariable, server.Path());
    zpx::emu::os::SetEnvironment(zpx::emu::kDeviceNodesVariable, server.Nodes());
    zpx::emu::os::SetEnvironment("ZPX_EMU_NAME", name);
    const int status = zpx::emu::os::RunCommand(command, &error);
    if (status < 0) std::fprintf(stderr, "zpx-emu: %s\n", error.c_str());
    control.Stop();
    server.Stop();
    return status < 0 ? 127 : status;
}

}  // namespace

int main(int argc, char** argv) {
    zpx::emu::ControllerConfig config;
    std::string address;
    uint64_t port = zpx::emu::kLanPort;
    zpx::emu::LanServerOptions options;
    std::vector<zpx::emu::Fault> faults;
    bool log = false;
    std::string vcdPath;
    std::string recordPath;
    std::string transcriptPath;
    std::string replayPath;
    std::string proxyTarget;
    bool replayTiming = false;
    bool controlled = false;  // a control port (control_server.h); always under run
    // zpx-emu run [options] -- COMMAND [ARGS...]
    const bool run = argc > 1 && std::string_view(argv[1]) == "run";
    std::vector<std::string> command;
    std::string interface = "eth";
    unsigned deviceIndex = 0;  // of a driver interface's device

    for (int i = run ? 2 : 1; i < argc; ++i) {
        const std::string_view option = argv[i];
        if (run && option == "--") {
            command.assign(argv + i + 1, argv + argc);
            break;
        }
        auto value = [&](std::string_view* out) {
            if (i + 1 >= argc) return false;
            *out = argv[++i];
            return true;
        };
        std::string_view v;
        uint64_t n = 0;
        unsigned index = 0;
        if (option == "--help" || option == "-h") {
            std::fputs(kUsageHead, stdout);
            std::fputs(zpx::emu::os::kStopRequests, stdout);
            std::fputs(kUsageTail, stdout);
            return 0;
        } else if (option == "--log") {
            log = true;
        } else if (option == "--no-pod") {
            config.podPresent = false;
        } else if (option == "--bad-roms") {
            config.corruptRoms = true;
        } else if (option == "--refuse-images") {
            config.refuseImages = true;
        } else if (option == "--button") {
            config.buttonPressed = true;
        } else if (option == "--replay-timing") {
            replayTiming = true;
        } else if (option == "--control") {
            controlled = true;
        } else if (!value(&v)) {
            return Usage(("unknown option or missing value: " + std::string(option)).c_str());
        } else if (option == "--address") {
            address = v;
        } else if (run && option == "--interface") {
            interface = v;
        } else if (run && option == "--index") {
            if (!ParseUnsigned(v, 99, &n)) return Usage("--index takes 0 to 99");
            deviceIndex = static_cast<unsigned>(n);
        } else if (option == "--port") {
            if (!ParseUnsigned(v, 65535, &port)) return Usage("bad --port");
        } else if (option == "--idle-timeout") {
            if (!ParseUnsigned(v, 0xFFFFFFFFull / 1000, &n)) return Usage("bad --idle-timeout");
            options.idleTimeoutMs = static_cast<uint32_t>(n * 1000);
        } else if (option == "--type") {
            if (!ParseUnsigned(v, 3, &n)) return Usage("--type takes 0 to 3");
            config.type = static_cast<int>(n);
        } else if (option == "--pod") {
            if (!ParseUnsigned(v, 3, &n)) return Usage("--pod takes 0 to 3");
            config.podKind = static_cast<int>(n);
        } else if (option == "--flash") {
            if (!ParseUnsigned(v, 255, &n)) return Usage("--flash takes 0 to 255");
            config.flashCode = static_cast<uint8_t>(n);
        } else if (option == "--epld") {
            if (!ParseUnsigned(v, 15, &n)) return Usage("--epld takes 0 to 15");
            config.epldRevision = static_cast<uint8_t>(n);
        } else if (option == "--serial") {
            if (!ParseUnsigned(v, 0xFFFFFFFFFFFFull, &n)) return Usage("bad --serial");
            config.controllerSerial = n;
        } else if (option == "--transceiver-serial") {
            if (!ParseUnsigned(v, 0xFFFFFFFFFFFFull, &n)) return Usage("bad --transceiver-serial");
            config.transceiverSerial = n;
        } else if (option == "--pod-serial") {
            if (!ParseIndexed(v, 0xFFFFFFFFFFFFull, &index, &n)) return Usage("bad --pod-serial");
            config.podSerials[index] = n;
        } else if (option == "--tap") {
            if (!ParseIndexed(v, 3, &index, &n)) return Usage("--tap takes N:ID");
            config.taps[index].present = true;
            config.taps[index].identity = static_cast<uint8_t>(n);
        } else if (option == "--no-tap") {
            if (!ParseUnsigned(v, 3, &n)) return Usage("--no-tap takes 0 to 3");
            config.taps[n].present = false;
        } else if (option == "--run-periods") {
            if (!ParseUnsigned(v, UINT64_MAX, &n)) return Usage("bad --run-periods");
            config.runPeriods = n;
        } else if (option == "--error-bits") {
            if (!ParseUnsigned(v, 255, &n)) return Usage("--error-bits takes 0 to 255");
            config.errorBits = static_cast<uint8_t>(n);
        } else if (option == "--run-error-bits") {
            if (!ParseUnsigned(v, 255, &n)) return Usage("--run-error-bits takes 0 to 255");
            config.runErrorBits = static_cast<uint8_t>(n);
        } else if (option == "--image-status") {
            if (!ParseUnsigned(v, 0xFFFFFFFFull, &n) || n == 0)
                return Usage("--image-status takes a non-zero status");
            config.imageRefusedStatus = static_cast<uint32_t>(n);
        } else if (option == "--max-image") {
            if (!ParseUnsigned(v, 0xFFFFFFFFull, &n)) return Usage("--max-image takes a size");
            config.maxImageBytes = static_cast<uint32_t>(n);
        } else if (option == "--fault") {
            zpx::emu::Fault fault;
            if (!zpx::emu::ParseFault(v, &fault))
                return Usage(("bad --fault: " + std::string(v)).c_str());
            faults.push_back(fault);
        } else if (option == "--vcd") {
            vcdPath = v;
        } else if (option == "--record") {
            recordPath = v;
        } else if (option == "--transcript") {
            transcriptPath = v;
        } else if (option == "--replay") {
            replayPath = v;
        } else if (option == "--proxy") {
            proxyTarget = v;
        } else {
            return Usage(("unknown option: " + std::string(option)).c_str());
        }
    }

    if (!transcriptPath.empty()) {
        std::vector<zpx::emu::RecordedConversation> conversations;
        std::string error;
        if (!zpx::emu::ReadRecording(transcriptPath, static_cast<uint16_t>(port), &conversations,
                                     &error)) {
            std::fprintf(stderr, "zpx-emu: %s\n", error.c_str());
            return 1;
        }
        std::fputs(zpx::emu::Transcript(conversations).c_str(), stdout);
        return 0;
    }

    if (!replayPath.empty()) return Replay(replayPath, replayTiming, address, port);
    if (run) {
        if (command.empty()) return Usage("run takes the command to run after --");
        if (interface != "eth" && !DriverOfInterface(interface, nullptr))
            return Usage(("--interface takes eth, isa, pci, usb or fw, not " + interface).c_str());
        if (interface == "isa" && config.type != 0)
            return Usage("ISA controllers are of the 5120 family: give --type 0");
        // The library always dials 5104: a controller on another port could not be opened.
        if (port != zpx::emu::kLanPort)
            return Usage("run serves port 5104, the one the library dials");
        if (!proxyTarget.empty()) return Usage("--proxy does not apply to run");
        g_output = stderr;
    }

    // Before any thread starts, so that none of them is ended by a stop request; main waits for
    // it below.
    zpx::emu::os::CatchStopRequests();

    std::unique_ptr<zpx::emu::PcapWriter> recording;
    if (!recordPath.empty()) {
        std::string error;
        recording = zpx::emu::PcapWriter::Create(recordPath, &error);
        if (!recording) {
            std::fprintf(stderr, "zpx-emu: %s\n", error.c_str());
            return 1;
        }
    }
    if (!proxyTarget.empty()) return Proxy(proxyTarget, address, port, recording.get(), faults);

    zpx::emu::Controller controller(config);
    if (!vcdPath.empty()) {
        std::string error;
        if (!controller.StartVcd(vcdPath, &error)) {
            std::fprintf(stderr, "zpx-emu: %s\n", error.c_str());
            return 1;
        }
    }
    if (run && interface != "eth") {
        zpx::emu::DriverOptions driverOptions;
        DriverOfInterface(interface, &driverOptions.kind);
        if (log) driverOptions.log = Print;
        zpx::emu::DriverStandIn driver(controller, driverOptions);
        driver.SetFaults(faults);
        return RunOnDriver(interface, deviceIndex, config.type == 0, controller, &driver, log,
                           command, argv[0]);
    }
    options.recording = recording.get();
    // Under run the connections' comings and goings are only noise between the command's lines.
    if (!run || log) options.events = Print;
    if (log) {
        options.requestLog = Print;
        controller.SetPodLog(Print);
    }
    zpx::emu::LanServer server(controller, options);
    server.SetFaults(faults);

    std::string error;
    const bool started =
        address.empty()
            ? zpx::emu::StartOnFreeLoopback(server, static_cast<uint16_t>(port), &address, &error)
            : server.Start(address, static_cast<uint16_t>(port), &error);
    if (!started) {
        std::fprintf(stderr, "zpx-emu: %s\n", error.c_str());
        return 1;
    }
    zpx::emu::ControlServer control(controller,
                                    [&server](zpx::emu::Fault f) { server.AddFault(f); });
    if ((run || controlled) && !control.Start(&error)) {
        std::fprintf(stderr, "zpx-emu: %s\n", error.c_str());
        return 1;
    }
    if (run) {
        // The command finds the controller by the name in ZPX_EMU_NAME, and its insides through
        // ZPX_EMU_CONTROL.
        zpx::emu::os::SetEnvironment("ZPX_EMU_NAME", "ETH" + server.Address());
        zpx::emu::os::SetEnvironment("ZPX_EMU_CONTROL", control.Address());
        const int status = zpx::emu::os::RunCommand(command, &error);
        if (status < 0) std::fprintf(stderr, "zpx-emu: %s\n", error.c_str());
        server.Stop();
        controller.StopVcd();
        return status < 0 ? 127 : status;
    }
    Print("zpx-emu: controller type " + std::to_string(config.type) + " listening on " +
          server.Address() + ":" + std::to_string(server.Port()) +
          OpenHint(server.Address(), server.Port()));
    if (controlled) Print("zpx-emu: control on " + control.Address());

    const char* request = zpx::emu::os::WaitForStopRequest();
    Print(std::string("zpx-emu: ") + request + ", stopping after " +
          std::to_string(server.RequestCount()) + " requests");
    server.Stop();
    controller.StopVcd();
    return 0;
}
