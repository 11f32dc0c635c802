// Loading bytes with one format reader directly, the way LoadIcon hands a
// file to it after reading the magic.
#pragma once

#include "plugin/plugin_abi.h"

#include <cstdint>
#include <vector>

namespace tessel::test {

using IconReader = int (*)(HostFile* file, IconHandle* icon);

// Registers the bytes as a memory file (with the extension hint), opens it,
// and when its first four bytes are magic runs reader on a new handle. Returns
// the handle, or null when the magic differs or the reader fails (the handle
// is then released).
IconHandle* LoadWithReader(const std::vector<std::uint8_t>& bytes, std::uint32_t magic, IconReader reader,
                           const char* extensionHint);

// The images of a handle, in list order.
std::vector<IconImage*> Images(const IconHandle* icon);

}  // namespace tessel::test
