// Network settings and image updates through the library against the emulated controller over
// Ethernet and USB: the settings kept by the controller, images checked there by their checksum
// and length. (The back-ends without configuration are the unit tests'.)
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
};

TEST_P(NetworkTest, SettingsAreKeptByTheControllerAndImagesChecked) {
    EXPECT_EQ(ZPX_SetIpAddress(handle_, 0x0B00A8C0), ZPX_STATUS_OK);
    EXPECT_EQ(ZPX_SetMACAddress(handle_, 0x11223344, 0x5566), ZPX_STATUS_OK);
    EXPECT_EQ(ZPX_SetDHCP(handle_, 1), ZPX_STATUS_OK);
    uint32_t first = 0, second = 0;
    EXPECT_EQ(ZPX_GetMACAddress(handle_, &first, &second), ZPX_STATUS_OK);
    EXPECT_EQ(std::vector<uint32_t>({Get(ZPX_GetIpAddress), first, second, Get(ZPX_GetDHCP),
                                     Get(ZPX_GetFirmwareVersion)}),
              (std::vector<uint32_t>{0x0B00A8C0, 0x11223344, 0x5566, 1, 0x0207}));

    // An image the controller takes, and one longer than its flash.
    std::vector<uint8_t> image(20001);
    for (size_t i = 0; i < image.size(); ++i)
        image[i] = static_cast<uint8_t>(i * 7 + 3);
    EXPECT_EQ(ZPX_UpdateFirmware(handle_, 20001, 0, 0xA1, 0xB2, image.data()), ZPX_STATUS_OK);
    const emu::ImageRecord last = controller_->LastImage();
    EXPECT_EQ(last.bytes, image);
    EXPECT_EQ(last.kind * 0x10000 + last.callerByte1 * 0x100 + last.callerByte2, 0x2A1B2u);
    image.resize(64 * 1024 + 4);
    EXPECT_EQ(ZPX_UpdateFPGA(handle_, static_cast<uint32_t>(image.size()), 0, 0, 0, image.data()),
              config_.imageTooLongStatus);
}

INSTANTIATE_TEST_SUITE_P(Backends, NetworkTest, ::testing::Values(kBackends[1], kBackends[9]),
                         [](const auto& info) { return std::string(info.param.label); });

}  // namespace
}  // namespace zpx
