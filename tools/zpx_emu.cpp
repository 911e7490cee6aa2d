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
#include "vxi_board.h"

namespace {

// The usage text, around the system's way of asking a program to stop.
constexpr const char* kUsageHead =
    "usage: zpx-emu [options]\n"
    "       zpx-emu run [options] [--interface I [--index N] [options]]... -- COMMAND [ARGS...]\n"
    "\n"
    "The first form serves one emulated Ethernet boundary-scan controller until ";
constexpr const char* kUsageTail =
    ".\n"
    "\n"
    "The second form starts the controllers, runs COMMAND and exits with its exit status,\n"
    "stopping them. Each --interface (eth, isa, pci, usb, fw, vxi, vxi-plain; default one\n"
    "eth) adds a controller, N of its interface (default 0; on VXI its logical address,\n"
    "default 8); options before the first --interface apply to every controller, those after\n"
    "one to its controller. COMMAND finds the first one's name (e.g. ETH127.0.0.2, USB0,\n"
    "VXIPCI0,8,5120) in ZPX_EMU_NAME and its control port (see --control) in\n"
    "ZPX_EMU_CONTROL, all of them in ZPX_EMU_NAMES and ZPX_EMU_CONTROLS (separated by\n"
    "semicolons: a name may hold commas). On a driver\n"
    "interface (Linux) the device node /dev/<name> is served to COMMAND and every process it\n"
    "starts, one open at a time, as the driver serves it. On VXI COMMAND loads the emulated\n"
    "driver library of the session interface (vxi) or of the plain one (vxi-plain),\n"
    "whose board is in zpx-emu: one generation per run, the faults of its controllers apply\n"
    "to the board. zpx-emu's own lines go to standard error.\n"
    "\n"
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
    "                       in hex, \"fault FAULT\" sets a fault as --fault does; in place of\n"
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

// Applies a model option with its value `v`, or a --fault: "" when applied, the usage message
// when the value is bad, "?" when `option` is none.
std::string ModelOption(std::string_view option, std::string_view v,
                        zpx::emu::ControllerConfig* config, std::vector<zpx::emu::Fault>* faults) {
    uint64_t n = 0;
    unsigned index = 0;
    if (option == "--type") {
        if (!ParseUnsigned(v, 3, &n)) return "--type takes 0 to 3";
        config->type = static_cast<int>(n);
    } else if (option == "--pod") {
        if (!ParseUnsigned(v, 3, &n)) return "--pod takes 0 to 3";
        config->podKind = static_cast<int>(n);
    } else if (option == "--flash") {
        if (!ParseUnsigned(v, 255, &n)) return "--flash takes 0 to 255";
        config->flashCode = static_cast<uint8_t>(n);
    } else if (option == "--epld") {
        if (!ParseUnsigned(v, 15, &n)) return "--epld takes 0 to 15";
        config->epldRevision = static_cast<uint8_t>(n);
    } else if (option == "--serial") {
        if (!ParseUnsigned(v, 0xFFFFFFFFFFFFull, &n)) return "bad --serial";
        config->controllerSerial = n;
    } else if (option == "--transceiver-serial") {
        if (!ParseUnsigned(v, 0xFFFFFFFFFFFFull, &n)) return "bad --transceiver-serial";
        config->transceiverSerial = n;
    } else if (option == "--pod-serial") {
        if (!ParseIndexed(v, 0xFFFFFFFFFFFFull, &index, &n)) return "bad --pod-serial";
        config->podSerials[index] = n;
    } else if (option == "--tap") {
        if (!ParseIndexed(v, 3, &index, &n)) return "--tap takes N:ID";
        config->taps[index].present = true;
        config->taps[index].identity = static_cast<uint8_t>(n);
    } else if (option == "--no-tap") {
        if (!ParseUnsigned(v, 3, &n)) return "--no-tap takes 0 to 3";
        config->taps[n].present = false;
    } else if (option == "--run-periods") {
        if (!ParseUnsigned(v, UINT64_MAX, &n)) return "bad --run-periods";
        config->runPeriods = n;
    } else if (option == "--error-bits") {
        if (!ParseUnsigned(v, 255, &n)) return "--error-bits takes 0 to 255";
        config->errorBits = static_cast<uint8_t>(n);
    } else if (option == "--run-error-bits") {
        if (!ParseUnsigned(v, 255, &n)) return "--run-error-bits takes 0 to 255";
        config->runErrorBits = static_cast<uint8_t>(n);
    } else if (option == "--image-status") {
        if (!ParseUnsigned(v, 0xFFFFFFFFull, &n) || n == 0)
            return "--image-status takes a non-zero status";
        config->imageRefusedStatus = static_cast<uint32_t>(n);
    } else if (option == "--max-image") {
        if (!ParseUnsigned(v, 0xFFFFFFFFull, &n)) return "--max-image takes a size";
        config->maxImageBytes = static_cast<uint32_t>(n);
    } else if (option == "--fault") {
        zpx::emu::Fault fault;
        if (!zpx::emu::ParseFault(v, &fault)) return "bad --fault: " + std::string(v);
        faults->push_back(fault);
    } else {
        return "?";
    }
    return "";
}

// Applies a model option without a value; false when `option` is none.
bool ModelFlag(std::string_view option, zpx::emu::ControllerConfig* config) {
    if (option == "--no-pod") {
        config->podPresent = false;
    } else if (option == "--bad-roms") {
        config->corruptRoms = true;
    } else if (option == "--refuse-images") {
        config->refuseImages = true;
    } else if (option == "--button") {
        config->buttonPressed = true;
    } else {
        return false;
    }
    return true;
}

// One controller of zpx-emu run: its interface and index, model and faults.
struct Emulated {
    std::string interface = "eth";
    unsigned index = 0;
    bool indexGiven = false;
    bool typeGiven = false;  // else ISA and VXI controllers are of the 5120 family
    zpx::emu::ControllerConfig config;
    std::vector<zpx::emu::Fault> faults;
    std::string vcdPath;
    // Once started (shared only so that the options common to all can be copied before):
    std::string name;
    std::shared_ptr<zpx::emu::Controller> controller;
    std::shared_ptr<zpx::emu::LanServer> server;
    std::shared_ptr<zpx::emu::DriverStandIn> driver;
    std::shared_ptr<zpx::emu::ControlServer> control;
};

// The device nodes of a driver controller, and the working name the library takes for them.
std::vector<std::string> DeviceNodes(const Emulated& e, std::string* name) {
    const std::string n = std::to_string(e.index);
    const bool family5120 = e.config.type == 0;
    if (e.interface == "isa") {
        *name = "ISA" + n + ",5120";
        if (e.index == 0) return {"isa5120_0", "isa5120"};
        return {"isa5120_" + n};
    }
    const std::string upper = e.interface == "fw" ? "FW" : e.interface == "pci" ? "PCI" : "USB";
    *name = upper + n + (family5120 ? ",5120" : "");
    if (e.interface == "fw") return {"fw51x4_" + n};
    return {e.interface + (family5120 ? "5120_" : "51x4ex_") + n};
}

bool IsVxi(const std::string& interface) {
    return interface == "vxi" || interface == "vxi-plain";
}

// A file zpx-emu run puts into the command's environment: beside zpx-emu in a build folder,
// under <libdir>/zpx once installed. "" when in neither, and it says so.
std::string OwnFile(const char* argv0, const std::string& file) {
    std::string path = zpx::emu::os::BesideExecutable(argv0, file);
    if (path.empty())
        path =
            zpx::emu::os::BesideExecutable(argv0, std::string(ZPX_PRELOAD_FROM_BIN) + "/" + file);
    if (path.empty())
        std::fprintf(stderr, "zpx-emu: %s is neither beside zpx-emu nor in %s from it\n",
                     file.c_str(), ZPX_PRELOAD_FROM_BIN);
    return path;
}

// Puts `entry` first on the list in the environment variable `name`.
void Prepend(const char* name, const std::string& entry) {
    const char* before = std::getenv(name);
    zpx::emu::os::SetEnvironment(
        name,
        entry + (before && *before ? zpx::emu::os::kPathListSeparator + std::string(before) : ""));
}

std::string Joined(const std::vector<Emulated>& all, std::string (*field)(const Emulated&)) {
    std::string out;
    for (const Emulated& e : all)
        out.append(out.empty() ? "" : ";").append(field(e));
    return out;
}

// zpx-emu run [options] [--interface I [--index N] [options]]... -- COMMAND [ARGS...]
// Options before the first --interface apply to every controller; those after an --interface to
// its controller only. The first controller's name and control port are in ZPX_EMU_NAME and
// ZPX_EMU_CONTROL, every controller's in ZPX_EMU_NAMES and ZPX_EMU_CONTROLS, separated by
// semicolons (names of the 5120 family hold commas).
int Run(int argc, char** argv) {
    Emulated common;
    std::vector<Emulated> all;
    std::vector<std::string> command;
    bool log = false;
    for (int i = 2; i < argc; ++i) {
        const std::string_view option = argv[i];
        Emulated& e = all.empty() ? common : all.back();
        if (option == "--") {
            command.assign(argv + i + 1, argv + argc);
            break;
        }
        if (option == "--log") {
            log = true;
            continue;
        }
        if (ModelFlag(option, &e.config)) continue;
        if (i + 1 >= argc)
            return Usage(("unknown option or missing value: " + std::string(option)).c_str());
        const std::string_view v = argv[++i];
        uint64_t n = 0;
        if (option == "--interface") {
            if (v != "eth" && !IsVxi(std::string(v)) && !DriverOfInterface(std::string(v), nullptr))
                return Usage(("--interface takes eth, isa, pci, usb, fw, vxi or vxi-plain, not " +
                              std::string(v))
                                 .c_str());
            all.push_back(common);
            all.back().interface = v;
        } else if (option == "--index") {
            if (!ParseUnsigned(v, IsVxi(e.interface) ? 255 : 99, &n) ||
                (IsVxi(e.interface) && n == 0))
                return Usage(IsVxi(e.interface) ? "--index of a VXI controller is its logical "
                                                  "address, 1 to 255"
                                                : "--index takes 0 to 99");
            e.index = static_cast<unsigned>(n);
            e.indexGiven = true;
        } else if (option == "--vcd") {
            e.vcdPath = v;
        } else if (option == "--port") {
            // The library always dials 5104: a controller on another port could not be opened.
            return Usage("run serves port 5104, the one the library dials");
        } else if (const std::string bad = ModelOption(option, v, &e.config, &e.faults);
                   bad != "?") {
            if (!bad.empty()) return Usage(bad.c_str());
            e.typeGiven = e.typeGiven || option == "--type";
        } else {
            return Usage(("run takes no option " + std::string(option)).c_str());
        }
    }
    if (command.empty()) return Usage("run takes the command to run after --");
    if (all.empty()) all.push_back(common);
    g_output = stderr;
    zpx::emu::os::CatchStopRequests();

    std::string error;
    std::unique_ptr<zpx::emu::DeviceServer> devices;
    auto deviceServer = [&]() -> zpx::emu::DeviceServer& {
        if (!devices)
            devices =
                std::make_unique<zpx::emu::DeviceServer>(log ? zpx::emu::LogSink(Print) : nullptr);
        return *devices;
    };
    std::vector<std::string> nodes;
    std::unique_ptr<zpx::emu::VxiBoard> board;
    std::string vxiInterface, vxiFolder;
    for (Emulated& e : all) {
        const bool only5120 = e.interface == "isa" || IsVxi(e.interface);
        if (only5120 && !e.typeGiven) e.config.type = 0;
        if (only5120 && e.config.type != 0)
            return Usage((e.interface == "isa" ? std::string("ISA") : std::string("VXI"))
                             .append(" controllers are of the 5120 family: give --type 0")
                             .c_str());
        e.controller = std::make_shared<zpx::emu::Controller>(e.config);
        if (!e.vcdPath.empty() && !e.controller->StartVcd(e.vcdPath, &error)) {
            std::fprintf(stderr, "zpx-emu: %s\n", error.c_str());
            return 1;
        }
        if (log) e.controller->SetPodLog(Print);
        std::function<void(zpx::emu::Fault)> addFault;
        if (e.interface == "eth") {
            zpx::emu::LanServerOptions options;
            if (log) options.requestLog = options.events = Print;
            e.server = std::make_shared<zpx::emu::LanServer>(*e.controller, options);
            e.server->SetFaults(e.faults);
            std::string address;
            if (!zpx::emu::StartOnFreeLoopback(*e.server, zpx::emu::kLanPort, &address, &error)) {
                std::fprintf(stderr, "zpx-emu: %s\n", error.c_str());
                return 1;
            }
            e.name = "ETH" + address;
            addFault = [server = e.server.get()](zpx::emu::Fault f) { server->AddFault(f); };
        } else if (IsVxi(e.interface)) {
            // One board behind one library: its generation is the program's for the whole run.
            if (!vxiInterface.empty() && vxiInterface != e.interface)
                return Usage("vxi and vxi-plain in one run: a program loads one VXI library");
            const unsigned address = e.indexGiven ? e.index : 8;
            if (!board) {
                vxiInterface = e.interface;
                // The generation's library, in a folder of its own that goes on the path.
                vxiFolder = OwnFile(argv[0], std::string("vxi/") +
                                                 (e.interface == "vxi" ? "session/" : "plain/") +
                                                 zpx::emu::os::SharedLibraryFile("vxi5120"));
                if (vxiFolder.empty()) return 1;
                vxiFolder.erase(vxiFolder.rfind('/'));
                board = std::make_unique<zpx::emu::VxiBoard>(e.interface == "vxi");
                if (log) board->SetLog(Print);
                deviceServer().AddBoard(zpx::emu::kVxiLinkName, board.get());
            }
            e.name = "VXIPCI0," + std::to_string(address) + ",5120";
            if (std::count_if(all.begin(), all.end(),
                              [&e](const Emulated& other) { return other.name == e.name; }) > 1)
                return Usage(("two controllers at VXI address " + std::to_string(address)).c_str());
            board->Attach(static_cast<uint16_t>(address), e.controller.get());
            for (const zpx::emu::Fault& f : e.faults)
                board->AddFault(f);
            addFault = [b = board.get()](zpx::emu::Fault f) { b->AddFault(f); };
        } else {
            if (!zpx::emu::os::kServesDeviceNodes)
                return Usage(
                    "driver interfaces are served on Linux only (a preload library "
                    "carries their device nodes)");
            zpx::emu::DriverOptions options;
            DriverOfInterface(e.interface, &options.kind);
            if (log) options.log = Print;
            e.driver = std::make_shared<zpx::emu::DriverStandIn>(*e.controller, options);
            e.driver->SetFaults(e.faults);
            for (const std::string& node : DeviceNodes(e, &e.name)) {
                if (std::find(nodes.begin(), nodes.end(), node) != nodes.end())
                    return Usage(("two controllers at /dev/" + node).c_str());
                nodes.push_back(node);
                deviceServer().Add(node, e.driver.get());
            }
            addFault = [driver = e.driver.get()](zpx::emu::Fault f) { driver->AddFault(f); };
        }
        e.control = std::make_shared<zpx::emu::ControlServer>(*e.controller, addFault);
        if (!e.control->Start(&error)) {
            std::fprintf(stderr, "zpx-emu: %s\n", error.c_str());
            return 1;
        }
    }
    if (devices && !devices->Start(&error)) {
        std::fprintf(stderr, "zpx-emu: %s\n", error.c_str());
        return 1;
    }
    if (board) {
        Prepend(zpx::emu::os::kLibraryPathVariable, vxiFolder);
        zpx::emu::os::SetEnvironment(zpx::emu::kVxiSocketVariable, devices->Path());
    }
    if (!nodes.empty()) {
        const std::string preload = OwnFile(argv[0], "libzpx-emu-preload.so");
        if (preload.empty()) return 1;
        Prepend("LD_PRELOAD", preload);
        zpx::emu::os::SetEnvironment(zpx::emu::kDevicesSocketVariable, devices->Path());
        zpx::emu::os::SetEnvironment(zpx::emu::kDeviceNodesVariable, devices->Nodes());
    }
    zpx::emu::os::SetEnvironment("ZPX_EMU_NAME", all[0].name);
    zpx::emu::os::SetEnvironment("ZPX_EMU_CONTROL", all[0].control->Address());
    zpx::emu::os::SetEnvironment("ZPX_EMU_NAMES",
                                 Joined(all, [](const Emulated& e) { return e.name; }));
    zpx::emu::os::SetEnvironment(
        "ZPX_EMU_CONTROLS", Joined(all, [](const Emulated& e) { return e.control->Address(); }));

    const int status = zpx::emu::os::RunCommand(command, &error);
    if (status < 0) std::fprintf(stderr, "zpx-emu: %s\n", error.c_str());
    for (Emulated& e : all) {
        e.control->Stop();
        if (e.server) e.server->Stop();
    }
    if (devices) devices->Stop();
    for (Emulated& e : all)
        e.controller->StopVcd();
    return status < 0 ? 127 : status;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1 && std::string_view(argv[1]) == "run") return Run(argc, argv);
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
    bool controlled = false;  // a control port (control_server.h)

    for (int i = 1; i < argc; ++i) {
        const std::string_view option = argv[i];
        auto value = [&](std::string_view* out) {
            if (i + 1 >= argc) return false;
            *out = argv[++i];
            return true;
        };
        std::string_view v;
        uint64_t n = 0;
        if (option == "--help" || option == "-h") {
            std::fputs(kUsageHead, stdout);
            std::fputs(zpx::emu::os::kStopRequests, stdout);
            std::fputs(kUsageTail, stdout);
            return 0;
        } else if (option == "--log") {
            log = true;
        } else if (ModelFlag(option, &config)) {
        } else if (option == "--replay-timing") {
            replayTiming = true;
        } else if (option == "--control") {
            controlled = true;
        } else if (!value(&v)) {
            return Usage(("unknown option or missing value: " + std::string(option)).c_str());
        } else if (option == "--address") {
            address = v;

        } else if (option == "--port") {
            if (!ParseUnsigned(v, 65535, &port)) return Usage("bad --port");
        } else if (option == "--idle-timeout") {
            if (!ParseUnsigned(v, 0xFFFFFFFFull / 1000, &n)) return Usage("bad --idle-timeout");
            options.idleTimeoutMs = static_cast<uint32_t>(n * 1000);
        } else if (const std::string bad = ModelOption(option, v, &config, &faults); bad != "?") {
            if (!bad.empty()) return Usage(bad.c_str());
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
    options.recording = recording.get();
    options.events = Print;
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
    if (controlled && !control.Start(&error)) {
        std::fprintf(stderr, "zpx-emu: %s\n", error.c_str());
        return 1;
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
