// Network settings and image updates: the image checksum's documented examples, the packets of
// every item over Ethernet and USB, the image in pieces or in one stream with the controller's
// status passed through, FireWire's announcement, and the sessions that carry none of it.
#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "driver_fixture.h"
#include "transport/lan_config.h"

namespace zpx::testing {
namespace {

// A configuration packet or reply: command word, data0, data1.
std::vector<uint8_t> Reply(uint32_t command, uint32_t data0, uint32_t data1 = 0) {
    return WordBytes({command, data0, data1});
}

TEST(Network, ItemsTravelAsTwelveBytePacketsOverEthernetAndUsb) {
    {
        Opened o(kEthernet);
        FakeTcpState& tcp = *o.tcp;
        EXPECT_EQ(ZPX_SetMACAddress(o.handle, 0x11223344, 0x5566), ZPX_STATUS_OK);
        EXPECT_EQ(ZPX_SetIpAddress(o.handle, 0x0A00A8C0), ZPX_STATUS_OK);
        EXPECT_EQ(ZPX_SetDHCP(o.handle, 1), ZPX_STATUS_OK);
        EXPECT_EQ(Packets(tcp), (std::vector<Request>{{0x00044000, 0x11223344, 0x5566},
                                                      {0x00084000, 0x0A00A8C0, 0},
                                                      {0x00104000, 1, 0}}));
        EXPECT_EQ(tcp.waits, 0);  // writes are not answered
        tcp.sent.clear();
        tcp.script = {{TcpEvent::kData, Reply(0x00042000, 0xAABBCCDD, 0xEEFF)},
                      {TcpEvent::kData, Reply(0x00012000, 0x0103)},
                      {TcpEvent::kData, Reply(0x00022000, 0x0206)}};
        uint32_t first = 0, second = 0;
        EXPECT_EQ(ZPX_GetMACAddress(o.handle, &first, &second), ZPX_STATUS_OK);
        EXPECT_EQ(std::make_pair(first, second), std::make_pair(0xAABBCCDDu, 0xEEFFu));
        EXPECT_EQ(o.Get(ZPX_GetFPGAVersion), 0x0103u);
        EXPECT_EQ(o.Get(ZPX_GetFirmwareVersion), 0x0206u);
        EXPECT_EQ(Packets(tcp), (std::vector<Request>{
                                    {0x00042000, 0, 0}, {0x00012000, 0, 0}, {0x00022000, 0, 0}}));
        // No reply within the waits: 3, the output untouched.
        uint32_t dhcp = 7;
        EXPECT_EQ(ZPX_GetDHCP(o.handle, &dhcp), ZPX_STATUS_BUSY);
        EXPECT_EQ(dhcp, 7u);
        EXPECT_EQ(ZPX_GetDHCP(o.handle, nullptr), ZPX_STATUS_INVALID);
        EXPECT_EQ(ZPX_GetMACAddress(o.handle, &first, nullptr), ZPX_STATUS_INVALID);
    }
    Opened o(kUsb);
    EXPECT_EQ(ZPX_SetIpAddress(o.handle, 0x0100007F), ZPX_STATUS_OK);
    o.file->configReply = Reply(0x00082000, 0x0200007F);
    EXPECT_EQ(o.Get(ZPX_GetIpAddress), 0x0200007Fu);
    EXPECT_EQ(o.file->configWrites,
              (std::vector<std::vector<uint8_t>>{Reply(0x00084000, 0x0100007F)}));
    EXPECT_EQ(o.device->calls.back(), (DriverCall{0x9C406444, Reply(0x00082000, 0), 12}));
}

TEST(Network, SessionsWithoutConfigurationAnswerThreeAndSendNothing) {
    for (const Target& t : {kPci, kUsb5120, kIsa, kFireWire}) {
        SCOPED_TRACE(t.label);
        Opened o(t);
        uint32_t value = 0;
        const uint8_t image[8] = {};
        EXPECT_EQ(ZPX_SetIpAddress(o.handle, 1), ZPX_STATUS_BUSY);
        EXPECT_EQ(ZPX_GetFirmwareVersion(o.handle, &value), ZPX_STATUS_BUSY);
        const bool announces = std::string(t.label) == "FireWire";
        EXPECT_EQ(ZPX_UpdateFPGA(o.handle, 8, 0, 1, 2, image),
                  announces ? ZPX_STATUS_OK : ZPX_STATUS_BUSY);
        // FireWire announces the image with twelve zero bytes and sends nothing of it.
        const std::vector<DriverCall> expected =
            announces ? std::vector<DriverCall>{{0x9C406440, std::vector<uint8_t>(12, 0), 0}}
                      : std::vector<DriverCall>{};
        EXPECT_EQ(o.device->calls, expected);
    }
}

TEST(Network, ImagesWithTheirChecksumGoInPiecesOrInOneStreamAndTheStatusComesBack) {
    // CRC-16/XMODEM of each 4-byte group reversed: "12345678" as "43218765".
    const std::pair<std::string_view, uint16_t> examples[] = {
        {"abcd", 0x40D7}, {"abcde", 0x40D7}, {"abcdefgh", 0xD1FD}, {"abc", 0}, {"", 0}};
    for (const auto& [text, crc] : examples) {
        const auto* image = reinterpret_cast<const uint8_t*>(text.data());
        EXPECT_EQ(transport::ImageCrc(image, static_cast<uint32_t>(text.size())), crc) << text;
    }
    std::vector<uint8_t> image(300000);
    for (size_t i = 0; i < image.size(); ++i)
        image[i] = static_cast<uint8_t>(i * 31 + 7);
    const uint16_t crc = transport::ImageCrc(image.data(), 300000);
    const auto header = [&](uint32_t kind) {
        return Reply(0x8000 | (kind << 16), 300000, crc | 0x0B0A0000u);
    };
    {
        // USB: the header, pieces of the chunk size, then the status read in its place.
        Opened o(kUsb);
        o.file->configReply = Reply(0x00028000, 0);
        EXPECT_EQ(ZPX_UpdateFirmware(o.handle, 300000, 99, 0x0A, 0x0B, image.data()),
                  ZPX_STATUS_OK);
        EXPECT_EQ(o.file->configWrites, (std::vector<std::vector<uint8_t>>{header(2)}));
        EXPECT_EQ(o.file->pieceLengths,
                  (std::vector<uint32_t>{131072 + 16, 131072 + 16, 37856 + 16}));
        EXPECT_EQ(o.device->calls.back(), (DriverCall{0x9C406444, {}, 12}));
        o.file->configReply = Reply(0x00018000, 5);  // refused: the controller's word as it is
        EXPECT_EQ(ZPX_UpdateFPGA(o.handle, 300000, 0, 0x0A, 0x0B, image.data()), 5u);
        // A length with no image behind it: 10, nothing sent. An empty image is its header alone
        // (length 0, CRC 0), then the verdict.
        o.device->calls.clear();
        EXPECT_EQ(ZPX_UpdateFPGA(o.handle, 8, 0, 0, 0, nullptr), ZPX_STATUS_INVALID);
        EXPECT_TRUE(o.device->calls.empty());
        o.file->configWrites.clear();
        o.file->pieceLengths.clear();
        EXPECT_EQ(ZPX_UpdateFPGA(o.handle, 0, 0, 0x01, 0x02, nullptr), 5u);
        EXPECT_EQ(o.file->configWrites,
                  (std::vector<std::vector<uint8_t>>{Reply(0x00018000, 0, 0x02010000)}));
        EXPECT_TRUE(o.file->pieceLengths.empty());
        o.file->failAfter = o.file->served;
        EXPECT_EQ(ZPX_UpdateFPGA(o.handle, 300000, 0, 0x0A, 0x0B, image.data()), ZPX_STATUS_FAILED);
    }
    Opened o(kEthernet);
    FakeTcpState& tcp = *o.tcp;
    // Ethernet: header and image in one stream, a second, then a second before each try.
    tcp.script.assign(4, {TcpEvent::kTimeout, {}});
    tcp.script.push_back({TcpEvent::kData, Reply(0x00028000, 0)});
    EXPECT_EQ(ZPX_UpdateFirmware(o.handle, 300000, 0, 0x0A, 0x0B, image.data()), ZPX_STATUS_OK);
    std::vector<uint8_t> stream = header(2);
    stream.insert(stream.end(), image.begin(), image.end());
    EXPECT_EQ(tcp.sent, stream);
    EXPECT_EQ(o.fake->Take(), "s1000 s1000 s25 s25 s25 s25 s1000 ");
    tcp.script = {{TcpEvent::kData, Reply(0x00018000, 5)}};
    EXPECT_EQ(ZPX_UpdateFPGA(o.handle, 8, 0, 0, 0, image.data()), 5u);
    // No reply at all: 50 tries, then 1.
    o.fake->Take();
    EXPECT_EQ(ZPX_UpdateFPGA(o.handle, 8, 0, 0, 0, image.data()), ZPX_STATUS_FAILED);
    EXPECT_EQ(Occurrences(o.fake->Take(), "s1000"), 51u);
}

}  // namespace
}  // namespace zpx::testing
