// Byte-order streams over real host files, and the growable buffers.
#include "host/host_calls.h"
#include "io/buffers.h"
#include "io/byte_io.h"
#include "tests/support/test_host.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

using tessel::test::Bytes;
using tessel::test::ReadFileBytes;
using tessel::test::TempDir;
using tessel::test::WriteFileBytes;
namespace rt = tessel::runtime;

class ByteIo : public testing::Test {
protected:
    void SetUp() override { SetHostApi(rt::GetHostApi()); }
    void TearDown() override { EXPECT_EQ(rt::LiveBlocks(), 0); }

    Bytes Written(void (*write)(HostFile*))
    {
        std::string path = dir.File("w.bin");
        HostFile* file = HostOpen(path.c_str(), HOST_MODE_WRITE);
        EXPECT_NE(file, nullptr);
        write(file);
        EXPECT_EQ(HostClose(file), 0);
        return ReadFileBytes(path);
    }

    HostFile* OpenBytes(const Bytes& bytes)
    {
        std::string path = dir.File("r.bin");
        WriteFileBytes(path, bytes);
        return HostOpen(path.c_str(), HOST_MODE_READ);
    }

    TempDir dir;
};

TEST_F(ByteIo, WritersPutBytesInTheirOrder)
{
    EXPECT_EQ(Written([](HostFile* f) { WriteBE32(f, 0x89504E47); }), (Bytes{0x89, 0x50, 0x4E, 0x47}));
    EXPECT_EQ(Written([](HostFile* f) { WriteLE32(f, 0x89504E47); }), (Bytes{0x47, 0x4E, 0x50, 0x89}));
    EXPECT_EQ(Written([](HostFile* f) { WriteLE16(f, 0x0100); }), (Bytes{0x00, 0x01}));
    EXPECT_EQ(Written([](HostFile* f) { WriteBE16(f, 0x12345678); }), (Bytes{0x56, 0x78}));
    EXPECT_EQ(Written([](HostFile* f) { WriteZeros(f, -3); }), Bytes{});
    EXPECT_EQ(Written([](HostFile* f) { WriteZeros(f, 3); }), (Bytes{0, 0, 0}));
}

TEST_F(ByteIo, PatchingGoesBackAndReturns)
{
    Bytes bytes = Written([](HostFile* f) {
        WriteBE32(f, 0xAAAAAAAA);
        WriteBE32(f, 0);           // a length not known yet
        WriteBE16(f, 0xBBBB);
        PatchBE32(f, 4, 0x00000102);
        WriteBE16(f, 0xCCCC);      // lands after the patch, at the end
        PatchLE32(f, 0, 0x01020304);
    });
    EXPECT_EQ(bytes, (Bytes{0x04, 0x03, 0x02, 0x01, 0x00, 0x00, 0x01, 0x02, 0xBB, 0xBB, 0xCC, 0xCC}));
}

TEST_F(ByteIo, ReadersAssembleUnsignedValues)
{
    HostFile* file = OpenBytes({0xE3, 0x10, 0x00, 0x01, 0xFF, 0xFF, 0x12, 0x34, 0x78, 0x56, 0x34, 0x12, 0xAB});
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(ReadBE32(file), 0xE3100001u);
    EXPECT_EQ(ReadLE16(file), 65535u);
    EXPECT_EQ(ReadBE16(file), 0x1234u);
    EXPECT_EQ(ReadLE32(file), 0x12345678u);
    EXPECT_EQ(HostEof(file), 0);
    // One byte left: the rest of the word reads as zeros, and the end shows.
    EXPECT_EQ(ReadBE32(file), 0xAB000000u);
    EXPECT_NE(HostEof(file), 0);
    EXPECT_EQ(HostClose(file), 0);
}

class Buffers : public ByteIo {};

TEST_F(Buffers, EnsureBufferReplacesUnlessStrictlyLarger)
{
    std::int32_t capacity = 0;
    std::uint8_t* block = EnsureBuffer(nullptr, 100, &capacity);
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(capacity, 100);
    EXPECT_EQ(EnsureBuffer(block, 99, &capacity), block);          // strictly larger: kept
    std::uint8_t* again = EnsureBuffer(block, 100, &capacity);     // equal: a new block
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(rt::LiveBlocks("pbuf"), 1);

    // A failed replacement leaves no block and no capacity, so the next
    // request allocates rather than handing back null as "big enough".
    rt::MemoryFaults faults;
    faults.failNth = 1;
    rt::SetMemoryFaults(faults);
    EXPECT_EQ(EnsureBuffer(again, 500, &capacity), nullptr);
    rt::ClearMemoryFaults();
    EXPECT_EQ(capacity, 0);
    EXPECT_EQ(rt::LiveBlocks("pbuf"), 0);
    std::uint8_t* fresh = EnsureBuffer(nullptr, 10, &capacity);
    ASSERT_NE(fresh, nullptr);
    EXPECT_EQ(capacity, 10);
    HostFreeMem(fresh);
}

TEST_F(Buffers, TagItemsAreBigEndianWords)
{
    AppendBuffer buffer;
    ASSERT_EQ(StartAppendBuffer(&buffer), 1);
    AppendTagValue(0x11, 0, 0, &buffer);
    EXPECT_EQ(buffer.used, 0);
    AppendTagValue(0x11, 0, 1, &buffer);
    AppendTagValue(0x01020304, 0xA0B0C0D0, 0, &buffer);
    AppendTagString(0x15, "abc", &buffer);
    AppendTagString(0x16, nullptr, &buffer);
    AppendBytes("icOn", 4, &buffer);
    AppendBytes("x", 0, &buffer);
    Bytes got(buffer.data, buffer.data + buffer.used);
    EXPECT_EQ(got, (Bytes{0, 0, 0, 0x11, 0, 0, 0, 0,
                          1, 2, 3, 4, 0xA0, 0xB0, 0xC0, 0xD0,
                          0, 0, 0, 0x15, 'a', 'b', 'c', 0,
                          'i', 'c', 'O', 'n',
                          'x', 0}));
    EXPECT_EQ(buffer.failed, 0);
    ReleaseAppendBuffer(&buffer);
}

TEST_F(Buffers, GrowsInStepsAndKeepsItsBytes)
{
    AppendBuffer small;
    ASSERT_EQ(StartAppendBuffer(&small), 1);
    EXPECT_EQ(small.capacity, 65536);
    Bytes expected;
    for (int i = 0; i < 7000; ++i) {
        std::uint8_t chunk[10];
        for (int j = 0; j < 10; ++j)
            chunk[j] = static_cast<std::uint8_t>(i * 7 + j);
        AppendBytes(chunk, 10, &small);
        expected.insert(expected.end(), chunk, chunk + 10);
    }
    EXPECT_EQ(small.used, 70000);
    EXPECT_EQ(small.capacity, 131072);
    EXPECT_EQ(Bytes(small.data, small.data + small.used), expected);
    ReleaseAppendBuffer(&small);

    // One request larger than a step grows to the next whole step.
    AppendBuffer large;
    ASSERT_EQ(StartAppendBuffer(&large), 1);
    std::string text(199999, 'q');
    AppendTagString(1, text.c_str(), &large);
    EXPECT_EQ(large.used, 4 + 200000);
    EXPECT_EQ(large.capacity, 262144);
    EXPECT_EQ(large.data[4], 'q');
    EXPECT_EQ(large.data[4 + 199998], 'q');
    EXPECT_EQ(large.data[4 + 199999], 0);
    ReleaseAppendBuffer(&large);
}

TEST_F(Buffers, FailedGrowthIsStickyAndKeepsWhatWasThere)
{
    AppendBuffer buffer;
    ASSERT_EQ(StartAppendBuffer(&buffer), 1);
    AppendTagValue(1, 2, 0, &buffer);
    rt::MemoryFaults faults;
    faults.failTag = "pbuf";
    faults.failTagNth = 1;
    rt::SetMemoryFaults(faults);
    std::string longText(70000, 'z');
    AppendTagString(3, longText.c_str(), &buffer);
    rt::ClearMemoryFaults();
    EXPECT_EQ(buffer.failed, 1);
    EXPECT_EQ(buffer.used, 8);
    EXPECT_EQ(buffer.capacity, 65536);
    // Later appends, even small ones that would fit, add nothing.
    AppendTagValue(4, 5, 1, &buffer);
    EXPECT_EQ(buffer.used, 8);
    EXPECT_EQ(Bytes(buffer.data, buffer.data + 8), (Bytes{0, 0, 0, 1, 0, 0, 0, 2}));
    EXPECT_EQ(ReserveBuffer(-1, &buffer), 0);
    ReleaseAppendBuffer(&buffer);
}

}  // namespace
