#include "tool/icon_files.h"

#include "plugin/format_table.h"
#include "runtime/host_services.h"
#include "tool/check.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <ostream>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tessel::tool {

namespace {

constexpr std::size_t MAGIC_BYTES = 4;

// A container is named as its first save format is: the name the file's
// bytes are reported under before the module has read it.
constexpr const char* ContainerName(IconContainer container)
{
    for (const SaveFormatRow& row : SaveFormatTable)
        if (row.container == container)
            return row.displayName;
    return nullptr;
}

constexpr bool EveryContainerNamed()
{
    int unnamed = 0;
    for (const ContainerRow& row : ContainerTable)
        unnamed += !ContainerName(row.container);
    return unnamed == 0;
}
static_assert(EveryContainerNamed());

// Room for a memory stream's name.
constexpr std::size_t MEM_NAME_ROOM = 64;

// How much of a DiskObject is read to tell which Amiga kind it is.
constexpr std::uint64_t KIND_MAX_BYTES = 256ull << 20;

// Standard input, read whole the first time it is asked for; at most
// STANDARD_INPUT_MAX_BYTES of it are kept (StandardInputTooLarge says when
// there was more).
constexpr std::size_t STANDARD_INPUT_MAX_BYTES = ICON_MAX_IMAGE_BYTES;
bool g_standardInputTooLarge = false;

const std::vector<std::uint8_t>& StandardInput()
{
    static const std::vector<std::uint8_t> input = [] {
        std::vector<std::uint8_t> bytes;
        char buffer[65536];
        for (ssize_t got; (got = TEMP_FAILURE_RETRY(::read(STDIN_FILENO, buffer, sizeof buffer))) > 0;) {
            if (bytes.size() + std::size_t(got) > STANDARD_INPUT_MAX_BYTES) {
                g_standardInputTooLarge = true;
                return std::vector<std::uint8_t>();
            }
            bytes.insert(bytes.end(), buffer, buffer + got);
        }
        return bytes;
    }();
    return input;
}

// The runtime reads "mem:" names as memory files; a path that happens to
// start that way is made unmistakably a path.
std::string ModuleFileName(const std::string& path)
{
    if (path.rfind("mem:", 0) == 0)
        return "./" + path;
    return path;
}

// Frees the module's icon however the copy ends.
class IconGuard {
public:
    IconGuard(runtime::Module& module, IconHandle* icon) : module_(module), icon_(icon) {}
    ~IconGuard() { module_.FreeIcon(icon_); }
    IconGuard(const IconGuard&) = delete;
    IconGuard& operator=(const IconGuard&) = delete;

private:
    runtime::Module& module_;
    IconHandle* icon_;
};

SniffResult SniffBytes(const std::vector<std::uint8_t>& bytes)
{
    SniffResult sniff;
    sniff.opened = true;
    sniff.leadingBytes.assign(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(std::min(bytes.size(), MAGIC_BYTES)));
    sniff.format = FormatFromMagic(sniff.leadingBytes);
    return sniff;
}

}  // namespace


std::string FormatFromMagic(const std::vector<std::uint8_t>& leadingBytes)
{
    if (leadingBytes.size() < MAGIC_BYTES)
        return {};
    // The container table holds the magic as a big-endian word.
    std::uint32_t magic = 0;
    for (std::size_t i = 0; i < MAGIC_BYTES; ++i)
        magic = magic << 8 | leadingBytes[i];
    for (const ContainerRow& row : ContainerTable) {
        if (row.magic == magic)
            return ContainerName(row.container);
    }
    return {};
}

std::string DescribeLeadingBytes(const std::vector<std::uint8_t>& leadingBytes)
{
    if (leadingBytes.empty())
        return "the file is empty";
    std::string hex;
    for (std::size_t i = 0; i < std::min(leadingBytes.size(), MAGIC_BYTES); ++i) {
        char byte[4];
        std::snprintf(byte, sizeof byte, "%02X", leadingBytes[i]);
        hex += (i ? " " : "") + std::string(byte);
    }
    if (leadingBytes.size() < MAGIC_BYTES)
        return "only " + std::to_string(leadingBytes.size()) + " bytes long: " + hex;
    return "starts with " + hex;
}

SniffResult SniffFile(const std::string& path)
{
    SniffResult result;
    if (path == STANDARD_STREAM) {
        result = SniffBytes(StandardInput());
        if (g_standardInputTooLarge) {
            result.opened = false;
            result.error = "cannot read (standard input is larger than " +
                           std::to_string(STANDARD_INPUT_MAX_BYTES >> 20) + " MiB)";
        }
        return result;
    }
    // Non-blocking, so a FIFO given by mistake cannot hang the open.
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        result.error = "cannot open (" + SystemReason(errno) + ")";
        return result;
    }
    struct stat status{};
    if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        result.error = S_ISDIR(status.st_mode) ? "cannot open (is a directory)" : "cannot open (not a regular file)";
        ::close(fd);
        return result;
    }
    std::uint8_t buffer[MAGIC_BYTES];
    std::size_t got = 0;
    while (got < MAGIC_BYTES) {
        ssize_t n = TEMP_FAILURE_RETRY(::read(fd, buffer + got, MAGIC_BYTES - got));
        if (n < 0) {
            result.error = "cannot read (" + SystemReason(errno) + ")";
            ::close(fd);
            return result;
        }
        if (n == 0)
            break;
        got += static_cast<std::size_t>(n);
    }
    ::close(fd);
    result.opened = true;
    result.leadingBytes.assign(buffer, buffer + got);
    result.format = FormatFromMagic(result.leadingBytes);
    return result;
}

bool ReadFileBytes(const std::string& path, std::uint64_t maxBytes, std::vector<std::uint8_t>* bytes)
{
    if (path == STANDARD_STREAM) {
        const std::vector<std::uint8_t>& input = StandardInput();
        bytes->assign(input.begin(), input.begin() + static_cast<std::ptrdiff_t>(std::min<std::uint64_t>(input.size(), maxBytes)));
        return true;
    }
    std::ifstream stream(path, std::ios::binary);
    if (!stream)
        return false;
    bytes->clear();
    char buffer[65536];
    while (bytes->size() < maxBytes && stream.read(buffer, sizeof buffer).gcount() > 0) {
        const std::uint64_t take = std::min<std::uint64_t>(static_cast<std::uint64_t>(stream.gcount()), maxBytes - bytes->size());
        bytes->insert(bytes->end(), buffer, buffer + take);
    }
    return !stream.bad();
}

namespace {

// Loads the icon the module finds under name, whose bytes (or as many as
// tell its kind) are bytes.
LoadResult LoadNamedIcon(runtime::Module& module, const std::string& name, const SniffResult& sniff,
                         const std::vector<std::uint8_t>& bytes, Pixels pixels)
{
    LoadResult result;
    result.icon.format = sniff.format;
    result.icon.savedAs = SaveFormatOfBytes(bytes);
    IconAttributes record{};
    const TagItem tags[] = {
        {LOADICON_TAG_ATTRIBUTES, reinterpret_cast<std::uintptr_t>(&record)},
        {0, 0},
    };
    // A load for the pixels decodes no more pictures than the tool then
    // works on: a file of huge pictures is refused before they are decoded.
    runtime::SetPictureBudget(pixels == Pixels::Yes ? MAX_ICON_WORKING_BYTES : ICON_LOAD_BUDGET_BYTES);
    IconHandle* handle = module.LoadIcon(name.c_str(), tags);
    if (handle && !runtime::HostFault().empty())
        result.warning = runtime::HostFault() + "; the icon is read without it";
    if (!handle) {
        // A picture inside that needed a library the runtime could not load
        // is not the file's fault: the loader's message says so instead.
        const std::string& fault = runtime::HostFault();
        result.error =
            "cannot read " + sniff.format + " (" + (fault.empty() ? "damaged or not supported" : fault) + ")";
        return result;
    }
    // The record points into the handle: everything is copied before FreeIcon.
    IconGuard guard(module, handle);
    std::string why;
    if (!CopyImages(module.GetIconImages(handle), result.icon.images, &why, pixels == Pixels::Yes)) {
        result.error = "cannot read " + sniff.format + " (" + why + ")";
        return result;
    }
    result.icon.attributes = CopyAttributes(record);
    result.ok = true;
    return result;
}


}  // namespace

LoadResult LoadIconBytes(runtime::Module& module, const std::vector<std::uint8_t>& bytes, Pixels pixels)
{
    const SniffResult sniff = SniffBytes(bytes);
    if (sniff.format.empty()) {
        LoadResult result;
        result.error = "not an icon file (" + DescribeLeadingBytes(sniff.leadingBytes) + ")";
        return result;
    }
    return LoadNamedIcon(module, runtime::RegisterMemFile(bytes.data(), bytes.size(), "icon"), sniff, bytes, pixels);
}

LoadResult LoadIconFile(runtime::Module& module, const std::string& path, const SniffResult* sniffed, Pixels pixels)
{
    const SniffResult sniff = sniffed ? *sniffed : SniffFile(path);
    if (path == STANDARD_STREAM && sniff.opened)
        return LoadIconBytes(module, StandardInput(), pixels);
    if (!sniff.opened || sniff.format.empty()) {
        LoadResult result;
        result.error = !sniff.opened ? sniff.error : "not an icon file (" + DescribeLeadingBytes(sniff.leadingBytes) + ")";
        return result;
    }
    // Which Amiga kind a DiskObject is takes its bytes; the others show it in
    // their first ones.
    std::vector<std::uint8_t> bytes = sniff.leadingBytes;
    if (sniff.format == ContainerName(CONTAINER_DISKOBJECT) && !ReadFileBytes(path, KIND_MAX_BYTES, &bytes))
        bytes = sniff.leadingBytes;
    return LoadNamedIcon(module, ModuleFileName(path), sniff, bytes, pixels);
}

bool MakeDirectory(const std::string& path, std::string* why)
{
    namespace fs = std::filesystem;
    std::error_code error;
    fs::create_directories(path, error);
    if (error || !fs::is_directory(path, error)) {
        *why = "cannot create directory (" +
               (error ? SystemReason(error.value()) : std::string("a file of that name exists")) + ")";
        return false;
    }
    return true;
}

bool SaveIconFile(runtime::Module& module, const std::string& output, const SaveRequest& request, Icon icon,
                  std::ostream& standardOutput, const std::function<std::string(const Icon& written)>& verify,
                  Icon* written, std::string* why)
{
    // The icon is made in memory, read back from there, and only then
    // written where it goes.
    std::vector<std::uint8_t> bytes;
    {
        SaveImageList images(icon.images);
        AttributesRecord attributes(icon.attributes);
        const TagItem tags[] = {
            {SAVEICON_TAG_FORMAT, request.formatId},
            {SAVEICON_TAG_COMPRESS, request.compress ? 1u : 0u},
            {SAVEICON_TAG_ATTRIBUTES, reinterpret_cast<std::uintptr_t>(attributes.Get())},
            {0, 0},
        };
        char name[MEM_NAME_ROOM];
        std::unique_ptr<HostStream, void (*)(HostStream*)> stream(TesselHostOpenMemStream(name, sizeof name, 0),
                                                                  TesselHostCloseMemStream);
        if (!stream) {
            *why = "out of memory";
            return false;
        }
        std::uint64_t length = 0;
        const void* data = nullptr;
        if (module.SaveIcon(name, images.First(), tags) != 1 ||
            !(data = TesselHostGetMemStreamData(stream.get(), &length, 0))) {
            const std::string& fault = runtime::HostFault();
            *why = "cannot save as " + request.formatName + (fault.empty() ? "" : " (" + fault + ")");
            return false;
        }
        bytes.assign(static_cast<const std::uint8_t*>(data), static_cast<const std::uint8_t*>(data) + length);
    }
    std::vector<Image>().swap(icon.images);   // the pixels are done with
    LoadResult loaded = LoadIconBytes(module, bytes, Pixels::No);
    if (!loaded.ok) {
        *why = "the written " + request.formatName + " does not read back (" + loaded.error + ")";
        return false;
    }
    *written = std::move(loaded.icon);
    *why = verify(*written);
    return why->empty() && CommitBytes(output, bytes, standardOutput, why);
}

}  // namespace tessel::tool
