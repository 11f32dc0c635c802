// The checks of a PNG icon, or of any PNG: the chunks of each datastream
// followed to IEND with their CRCs, and the items of an icon's "icOn" chunk.
//
// Signature, then chunks: 32-bit length, id, data, CRC of id and data. An
// icon's "icOn" chunk holds items: a 32-bit tag, then a 32-bit value or, for
// the default tool and tooltypes, a NUL-terminated text.
#include "formats/amiga/png_icon_layout.h"
#include "io/byte_io.h"
#include "tool/check_bytes.h"

#include <zlib.h>

namespace tessel::tool::check {

namespace {

// A chunk's id follows its 4-byte length; the CRC covers the id and the data.
constexpr std::uint64_t PNG_CHUNK_ID = 4;
constexpr std::uint64_t PNG_CHUNK_ID_SIZE = PNG_CHUNK_HEADER_SIZE - PNG_CHUNK_ID;
// The drawer flags' bits that mean something: show all, view mode 1, and
// view modes 2 to 5 as the mode minus 2 from bit 2 on.
constexpr std::uint32_t ICON_DRAWER_FLAG_BITS =
    PNG_FLAG_SHOW_ALL | PNG_FLAG_VIEW_ICONS | std::uint32_t(PNG_VIEW_MODE_LAST - PNG_VIEW_MODE_BIAS) << 2;
static_assert(ICON_DRAWER_FLAG_BITS == 0xF);

// Datastreams followed in one file before the rest is left unchecked.
constexpr int PNG_MAX_STREAMS = 16;

void CheckIconItems(const ByteView& file, std::uint64_t at, std::uint64_t end, const std::string& where,
                    Findings& findings)
{
    while (at < end) {                              // every turn consumes the tag at least
        if (end - at < PNG_ITEM_WORD_SIZE) {
            Problem(findings, where + "icOn item runs past the chunk");
            return;
        }
        const std::uint32_t tag = file.BE32(at);
        at += PNG_ITEM_WORD_SIZE;
        if (!FindPngIconTag(tag)) {
            // Items carry no length: nothing after an unknown tag can be found.
            Problem(findings, where + "icOn tag " + Hex32(tag) + " outside the table");
            return;
        }
        if (tag == ICON_TAG_DEFAULT_TOOL || tag == ICON_TAG_TOOL_TYPE) {
            std::uint64_t nul = at;
            while (nul < end && file.Byte(nul) != 0)
                ++nul;
            if (nul == end) {
                Problem(findings, where + "icOn text of tag " + Hex32(tag) + " runs past the chunk");
                return;
            }
            at = nul + 1;
            continue;
        }
        if (end - at < PNG_ITEM_WORD_SIZE) {
            Problem(findings, where + "icOn item " + Hex32(tag) + " runs past the chunk");
            return;
        }
        const std::uint32_t value = file.BE32(at);
        at += PNG_ITEM_WORD_SIZE;
        if (tag == ICON_TAG_DRAWER_FLAGS && (value & ~ICON_DRAWER_FLAG_BITS) != 0)
            Note(findings, where + "icOn drawer flags " + Hex32(value) + " use bits above bit 3");
    }
}

// Checks one PNG datastream from at; returns where it ended (after IEND), or
// 0 when it could not be followed to its end.
std::uint64_t CheckPngStream(const ByteView& file, std::uint64_t at, const std::string& where, Findings& findings)
{
    at += PNG_SIGNATURE_SIZE;
    while (true) {                                  // every turn consumes 12 bytes or more
        if (!file.Fits(at, PNG_CHUNK_HEADER_SIZE)) {
            Problem(findings, where + "no IEND chunk before the end of the file");
            return 0;
        }
        const std::uint64_t length = file.BE32(at);
        const std::uint32_t id = file.BE32(at + PNG_CHUNK_ID);
        if (!file.Fits(at + PNG_CHUNK_HEADER_SIZE, length + PNG_CRC_SIZE)) {
            Problem(findings, where + "chunk " + QuotedId(id) + " (" + Str(length) + " bytes) runs past the end of the file");
            return 0;
        }
        const std::uint64_t data = at + PNG_CHUNK_HEADER_SIZE;
        // The CRC covers the id and the data.
        const std::uint32_t crc = static_cast<std::uint32_t>(
            crc32_z(0, file.At(at + PNG_CHUNK_ID), static_cast<z_size_t>(PNG_CHUNK_ID_SIZE + length)));
        if (crc != file.BE32(data + length))
            Problem(findings, where + "CRC error in chunk " + QuotedId(id));
        if (id == PNG_CHUNK_ICON)
            CheckIconItems(file, data, data + length, where, findings);
        at = data + length + PNG_CRC_SIZE;
        if (id == PNG_CHUNK_IEND)
            return at;
    }
}

}  // namespace

bool HasPngSignature(const ByteView& file, std::uint64_t at)
{
    if (!file.Fits(at, PNG_SIGNATURE_SIZE))
        return false;
    for (std::size_t i = 0; i < PNG_SIGNATURE_SIZE; ++i) {
        if (file.Byte(at + i) != PngSignature[i])
            return false;
    }
    return true;
}

void CheckPng(const ByteView& file, Findings& findings)
{
    std::uint64_t at = 0;
    for (int stream = 0; stream < PNG_MAX_STREAMS; ++stream) {
        const std::string where = stream == 0 ? "" : "PNG " + Str(stream + 1) + ": ";
        at = CheckPngStream(file, at, where, findings);
        if (at == 0 || at == file.Size())
            return;
        if (!HasPngSignature(file, at)) {
            if (file.Fits(at, PNG_CHUNK_HEADER_SIZE))
                Problem(findings, where + "chunks after IEND (" + Str(file.Size() - at) + " bytes, starting " +
                                      QuotedId(file.BE32(at + PNG_CHUNK_ID)) + ")");
            else
                Problem(findings, where + Str(file.Size() - at) + " bytes after IEND");
            return;
        }
        Note(findings, "a second PNG datastream follows at byte " + Str(at));
    }
}

}  // namespace tessel::tool::check
