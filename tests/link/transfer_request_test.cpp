#include "link/transfer_request.h"

#include <memory>
#include <vector>

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "link/transfer_error.h"
#include "link/transfer_session.h"
#include "link/wire.h"
#include "link_test_support.h"
#include "platform/text.h"

namespace tarvell
{
namespace
{

std::unique_ptr<TransferRequest> MakeRequest(int stations, int channelsEach)
{
    auto request = std::make_unique<TransferRequest>();
    request->clientId = 1234;
    request->stationCount = stations;
    for (int s = 0; s < stations; ++s)
    {
        CopyToField(request->stations[s].name, kNameFieldSize, "STA" + std::to_string(s + 1));
        request->stations[s].channelCount = channelsEach;
        for (int c = 0; c < channelsEach; ++c)
            CopyToField(request->stations[s].channels[c].name, kNameFieldSize, "BHZ");
    }
    return request;
}

std::vector<unsigned char> Encode(const TransferRequest& request, int* length)
{
    std::vector<unsigned char> body(kMaxRequestBody + 64, 0xAA);
    *length = EncodeRequest(body.data(), request);
    return body;
}

TEST(TransferRequest, WorkedExampleGoesOutByteForByte)
{
    auto request = MakeRequest(1, 1);
    CopyToField(request->stations[0].name, kNameFieldSize, "STA1");
    int pair[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    CLinkConnection link;
    ASSERT_EQ(SendRequest(link, pair[0], *request), 0);
    const std::vector<unsigned char> expected = {
        0x00, 0x00, 0x00, 0x40, 0x00, 0x01, 0x00, 0x00, 0x00, 0x02, 0x01, 0x04, 0x00, 0x00,
        0x40, 0x00, 0x00, 0x00, 0x40, 0x00, 0x00, 0x00, 0x04, 0xD2, 0x00, 0x01, 0x00, 0x01,
        0x00, 0x01, 0x00, 0x01, 0x00, 0x01, 0x53, 0x54, 0x41, 0x31, 0x00, 0x00, 0x00, 0x00,
        0x00, 0x01, 0x42, 0x48, 0x5A, 0x00, 0x00, 0x00, 0x00, 0x00, 0xFF, 0xFF, 0xFF, 0xFF,
        0x00, 0x00, 0x00, 0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x00, 0x00, 0x00};
    EXPECT_EQ(test::ReadExactly(pair[1], expected.size()), expected);
    pollfd rest{pair[1], POLLIN, 0};
    EXPECT_EQ(::poll(&rest, 1, 0), 0) << "nothing after the message";
    ::close(pair[0]);
    ::close(pair[1]);
}

TEST(TransferRequest, SizesOfEmptyAndLargestRequests)
{
    int length = 0;
    Encode(*MakeRequest(0, 0), &length);
    EXPECT_EQ(length, 30);
    const auto empty = Encode(*MakeRequest(0, 0), &length);
    EXPECT_EQ(ReadBE16(empty.data() + 28), 0);

    // A station without channels: its name and a channel count of 0.
    const auto bare = Encode(*MakeRequest(1, 0), &length);
    EXPECT_EQ(length, 40);
    EXPECT_EQ(ReadBE16(bare.data() + 38), 0);

    const auto largest = Encode(*MakeRequest(64, 64), &length);
    EXPECT_EQ(length, 98974);
    EXPECT_EQ(static_cast<std::size_t>(length), kMaxRequestBody);
    EXPECT_EQ(largest[static_cast<std::size_t>(length)], 0xAA) << "nothing past the body";

    auto typeOne = MakeRequest(3, 3);
    typeOne->requestType = 1;
    Encode(*typeOne, &length);
    EXPECT_EQ(length, 22);
}

TEST(TransferRequest, TimesAreSplitByTruncationTowardZero)
{
    auto request = MakeRequest(1, 1);
    request->stations[0].channels[0].beginTime = 1154000000.25;
    request->stations[0].channels[0].endTime = -1.5;
    int length = 0;
    const auto body = Encode(*request, &length);
    const unsigned char* channel = body.data() + 30 + 10;
    EXPECT_EQ(ReadBE32(channel + 8), 1154000000u);
    EXPECT_EQ(ReadBE32(channel + 12), 250000u);
    EXPECT_EQ(ReadBE32(channel + 16), 0xFFFFFFFFu);
    EXPECT_EQ(ReadBE32(channel + 20), 0xFFF85EE0u);

    EXPECT_EQ(SplitWireTime(-1.0).seconds, -1);
    EXPECT_EQ(SplitWireTime(-1.0).microseconds, 0);
    EXPECT_EQ(SplitWireTime(0.0 / 0.0).seconds, -1) << "no number goes out as -1";
}

TEST(TransferRequest, NamesBufferSizesAndSixteenBitFields)
{
    auto request = MakeRequest(1, 1);
    CopyToField(request->stations[0].name, kNameFieldSize, "ABCDEFG");
    request->sendBufferSize = -5;
    request->receiveBufferSize = 32768;
    request->timeout = 0x12345; // only the low 16 bits go out
    int length = 0;
    const auto body = Encode(*request, &length);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(body.data() + 30), 7), "ABCDEFG");
    EXPECT_EQ(body[37], 0) << "the terminator fills the eighth byte";
    EXPECT_EQ(ReadBE32(body.data() + 8), 16384u);
    EXPECT_EQ(ReadBE32(body.data() + 12), 32768u);
    EXPECT_EQ(ReadBE16(body.data() + 6), 0x2345);
}

TEST(TransferRequest, BadRecordsFailWithTheirCodesAndNothingIsSent)
{
    struct Case
    {
        int version;
        int type;
        int stations;
        int channels;
        int code;
    };
    const Case cases[] = {
        {2, 2, 1, 1, kTransferBadVersion}, {1, 3, 1, 1, kTransferBadType},
        {1, 0, 1, 1, kTransferBadType},    {1, 2, 65, 0, kTransferTooLarge},
        {1, 2, -1, 0, kTransferTooLarge},
    };
    for (const Case& c : cases)
    {
        auto request = MakeRequest(1, 1);
        request->protocolVersion = c.version;
        request->requestType = c.type;
        request->stationCount = c.stations;
        int length = 0;
        g_transferError = 0;
        Encode(*request, &length);
        EXPECT_EQ(length, -1) << c.code;
        EXPECT_EQ(g_transferError, c.code);
    }
    auto request = MakeRequest(1, 1);
    request->stations[0].channelCount = 65;
    int length = 0;
    Encode(*request, &length);
    EXPECT_EQ(length, -1);
    EXPECT_EQ(g_transferError, kTransferTooLarge);

    // A bad version leaves the first five fields written and sends nothing.
    request = MakeRequest(1, 1);
    request->protocolVersion = 7;
    auto body = Encode(*request, &length);
    EXPECT_EQ(ReadBE16(body.data()), 7);
    EXPECT_EQ(ReadBE32(body.data() + 12), 16384u);
    EXPECT_EQ(body[16], 0xAA);
    int pair[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    CLinkConnection link;
    EXPECT_EQ(SendRequest(link, pair[0], *request), -1);
    pollfd sent{pair[1], POLLIN, 0};
    EXPECT_EQ(::poll(&sent, 1, 0), 0);
    ::close(pair[0]);
    ::close(pair[1]);
}

} // namespace
} // namespace tarvell
