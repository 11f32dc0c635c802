#include "tool/icon_files.h"

#include "plugin/format_table.h"
#include "runtime/host_services.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

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

    IconAttributes record{};
    const TagItem tags[] = {
        {LOADICON_TAG_ATTRIBUTES, reinterpret_cast<std::uintptr_t>(&record)},
        {0, 0},
    };
    IconHandle* handle = module.LoadIcon(ModuleFileName(path).c_str(), tags);
    if (!handle) {
        // A picture inside that needed a library the runtime could not load
        // is not the file's fault: the loader's message says so instead.
        const std::string& fault = runtime::LibraryFault();
        result.error =
            "cannot read " + sniff.format + " (" + (fault.empty() ? "damaged or not supported" : fault) + ")";
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

bool SaveIconFile(runtime::Module& module, const std::string& output, const SaveRequest& request,
                  const Icon& icon, std::string* why)
{
    SaveImageList images(icon.images);
    AttributesRecord attributes(icon.attributes);
    const TagItem tags[] = {
        {SAVEICON_TAG_FORMAT, request.formatId},
        {SAVEICON_TAG_COMPRESS, request.compress ? 1u : 0u},
        {SAVEICON_TAG_ATTRIBUTES, reinterpret_cast<std::uintptr_t>(attributes.Get())},
        {0, 0},
    };
    return ReplaceFile(
        output,
        [&](const std::string& temporaryPath) {
            if (module.SaveIcon(ModuleFileName(temporaryPath).c_str(), images.First(), tags) == 1)
                return true;
            const std::string& fault = runtime::LibraryFault();
            *why = "cannot save as " + request.formatName + (fault.empty() ? "" : " (" + fault + ")");
            return false;
        },
        why);
}

}  // namespace tessel::tool
