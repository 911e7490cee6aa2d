// Network settings and image updates through the library against the emulated controller: kept
// by the controller over Ethernet and USB, images checked by their checksum and length there,
// FireWire's announcement, and the back-ends without configuration.
#include <gtest/gtest.h>

#include "backend_fixture.h"

namespace zpx {
namespace {

class NetworkTest : public BackendTest {
  protected:
    void Configure(emu::ControllerConfig& c) override {
        c.maxImageBytes = 64 * 1024;
        c.firmwareVersion = 0x0207;
    }
    bool Carries() const {
        const uint32_t kind = GetParam().interfaceKind;
        return kind == ZPX_INTERFACE_ETHERNET || kind == ZPX_INTERFACE_USB;
    }
};

TEST_P(NetworkTest, SettingsAreKeptByTheControllerAndImagesChecked) {
    const bool carries = Carries();
    const uint32_t refused = carries ? 0u : 3u;
    EXPECT_EQ(ZPX_SetIpAddress(handle_, 0x0B00A8C0), refused);
    EXPECT_EQ(ZPX_SetMACAddress(handle_, 0x11223344, 0x5566), refused);
    EXPECT_EQ(ZPX_SetDHCP(handle_, 1), refused);
    uint32_t ip = 0, first = 0, second = 0, dhcp = 0, firmware = 0;
    EXPECT_EQ(ZPX_GetIpAddress(handle_, &ip), refused);
    EXPECT_EQ(ZPX_GetMACAddress(handle_, &first, &second), refused);
    EXPECT_EQ(ZPX_GetDHCP(handle_, &dhcp), refused);
    EXPECT_EQ(ZPX_GetFirmwareVersion(handle_, &firmware), refused);
    if (carries) {
        EXPECT_EQ(std::vector<uint32_t>({ip, first, second, dhcp, firmware}),
                  (std::vector<uint32_t>{0x0B00A8C0, 0x11223344, 0x5566, 1, 0x0207}));
    }

    // An image the controller takes, one it refuses, one longer than its flash.
    std::vector<uint8_t> image(20001);
    for (size_t i = 0; i < image.size(); ++i)
        image[i] = static_cast<uint8_t>(i * 7 + 3);
    const bool announces = GetParam().interfaceKind == ZPX_INTERFACE_FIREWIRE;
    EXPECT_EQ(ZPX_UpdateFirmware(handle_, 20001, 0, 0xA1, 0xB2, image.data()),
              carries || announces ? 0u : 3u);
    if (!carries) return;
    const emu::ImageRecord last = controller_->LastImage();
    EXPECT_EQ(last.bytes, image);
    EXPECT_EQ(last.kind * 0x10000 + last.callerByte1 * 0x100 + last.callerByte2, 0x2A1B2u);
    image.resize(64 * 1024 + 4);
    EXPECT_EQ(ZPX_UpdateFPGA(handle_, static_cast<uint32_t>(image.size()), 0, 0, 0, image.data()),
              config_.imageTooLongStatus);
}

// A controller told to refuse every image: its status comes back as it is.
class RefusingControllerTest : public NetworkTest {
  protected:
    void Configure(emu::ControllerConfig& c) override {
        NetworkTest::Configure(c);
        c.refuseImages = true;
        c.imageRefusedStatus = 0x4242;
    }
};

TEST_P(RefusingControllerTest, TheControllersStatusComesBackAsItIs) {
    const std::vector<uint8_t> image(4096, 0x5A);
    EXPECT_EQ(ZPX_UpdateFPGA(handle_, 4096, 0, 0, 0, image.data()), 0x4242u);
    EXPECT_EQ(controller_->LastImage().kind, 1u);
}

const Backend kNetworkBackends[] = {kBackends[1], kBackends[5], kBackends[9], kBackends[11]};

INSTANTIATE_TEST_SUITE_P(Backends, NetworkTest, ::testing::ValuesIn(kNetworkBackends),
                         [](const auto& info) { return std::string(info.param.label); });
INSTANTIATE_TEST_SUITE_P(Backends, RefusingControllerTest,
                         ::testing::Values(kBackends[1], kBackends[9]),
                         [](const auto& info) { return std::string(info.param.label); });

}  // namespace
}  // namespace zpx
