// Memory files and the registry of names. A memory file is a block the
// module registers with HostMemFileName (or the tool with RegisterMemFile)
// for the current entry-point call: a read-only file whose window is the
// block itself. The registry maps every "mem:" name, of memory files and of
// streams, to what it opens, and keeps the open handles and the counters.
#include "runtime/host_file.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>

namespace tessel::runtime {
namespace {

constexpr char MEM_NAME_PREFIX[] = "mem:";
constexpr std::size_t MEM_NAME_PREFIX_LENGTH = sizeof(MEM_NAME_PREFIX) - 1;
constexpr std::size_t MEM_EXTENSION_MAX = 8;
constexpr const char* MEM_EXTENSION_DEFAULT = "bin";

bool IsMemName(const char* name)
{
    return std::strncmp(name, MEM_NAME_PREFIX, MEM_NAME_PREFIX_LENGTH) == 0;
}

// Only [a-z0-9], 1 to 8 characters (upper case is folded); anything else is "bin".
std::string SanitiseExtension(const char* hint)
{
    if (!hint)
        return MEM_EXTENSION_DEFAULT;
    std::string extension;
    for (std::size_t i = 0; hint[i] != '\0'; ++i) {
        char c = hint[i];
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
        bool allowed = (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
        if (!allowed || extension.size() == MEM_EXTENSION_MAX)
            return MEM_EXTENSION_DEFAULT;
        extension.push_back(c);
    }
    return extension.empty() ? MEM_EXTENSION_DEFAULT : extension;
}

}  // namespace

// ---- The registry -------------------------------------------------------------

FileState& Files()
{
    static FileState* state = new FileState;
    return *state;
}

const NamedEntry* FindNamed(FileState& state, const char* name)
{
    if (!IsMemName(name))
        return nullptr;
    auto found = state.names.find(name);
    return found == state.names.end() ? nullptr : &found->second;
}

std::string NewMemName(FileState& state, const std::string& extension)
{
    if (!state.randomSeeded) {
        std::random_device device;
        std::seed_seq seed{device(), device(), device(), device(), device(), device(), device(), device()};
        state.random.seed(seed);
        state.randomSeeded = true;
    }
    for (;;) {
        char token[17];
        std::snprintf(token, sizeof token, "%016llx", static_cast<unsigned long long>(state.random()));
        std::string name = std::string(MEM_NAME_PREFIX) + token + "." + extension;
        if (state.names.find(name) == state.names.end())
            return name;
    }
}

bool CopyName(const std::string& name, char* buffer, std::int32_t bufferSize)
{
    if (name.size() + 1 > static_cast<std::size_t>(bufferSize)) {
        buffer[0] = '\0';
        return false;
    }
    std::memcpy(buffer, name.c_str(), name.size() + 1);
    return true;
}

// ---- Memory files -------------------------------------------------------------

HostFile* OpenMemoryFile(const NamedEntry& entry, std::int32_t mode)
{
    // A memory file belongs to the module and is read-only.
    if (mode != HOST_MODE_READ)
        return nullptr;
    HostFile* file = NewFile(FileKind::Memory, false);
    if (!file)
        return nullptr;
    file->window = entry.data;
    file->size = static_cast<std::int64_t>(entry.size);
    // Under an injected read fault only the bytes still allowed are
    // readable; the rest of the memory file reads as an I/O error.
    file->windowLength = ReadAllowance(file->size);
    SpendReadBudget(file->windowLength);
    return file;
}

std::string RegisterMemFile(const void* data, std::uint64_t size, const char* extension)
{
    if ((!data && size != 0) || size > static_cast<std::uint64_t>(POSITION_MAX))
        return {};
    FileState& state = Files();
    std::lock_guard<std::mutex> guard(state.lock);
    try {
        std::string name = NewMemName(state, SanitiseExtension(extension));
        state.names.emplace(name, NamedEntry{static_cast<const std::uint8_t*>(data), size, nullptr});
        return name;
    } catch (const std::bad_alloc&) {
        return {};
    }
}

void ClearCallMemFiles()
{
    EndPictureSpending();
    FileState& state = Files();
    std::lock_guard<std::mutex> guard(state.lock);
    for (auto entry = state.names.begin(); entry != state.names.end();) {
        if (entry->second.stream)
            ++entry;
        else
            entry = state.names.erase(entry);
    }
}

bool ViewMemFile(const char* name, const std::uint8_t** data, std::uint64_t* size)
{
    if (!name || !data || !size)
        return false;
    FileState& state = Files();
    std::lock_guard<std::mutex> guard(state.lock);
    const NamedEntry* entry = FindNamed(state, name);
    if (!entry || entry->stream)
        return false;
    *data = entry->data;
    *size = entry->size;
    return true;
}

}  // namespace tessel::runtime

// Registers desc's block as a memory file until the call ends. The block is
// not copied.
extern "C" std::int32_t TesselHostMemFileName(char* buffer, std::int32_t bufferSize, const MemFileDesc* desc,
                                              std::int32_t /*reserved*/)
{
    using namespace tessel::runtime;
    if (!buffer || bufferSize < 1)
        return 0;
    buffer[0] = '\0';
    if (!desc)
        return 0;
    std::uint64_t size = (static_cast<std::uint64_t>(desc->sizeHigh) << 32) | desc->sizeLow;
    std::string extension = SanitiseExtension(desc->extensionHint);
    // The name's length is fixed by its extension: refuse before registering.
    std::size_t nameLength = MEM_NAME_PREFIX_LENGTH + 16 + 1 + extension.size();
    if (nameLength + 1 > static_cast<std::size_t>(bufferSize))
        return 0;
    std::string name = RegisterMemFile(desc->data, size, extension.c_str());
    if (name.empty())
        return 0;
    std::memcpy(buffer, name.c_str(), nameLength + 1);
    return 1;
}
