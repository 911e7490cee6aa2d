// One emulated controller per test, reached through the library on one back-end setup: over
// loopback Ethernet, or through the driver stand-in for every controller type each driver
// back-end can carry. Tests derive from BackendTest and may change the board in Configure.
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "emu_platform.h"
#include "zpx/zpx.h"

namespace zpx {

struct Backend {
    const char* label;
    uint32_t interfaceKind;
    const char* name;  // controller name (Ethernet: the emulator's address)
    const char* path;  // device path the library opens
    int type;          // what the emulated board is
    // An older driver knows no identification: whatever the board, the library takes it for the
    // 5120 family and keeps its status registers in the INI file.
    bool olderDriver;
    // VXI: the interface generation of the emulated driver library, "session" or "plain".
    const char* vxiGeneration = nullptr;
    uint32_t reportedType() const { return olderDriver ? 0 : static_cast<uint32_t>(type); }
    bool ethernet() const { return interfaceKind == ZPX_INTERFACE_ETHERNET; }
    bool vxi() const { return interfaceKind == ZPX_INTERFACE_VXI; }
    // The library takes the older paths: counters by separate requests (fewer of them), the
    // status registers kept in the status file.
    bool legacy() const { return olderDriver || vxi(); }
};

inline std::ostream& operator<<(std::ostream& os, const Backend& b) {
    return os << b.label;
}

inline const Backend kBackends[] = {
    {"Eth1", ZPX_INTERFACE_ETHERNET, "", "", 1, false},
    {"Eth2", ZPX_INTERFACE_ETHERNET, "", "", 2, false},
    {"Eth3", ZPX_INTERFACE_ETHERNET, "", "", 3, false},
    {"Pci0", ZPX_INTERFACE_PCI, "PCI0,5120", "\\\\.\\PCI5120_0", 0, false},
    {"Pci1", ZPX_INTERFACE_PCI, "PCI0", "\\\\.\\PCI51X4EX_0", 1, false},
    {"Pci2", ZPX_INTERFACE_PCI, "PCI 2", "\\\\.\\PCI51X4EX_2", 2, false},
    {"Pci3", ZPX_INTERFACE_PCI, "PCI0", "\\\\.\\PCI51X4EX_0", 3, false},
    {"PciOlderDriver", ZPX_INTERFACE_PCI, "PCI0", "\\\\.\\PCI51X4EX_0", 2, true},
    {"Usb0", ZPX_INTERFACE_USB, "USB1,5120", "\\\\.\\Usb5120_1", 0, false},
    {"Usb2", ZPX_INTERFACE_USB, "USB0", "\\\\.\\Usb51x4EX_0", 2, false},
    {"Isa0", ZPX_INTERFACE_ISA, "ISA0,5120", "\\\\.\\isa5120", 0, true},
    {"FireWire1", ZPX_INTERFACE_FIREWIRE, "FW0", "\\\\.\\Fw51x4_0", 1, false},
    {"FireWire3", ZPX_INTERFACE_FIREWIRE, "FW0", "\\\\.\\Fw51x4_0", 3, false},
    {"VxiSession", ZPX_INTERFACE_VXI, "VXIPCI,5120", "", 0, false, "session"},
    {"VxiPlain", ZPX_INTERFACE_VXI, "VXIPCI0,8,5120", "", 0, false, "plain"},
};

// Memory sizes in bytes of memory kinds 0 to 5 by controller type and the high nibble of the flash
// code, as documented for the controllers (the 5120 family whatever its flash code).
struct DocumentedMemorySizes {
    int type;
    uint8_t lowestNibble;
    uint8_t highestNibble;
    std::array<uint32_t, 6> sizes;
};
inline constexpr DocumentedMemorySizes kDocumentedMemorySizes[] = {
    {0, 0x0, 0xF, {0x40000, 0x80000, 0x400000, 0x80000, 0x80000, 0x80000}},
    {1, 0x0, 0xB, {0x400000, 0x100000, 0, 0x100000, 0x100000, 0x100000}},
    {2, 0x0, 0xB, {0x400000, 0x100000, 0x800000, 0x100000, 0x100000, 0x100000}},
    {3, 0x0, 0xB, {0x400000, 0x100000, 0x1000000, 0x100000, 0x100000, 0x100000}},
    {1, 0xC, 0xC, {0x400000, 0x200000, 0, 0x200000, 0x200000, 0x200000}},
    {2, 0xC, 0xC, {0x400000, 0x200000, 0x800000, 0x200000, 0x200000, 0x200000}},
    {3, 0xC, 0xC, {0x400000, 0x200000, 0x1000000, 0x200000, 0x200000, 0x200000}},
    {1, 0xD, 0xF, {0x800000, 0x200000, 0, 0x200000, 0x200000, 0x200000}},
    {2, 0xD, 0xF, {0x800000, 0x200000, 0x800000, 0x200000, 0x200000, 0x200000}},
    {3, 0xD, 0xF, {0x800000, 0x200000, 0x1000000, 0x200000, 0x200000, 0x200000}},
};

// The documented sizes for a controller; all 0 when no row is for it (a test then fails).
inline std::array<uint32_t, 6> DocumentedSizes(int type, uint8_t flashCode) {
    const int nibble = flashCode >> 4;
    for (const DocumentedMemorySizes& row : kDocumentedMemorySizes) {
        if (row.type == type && nibble >= row.lowestNibble && nibble <= row.highestNibble)
            return row.sizes;
    }
    ADD_FAILURE() << "no documented memory sizes for type " << type;
    return {};
}

// The test hooks of the emulated VXI driver library, looked up in the copy the loader found.
struct VxiHooks {
    explicit VxiHooks(platform::DynamicLibrary& library)
        : controller(reinterpret_cast<emu::Controller* (*)()>(library.Find("ZpxEmuVxiController"))),
          configure(reinterpret_cast<void (*)(const emu::ControllerConfig*, uint16_t)>(
              library.Find("ZpxEmuVxiConfigure"))),
          setFaults(reinterpret_cast<void (*)(const std::vector<emu::Fault>*)>(
              library.Find("ZpxEmuVxiSetFaults"))),
          calls(reinterpret_cast<uint64_t (*)()>(library.Find("ZpxEmuVxiCalls"))) {}
    bool complete() const { return controller && configure && setFaults && calls; }
    emu::Controller* (*controller)();
    void (*configure)(const emu::ControllerConfig*, uint16_t);
    void (*setFaults)(const std::vector<emu::Fault>*);
    uint64_t (*calls)();
};

class BackendTest : public ::testing::TestWithParam<Backend> {
  public:
    static constexpr uint8_t kPowerUpErrorBits = 0x04;
    static constexpr uint8_t kRunErrorBits = 0x10;

  protected:
    // The board as the tests of this fixture want it; runs before the controller exists.
    virtual void Configure(emu::ControllerConfig&) {}

    void SetUp() override {
        const Backend& b = GetParam();
        config_.type = b.type;
        config_.errorBits = kPowerUpErrorBits;
        config_.runErrorBits = kRunErrorBits;
        // About 250 ms per run at the clock the board powers up with.
        config_.runPeriods = static_cast<uint64_t>(0.25 * emu::ClockHz(b.type, 0, 0));
        config_.epldRevision = 0xA;
        config_.flashCode = 0xD2;
        config_.podKind = 0;  // the older pod, with which the 5120 board passes its board test
        Configure(config_);
        if (b.vxi()) {
            ASSERT_NO_FATAL_FAILURE(LoadVxiBoard(b));
        } else if (b.ethernet()) {
            station_ = std::make_unique<testing::LanStation>(config_);
            controller_ = &station_->controller;
            server_ = &station_->server;
            name_ = station_->name;
        } else {
            ownedController_ = std::make_unique<emu::Controller>(config_);
            controller_ = ownedController_.get();
            constexpr emu::DriverKind kKinds[] = {
                emu::DriverKind::kIsa, emu::DriverKind::kPci, emu::DriverKind::kUsb,
                emu::DriverKind::kPci, emu::DriverKind::kPci, emu::DriverKind::kFireWire};
            emu::DriverOptions options;
            options.kind = kKinds[b.interfaceKind];  // by interface kind
            options.olderDriver = b.olderDriver;
            driver_ = std::make_unique<emu::DriverStandIn>(*controller_, options);
            platform_.SetDriver(b.path, driver_.get());
            name_ = b.name;
        }
        if (IsSkipped()) return;
        uint32_t status = 99;
        handle_ = ZPX_OpenController(name_.c_str(), &status);
        ASSERT_EQ(status, ZPX_STATUS_OK) << name_;
    }
    // The emulated VXI board, in the copy of libvxi5120.so that the loader finds by its bare
    // name, as the library loads it: the test of each generation puts that generation's folder
    // on the loader's path and names it.
    void LoadVxiBoard(const Backend& b) {
        const char* generation = std::getenv("ZPX_VXI_GENERATION");
        if (generation == nullptr || std::string(generation) != b.vxiGeneration) {
            GTEST_SKIP() << "run by the vxi_" << b.vxiGeneration << " test";
        }
        // The same copy the library will load: the system's loader finds it by the same name.
        vxiLibrary_ = platform::System<platform::Libraries>().OpenLibrary("vxi5120");
        ASSERT_NE(vxiLibrary_, nullptr);
        vxi_ = std::make_unique<VxiHooks>(*vxiLibrary_);
        ASSERT_TRUE(vxi_->complete());
        vxi_->configure(&config_, 8);
        controller_ = vxi_->controller();
        name_ = b.name;
    }

    void TearDown() override {
        EXPECT_TRUE(handle_ == nullptr || ZPX_CloseController(handle_) == ZPX_STATUS_OK);
        vxiLibrary_.reset();
    }

    // What an export with a trailing output hands back (it must succeed).
    template <class T = uint32_t, class F, class... A>
    T Get(F export_, A... args) {
        T v = static_cast<T>(0xDEADBEEF);
        EXPECT_EQ(export_(handle_, args..., &v), ZPX_STATUS_OK);
        return v;
    }
    // Ethernet writes are not answered: a read through the same connection makes sure the board
    // has taken every write before the test looks at it.
    void Sync() { Get(ZPX_GetLearnMode); }
    uint32_t Register(unsigned reg) {
        Sync();
        uint32_t v = 0;
        controller_->ReadRegister(reg, &v);
        return v;
    }
    // The controller status once the run has ended (0), or as it is after five seconds.
    uint32_t StatusOnceRunEnds() {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        uint32_t status = Get(ZPX_GetControllerStatus);
        for (; status != 0 && std::chrono::steady_clock::now() < deadline;
             status = Get(ZPX_GetControllerStatus))
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        return status;
    }
    uint64_t Requests() const {
        if (vxi_) return vxi_->calls();
        return server_ ? server_->RequestCount() : driver_->RequestCount();
    }
    // Arranges for the next request to meet `kind`. Over Ethernet the board counts a request
    // when it takes it; a read first makes sure it has taken every earlier write.
    void FaultNext(emu::FaultKind kind, uint32_t delayMs = 0) {
        if (server_) Sync();
        const std::vector<emu::Fault> f{{kind, Requests() + 1, 1, 0, delayMs}};
        if (vxi_)
            vxi_->setFaults(&f);
        else
            server_ ? server_->SetFaults(f) : driver_->SetFaults(f);
    }
    testing::EmuPlatform platform_;
    testing::StatusFileFolder statusFile_;
    emu::ControllerConfig config_;
    std::unique_ptr<emu::Controller> ownedController_;
    emu::Controller* controller_ = nullptr;  // the board behind the back-end
    std::unique_ptr<platform::DynamicLibrary> vxiLibrary_;
    std::unique_ptr<VxiHooks> vxi_;
    std::unique_ptr<testing::LanStation> station_;
    emu::LanServer* server_ = nullptr;  // of the station
    std::unique_ptr<emu::DriverStandIn> driver_;
    std::string name_;
    ZPX_Handle handle_ = nullptr;
};

}  // namespace zpx
