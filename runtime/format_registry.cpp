// The registry of formats the module announces through HostRegisterFormat:
// display name, extension and FormatId, in order of first registration, for
// the tool to join with the savers the module lists.
#include "runtime/host_services.h"

#include <mutex>
#include <new>

namespace tessel::runtime {
namespace {

// Longest display name or extension kept from HostRegisterFormat.
constexpr std::size_t FORMAT_TEXT_MAX = 256;

struct FormatState {
    std::mutex lock;
    std::vector<RegisteredFormat> formats;
    std::uint64_t registerCalls = 0;
};

FormatState& Formats()
{
    static FormatState* state = new FormatState;
    return *state;
}

// Copies a string from the module, bounded: a missing terminator costs at
// most FORMAT_TEXT_MAX bytes of reading.
std::string BoundedText(const char* text)
{
    if (!text)
        return {};
    std::size_t length = 0;
    while (length < FORMAT_TEXT_MAX && text[length] != '\0')
        ++length;
    return std::string(text, length);
}

}  // namespace

const std::vector<RegisteredFormat>& RegisteredFormats()
{
    return Formats().formats;
}

std::uint64_t RegisterFormatCalls()
{
    FormatState& state = Formats();
    std::lock_guard<std::mutex> guard(state.lock);
    return state.registerCalls;
}

void ResetRegisteredFormats()
{
    FormatState& state = Formats();
    std::lock_guard<std::mutex> guard(state.lock);
    state.formats.clear();
    state.registerCalls = 0;
}

}  // namespace tessel::runtime

// Records (displayName, extension, formatId). The kind and capabilities are
// what the module announces for every icon format (HOST_FORMAT_KIND_ICON,
// HOST_FORMAT_CAPS_LOAD_SAVE); the runtime has a single use for the record, so
// it keeps them out of it. A FormatId seen before replaces its row in place.
extern "C" std::int32_t TesselHostRegisterFormat(PluginInfo* /*info*/, std::int32_t /*kind*/,
                                                 const char* displayName, std::int32_t /*reserved*/,
                                                 const char* extension, std::uint32_t formatId,
                                                 std::int32_t /*caps*/)
{
    using namespace tessel::runtime;
    FormatState& state = Formats();
    std::lock_guard<std::mutex> guard(state.lock);
    ++state.registerCalls;
    try {
        RegisteredFormat row{BoundedText(displayName), BoundedText(extension), formatId};
        for (RegisteredFormat& existing : state.formats) {
            if (existing.formatId == formatId) {
                existing = std::move(row);
                return 1;
            }
        }
        state.formats.push_back(std::move(row));
    } catch (const std::bad_alloc&) {
        return 0;
    }
    return 1;
}
