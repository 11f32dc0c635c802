// The host's file layer: paths, memory files and streams against a model of what a file is to its user
// (bytes and a position; no windows, no buffers), files on disk read back with std::ifstream; injected
// faults, names, counters.
#include "runtime/host_services.h"
#include "tests/support/byte_builders.h"
#include "tests/support/test_host.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <random>
#include <set>

namespace {

using namespace tessel::runtime;
using namespace tessel::test;

Bytes Pattern(std::size_t size, unsigned salt)
{
    Bytes bytes(size);
    for (std::size_t i = 0; i < size; ++i)
        bytes[i] = std::uint8_t(i * 131 + i / 997 + salt);
    return bytes;
}

// A file as its user sees it. A seek to 0 or beyond sets the position; a write lands there (a gap before it
// reads as zeros) within the injected budget; a failed write, or a failed seek on a writing handle, sticks.
struct Model {
    Bytes bytes;
    bool writable = false, failed = false;
    std::int64_t position = 0, budget = LLONG_MAX;
    std::int64_t End() const { return std::int64_t(bytes.size()); }
    std::int64_t Seek(std::int64_t offset, std::int32_t from)
    {
        const std::int64_t base = from == 0 ? position : from == 1 ? 0 : from == 2 ? End() : -1;
        std::int64_t target = 0;
        if (base >= 0 && !__builtin_add_overflow(base, offset, &target) && target >= 0)
            return std::exchange(position, target);
        failed |= writable;
        return -1;
    }
    std::int64_t Read(std::uint8_t* out, std::int64_t n)
    {
        const std::int64_t got = writable || n < 0 ? -1 : std::clamp<std::int64_t>(End() - position, 0, n);
        std::copy_n(bytes.begin() + position, std::max<std::int64_t>(got, 0), out);
        position += std::max<std::int64_t>(got, 0);
        return got;
    }
    std::int64_t Write(const std::uint8_t* data, std::int64_t n)
    {
        const std::int64_t allowed = writable && n >= 0 ? std::min(n, budget) : 0;
        budget -= budget == LLONG_MAX ? 0 : allowed;
        bytes.resize(std::max(bytes.size(), std::size_t(allowed ? position + allowed : 0)), 0);
        position = std::copy_n(data, allowed, bytes.begin() + position) - bytes.begin();
        failed |= !writable || n < 0 || allowed < n;
        return writable && n >= 0 && allowed == n ? n : -1;
    }
};

// Steps: n HostGetC or HostPutC calls, a HostRead or HostWrite of n bytes, a seek by n from here, the start, the
// end, or an unknown origin.
enum Op { GETS, READ, PUTS, WRITE, FROM_HERE, FROM_START, FROM_END, FROM_NOWHERE };
using Steps = std::vector<std::pair<Op, std::int64_t>>;

// Runs the steps on a host file and on the model, comparing every result and the end of file after each. A
// stale errno left by an earlier call must not matter.
void RunSteps(HostFile* file, Model& model, const Steps& steps)
{
    for (std::size_t i = 0; i < steps.size(); ++i) {
        auto [op, n] = steps[i];
        const std::size_t size = std::size_t(std::max<std::int64_t>(n, 0));
        const Bytes data = Pattern(op == PUTS || op == WRITE ? size : 0, unsigned(i));
        Bytes got(op == READ ? size : 0, 0), expected = got;
        std::int64_t host = 0, want = 0;
        for (std::uint8_t byte = 0; op == GETS && n-- > 0 && host == want;)
            errno = EINTR, host = TesselHostGetC(file), want = model.Read(&byte, 1) == 1 ? byte : -1;
        for (std::size_t k = 0; op == PUTS && k < size && host == want; ++k)
            errno = EINTR, host = TesselHostPutC(file, data[k] | 0x100), want = model.Write(&data[k], 1) == 1 ? data[k] : -1;
        errno = EINTR;
        if (op == READ)
            host = TesselHostRead(file, got.data(), n), want = model.Read(expected.data(), n);
        if (op == WRITE)
            host = TesselHostWrite(file, data.data(), n), want = model.Write(data.data(), n);
        if (op >= FROM_HERE)
            host = TesselHostSeek(file, n, op - FROM_HERE), want = model.Seek(n, op - FROM_HERE);
        ASSERT_TRUE(host == want && got == expected) << "step " << i << " at " << model.position << ": " << host;
        ASSERT_EQ(TesselHostEof(file) != 0, model.position >= model.End()) << "step " << i;
    }
}

constexpr std::int64_t SIZE = 200000;  // three windows and a bit
// what, writing, steps, injected write budget (-1: none)
struct FileCase {
    const char* what;
    bool write;
    Steps steps;
    std::int64_t budget = -1;
};
const FileCase FileCases[] = {
    {"seeks from each origin", false, {{FROM_START, 70000}, {GETS, 1}, {FROM_HERE, -69999}, {GETS, 1}, {FROM_END, -1},
                                       {GETS, 2}, {FROM_END, -SIZE}, {GETS, 1}, {FROM_HERE, 131072}, {READ, 100003}}},
    {"refused seeks keep the position", false, {{FROM_START, 5}, {FROM_START, -1}, {FROM_HERE, -6},
                                                {FROM_END, -SIZE - 1}, {FROM_END, LLONG_MAX}, {FROM_NOWHERE, 0}}},
    {"past the end", false, {{FROM_END, 10}, {GETS, 1}, {READ, 4}, {FROM_HERE, 0}, {READ, -1}, {READ, 0}}},
    {"writing a read handle fails and sticks", false, {{PUTS, 1}, {WRITE, 1}, {GETS, 1}}},
    {"a length patched after the payload, a gap of zeros", true,
     {{PUTS, 4}, {WRITE, 4}, {WRITE, 1000}, {PUTS, 39000}, {WRITE, 60000}, {FROM_START, 4}, {WRITE, 4},
      {FROM_END, 0}, {PUTS, 1}, {FROM_HERE, 3}, {PUTS, 1}, {FROM_END, 0}, {GETS, 1}, {READ, 2}}},
    {"a refused seek sticks", true, {{FROM_START, -1}, {PUTS, 1}}},
    {"a negative length sticks", true, {{WRITE, -1}, {WRITE, 2}}},
    {"byte writes stop at the budget", true, {{PUTS, 70}}, 0},
    {"a write crossing the budget lands in part", true, {{WRITE, 70000}, {WRITE, 0}}, 99},
    {"writes up to the budget succeed", true, {{WRITE, 65535}, {WRITE, 1}, {PUTS, 1}}, 65536},
};

// Random steps, their sizes and seek targets around the 64 KiB windows.
Steps RandomSteps(bool write, unsigned seed)
{
    std::mt19937 random(seed);
    const std::int64_t sizes[] = {1, 2, 7, 4096, 65535, 65536, 65537, 70000, 131073};
    const std::int64_t targets[] = {0, 1, 65535, 65536, 65537, 131072, 199999, SIZE, SIZE + 5};
    Steps steps;
    for (int i = 0; i < 300; ++i) {
        const std::int64_t n = sizes[random() % 9], target = targets[random() % 9];
        const Steps choices = {{write ? PUTS : GETS, n % 5000}, {write ? WRITE : READ, n}, {FROM_START, target},
                               {FROM_HERE, target - 65536}, {FROM_END, target - SIZE}};
        steps.push_back(choices[random() % 5]);
    }
    return steps;
}

enum Kind { PATH, MEMORY, STREAM };

// A file of each kind holding bytes; a memory file's block has 16 more it must not show.
struct Opened {
    TempDir dir;
    Bytes block;
    HostStream* stream = nullptr;
    std::string name;
    Opened(Kind kind, const Bytes& bytes) : block(Cat({bytes, Bytes(16, 0xEE)}))
    {
        char buffer[HOST_NAME_BUFFER_SIZE];
        stream = kind == STREAM ? TesselHostOpenMemStream(buffer, sizeof buffer, 0) : nullptr;
        name = kind == PATH ? dir.File("file") : kind == STREAM ? buffer : RegisterMemFile(block.data(), bytes.size(), "");
        EXPECT_TRUE(kind == MEMORY || WriteNamedFile(name.c_str(), bytes.data(), bytes.size()));
    }
    ~Opened() { TesselHostCloseMemStream(stream), ClearCallMemFiles(); }
};

TEST(HostFiles, EveryKindBehavesLikeTheModel)
{
    std::vector<FileCase> cases(std::begin(FileCases), std::end(FileCases));
    for (unsigned seed : {1, 2})
        cases.insert(cases.end(), {{"random reads", false, RandomSteps(false, seed)}, {"random writes", true, RandomSteps(true, seed)}});
    for (const FileCase& row : cases) {
        for (Kind kind : {PATH, MEMORY, STREAM}) {
            SCOPED_TRACE(std::string(row.what) + ", kind " + std::to_string(kind));
            Model model{row.write ? Bytes{} : Pattern(SIZE, 9), row.write};
            Opened opened(kind, model.bytes);
            SetFaultsFromText(row.budget < 0 ? "" : "write-after=" + std::to_string(row.budget), nullptr);
            model.budget = row.budget < 0 ? LLONG_MAX : row.budget;
            errno = EINTR;
            HostFile* file = TesselHostOpen(opened.name.c_str(), row.write ? HOST_MODE_WRITE : HOST_MODE_READ);
            ASSERT_EQ(file == nullptr, row.write && kind == MEMORY);  // a memory file is read-only
            RunSteps(file, model, file ? row.steps : Steps{});
            EXPECT_EQ(file && TesselHostClose(file) != 0, model.failed);
            ClearFileFaults();
            Bytes contents = kind == PATH ? ReadFileBytes(opened.name) : Bytes{};  // std::ifstream
            EXPECT_TRUE(kind == PATH || ReadNamedFile(opened.name.c_str(), 1 << 20, contents));
            EXPECT_EQ(contents, row.write && kind == MEMORY ? Pattern(0, 0) : model.bytes);
        }
    }
    EXPECT_EQ(GetFileCounters().liveFiles, 0);
}

// Memory files and streams are named "mem:" + 16 hex digits + "." + extension.
TEST(HostFiles, MemoryFilesAndStreamsHaveFreshNamesUntilForgotten)
{
    // extension hint, the name's extension: [a-z0-9], 1 to 8 characters, upper case folded
    const std::pair<const char*, std::string> hints[] = {{"png", "png"}, {"AZaz09", "azaz09"}, {"12345678", "12345678"},
        {"123456789", "bin"}, {"a-b", "bin"}, {"../x", "bin"}, {"", "bin"}, {nullptr, "bin"}};
    const Bytes block = Pattern(10, 1);
    std::set<std::string> names = {"mem:0000000000000000.png"};  // the right form, never registered: a path
    std::vector<std::uint8_t> whole;
    const std::uint8_t* view = nullptr;
    std::uint64_t size = 0;
    for (const auto& [hint, extension] : hints) {
        MemFileDesc desc{0, 0, block.data(), hint, 0, 0, 0, 0, 6, 0};  // four bytes of the block left out
        char name[64] = "x";
        const std::int32_t room = std::int32_t(extension.size()) + 22;  // with a NUL
        EXPECT_EQ(TesselHostMemFileName(name, room - 1, &desc, 0) + name[0], 0);
        std::memset(name, 'x', sizeof name);
        // No buffer, or no room even for the NUL: refused, nothing written.
        EXPECT_EQ(TesselHostMemFileName(nullptr, room, &desc, 0) + TesselHostMemFileName(name, 0, &desc, 0) + name[0], 'x');
        ASSERT_EQ(TesselHostMemFileName(name, room, &desc, 0), 1);
        for (const std::string& made : {std::string(name), RegisterMemFile(block.data(), 6, hint)}) {
            EXPECT_EQ(made.substr(0, 4) + made.substr(20) + std::to_string(made.size()), "mem:." + extension + std::to_string(room - 1));
            EXPECT_EQ(made.find_first_not_of("0123456789abcdef", 4), 20u) << made;
        }
        EXPECT_TRUE(names.insert(name).second && ViewMemFile(name, &view, &size) && view == block.data() && size == 6);
        EXPECT_TRUE(ReadNamedFile(name, 6, whole) && whole == Pattern(6, 1));
        EXPECT_FALSE(ReadNamedFile(name, 5, whole) || WriteNamedFile(name, block.data(), 2) || !whole.empty());
    }
    char name[64] = "x";
    MemFileDesc desc{0, 0, nullptr, "bin", 0, 0, 0, 1, 16, 0};  // 4 GiB and 16 bytes, never read
    EXPECT_EQ(TesselHostMemFileName(name, sizeof name, &desc, 0) + TesselHostMemFileName(name, 0, &desc, 0) + name[0], 0);
    EXPECT_EQ(TesselHostMemFileName(name, sizeof name, nullptr, 0) + RegisterMemFile(nullptr, 1, "bin").size(), 0u);
    desc.data = block.data();
    HostFile* file = TesselHostMemFileName(name, sizeof name, &desc, 0) ? TesselHostOpen(name, HOST_MODE_READ) : nullptr;
    EXPECT_EQ(TesselHostSeek(file, 0, HOST_SEEK_END) + TesselHostSeek(file, 0, HOST_SEEK_CURRENT), 0x100000010);
    EXPECT_EQ(TesselHostClose(file), 0);
    // A stream: its name, its bytes through every call until it is closed.
    EXPECT_TRUE(!TesselHostOpenMemStream(name, 24, 0) && !name[0]);
    std::memset(name, 'x', sizeof name);
    EXPECT_TRUE(!TesselHostOpenMemStream(nullptr, 25, 0) && !TesselHostOpenMemStream(name, 0, 0) && name[0] == 'x');
    HostStream* stream = TesselHostOpenMemStream(name, 25, 0);
    EXPECT_EQ(std::string(name).substr(20) + std::to_string(GetFileCounters().liveStreams), ".png1");
    EXPECT_TRUE(TesselHostGetMemStreamData(stream, &size, 0) && size == 0);  // never null, even empty
    EXPECT_FALSE(TesselHostGetMemStreamData(stream, nullptr, 0) ||
                 TesselHostGetMemStreamData(reinterpret_cast<HostStream*>(name), &size, 0));
    SetFaultsFromText("write-after=3", nullptr);
    EXPECT_FALSE(WriteNamedFile(name, block.data(), 5));  // three bytes land
    ClearFileFaults();
    ClearCallMemFiles();  // forgets memory files, not streams
    EXPECT_TRUE(ReadNamedFile(name, 3, whole) && whole == Pattern(3, 1) && !ViewMemFile(name, &view, &size));
    TesselHostCloseMemStream(stream);
    TesselHostCloseMemStream(nullptr);
    EXPECT_EQ(GetFileCounters().liveStreams, 0);
    names.insert(name);
    for (const std::string& forgotten : names) {  // now paths, which (in the working directory) might exist
        HostFile* path = TesselHostOpen(forgotten.c_str(), HOST_MODE_READ);
        EXPECT_EQ(path != nullptr && ReadNamedFile(forgotten.c_str(), 100, whole), FileExists(forgotten)) << forgotten;
        TesselHostClose(path);
    }
}

TEST(HostFiles, RefusalsAndFailuresThatShowAtClose)
{
    TempDir dir;
    const Bytes bytes = Pattern(65536, 5);
    const std::string path = dir.File("named"), fifo = dir.File("fifo"), empty = dir.File("empty");
    ASSERT_TRUE(WriteNamedFile(path.c_str(), bytes.data(), 100) && WriteNamedFile(empty.c_str(), nullptr, 0));
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    std::vector<std::uint8_t> got = {1};
    EXPECT_TRUE(ReadNamedFile(empty.c_str(), 0, got) && got.empty());
    // name, mode: none of these opens (the FIFO without hanging)
    const std::pair<std::string, std::int32_t> refused[] = {{dir.Path(), HOST_MODE_READ}, {dir.Path(), HOST_MODE_WRITE},
        {dir.File("missing"), HOST_MODE_READ}, {dir.File("no/such/dir"), HOST_MODE_WRITE}, {path, 7}, {path, -1},
        {"/dev/null", HOST_MODE_READ}, {fifo, HOST_MODE_READ}};
    for (const auto& [name, mode] : refused) {
        EXPECT_EQ(TesselHostOpen(name.c_str(), mode), nullptr) << name << " " << mode;
        EXPECT_FALSE(mode == HOST_MODE_READ ? ReadNamedFile(name.c_str(), 1000, got)
                                            : mode == HOST_MODE_WRITE && WriteNamedFile(name.c_str(), bytes.data(), 4));
    }
    EXPECT_FALSE(ReadNamedFile(path.c_str(), 99, got) || ReadNamedFile(nullptr, 1, got) || TesselHostOpen(nullptr, 0));
    EXPECT_FALSE(WriteNamedFile(nullptr, bytes.data(), 1) || WriteNamedFile("/dev/full", bytes.data(), 4));
    EXPECT_EQ(TesselHostClose(nullptr) + TesselHostGetC(nullptr) + TesselHostPutC(nullptr, 1), -3);
    EXPECT_EQ(TesselHostSeek(nullptr, 0, 1) + TesselHostRead(nullptr, got.data(), 1) + TesselHostWrite(nullptr, "x", 1), -3);
    EXPECT_EQ(TesselHostEof(nullptr), 1);
    // A file cut short after opening: reads stop at its new end, and that is no error.
    HostFile* file = TesselHostOpen(path.c_str(), HOST_MODE_READ);
    got.resize(100);
    EXPECT_EQ(::truncate(path.c_str(), 10), 0);
    EXPECT_EQ(TesselHostRead(file, got.data(), 100), 10);
    EXPECT_EQ(TesselHostRead(file, got.data(), 100), 0);
    EXPECT_EQ(TesselHostRead(file, nullptr, 0), 0);   // nothing asked, nowhere to put it: no error
    EXPECT_EQ(TesselHostGetC(file) + TesselHostClose(file), -1);
    // With standard input closed a file may have descriptor 0, and works like any other.
    const int input = ::dup(0);
    ::close(0);
    file = TesselHostOpen(path.c_str(), HOST_MODE_WRITE);
    EXPECT_TRUE(TesselHostPutC(file, 'z') == 'z' && !TesselHostClose(file) && ::fcntl(0, F_GETFD) == -1);
    EXPECT_TRUE(ReadNamedFile(path.c_str(), 1, got) && got == Bytes{'z'} && WriteNamedFile(path.c_str(), got.data(), 1));
    ::dup2(input, 0);
    ::close(input);
    // A full disk fails a direct write, the flush before a write, the flush at close.
    file = TesselHostOpen("/dev/full", HOST_MODE_WRITE);
    EXPECT_EQ(TesselHostWrite(file, bytes.data(), 65536), -1);
    EXPECT_EQ(TesselHostPutC(file, 'x'), 'x');
    EXPECT_EQ(TesselHostWrite(file, bytes.data(), 65536), -1);
    EXPECT_NE(TesselHostClose(file), 0);
    // Opens are counted; unknown tags are skipped, the last adapter wins, nothing after the end is read.
    ResetFileCounters();
    const TagItem tags[] = {{HOSTOPEN_TAG_ADAPTER, 5}, {99, 1}, {HOSTOPEN_TAG_ADAPTER, 0x1234}, {0, 0}, {1, 7}};
    HostFile* files[] = {TesselHostOpenWithTags(empty.c_str(), HOST_MODE_READ, tags), TesselHostOpen(empty.c_str(), 0)};
    FileCounters counters = GetFileCounters();
    EXPECT_EQ(counters.opens * 100 + counters.opensWithTags * 10 + std::uint64_t(counters.liveFiles), 112u);
    EXPECT_EQ(counters.lastAdapter, 0x1234u);
    EXPECT_EQ(TesselHostOpenWithTags(dir.Path().c_str(), HOST_MODE_READ, nullptr), nullptr);
    EXPECT_EQ(GetFileCounters().lastAdapter + TesselHostClose(files[0]) + TesselHostClose(files[1]), 0u);
    ResetFileCounters();
    counters = GetFileCounters();
    EXPECT_EQ(counters.opens + counters.opensWithTags + counters.lastAdapter + std::uint64_t(counters.liveFiles), 0u);
}

TEST(HostFiles, FaultsFromText)
{
    TempDir dir;
    const Bytes bytes = Pattern(100000, 8);
    WriteFileBytes(dir.File("in"), bytes);
    // text, and when understood: of six 100-byte "x" blocks those allocated, of 20 bytes those written (and
    // whether closing fails), of a memory file and then a path of 100,000 bytes each those read
    const struct { const char* text; int allocated = -1; std::int64_t written = 0, read = 0; bool closeFails = false; } rows[] = {
        {"alloc-nth=3", 5, 20, 200000}, {"alloc-above=99,,write-after=7", 0, 7, 200000},
        {"alloc-above=100,read-after=0", 6, 20, 0}, {"alloc-tag=x:2,close", 5, 20, 200000, true},
        {"alloc-tag=y:1,read-after=70000,alloc-nth=0", 6, 20, 70000}, {"read-after=150000", 6, 20, 150000},
        {"alloc-nth=-1"}, {"alloc-nth=3x"}, {"close=1"}, {"alloc-tag=:1"}, {"alloc-tag=x"}, {"write-after=9,bogus=1"},
    };
    for (const auto& row : rows) {
        std::string error = "unchanged", text = row.text;
        EXPECT_TRUE(SetFaultsFromText("alloc-nth=1", nullptr));
        EXPECT_EQ(SetFaultsFromText(text, &error), row.allocated >= 0) << text;
        EXPECT_EQ(error, row.allocated >= 0 ? "unchanged" : "not a fault: '" + text.substr(text.rfind(',') + 1) + "'");
        int allocated = 0;
        for (int i = 0; i < 6; ++i) {
            void* block = TesselHostAllocMem(100, 0, "x");
            allocated += block != nullptr;
            TesselHostFreeMem(block);
        }
        HostFile* file = TesselHostOpen(dir.File("out").c_str(), HOST_MODE_WRITE);
        std::int64_t written = 0, read = 0;
        while (written < 20 && TesselHostPutC(file, 1) == 1)
            ++written;
        EXPECT_EQ(TesselHostClose(file) != 0, row.closeFails || written < 20) << text;
        // Reads stop at the exact byte, the end does not show, and closing reports the error.
        for (const std::string& name : {RegisterMemFile(bytes.data(), bytes.size(), "bin"), dir.File("in")}) {
            file = TesselHostOpen(name.c_str(), HOST_MODE_READ);
            for (std::int32_t c; (c = TesselHostGetC(file)) == bytes[std::size_t(read % 100000)]; ++read) {
            }
            EXPECT_EQ(TesselHostEof(file) * 2 + (TesselHostClose(file) != 0), read % 100000 || !read ? 1 : 2) << text;
        }
        ClearCallMemFiles();
        // Text not understood sets nothing: the faults set before stay.
        const bool ok = row.allocated >= 0;
        EXPECT_EQ(allocated * 1000000 + written * 1000000000 + read, ok ? row.allocated * 1000000 + row.written * 1000000000 + row.read
                                                                         : 5000000 + 20000000000 + 200000) << text;
    }
    ClearMemoryFaults();
    ClearFileFaults();
}

}  // namespace
