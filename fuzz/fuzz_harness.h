// What every fuzz target shares: the module started once on the runtime's
// HostApi, bytes loaded through a memory file, saves into memory streams, and
// the checks that each input leaves nothing behind.
#pragma once

#include "plugin/plugin_abi.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace tessel::fuzz {

// Starts the module once: InitPlugin with the runtime's HostApi, and the
// allocation ceiling every fuzz run works under.
void StartModule();

// Loads the bytes through a memory file; fills *attributes when not null.
// The memory file is forgotten before returning, as the host does after
// every entry-point call.
IconHandle* LoadBytes(const std::uint8_t* data, std::size_t size, IconAttributes* attributes);

// Saves images in one format into a fresh memory stream and returns what was
// written in out. Returns the module's answer (1 or 0).
int SaveToBytes(IconImage* first, std::uint32_t formatId, int compress, IconAttributes* attributes,
                std::vector<std::uint8_t>& out);

// Loads the bytes, walks the images, frees the icon, and checks that the
// load left no more live blocks than there were before it.
void LoadAndFree(const std::uint8_t* data, std::size_t size);

// Reads every pixel and palette entry of every image, so a record that points
// outside its blocks shows up under the address sanitizer.
void TouchImages(IconImage* first);

// Aborts when more blocks than blocksBefore are live, or when a host image,
// file or stream is left open.
void CheckNothingLeft(std::int64_t blocksBefore = 0);

// Rewrites the CRC of every whole chunk after the PNG signature, so that
// mutated chunks still pass the checks of a decoder that verifies them.
void FixPngCrcs(std::vector<std::uint8_t>& bytes);

}  // namespace tessel::fuzz
