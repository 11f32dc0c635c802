// A host for the module made only of the C++ standard library, so that the
// module can be checked on any machine a cross compiler reaches: memory
// blocks with live-block accounting, files through <cstdio>, a hand-made
// CRC-32, and memory-file, image and compression operations that always fail.
#pragma once

#include "plugin/plugin_abi.h"

#include <cstdint>
#include <vector>

namespace portable {

// The HostApi for InitPlugin: version HOST_INTERFACE_VERSION, the six tables
// at their words with each operation in its slot. Lives for the whole process.
const HostApi* PortableHostApi();

// Blocks handed out by HostAllocMem and not yet freed.
std::int64_t LiveBlocks();
// Files opened and not yet closed.
std::int64_t LiveFiles();

// The bytes of a file on disk, through <cstdio>.
bool ReadWholeFile(const char* path, std::vector<std::uint8_t>& out);

}  // namespace portable
