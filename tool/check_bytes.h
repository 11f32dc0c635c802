// What the checker's files share: a bounds-checked view of a file's bytes,
// the findings the checks add to, and the checks of each family of icons.
// Every check walks its format's containers itself, independently of the
// module's readers, with every offset tested against the bytes there are in
// 64-bit arithmetic and every loop consuming input or running over a bounded
// count.
#pragma once

#include "formats/amiga/diskobject_layout.h"
#include "tool/check.h"

#include <cstdint>
#include <string>
#include <vector>

namespace tessel::tool::check {

using Findings = std::vector<CheckFinding>;

// Read-only view of the file with bounds-checked readers: a read that does
// not fit gives 0, so callers test Fits first where the answer matters.
class ByteView {
public:
    explicit ByteView(const std::vector<std::uint8_t>& bytes) : data_(bytes.data()), size_(bytes.size()) {}
    std::uint64_t Size() const { return size_; }
    bool Fits(std::uint64_t offset, std::uint64_t count) const
    {
        return offset <= size_ && count <= size_ - offset;
    }
    std::uint32_t Byte(std::uint64_t offset) const { return Fits(offset, 1) ? data_[offset] : 0; }
    std::uint32_t BE16(std::uint64_t offset) const { return Fits(offset, 2) ? (Byte(offset) << 8) | Byte(offset + 1) : 0; }
    std::uint32_t BE32(std::uint64_t offset) const
    {
        return Fits(offset, 4) ? (BE16(offset) << 16) | BE16(offset + 2) : 0;
    }
    std::uint32_t LE16(std::uint64_t offset) const { return Fits(offset, 2) ? Byte(offset) | (Byte(offset + 1) << 8) : 0; }
    std::uint32_t LE32(std::uint64_t offset) const
    {
        return Fits(offset, 4) ? LE16(offset) | (LE16(offset + 2) << 16) : 0;
    }
    // Unchecked: only for a range Fits has accepted.
    const std::uint8_t* At(std::uint64_t offset) const { return data_ + offset; }

private:
    const std::uint8_t* data_;
    std::uint64_t size_;
};

// A finding that breaks the format's layout, and one that is odd but tolerated.
void Problem(Findings& findings, std::string text);
void Note(Findings& findings, std::string text);

// "0x0000ABCD": eight upper-case hex digits.
std::string Hex32(std::uint32_t value);
// A four-character id in quotes, bytes outside printable ASCII as \xNN.
std::string QuotedId(std::uint32_t id);
std::string Str(std::uint64_t value);

// True when the eight bytes of the PNG signature start at offset at.
bool HasPngSignature(const ByteView& file, std::uint64_t at);

// The first two bytes of a DiskObject, its magic without the version, which
// the checker goes by.
inline constexpr std::uint32_t DISKOBJECT_MAGIC_HIGH = DISKOBJECT_MAGIC >> 16;
static_assert(DISKOBJECT_MAGIC_HIGH == 0xE310);

// The checks of each family, run on a whole file.
// What a DiskObject holds besides its classic images: NewIcons lines in its
// tooltypes, IMAG or ARGB chunks in its FORM.
struct AmigaParts {
    bool newIcons = false;
    bool imag = false;
    bool argb = false;
};
// With its icon FORM and NewIcons lines; parts, when given, says what it found.
void CheckDiskObject(const ByteView& file, Findings& findings, AmigaParts* parts = nullptr);
void CheckPng(const ByteView& file, Findings& findings);          // PNG icons and plain PNG pictures
void CheckIco(const ByteView& file, Findings& findings);
void CheckIcns(const ByteView& file, Findings& findings);

}  // namespace tessel::tool::check
