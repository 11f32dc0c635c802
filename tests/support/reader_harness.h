// Running one format reader or writer directly, the way LoadIcon and SaveIcon
// hand a file to it.
#pragma once

#include "plugin/format_handlers.h"
#include "plugin/plugin_abi.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace tessel::test {

// Opens the bytes as a memory file (with the extension hint) and, when its
// first four bytes are magic, runs reader on a new handle. Returns the handle,
// or null when the magic differs or the reader fails (the handle released).
IconHandle* LoadWithReader(const std::vector<std::uint8_t>& bytes, std::uint32_t magic, IconReader reader,
                           const char* extensionHint);
// The images of a handle, in list order.
std::vector<IconImage*> Images(const IconHandle* icon);

struct WriterResult {
    int saved = -1;                       // the writer's result
    int closeResult = -1;                 // HostClose's: non-zero after a write error
    std::vector<std::uint8_t> file;       // the bytes on disk afterwards
};
// Opens path for writing through the host, lets write fill it and closes it,
// the way SaveIcon does; the writer must keep no block.
WriterResult RunWriter(const std::string& path, const std::function<int(HostFile*)>& write);

}  // namespace tessel::test
