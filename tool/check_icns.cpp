// The checks of a macOS icon family: the header's length, each entry's type
// and length, and masks without their image.
//
// Header 8 bytes (big-endian): "icns", total length. Entries: type, length
// counting its own 8-byte header, data.
#include "formats/macos/icns_layout.h"
#include "io/byte_io.h"
#include "tool/check_bytes.h"

#include <algorithm>
#include <iterator>

namespace tessel::tool::check {

namespace {

// Entry types that hold no image the module reads but a family may hold:
// the table of contents, version, name and info entries, the toolbar
// template, the selected family and the dark-appearance family. The checker
// knows them so that a file holding them is not called damaged; the types
// the module reads come from its own table.
constexpr std::uint32_t IcnsOtherTypes[] = {
    FourCc('T', 'O', 'C', ' '), FourCc('i', 'c', 'n', 'V'), FourCc('n', 'a', 'm', 'e'), FourCc('i', 'n', 'f', 'o'),
    FourCc('s', 'b', 't', 'p'), ICNS_SELECTED_FAMILY,
    FourCc(static_cast<char>(0xFD), static_cast<char>(0xD9), static_cast<char>(0x2F), static_cast<char>(0xA8)),
};

// The width of the type's images in the module's table; 0 when the type is
// not there (every row has a width).
constexpr std::int32_t TableSide(std::uint32_t type)
{
    for (const IcnsTypeRow& row : IcnsTypeTable)
        if (row.type == type)
            return row.width;
    return 0;
}

constexpr bool OtherTypesOutsideTheTable()
{
    int inside = 0;
    for (std::uint32_t type : IcnsOtherTypes)
        inside += TableSide(type) != 0;
    return inside == 0;
}
static_assert(OtherTypesOutsideTheTable());

bool KnownType(std::uint32_t type)
{
    return TableSide(type) != 0 ||
           std::find(std::begin(IcnsOtherTypes), std::end(IcnsOtherTypes), type) != std::end(IcnsOtherTypes);
}

// The run-length colour image of the mask's side: the row of that side whose
// data is 24-bit.
constexpr std::uint32_t MaskedImage(const IcnsTypeRow& mask)
{
    for (const IcnsTypeRow& row : IcnsTypeTable)
        if (!row.mask && row.width == mask.width && row.depth == 24)
            return row.type;
    return 0;
}

// At 16 and 32 pixels the newer 32-bit entry may hold run-length colour too,
// so a mask beside it has its image.
constexpr std::uint32_t IcnsRunLengthAlso[] = {FourCc('i', 'c', 'p', '4'), FourCc('i', 'c', 'p', '5')};

constexpr std::uint32_t OtherMaskedImage(const IcnsTypeRow& mask)
{
    for (std::uint32_t type : IcnsRunLengthAlso)
        if (TableSide(type) == mask.width)
            return type;
    return 0;
}
static_assert(MaskedImage(IcnsTypeTable[5]) == FourCc('i', 's', '3', '2'));
static_assert(OtherMaskedImage(IcnsTypeTable[5]) == FourCc('i', 'c', 'p', '4'));

}  // namespace

void CheckIcns(const ByteView& file, Findings& findings)
{
    if (!file.Fits(0, ICNS_HEADER_SIZE)) {
        Problem(findings, "header cut short: " + Str(file.Size()) + " bytes");
        return;
    }
    const std::uint64_t declared = file.BE32(ICNS_FILE_LENGTH);
    if (declared != file.Size())
        Problem(findings, "header length " + Str(declared) + " disagrees with the file (" + Str(file.Size()) + " bytes)");
    std::vector<std::uint32_t> types;
    std::uint64_t at = ICNS_HEADER_SIZE;
    while (file.Size() - at >= ICNS_ENTRY_HEADER_SIZE) {  // every turn consumes 8 bytes or more
        const std::uint32_t type = file.BE32(at);
        const std::uint64_t length = file.BE32(at + ICNS_ENTRY_LENGTH);
        if (!KnownType(type))
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
    auto holds = [&](std::uint32_t type) {
        return type != 0 && std::find(types.begin(), types.end(), type) != types.end();
    };
    for (const IcnsTypeRow& mask : IcnsTypeTable) {
        if (!mask.mask || mask.depth != 8)
            continue;                               // the 1-bit "#" entries carry their own image
        const std::uint32_t image = MaskedImage(mask);
        if (holds(mask.type) && !holds(image) && !holds(OtherMaskedImage(mask)))
            Problem(findings, "mask " + QuotedId(mask.type) + " without its image " + QuotedId(image));
    }
}

}  // namespace tessel::tool::check
