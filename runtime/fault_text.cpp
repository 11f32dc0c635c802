// Faults as text: SetFaultsFromText reads the comma-separated form that the
// tool takes from TESSEL_FAULTS into memory and file faults, and sets both.
#include "runtime/host_services.h"

#include <charconv>
#include <sstream>

namespace tessel::runtime {

namespace {

bool ParseCount(const std::string& text, std::int64_t* value)
{
    const char* end = text.data() + text.size();
    auto result = std::from_chars(text.data(), end, *value);
    return result.ec == std::errc() && result.ptr == end && *value >= 0;
}

}  // namespace

bool SetFaultsFromText(const std::string& text, std::string* error)
{
    MemoryFaults memory;
    FileFaults files;
    std::stringstream items(text);
    for (std::string item; std::getline(items, item, ',');) {
        if (item.empty())
            continue;
        std::size_t equals = item.find('=');
        std::string key = item.substr(0, equals);
        std::string value = equals == std::string::npos ? std::string() : item.substr(equals + 1);
        std::int64_t count = 0;
        bool ok = true;
        if (key == "close" && equals == std::string::npos) {
            files.failClose = true;
        } else if (key == "alloc-tag") {
            std::size_t colon = value.find(':');
            ok = colon != std::string::npos && colon > 0 && ParseCount(value.substr(colon + 1), &count);
            memory.failTag = value.substr(0, colon);
            memory.failTagNth = static_cast<std::uint64_t>(count);
        } else if (ParseCount(value, &count)) {
            if (key == "alloc-nth")
                memory.failNth = static_cast<std::uint64_t>(count);
            else if (key == "alloc-above")
                memory.failAboveBytes = static_cast<std::uint64_t>(count);
            else if (key == "write-after")
                files.failWritesAfterBytes = count;
            else if (key == "read-after")
                files.failReadsAfterBytes = count;
            else
                ok = false;
        } else {
            ok = false;
        }
        if (!ok) {
            if (error)
                *error = "not a fault: '" + item + "'";
            return false;
        }
    }
    SetMemoryFaults(memory);
    SetFileFaults(files);
    return true;
}

}  // namespace tessel::runtime
