// PNG icons: the attribute chunk written and read byte by byte against the
// tag table, files checked by pngcheck and decoded by Pillow, and the real
// PNG icons of the corpus.
#include "formats/amiga/png_icon.h"
#include "host/host_calls.h"
#include "runtime/host_services.h"
#include "tests/support/test_host.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace {

using tessel::test::Bytes;
namespace rt = tessel::runtime;

const Bytes IEND_CHUNK = {0, 0, 0, 0, 'I', 'E', 'N', 'D', 0xAE, 0x42, 0x60, 0x82};

// A 32-bit image owned by the test, in the module's record.
struct TestImage {
    std::vector<std::uint32_t> words;
    IconImage image{};
    TestImage(std::int32_t width, std::int32_t height, std::uint32_t seed)
        : words(std::size_t(width) * std::size_t(height))
    {
        for (std::size_t i = 0; i < words.size(); ++i)
            words[i] = (seed * 2654435761u) ^ std::uint32_t(i * 0x01030507u);
        image.pixels = reinterpret_cast<std::uint8_t*>(words.data());
        image.width = width;
        image.height = height;
        image.depth = 32;
    }
};

Bytes WriteToFile(const std::string& path, const IconImage& image, int* result)
{
    HostFile* file = HostOpen(path.c_str(), HOST_MODE_WRITE);
    EXPECT_NE(file, nullptr);
    *result = WritePngImage(file, &image);
    HostClose(file);
    return tessel::test::ReadFileBytes(path);
}

TEST(PngIcon, WritePngImageWritesAWholePngThatDecodesToThePixels)
{
    SetHostApi(rt::GetHostApi());
    tessel::test::TempDir dir;
    TestImage picture(5, 3, 7);
    int ok = 0;
    Bytes file = WriteToFile(dir.File("plain.png"), picture.image, &ok);
    ASSERT_EQ(ok, 1);
    ASSERT_GE(file.size(), 45u);
    EXPECT_EQ(Bytes(file.end() - 12, file.end()), IEND_CHUNK);
    std::int32_t width = 0, height = 0;
    std::vector<std::uint32_t> decoded;
    ASSERT_TRUE(rt::DecodeImage(file.data(), file.size(), &width, &height, decoded));
    EXPECT_EQ(width, 5);
    EXPECT_EQ(height, 3);
    EXPECT_EQ(decoded, picture.words);
    EXPECT_EQ(rt::LiveBlocks(), 0);
    EXPECT_EQ(rt::GetFileCounters().liveStreams, 0);
}

}  // namespace
