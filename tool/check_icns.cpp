// The checks of a macOS icon family: the header's length, each entry's type
// and length, and masks without their image.
//
// Header 8 bytes (big-endian): "icns", total length. Entries: type, length
// counting its own 8-byte header, data.
#include "io/byte_io.h"
#include "tool/check_bytes.h"

#include <algorithm>
#include <iterator>

namespace tessel::tool::check {

namespace {

// ---- Layout facts no format header states yet ---------------------------------
// FIXME(#13): from a macOS icon layout header once there is one.
constexpr std::uint64_t ICNS_HEADER_SIZE = 8;
constexpr std::uint64_t ICNS_FILE_LENGTH_OFFSET = 4;
constexpr std::uint64_t ICNS_ENTRY_HEADER_SIZE = 8;
constexpr std::uint64_t ICNS_ENTRY_LENGTH_OFFSET = 4;
// -------------------------------------------------------------------------------

// Every entry type the checker knows, more than the module reads.
constexpr std::uint32_t IcnsKnownTypes[] = {
    FourCc('i', 'c', 's', '#'), FourCc('i', 'c', 's', '4'), FourCc('i', 'c', 's', '8'), FourCc('i', 's', '3', '2'),
    FourCc('s', '8', 'm', 'k'), FourCc('I', 'C', 'N', '#'), FourCc('i', 'c', 'l', '4'), FourCc('i', 'c', 'l', '8'),
    FourCc('i', 'l', '3', '2'), FourCc('l', '8', 'm', 'k'), FourCc('i', 'c', 'h', '#'), FourCc('i', 'c', 'h', '4'),
    FourCc('i', 'c', 'h', '8'), FourCc('i', 'h', '3', '2'), FourCc('h', '8', 'm', 'k'), FourCc('i', 't', '3', '2'),
    FourCc('t', '8', 'm', 'k'), FourCc('i', 'c', 'm', '#'), FourCc('i', 'c', 'm', '4'), FourCc('i', 'c', 'm', '8'),
    FourCc('i', 'c', 'p', '4'), FourCc('i', 'c', 'p', '5'), FourCc('i', 'c', 'p', '6'), FourCc('i', 'c', '0', '4'),
    FourCc('i', 'c', '0', '5'), FourCc('i', 'c', '0', '7'), FourCc('i', 'c', '0', '8'), FourCc('i', 'c', '0', '9'),
    FourCc('i', 'c', '1', '0'), FourCc('i', 'c', '1', '1'), FourCc('i', 'c', '1', '2'), FourCc('i', 'c', '1', '3'),
    FourCc('i', 'c', '1', '4'), FourCc('i', 'c', 's', 'b'), FourCc('i', 'c', 's', 'B'), FourCc('s', 'b', '2', '4'),
    FourCc('S', 'B', '2', '4'), FourCc('T', 'O', 'C', ' '), FourCc('i', 'c', 'n', 'V'), FourCc('n', 'a', 'm', 'e'),
    FourCc('i', 'n', 'f', 'o'), FourCc('s', 'b', 't', 'p'), FourCc('s', 'l', 'c', 't'), FourCc('I', 'C', 'O', 'N'),
    FourCc(static_cast<char>(0xFD), static_cast<char>(0xD9), static_cast<char>(0x2F), static_cast<char>(0xA8)),
};

struct MaskPair {
    std::uint32_t mask;
    std::uint32_t image;
    std::uint32_t otherImage;   // 16 and 32: the newer 'icp4'/'icp5' may hold run-length colour too; else 0
};
constexpr MaskPair IcnsMaskPairs[] = {
    // mask, the image it belongs to, another image it may belong to
    {FourCc('s', '8', 'm', 'k'), FourCc('i', 's', '3', '2'), FourCc('i', 'c', 'p', '4')},
    {FourCc('l', '8', 'm', 'k'), FourCc('i', 'l', '3', '2'), FourCc('i', 'c', 'p', '5')},
    {FourCc('h', '8', 'm', 'k'), FourCc('i', 'h', '3', '2'), 0},
    {FourCc('t', '8', 'm', 'k'), FourCc('i', 't', '3', '2'), 0},
};

}  // namespace

void CheckIcns(const ByteView& file, Findings& findings)
{
    if (!file.Fits(0, ICNS_HEADER_SIZE)) {
        Problem(findings, "header cut short: " + Str(file.Size()) + " bytes");
        return;
    }
    const std::uint64_t declared = file.BE32(ICNS_FILE_LENGTH_OFFSET);
    if (declared != file.Size())
        Problem(findings, "header length " + Str(declared) + " disagrees with the file (" + Str(file.Size()) + " bytes)");
    std::vector<std::uint32_t> types;
    std::uint64_t at = ICNS_HEADER_SIZE;
    while (file.Size() - at >= ICNS_ENTRY_HEADER_SIZE) {  // every turn consumes 8 bytes or more
        const std::uint32_t type = file.BE32(at);
        const std::uint64_t length = file.BE32(at + ICNS_ENTRY_LENGTH_OFFSET);
        if (std::find(std::begin(IcnsKnownTypes), std::end(IcnsKnownTypes), type) == std::end(IcnsKnownTypes))
            Problem(findings, "entry " + QuotedId(type) + " has a type outside the known table");
        if (length < ICNS_ENTRY_HEADER_SIZE) {
            Problem(findings, "entry " + QuotedId(type) + " length " + Str(length) + " below 8");
            return;
        }
        if (!file.Fits(at, length)) {
            Problem(findings, "entry " + QuotedId(type) + " runs past the end of the file");
            return;
        }
        types.push_back(type);
        at += length;
    }
    if (at < file.Size())
        Note(findings, Str(file.Size() - at) + " stray bytes after the last entry");
    for (const MaskPair& pair : IcnsMaskPairs) {
        const bool hasMask = std::find(types.begin(), types.end(), pair.mask) != types.end();
        const bool hasImage = std::find(types.begin(), types.end(), pair.image) != types.end() ||
                              (pair.otherImage != 0 &&
                               std::find(types.begin(), types.end(), pair.otherImage) != types.end());
        if (hasMask && !hasImage)
            Problem(findings, "mask " + QuotedId(pair.mask) + " without its image " + QuotedId(pair.image));
    }
}

}  // namespace tessel::tool::check
