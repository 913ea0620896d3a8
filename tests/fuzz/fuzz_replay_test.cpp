// Every corpus input and every past crasher of the fuzz targets, run through the same entry
// points in the normal test run, so a fixed finding stays fixed.

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "link_fuzz_targets.h"
#include "status_fuzz_targets.h"

namespace tarvell
{
namespace
{

using Entry = int (*)(const std::uint8_t*, std::size_t);

int Replay(const std::string& target, Entry entry)
{
    int inputs = 0;
    for (const char* kind : {"corpus", "crashers"})
    {
        const std::filesystem::path directory =
            std::filesystem::path(TARVELL_FUZZ_DIR) / kind / target;
        if (!std::filesystem::is_directory(directory))
            continue;
        for (const auto& file : std::filesystem::directory_iterator(directory))
        {
            std::ifstream in(file.path(), std::ios::binary);
            const std::vector<char> bytes((std::istreambuf_iterator<char>(in)),
                                          std::istreambuf_iterator<char>());
            SCOPED_TRACE(file.path().string());
            EXPECT_EQ(entry(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()), 0);
            ++inputs;
        }
    }
    return inputs;
}

TEST(FuzzReplay, DecodeConfig)
{
    EXPECT_GT(Replay("decode_config", fuzz::FuzzDecodeConfig), 0);
}

TEST(FuzzReplay, DecodePacket)
{
    EXPECT_GT(Replay("decode_packet", fuzz::FuzzDecodePacket), 0);
}

TEST(FuzzReplay, LinkStream)
{
    EXPECT_GT(Replay("link_stream", fuzz::FuzzLinkStream), 0);
}

TEST(FuzzReplay, StatusAnswer)
{
    EXPECT_GT(Replay("status_answer", fuzz::FuzzStatusAnswer), 0);
}

} // namespace
} // namespace tarvell
