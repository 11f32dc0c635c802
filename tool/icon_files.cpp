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

// "-" names standard input or output.
constexpr char STANDARD_STREAM[] = "-";

// How much of a DiskObject is read to tell which Amiga kind it is.
constexpr std::uint64_t KIND_MAX_BYTES = 256ull << 20;

// Standard input, read whole the first time it is asked for.
const std::vector<std::uint8_t>& StandardInput()
{
    static const std::vector<std::uint8_t> input = [] {
        std::vector<std::uint8_t> bytes;
        char buffer[65536];
        for (ssize_t got; (got = TEMP_FAILURE_RETRY(::read(STDIN_FILENO, buffer, sizeof buffer))) > 0;)
            bytes.insert(bytes.end(), buffer, buffer + got);
        return bytes;
    }();
    return input;
}

// A temporary name is the target's name with this around it; the target's
// part is cut so the whole stays within a file-name component's limit.
constexpr std::size_t TEMPORARY_BASE_MAX = 200;
constexpr char TEMPORARY_SUFFIX[] = ".tessel-XXXXXX";

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

// The mode of an ordinary new file. The process's umask is read once: it
// can only be read by setting it, and nothing here changes it.
mode_t NewFileMode()
{
    static const mode_t mode = [] {
        mode_t mask = ::umask(0);
        ::umask(mask);
        return static_cast<mode_t>(0666 & ~mask);
    }();
    return mode;
}

}  // namespace

std::string SystemReason(int errorNumber)
{
    std::string reason = std::strerror(errorNumber);
    if (!reason.empty())
        reason[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(reason[0])));
    return reason;
}

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
        const std::vector<std::uint8_t>& input = StandardInput();
        result.opened = true;
        result.leadingBytes.assign(input.begin(), input.begin() + static_cast<std::ptrdiff_t>(std::min(input.size(), MAGIC_BYTES)));
        result.format = FormatFromMagic(result.leadingBytes);
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

LoadResult LoadIconFile(runtime::Module& module, const std::string& path, const SniffResult* sniffed)
{
    LoadResult result;
    const SniffResult sniff = sniffed ? *sniffed : SniffFile(path);
    if (!sniff.opened) {
        result.error = sniff.error;
        return result;
    }
    if (sniff.format.empty()) {
        result.error = "not an icon file (" + DescribeLeadingBytes(sniff.leadingBytes) + ")";
        return result;
    }
    result.icon.format = sniff.format;
    // Which Amiga kind a DiskObject is takes its bytes; the others show it in
    // their first ones.
    std::vector<std::uint8_t> bytes = sniff.leadingBytes;
    if (sniff.format == ContainerName(CONTAINER_DISKOBJECT) && !ReadFileBytes(path, KIND_MAX_BYTES, &bytes))
        bytes = sniff.leadingBytes;
    result.icon.savedAs = SaveFormatOfBytes(bytes);

    IconAttributes record{};
    const TagItem tags[] = {
        {LOADICON_TAG_ATTRIBUTES, reinterpret_cast<std::uintptr_t>(&record)},
        {0, 0},
    };
    const std::vector<std::uint8_t>& input = StandardInput();
    const std::string name = path == STANDARD_STREAM ? runtime::RegisterMemFile(input.data(), input.size(), "icon")
                                                     : ModuleFileName(path);
    IconHandle* handle = module.LoadIcon(name.c_str(), tags);
    if (!handle) {
        result.error = "cannot read " + sniff.format + " (damaged or not supported)";
        return result;
    }
    // The record points into the handle: everything is copied before FreeIcon.
    IconGuard guard(module, handle);
    std::string why;
    if (!CopyImages(module.GetIconImages(handle), result.icon.images, &why)) {
        result.error = "cannot read " + sniff.format + " (" + why + ")";
        return result;
    }
    result.icon.attributes = CopyAttributes(record);
    result.ok = true;
    return result;
}

bool ReplaceFile(const std::string& output, const std::function<bool(const std::string& temporaryPath)>& write,
                 std::string* why)
{
    namespace fs = std::filesystem;
    std::error_code error;
    if (output.empty() || output.back() == '/' || fs::is_directory(output, error)) {
        *why = "is a directory";
        return false;
    }
    fs::path target(output);
    std::string directory = target.parent_path().string();
    if (directory.empty())
        directory = ".";
    std::string base = target.filename().string().substr(0, TEMPORARY_BASE_MAX);
    std::string pattern = directory + "/." + base + TEMPORARY_SUFFIX;
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    int fd = ::mkstemp(name.data());
    if (fd < 0) {
        *why = "cannot create a temporary file in " + directory + " (" + SystemReason(errno) + ")";
        return false;
    }
    // The mode the result will have is set now, on the descriptor, unless
    // it would keep the file from being written: then by name afterwards.
    struct stat existing{};
    const mode_t mode = ::stat(output.c_str(), &existing) == 0 && S_ISREG(existing.st_mode)
                            ? existing.st_mode & 07777
                            : NewFileMode();
    const bool writableMode = (mode & S_IWUSR) != 0;
    if (writableMode)
        ::fchmod(fd, mode);
    ::close(fd);
    const std::string temporaryPath(name.data());

    bool written = false;
    try {
        written = write(temporaryPath);
    } catch (...) {
        ::unlink(temporaryPath.c_str());
        throw;
    }
    if (!written) {
        ::unlink(temporaryPath.c_str());
        return false;
    }
    if (!writableMode)
        ::chmod(temporaryPath.c_str(), mode);
    if (::rename(temporaryPath.c_str(), output.c_str()) != 0) {
        *why = "cannot replace (" + SystemReason(errno) + ")";
        ::unlink(temporaryPath.c_str());
        return false;
    }
    return true;
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

bool WriteOutput(const std::string& output, std::ostream& standardOutput,
                 const std::function<bool(const std::string& temporaryPath)>& write, std::string* why)
{
    if (output != STANDARD_STREAM)
        return ReplaceFile(output, write, why);
    // The bytes are made in a file of their own first, so that a failure
    // sends nothing down the stream.
    const char* folder = std::getenv("TMPDIR");
    const std::string place = std::string(folder && *folder ? folder : "/tmp") + "/tessel-output";
    bool sent = false;
    const bool written = ReplaceFile(
        place,
        [&](const std::string& temporaryPath) {
            if (!write(temporaryPath))
                return false;
            std::vector<std::uint8_t> bytes;
            if (!ReadFileBytes(temporaryPath, UINT64_MAX, &bytes)) {
                *why = "cannot read back the output (" + SystemReason(errno) + ")";
                return false;
            }
            standardOutput.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
            sent = true;
            return false;   // nothing is kept in the folder
        },
        why);
    return written || sent;
}

bool SaveIconFile(runtime::Module& module, const std::string& output, const SaveRequest& request,
                  const Icon& icon, std::ostream& standardOutput,
                  const std::function<std::string(const Icon& written)>& verify, Icon* written, std::string* why)
{
    SaveImageList images(icon.images);
    AttributesRecord attributes(icon.attributes);
    const TagItem tags[] = {
        {SAVEICON_TAG_FORMAT, request.formatId},
        {SAVEICON_TAG_COMPRESS, request.compress ? 1u : 0u},
        {SAVEICON_TAG_ATTRIBUTES, reinterpret_cast<std::uintptr_t>(attributes.Get())},
        {0, 0},
    };
    return WriteOutput(
        output, standardOutput,
        [&](const std::string& temporaryPath) {
            if (module.SaveIcon(ModuleFileName(temporaryPath).c_str(), images.First(), tags) != 1) {
                *why = "cannot save as " + request.formatName;
                return false;
            }
            LoadResult loaded = LoadIconFile(module, temporaryPath);
            if (!loaded.ok) {
                *why = "the written " + request.formatName + " does not read back (" + loaded.error + ")";
                return false;
            }
            *written = std::move(loaded.icon);
            *why = verify(*written);
            return why->empty();
        },
        why);
}

}  // namespace tessel::tool
