// Host files: the buffered descriptor layer judged against std::ifstream and
// std::ofstream, the sticky error flag and injected write faults, memory
// files, streams, and the named-file helpers.
#include "runtime/host_services.h"

#include <gtest/gtest.h>

#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

using namespace tessel::runtime;

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes RandomBytes(std::size_t size, unsigned seed)
{
    std::mt19937 random(seed);
    Bytes bytes(size);
    for (auto& byte : bytes)
        byte = static_cast<std::uint8_t>(random());
    return bytes;
}

Bytes ReadWithIfstream(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteWithOfstream(const std::string& path, const Bytes& bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

// True for "mem:" + 16 lower-case hex digits + "." + extension.
bool IsMemName(const std::string& name, const std::string& extension)
{
    const std::string prefix = "mem:";
    if (name.size() != prefix.size() + 16 + 1 + extension.size() || name.compare(0, prefix.size(), prefix) != 0)
        return false;
    for (std::size_t i = prefix.size(); i < prefix.size() + 16; ++i) {
        if (!std::isdigit(static_cast<unsigned char>(name[i])) && (name[i] < 'a' || name[i] > 'f'))
            return false;
    }
    return name.substr(prefix.size() + 16) == "." + extension;
}

std::int64_t Tell(HostFile* file)
{
    return TesselHostSeek(file, 0, HOST_SEEK_CURRENT);
}

class HostFiles : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/tessel_files_XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        dir_ = pattern;
        ClearFileFaults();
        baseFiles_ = GetFileCounters().liveFiles;
        baseStreams_ = GetFileCounters().liveStreams;
    }
    void TearDown() override
    {
        ClearFileFaults();
        ClearCallMemFiles();
        EXPECT_EQ(GetFileCounters().liveFiles, baseFiles_);
        EXPECT_EQ(GetFileCounters().liveStreams, baseStreams_);
        std::filesystem::remove_all(dir_);
    }
    std::string Path(const char* name) const { return dir_ + "/" + name; }

private:
    std::string dir_;
    std::int64_t baseFiles_ = 0;
    std::int64_t baseStreams_ = 0;
};

}  // namespace

// ---- Reading ---------------------------------------------------------------------

TEST_F(HostFiles, ByteAndChunkReadsMatchIfstream)
{
    const std::string path = Path("random.bin");
    WriteWithOfstream(path, RandomBytes(200000, 7));  // a little over three buffers
    const Bytes expected = ReadWithIfstream(path);
    ASSERT_EQ(expected.size(), 200000u);

    HostFile* file = TesselHostOpen(path.c_str(), HOST_MODE_READ);
    ASSERT_NE(file, nullptr);
    Bytes byByte;
    while (!TesselHostEof(file))
        byByte.push_back(static_cast<std::uint8_t>(TesselHostGetC(file)));
    EXPECT_EQ(byByte, expected);
    EXPECT_EQ(TesselHostGetC(file), -1);
    EXPECT_EQ(Tell(file), 200000);

    // Odd chunk sizes across the buffer edges, including ones larger than the buffer.
    EXPECT_EQ(TesselHostSeek(file, 0, HOST_SEEK_START), 200000);
    Bytes byChunk;
    const std::int64_t chunks[] = {1, 7, 4097, 65535, 65537, 100003};
    for (int turn = 0; byChunk.size() < expected.size(); ++turn) {
        Bytes piece(static_cast<std::size_t>(chunks[turn % 6]));
        std::int64_t got = TesselHostRead(file, piece.data(), static_cast<std::int64_t>(piece.size()));
        ASSERT_GT(got, 0);
        byChunk.insert(byChunk.end(), piece.begin(), piece.begin() + got);
    }
    EXPECT_EQ(byChunk, expected);
    Bytes none(10);
    EXPECT_EQ(TesselHostRead(file, none.data(), 10), 0);
    EXPECT_EQ(TesselHostRead(file, none.data(), -1), -1);
    EXPECT_EQ(TesselHostClose(file), 0);
}

TEST_F(HostFiles, SeeksFromEveryOriginAndRefusesNegativeTargets)
{
    const std::string path = Path("seek.bin");
    WriteWithOfstream(path, RandomBytes(150000, 8));
    const Bytes expected = ReadWithIfstream(path);
    HostFile* file = TesselHostOpen(path.c_str(), HOST_MODE_READ);
    ASSERT_NE(file, nullptr);

    // origin, offset, position after: each seek returns the position before it.
    struct Step {
        std::int32_t from;
        std::int64_t offset;
        std::int64_t after;
    };
    const Step steps[] = {
        {HOST_SEEK_START, 70000, 70000},  {HOST_SEEK_CURRENT, -69999, 2}, {HOST_SEEK_END, -1, 149999},
        {HOST_SEEK_CURRENT, -2, 149998},  {HOST_SEEK_START, 65535, 65535}, {HOST_SEEK_END, -150000, 0},
        {HOST_SEEK_CURRENT, 131072, 131073},
    };
    std::int64_t position = 0;
    for (const Step& step : steps) {
        EXPECT_EQ(TesselHostSeek(file, step.offset, step.from), position);
        position = step.after;
        ASSERT_EQ(TesselHostGetC(file), expected[static_cast<std::size_t>(position)]) << position;
        ++position;
    }

    // A target below 0, or an unknown origin: -1 and the position stays.
    EXPECT_EQ(TesselHostSeek(file, -1, HOST_SEEK_START), -1);
    EXPECT_EQ(TesselHostSeek(file, -position - 1, HOST_SEEK_CURRENT), -1);
    EXPECT_EQ(TesselHostSeek(file, -150001, HOST_SEEK_END), -1);
    EXPECT_EQ(TesselHostSeek(file, 0, 3), -1);
    EXPECT_EQ(TesselHostSeek(file, INT64_MAX, HOST_SEEK_END), -1);  // would overflow
    EXPECT_EQ(Tell(file), position);

    // Past the end: end of file at once, and reads leave the position alone.
    EXPECT_EQ(TesselHostSeek(file, 10, HOST_SEEK_END), position);
    EXPECT_NE(TesselHostEof(file), 0);
    EXPECT_EQ(TesselHostGetC(file), -1);
    Bytes none(4);
    EXPECT_EQ(TesselHostRead(file, none.data(), 4), 0);
    EXPECT_EQ(Tell(file), 150010);
    EXPECT_EQ(TesselHostClose(file), 0);  // failed seeks on a read handle are not write errors
}

TEST_F(HostFiles, EndOfFileShowsWithoutAFailedRead)
{
    const std::string path = Path("three.bin");
    WriteWithOfstream(path, {'a', 'b', 'c'});
    HostFile* file = TesselHostOpen(path.c_str(), HOST_MODE_READ);
    ASSERT_NE(file, nullptr);
    for (int expected : {'a', 'b', 'c'}) {
        EXPECT_EQ(TesselHostEof(file), 0);
        EXPECT_EQ(TesselHostGetC(file), expected);
    }
    EXPECT_NE(TesselHostEof(file), 0);
    EXPECT_EQ(TesselHostClose(file), 0);

    WriteWithOfstream(Path("empty.bin"), {});
    file = TesselHostOpen(Path("empty.bin").c_str(), HOST_MODE_READ);
    ASSERT_NE(file, nullptr);
    EXPECT_NE(TesselHostEof(file), 0);
    EXPECT_EQ(TesselHostGetC(file), -1);
    EXPECT_EQ(TesselHostClose(file), 0);
}

TEST_F(HostFiles, RefusesWhatIsNotARegularFileOrAMode)
{
    WriteWithOfstream(Path("plain.bin"), {1, 2, 3});
    EXPECT_EQ(TesselHostOpen(Path("").c_str(), HOST_MODE_READ), nullptr);  // the directory
    EXPECT_EQ(TesselHostOpen(Path("").c_str(), HOST_MODE_WRITE), nullptr);
    EXPECT_EQ(TesselHostOpen(Path("missing.bin").c_str(), HOST_MODE_READ), nullptr);
    EXPECT_EQ(TesselHostOpen(Path("no/such/dir.bin").c_str(), HOST_MODE_WRITE), nullptr);
    EXPECT_EQ(TesselHostOpen(Path("plain.bin").c_str(), 7), nullptr);
    EXPECT_EQ(TesselHostOpen(Path("plain.bin").c_str(), -1), nullptr);
    EXPECT_EQ(TesselHostOpen(nullptr, HOST_MODE_READ), nullptr);
    EXPECT_EQ(TesselHostOpen("/dev/null", HOST_MODE_READ), nullptr);  // a device
    ASSERT_EQ(::mkfifo(Path("fifo").c_str(), 0600), 0);
    EXPECT_EQ(TesselHostOpen(Path("fifo").c_str(), HOST_MODE_READ), nullptr);  // and without hanging
    EXPECT_EQ(ReadWithIfstream(Path("plain.bin")), (Bytes{1, 2, 3}));  // mode 7 did not truncate
}

// ---- Writing ---------------------------------------------------------------------

TEST_F(HostFiles, WritesBackPatchesAndFillsGapsWithZeros)
{
    const std::string path = Path("patched.bin");
    HostFile* file = TesselHostOpen(path.c_str(), HOST_MODE_WRITE);
    ASSERT_NE(file, nullptr);
    const Bytes payload = RandomBytes(100000, 9);

    // "HEAD", a 4-byte length written as 0 and patched later, the payload, a trailer.
    for (char c : std::string("HEAD"))
        EXPECT_EQ(TesselHostPutC(file, c), c);
    const std::uint8_t zero[4] = {0, 0, 0, 0};
    EXPECT_EQ(TesselHostWrite(file, zero, 4), 4);
    EXPECT_NE(TesselHostEof(file), 0);
    EXPECT_EQ(TesselHostWrite(file, payload.data(), 1000), 1000);
    for (std::size_t i = 1000; i < 40000; ++i)
        ASSERT_EQ(TesselHostPutC(file, payload[i]), payload[i]);
    EXPECT_EQ(TesselHostWrite(file, payload.data() + 40000, 60000), 60000);
    EXPECT_EQ(TesselHostSeek(file, 4, HOST_SEEK_START), 100008);
    EXPECT_EQ(TesselHostEof(file), 0);
    const std::uint8_t length[4] = {0x00, 0x01, 0x86, 0xA0};  // 100000, big-endian
    EXPECT_EQ(TesselHostWrite(file, length, 4), 4);
    EXPECT_EQ(TesselHostSeek(file, 0, HOST_SEEK_END), 8);
    EXPECT_EQ(TesselHostPutC(file, 0x1FF), 0xFF);  // only the low 8 bits
    // Past the end: the gap becomes zeros.
    EXPECT_EQ(TesselHostSeek(file, 3, HOST_SEEK_CURRENT), 100009);
    EXPECT_NE(TesselHostEof(file), 0);
    EXPECT_EQ(TesselHostPutC(file, 'Z'), 'Z');
    EXPECT_EQ(TesselHostSeek(file, 0, HOST_SEEK_END), 100013);
    // Reading a write handle fails.
    EXPECT_EQ(TesselHostGetC(file), -1);
    std::uint8_t scratch[2];
    EXPECT_EQ(TesselHostRead(file, scratch, 2), -1);
    EXPECT_EQ(TesselHostClose(file), 0);

    Bytes expected = {'H', 'E', 'A', 'D', 0x00, 0x01, 0x86, 0xA0};
    expected.insert(expected.end(), payload.begin(), payload.end());
    expected.insert(expected.end(), {0xFF, 0, 0, 0, 'Z'});
    EXPECT_EQ(ReadWithIfstream(path), expected);
}

TEST_F(HostFiles, WriteFaultsFailAtTheExactByteAndStick)
{
    // Bytes allowed, how they are written: put bytes one at a time, then in one write.
    for (std::int64_t allowed : {0, 1, 99, 65536 + 3}) {
        const std::string path = Path("fault.bin");
        const Bytes payload = RandomBytes(70000, static_cast<unsigned>(allowed));
        FileFaults faults;
        faults.failWritesAfterBytes = allowed;
        SetFileFaults(faults);
        HostFile* file = TesselHostOpen(path.c_str(), HOST_MODE_WRITE);
        ASSERT_NE(file, nullptr);
        std::int64_t written = 0;
        while (written < 70000 && TesselHostPutC(file, payload[written]) != -1)
            ++written;
        EXPECT_EQ(written, allowed);
        EXPECT_EQ(TesselHostPutC(file, 0), -1);
        EXPECT_NE(TesselHostClose(file), 0) << allowed;
        EXPECT_EQ(ReadWithIfstream(path), Bytes(payload.begin(), payload.begin() + allowed));

        // A write that crosses the limit fails; the bytes before the limit land.
        SetFileFaults(faults);
        file = TesselHostOpen(path.c_str(), HOST_MODE_WRITE);
        ASSERT_NE(file, nullptr);
        EXPECT_EQ(TesselHostWrite(file, payload.data(), 70000), -1);
        EXPECT_EQ(TesselHostWrite(file, payload.data(), 0), 0);
        EXPECT_NE(TesselHostClose(file), 0);
        EXPECT_EQ(ReadWithIfstream(path), Bytes(payload.begin(), payload.begin() + allowed));
    }

    // The limit counts every file written since the faults were set.
    FileFaults faults;
    faults.failWritesAfterBytes = 10;
    SetFileFaults(faults);
    HostFile* first = TesselHostOpen(Path("a.bin").c_str(), HOST_MODE_WRITE);
    HostFile* second = TesselHostOpen(Path("b.bin").c_str(), HOST_MODE_WRITE);
    ASSERT_TRUE(first && second);
    const Bytes six = RandomBytes(6, 1);
    EXPECT_EQ(TesselHostWrite(first, six.data(), 6), 6);
    EXPECT_EQ(TesselHostWrite(second, six.data(), 4), 4);
    EXPECT_EQ(TesselHostPutC(first, 1), -1);
    EXPECT_NE(TesselHostClose(first), 0);
    EXPECT_EQ(TesselHostClose(second), 0);  // its own writes all succeeded
    EXPECT_FALSE(WriteNamedFile(Path("c.bin").c_str(), six.data(), 6));
    ClearFileFaults();
    EXPECT_TRUE(WriteNamedFile(Path("c.bin").c_str(), six.data(), 6));
    EXPECT_EQ(ReadWithIfstream(Path("c.bin")), six);
}

TEST_F(HostFiles, CloseReportsEveryKindOfFailure)
{
    FileFaults faults;
    faults.failClose = true;
    SetFileFaults(faults);
    HostFile* file = TesselHostOpen(Path("closing.bin").c_str(), HOST_MODE_WRITE);
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(TesselHostPutC(file, 'x'), 'x');
    EXPECT_NE(TesselHostClose(file), 0);
    EXPECT_EQ(ReadWithIfstream(Path("closing.bin")), Bytes{'x'});  // flushed all the same
    ClearFileFaults();

    // A full disk: the failure shows at the flush in HostClose.
    file = TesselHostOpen("/dev/full", HOST_MODE_WRITE);
    if (file) {
        EXPECT_EQ(TesselHostPutC(file, 'x'), 'x');
        EXPECT_NE(TesselHostClose(file), 0);
    }

    // A failed seek on a write handle sticks.
    file = TesselHostOpen(Path("seek.bin").c_str(), HOST_MODE_WRITE);
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(TesselHostSeek(file, -1, HOST_SEEK_START), -1);
    EXPECT_EQ(TesselHostPutC(file, 'x'), 'x');
    EXPECT_NE(TesselHostClose(file), 0);

    // Writing to a read handle fails, and says so at close.
    file = TesselHostOpen(Path("seek.bin").c_str(), HOST_MODE_READ);
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(TesselHostPutC(file, 'x'), -1);
    EXPECT_EQ(TesselHostWrite(file, "x", 1), -1);
    EXPECT_NE(TesselHostClose(file), 0);
    EXPECT_NE(TesselHostClose(nullptr), 0);
}

// ---- Memory files and streams ------------------------------------------------------

TEST_F(HostFiles, MemoryFilesReadUpToTheirSizeUntilTheCallEnds)
{
    const Bytes block = {10, 20, 30, 40, 50, 60, 70, 80};
    MemFileDesc desc{};
    desc.data = block.data();
    desc.extensionHint = "png";
    desc.sizeLow = 6;  // the last two bytes are not part of the file
    char name[HOST_NAME_BUFFER_SIZE];
    ASSERT_EQ(TesselHostMemFileName(name, sizeof name, &desc, 0), 1);
    EXPECT_TRUE(IsMemName(name, "png")) << name;

    HostFile* file = TesselHostOpen(name, HOST_MODE_READ);
    ASSERT_NE(file, nullptr);
    Bytes got(8, 0);
    EXPECT_EQ(TesselHostRead(file, got.data(), 8), 6);
    EXPECT_EQ(got, (Bytes{10, 20, 30, 40, 50, 60, 0, 0}));
    EXPECT_NE(TesselHostEof(file), 0);
    EXPECT_EQ(TesselHostGetC(file), -1);
    EXPECT_EQ(TesselHostSeek(file, -2, HOST_SEEK_END), 6);
    EXPECT_EQ(TesselHostGetC(file), 50);
    EXPECT_EQ(TesselHostGetC(file), 60);
    EXPECT_EQ(TesselHostGetC(file), -1);
    EXPECT_EQ(TesselHostClose(file), 0);
    EXPECT_EQ(TesselHostOpen(name, HOST_MODE_WRITE), nullptr);  // read-only
    std::vector<std::uint8_t> whole;
    EXPECT_TRUE(ReadNamedFile(name, 6, whole));
    EXPECT_EQ(whole, Bytes(block.begin(), block.begin() + 6));
    EXPECT_FALSE(ReadNamedFile(name, 5, whole));
    EXPECT_FALSE(WriteNamedFile(name, block.data(), 2));

    // Every name is new, and every name is forgotten when the call ends.
    char other[HOST_NAME_BUFFER_SIZE];
    desc.extensionHint = "../x";
    ASSERT_EQ(TesselHostMemFileName(other, sizeof other, &desc, 0), 1);
    EXPECT_TRUE(IsMemName(other, "bin")) << other;
    EXPECT_STRNE(name, other);
    ClearCallMemFiles();
    EXPECT_EQ(TesselHostOpen(name, HOST_MODE_READ), nullptr);
    EXPECT_EQ(TesselHostOpen(other, HOST_MODE_READ), nullptr);
    EXPECT_FALSE(ReadNamedFile(name, 100, whole));
}

TEST_F(HostFiles, OnlyRegisteredNamesReachMemory)
{
    // A name of the right form that nobody registered is a path, and there is no such file.
    const Bytes block = {1, 2, 3};
    const std::string made = RegisterMemFile(block.data(), block.size(), "bin");
    std::string forged = made;
    forged[4] = forged[4] == '0' ? '1' : '0';
    EXPECT_EQ(TesselHostOpen(forged.c_str(), HOST_MODE_READ), nullptr);
    EXPECT_EQ(TesselHostOpen("mem:0000000000000000.png", HOST_MODE_READ), nullptr);
    HostFile* file = TesselHostOpen(made.c_str(), HOST_MODE_READ);
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(TesselHostGetC(file), 1);
    EXPECT_EQ(TesselHostClose(file), 0);

    // Buffer too small, no descriptor, no data with a size: 0 and an empty name.
    MemFileDesc desc{};
    desc.data = block.data();
    desc.sizeLow = 3;
    desc.extensionHint = "png";
    char name[64];
    std::memset(name, 'x', sizeof name);
    // "mem:" + 16 digits + ".png" is 24 characters, 25 bytes with the terminator.
    EXPECT_EQ(TesselHostMemFileName(name, 24, &desc, 0), 0);
    EXPECT_EQ(name[0], '\0');
    std::memset(name, 'x', sizeof name);
    EXPECT_EQ(TesselHostMemFileName(name, 25, &desc, 0), 1);
    EXPECT_EQ(std::strlen(name), 24u);
    std::memset(name, 'x', sizeof name);
    EXPECT_EQ(TesselHostMemFileName(name, sizeof name, nullptr, 0), 0);
    EXPECT_EQ(name[0], '\0');
    desc.data = nullptr;
    EXPECT_EQ(TesselHostMemFileName(name, sizeof name, &desc, 0), 0);
    desc.sizeLow = 0;
    EXPECT_EQ(TesselHostMemFileName(name, sizeof name, &desc, 0), 1);  // an empty file
    file = TesselHostOpen(name, HOST_MODE_READ);
    ASSERT_NE(file, nullptr);
    EXPECT_NE(TesselHostEof(file), 0);
    EXPECT_EQ(TesselHostClose(file), 0);
}

TEST_F(HostFiles, MemoryFileSizeJoinsBothHalves)
{
    // 4 GiB + 16 bytes of address space, never touched: only the size is looked at.
    const std::size_t size = (std::size_t{1} << 32) + 16;
    void* block = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (block == MAP_FAILED)
        GTEST_SKIP() << "no room for 4 GiB of address space";
    MemFileDesc desc{};
    desc.data = block;
    desc.sizeHigh = 1;
    desc.sizeLow = 16;
    char name[HOST_NAME_BUFFER_SIZE];
    ASSERT_EQ(TesselHostMemFileName(name, sizeof name, &desc, 0), 1);
    HostFile* file = TesselHostOpen(name, HOST_MODE_READ);
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(TesselHostSeek(file, 0, HOST_SEEK_END), 0);
    EXPECT_EQ(Tell(file), 0x100000010);
    EXPECT_EQ(TesselHostSeek(file, -1, HOST_SEEK_END), 0x100000010);
    EXPECT_EQ(TesselHostGetC(file), 0);  // anonymous memory reads as zeros
    EXPECT_NE(TesselHostEof(file), 0);
    EXPECT_EQ(TesselHostClose(file), 0);
    ClearCallMemFiles();
    ::munmap(block, size);
}

TEST_F(HostFiles, StreamsCollectWritesUntilClosed)
{
    char name[HOST_NAME_BUFFER_SIZE];
    HostStream* stream = TesselHostOpenMemStream(name, sizeof name, 0);
    ASSERT_NE(stream, nullptr);
    EXPECT_TRUE(IsMemName(name, "png")) << name;
    EXPECT_EQ(GetFileCounters().liveStreams, 1);
    std::uint64_t length = 99;
    ASSERT_NE(TesselHostGetMemStreamData(stream, &length, 0), nullptr);
    EXPECT_EQ(length, 0u);

    const Bytes payload = RandomBytes(70000, 3);
    HostFile* file = TesselHostOpen(name, HOST_MODE_WRITE);
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(TesselHostWrite(file, payload.data(), 4), 4);
    for (std::size_t i = 4; i < payload.size(); ++i)
        ASSERT_EQ(TesselHostPutC(file, payload[i]), payload[i]);
    EXPECT_EQ(TesselHostSeek(file, 2, HOST_SEEK_START), 70000);
    EXPECT_EQ(TesselHostPutC(file, 0xEE), 0xEE);
    EXPECT_EQ(TesselHostSeek(file, 2, HOST_SEEK_END), 3);
    EXPECT_EQ(TesselHostPutC(file, 0x77), 0x77);
    EXPECT_EQ(TesselHostClose(file), 0);

    Bytes expected = payload;
    expected[2] = 0xEE;
    expected.insert(expected.end(), {0, 0, 0x77});
    const auto* data = static_cast<const std::uint8_t*>(TesselHostGetMemStreamData(stream, &length, 0));
    ASSERT_NE(data, nullptr);
    EXPECT_EQ(Bytes(data, data + length), expected);

    // Read back through a handle and as a whole; a memory-file clear leaves streams alone.
    ClearCallMemFiles();
    file = TesselHostOpen(name, HOST_MODE_READ);
    ASSERT_NE(file, nullptr);
    Bytes readBack(expected.size() + 5);
    EXPECT_EQ(TesselHostRead(file, readBack.data(), static_cast<std::int64_t>(readBack.size())),
              static_cast<std::int64_t>(expected.size()));
    readBack.resize(expected.size());
    EXPECT_EQ(readBack, expected);
    EXPECT_EQ(TesselHostClose(file), 0);
    std::vector<std::uint8_t> whole;
    EXPECT_TRUE(ReadNamedFile(name, expected.size(), whole));
    EXPECT_EQ(whole, expected);

    // WriteNamedFile replaces the contents; opening for writing truncates them.
    EXPECT_TRUE(WriteNamedFile(name, payload.data(), 5));
    data = static_cast<const std::uint8_t*>(TesselHostGetMemStreamData(stream, &length, 0));
    EXPECT_EQ(Bytes(data, data + length), Bytes(payload.begin(), payload.begin() + 5));
    file = TesselHostOpen(name, HOST_MODE_WRITE);
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(TesselHostClose(file), 0);
    EXPECT_NE(TesselHostGetMemStreamData(stream, &length, 0), nullptr);
    EXPECT_EQ(length, 0u);

    // Injected write faults apply to streams as well.
    FileFaults faults;
    faults.failWritesAfterBytes = 3;
    SetFileFaults(faults);
    file = TesselHostOpen(name, HOST_MODE_WRITE);
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(TesselHostWrite(file, payload.data(), 5), -1);
    EXPECT_NE(TesselHostClose(file), 0);
    TesselHostGetMemStreamData(stream, &length, 0);
    EXPECT_EQ(length, 3u);
    ClearFileFaults();

    EXPECT_EQ(TesselHostGetMemStreamData(stream, nullptr, 0), nullptr);
    TesselHostCloseMemStream(stream);
    TesselHostCloseMemStream(nullptr);
    EXPECT_EQ(GetFileCounters().liveStreams, 0);
    EXPECT_EQ(TesselHostOpen(name, HOST_MODE_READ), nullptr);

    char tiny[8];
    EXPECT_EQ(TesselHostOpenMemStream(tiny, sizeof tiny, 0), nullptr);
    EXPECT_EQ(tiny[0], '\0');
}

// ---- Named files and counters -----------------------------------------------------

TEST_F(HostFiles, NamedFilesReadAndWritePaths)
{
    const std::string path = Path("named.bin");
    const Bytes payload = RandomBytes(100000, 4);
    ASSERT_TRUE(WriteNamedFile(path.c_str(), payload.data(), payload.size()));
    EXPECT_EQ(ReadWithIfstream(path), payload);
    std::vector<std::uint8_t> got;
    EXPECT_TRUE(ReadNamedFile(path.c_str(), payload.size(), got));
    EXPECT_EQ(got, payload);
    EXPECT_FALSE(ReadNamedFile(path.c_str(), payload.size() - 1, got));
    EXPECT_TRUE(got.empty());
    EXPECT_FALSE(ReadNamedFile(Path("").c_str(), 1000, got));
    EXPECT_FALSE(ReadNamedFile(Path("missing").c_str(), 1000, got));
    EXPECT_FALSE(WriteNamedFile(Path("no/such/dir").c_str(), payload.data(), 4));
    EXPECT_FALSE(WriteNamedFile("/dev/full", payload.data(), 4));
    ASSERT_TRUE(WriteNamedFile(path.c_str(), nullptr, 0));
    EXPECT_TRUE(ReadWithIfstream(path).empty());
}

TEST_F(HostFiles, CountsOpensAndTheLastAdapter)
{
    WriteWithOfstream(Path("counted.bin"), {1});
    ResetFileCounters();
    const std::int64_t liveBefore = GetFileCounters().liveFiles;
    const std::string path = Path("counted.bin");
    // Unknown tags are skipped and the last adapter wins.
    const TagItem tags[] = {{HOSTOPEN_TAG_ADAPTER, 5}, {99, 1}, {HOSTOPEN_TAG_ADAPTER, 0x1234}, {0, 0}};
    HostFile* tagged = TesselHostOpenWithTags(path.c_str(), HOST_MODE_READ, tags);
    ASSERT_NE(tagged, nullptr);
    EXPECT_EQ(TesselHostGetC(tagged), 1);
    HostFile* plain = TesselHostOpen(path.c_str(), HOST_MODE_READ);
    ASSERT_NE(plain, nullptr);
    EXPECT_EQ(TesselHostOpen(Path("missing").c_str(), HOST_MODE_READ), nullptr);

    FileCounters counters = GetFileCounters();
    EXPECT_EQ(counters.opens, 2u);
    EXPECT_EQ(counters.opensWithTags, 1u);
    EXPECT_EQ(counters.lastAdapter, 0x1234u);
    EXPECT_EQ(counters.liveFiles, liveBefore + 2);

    HostFile* untagged = TesselHostOpenWithTags(path.c_str(), HOST_MODE_READ, nullptr);
    ASSERT_NE(untagged, nullptr);
    EXPECT_EQ(GetFileCounters().lastAdapter, 0u);
    for (HostFile* file : {tagged, plain, untagged})
        EXPECT_EQ(TesselHostClose(file), 0);
    ResetFileCounters();
    EXPECT_EQ(GetFileCounters().opens, 0u);
}

// An I/O error part-way through a file: reads stop at the exact byte, the end
// of the file does not show, and closing reports the error. Reaching the real
// end of a file is no error.
TEST_F(HostFiles, ReadFaultsStopAtTheExactByteAndCloseReportsThem)
{
    const Bytes bytes = RandomBytes(100000, 7);
    const std::string path = Path("read-fault.bin");
    WriteWithOfstream(path, bytes);
    std::string memory = RegisterMemFile(bytes.data(), bytes.size(), "bin");
    for (const std::string& name : {path, memory}) {
        SCOPED_TRACE(name);
        for (std::int64_t allowed : {std::int64_t{0}, std::int64_t{1}, std::int64_t{70000}}) {
            FileFaults faults;
            faults.failReadsAfterBytes = allowed;
            SetFileFaults(faults);
            HostFile* file = TesselHostOpen(name.c_str(), HOST_MODE_READ);
            ASSERT_NE(file, nullptr);
            for (std::int64_t i = 0; i < allowed; ++i)
                ASSERT_EQ(TesselHostGetC(file), bytes[static_cast<std::size_t>(i)]) << "byte " << i;
            EXPECT_EQ(TesselHostGetC(file), -1);
            EXPECT_EQ(TesselHostEof(file), 0);
            std::uint8_t chunk[16];
            EXPECT_LE(TesselHostRead(file, chunk, sizeof chunk), 0);
            EXPECT_NE(TesselHostClose(file), 0);
            ClearFileFaults();
        }
        HostFile* file = TesselHostOpen(name.c_str(), HOST_MODE_READ);
        ASSERT_NE(file, nullptr);
        while (TesselHostGetC(file) >= 0) {
        }
        EXPECT_NE(TesselHostEof(file), 0);
        EXPECT_EQ(TesselHostClose(file), 0);
    }
}
