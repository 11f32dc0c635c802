// Memory accounting and injected allocation failures, zlib streams and CRC-32 judged by zlib itself, the
// format registry, the module loader.
#include "runtime/host_services.h"
#include "runtime/module.h"
#include "runtime/shared_libraries.h"
#include "tests/support/test_host.h"

#include <gtest/gtest.h>
#include <zlib.h>

namespace {

using namespace tessel::runtime;
using namespace tessel::test;

TEST(HostMemory, CountsLiveBlocksAndFailsExactlyWhereAsked)
{
    auto* zeroed = static_cast<std::uint8_t*>(TesselHostAllocMem(4097, 1, "pixels"));
    auto* poisoned = static_cast<std::uint8_t*>(TesselHostAllocMem(4097, 0, "pixels"));
    void* others[3] = {TesselHostAllocMem(30, 0, nullptr), TesselHostAllocMem(0, 0, "empty"), TesselHostAllocMem(0, 1, "")};
    EXPECT_TRUE(Bytes(zeroed, zeroed + 4097) == Bytes(4097, 0) && Bytes(poisoned, poisoned + 4097) == Bytes(4097, 0xA5));
    EXPECT_EQ(LiveBlocksByTag(), (std::map<std::string, std::int64_t>{{"(untagged)", 1}, {"", 1}, {"empty", 1}, {"pixels", 2}}));
    EXPECT_EQ(LiveBlocks() * 10000 + std::int64_t(LiveBytes()), 5 * 10000 + 4097 * 2 + 30);
    TesselHostFreeMem(zeroed);
    TesselHostFreeMem(nullptr);
    EXPECT_EQ(LiveBlocks("pixels") * 10000 + std::int64_t(LiveBytes()), 10000 + 4097 + 30);
    for (void* block : {static_cast<void*>(poisoned), others[0], others[1], others[2]})
        TesselHostFreeMem(block);
    EXPECT_TRUE(LiveBlocks() == 0 && LiveBytes() == 0 && LiveBlocksByTag().empty() && LiveBlocks("pixels") == 0);
    // A byte written past the end of a block stops the process when the block is freed.
    EXPECT_DEATH({ auto* block = static_cast<std::uint8_t*>(TesselHostAllocMem(3, 0, "x")); block[3] = 0; TesselHostFreeMem(block); },
                 "wrote past the end of a 3-byte block \\('x'\\)");
    // n-th, above a size, a tag and its n-th; requests (tag, size) and which succeed; whether a fault fired.
    // Over the 1 GiB ceiling fails, but is no injected fault.
    const struct { MemoryFaults faults; std::vector<std::pair<const char*, std::uint64_t>> requests; std::vector<bool> ok;
                   bool fired; } rows[] = {
        {{3, 0, "", 0}, {{"a", 1}, {"b", 1}, {"a", 1}, {"c", 1}}, {true, true, false, true}, true},
        {{1, 0, "", 0}, {{"a", 1}, {"b", 1}}, {false, true}, true},
        {{0, 100, "", 0}, {{"x", 100}, {"x", 101}, {"x", 99}}, {true, false, true}, true},
        {{0, 100, "", 0}, {{"x", 100}, {"x", 0}}, {true, true}, false},
        {{0, 0, "icon", 2}, {{"icon", 8}, {"other", 8}, {nullptr, 8}, {"icon", 8}, {"icon", 8}}, {true, true, true, false, true}, true},
        {{0, 0, "icon", 1}, {{"other", 8}, {"icon", 8}}, {true, false}, true},
        {{0, 0, "", 0}, {{"huge", (1ull << 30) + 1}, {"huge", ~0ull}, {"huge", 1ull << 30}}, {false, false, true}, false},
    };
    for (const auto& row : rows) {
        SetMemoryFaults(row.faults);
        std::vector<bool> ok;
        for (const auto& [tag, size] : row.requests) {
            void* block = TesselHostAllocMem(size, 1, tag);
            ok.push_back(block != nullptr);
            TesselHostFreeMem(block);
        }
        EXPECT_EQ(ok, row.ok) << row.requests.size() << " " << row.faults.failNth;
        EXPECT_EQ(MemoryFaultFired() * 100 + AllocationsSinceFaultsSet(), row.fired * 100 + row.requests.size());
        ClearMemoryFaults();
        EXPECT_EQ(MemoryFaultFired() + AllocationsSinceFaultsSet(), 0u);
    }
}

TEST(HostZlib, StreamsAndChecksumsAgreeWithZlib)
{
    Bytes original(300000), packed(300064), unpacked(300010), zlib(300064);
    for (std::size_t i = 0; i < original.size(); ++i)  // runs of repeated bytes among noise
        original[i] = std::uint8_t(i / 64 % 3 ? i * 2654435761u >> 13 : i / 64);
    for (std::size_t size : {0, 1, 300000}) {
        std::uint64_t length = size ? packed.size() : ~0ull;  // room enough, given as it is or as unbounded
        uLongf zlibLength = zlib.size();
        ASSERT_EQ(TesselHostCompress(packed.data(), &length, size ? original.data() : nullptr, size), Z_OK);
        compress2(zlib.data(), &zlibLength, original.data(), uLong(size), Z_DEFAULT_COMPRESSION);
        EXPECT_EQ(Bytes(packed.begin(), packed.begin() + length), Bytes(zlib.begin(), zlib.begin() + zlibLength));
        for (std::uint64_t room : {std::uint64_t{size + 10}, std::uint64_t{size}, std::uint64_t{~0ull}}) {
            std::fill(unpacked.begin(), unpacked.end(), 0xEE);
            ASSERT_EQ(TesselHostUncompress(unpacked.data(), &room, packed.data(), length), Z_OK);
            EXPECT_TRUE(room == size && std::equal(original.begin(), original.begin() + size, unpacked.begin()) && unpacked[size] == 0xEE);
        }
        EXPECT_EQ(TesselHostCrc32(original.data(), size), crc32(0, original.data(), uInt(size)));
    }
    EXPECT_EQ(TesselHostCrc32("123456789", 9) + TesselHostCrc32(nullptr, 5), 0xCBF43926u);  // the standard check value
    // A stored block by hand: header 78 01, a final block of LEN 5 and its complement, "hello", its Adler-32.
    const Bytes hello = {0x78, 0x01, 0x01, 0x05, 0x00, 0xFA, 0xFF, 'h', 'e', 'l', 'l', 'o', 0x06, 0x2C, 0x02, 0x15};
    std::uint64_t length = 16;
    EXPECT_EQ(TesselHostUncompress(unpacked.data(), &length, hello.data(), 16) * 10 + length, 5u);
    EXPECT_EQ(Bytes(unpacked.begin(), unpacked.begin() + 5), Bytes(hello.begin() + 7, hello.begin() + 12));
    EXPECT_NE(TesselHostUncompress(unpacked.data(), &(length = 4), hello.data(), 16), Z_OK);  // no room for all five
    EXPECT_NE(TesselHostUncompress(nullptr, &(length = 0), hello.data(), 16), Z_OK);
    EXPECT_EQ(TesselHostCompress(packed.data(), &(length = 10), original.data(), 5000), Z_BUF_ERROR);
    // dst, length, src: any of them missing where bytes are due is a stream error
    for (int missing = 0; missing < 3; ++missing) {
        std::uint64_t* room = missing == 1 ? nullptr : &(length = 16);
        const std::uint8_t* src = missing == 2 ? nullptr : hello.data();
        EXPECT_EQ(TesselHostCompress(missing ? packed.data() : nullptr, room, src, 16), Z_STREAM_ERROR) << missing;
        EXPECT_EQ(TesselHostUncompress(missing ? unpacked.data() : nullptr, room, src, 16), Z_STREAM_ERROR) << missing;
    }
}

TEST(HostApi, RegisterFormatKeepsARowPerFormatId)
{
    ResetRegisteredFormats();
    const std::string longName(300, 'n');
    // display name, extension, FormatId: a second registration of an id replaces its row; names keep 256 characters
    const std::tuple<const char*, const char*, std::uint32_t> calls[] = {{"Windows icon", "ico", 7}, {"Mac icon", "icns", 9},
        {"Windows icon file", "ico", 7}, {nullptr, nullptr, 11}, {longName.c_str(), "", 12}};
    for (const auto& [name, extension, id] : calls)
        EXPECT_EQ(TesselHostRegisterFormat(nullptr, HOST_FORMAT_KIND_ICON, name, 0, extension, id, 3), 1);
    std::string rows = std::to_string(RegisterFormatCalls());
    for (const RegisteredFormat& format : RegisteredFormats())
        rows += "; " + std::to_string(format.formatId) + " " + format.displayName.substr(0, 9) + "." + format.extension;
    EXPECT_EQ(rows + std::to_string(RegisteredFormats()[3].displayName.size()), "5; 7 Windows i.ico; 9 Mac icon.icns; 11 .; 12 nnnnnnnnn.256");
    ResetRegisteredFormats();
    EXPECT_TRUE(RegisteredFormats().empty() && RegisterFormatCalls() == 0);
}

// Libraries loaded on first use: the installed ones load whole; a missing library or function leaves the loader's
// message, naming it, which a job that needed it passes on as the call's fault.
TEST(SharedLibraries, InstalledOnesLoadAndAMissingLibraryOrFunctionIsNamed)
{
    ClearHostFault();
    EXPECT_TRUE(OpenJpeg() && ImageQuant() && HostFault().empty());
    void (*slot)() = nullptr;
    SharedLibrary absent("libtessel-absent.so.0"), openJpeg(OPENJPEG_SONAME);
    EXPECT_FALSE(absent.Resolve("opj_decode", slot) || slot || openJpeg.Resolve("liq_attr_create", slot) || slot);
    EXPECT_NE(absent.Fault().find("libtessel-absent.so.0: cannot open"), std::string::npos) << absent.Fault();
    EXPECT_NE(openJpeg.Fault().find("liq_attr_create"), std::string::npos) << openJpeg.Fault();
}

TEST(ModuleLoader, OpensTheModuleListsItsSaveFormatsAndRefusesWhatIsNotOne)
{
    std::string error, formats;
    std::unique_ptr<Module> module = Module::Open(TESSEL_MODULE_PATH, &error);
    ASSERT_NE(module, nullptr) << error;
    for (const SaveFormat& format : module->SaveFormats())
        formats += format.keyword + " " + format.displayName + " ." + format.extension + "; ";
    EXPECT_EQ(formats, "AMIGAOS Amiga icon .info; NEWICON NewIcon .info; AMIGAOS35 AmigaOS 3.5 icon .info; AMIGAOS40 "
                       "AmigaOS 4.0 icon .info; PNG PNG icon .info; WINDOWS Windows icon .ico; MACOS macOS icon .icns; ");
    const std::string name = RegisterMemFile("abc", 3, "bin");  // forgotten when the entry-point call ends
    EXPECT_FALSE(module->LoadIcon(name.c_str(), nullptr) || TesselHostOpen(name.c_str(), HOST_MODE_READ));
    // copies of the module with one string replaced, and the error each gives
    TempDir dir;
    const Bytes bytes = ReadFileBytes(TESSEL_MODULE_PATH);
    std::vector<std::tuple<std::string, std::string, std::string>> rows = {{"QUILMORE", "QUILMORX", "bad header magic"},
        {std::string("QUILMORE\3", 9), std::string("QUILMORE\4", 9), "unsupported header version 4"}};
    for (std::string entry : {"InitPlugin", "ClosePlugin", "LoadIcon", "GetIconImages", "FreeIcon", "RegisterIconSaver", "SaveIcon"})
        rows.emplace_back('\0' + entry + '\0', '\0' + entry + 'X', "module lacks an entry point");
    rows.emplace_back("", "", "cannot load module: ");  // an empty file
    for (const auto& [from, to, why] : rows) {
        std::string text = to.empty() ? "" : std::string(bytes.begin(), bytes.end());
        for (std::size_t at = text.find(from); !to.empty() && at != std::string::npos; at = text.find(from, at + 1))
            text.replace(at, to.size(), to);
        WriteFileBytes(dir.File("copy"), Bytes(text.begin(), text.end()));
        EXPECT_TRUE(!Module::Open(dir.File("copy"), &error) && error.find(why) != std::string::npos) << why << ": " << error;
    }
    EXPECT_TRUE(!Module::Open("/usr/lib/x86_64-linux-gnu/libz.so.1", &error) && error.find("no PluginHeader") != std::string::npos);
}

}  // namespace
