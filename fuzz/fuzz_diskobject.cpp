// Amiga icons: the input always starts with the DiskObject magic and
// version, so every mutation lands in the structure after them, the drawer
// data, the images, the texts and the chunks that follow.
#include "fuzz/fuzz_harness.h"

#include <vector>

namespace {

// A project icon's DiskObject with one 16 x 8, 2-plane image and no texts:
// what a too-short input is completed with.
const std::uint8_t DISKOBJECT_HEADER[78] = {
    0xE3, 0x10, 0x00, 0x01,                          // magic, version
    0x00, 0x00, 0x00, 0x00,                          // gadget: next
    0x00, 0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x08,  // left, top, width, height
    0x00, 0x05, 0x00, 0x03, 0x00, 0x01,              // flags, activation, type
    0x00, 0x00, 0x00, 0x01,                          // gadget render: an image follows
    0x00, 0x00, 0x00, 0x00,                          // select render
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,  // text, mutual exclude
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,  // special info, id, user data (high)
    0x00, 0x00,                                      // user data (low): revision
    0x04, 0x00,                                      // type: project, pad
    0x00, 0x00, 0x00, 0x00,                          // default tool
    0x00, 0x00, 0x00, 0x00,                          // tool types
    0x80, 0x00, 0x00, 0x00, 0x80, 0x00, 0x00, 0x00,  // current x, y: no position
    0x00, 0x00, 0x00, 0x00,                          // drawer data
    0x00, 0x00, 0x00, 0x00,                          // tool window
    0x00, 0x00, 0x00, 0x00,                          // stack size
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    tessel::fuzz::StartModule();
    std::vector<std::uint8_t> bytes(data, data + size);
    if (bytes.size() < sizeof DISKOBJECT_HEADER)
        bytes.insert(bytes.begin(), DISKOBJECT_HEADER, DISKOBJECT_HEADER + sizeof DISKOBJECT_HEADER - bytes.size());
    for (int index = 0; index < 4; ++index)
        bytes[index] = DISKOBJECT_HEADER[index];
    tessel::fuzz::LoadAndFree(bytes.data(), bytes.size());
    return 0;
}
