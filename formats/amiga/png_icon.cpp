// PNG icons (layout in png_icon_layout.h): the host decodes and encodes the
// picture; this file walks the chunks and builds the attribute chunk.
#include "formats/amiga/png_icon.h"
#include "formats/amiga/amiga_icon.h"
#include "formats/amiga/png_icon_layout.h"

#include "host/host_calls.h"
#include "icon/decode_helpers.h"
#include "io/buffers.h"
#include "io/byte_io.h"
#include "plugin/format_table.h"

#include <algorithm>
#include <cstdint>
#include <string_view>

static constexpr std::int32_t PNG_ICON_DEPTH = 32;
// HostSavePng: the pixels carry alpha; the other two words are reserved.
static constexpr std::int32_t PNG_SAVE_ALPHA = 1;

// Three ARGB words whose colour bytes spell a word in capitals, alpha 0. No
// writer of ours makes them; a picture that starts with them is refused.
static constexpr std::uint32_t PngPixelSignature[3] = {0x00515549, 0x004C4C4D, 0x004F5245};

// ---- Reading -------------------------------------------------------------------

namespace {

struct ItemReader {
    HostFile* file;
    IconHandle* icon;
    std::uint32_t bytesLeft;  // of the current icOn chunk
    // Where the next tooltype goes in the handle's block: just after the
    // last stored text, where the empty line that ends the list starts. Kept
    // as texts are stored, so that many tooltypes do not walk the block again
    // and again.
    std::uint32_t toolTypeEnd;
    bool drawerItemSeen;
    bool defaultToolSeen;
};

}  // namespace

// Reads a text of at most bytesLeft bytes, up to and including its zero byte,
// into room of at least bytesLeft + 1 bytes. The text is always terminated,
// even when the chunk ends before its zero byte. Returns its length, the zero
// byte not counted.
static std::uint32_t ReadItemText(ItemReader* reader, char* room)
{
    std::uint32_t stored = 0;
    while (reader->bytesLeft > 0) {
        --reader->bytesLeft;
        char c = static_cast<char>(ReadByte(reader->file));
        room[stored] = c;
        if (c == 0)
            return stored;
        ++stored;
    }
    room[stored] = 0;
    return stored;
}

// A later default tool replaces an earlier one, whose text is released.
static int ReadDefaultTool(ItemReader* reader)
{
    auto* text = static_cast<char*>(HostAllocMem(std::uint64_t{reader->bytesLeft} + 1, 0, "deftool"));
    if (!text)
        return 0;
    HostFreeMem(reader->icon->defaultTool);
    reader->icon->defaultTool = text;
    ReadItemText(reader, text);
    reader->defaultToolSeen = true;
    return 1;
}

// The next tooltype goes just after the last stored text. When the block (at
// first there is none) cannot hold what is left of the chunk there, it grows
// to hold that, its zero and the empty line, and to at least twice its size,
// so that a chunk per tooltype does not copy the block each time; it comes
// cleared and keeping its texts, so the list stays terminated.
static int ReadToolType(ItemReader* reader)
{
    IconHandle* icon = reader->icon;
    const std::uint64_t room = std::uint64_t{reader->bytesLeft} + 1;
    const std::uint32_t used = reader->toolTypeEnd;
    if (icon->toolTypeBlockBytes - used < room) {
        const std::uint64_t needed = used + room + 1;
        if (needed > UINT32_MAX)                    // the block's size is kept in 32 bits
            return 0;
        const std::uint64_t doubled = std::min<std::uint64_t>(2 * std::uint64_t{icon->toolTypeBlockBytes}, UINT32_MAX);
        const std::uint64_t grown = std::max(needed, doubled);
        auto* block = static_cast<char*>(HostAllocMem(grown, 1, "tooltypes"));
        if (!block)
            return 0;
        std::copy_n(icon->toolTypeBlock, used, block);
        HostFreeMem(icon->toolTypeBlock);
        icon->toolTypeBlock = block;
        icon->toolTypeBlockBytes = static_cast<std::uint32_t>(grown);
    }
    // An empty text stores nothing: the list ends at its first empty line.
    if (const std::uint32_t length = ReadItemText(reader, icon->toolTypeBlock + used))
        reader->toolTypeEnd = used + length + 1;
    return 1;
}

// Bit 0 is show-all; the bits above bit 1 are the view mode minus 2, taken
// without a mask, so a word of 0x10 reads as view mode 6.
static void DecodeDrawerFlags(std::uint32_t word, IconHandle* icon)
{
    icon->showAll = static_cast<std::int32_t>(word & PNG_FLAG_SHOW_ALL);
    if (word & PNG_FLAG_VIEW_ICONS)
        icon->viewMode = PNG_VIEW_MODE_FIRST;
    else
        icon->viewMode = static_cast<std::int32_t>(word >> 2) + PNG_VIEW_MODE_BIAS;
}

static void StoreValue(PngIconItem item, std::uint32_t value, IconHandle* icon)
{
    auto signedValue = static_cast<std::int32_t>(value);
    switch (item) {
    case PngIconItem::IconX: icon->posX = signedValue; break;
    case PngIconItem::IconY: icon->posY = signedValue; break;
    case PngIconItem::DrawerLeft: icon->drawerLeft = signedValue; break;
    case PngIconItem::DrawerTop: icon->drawerTop = signedValue; break;
    case PngIconItem::DrawerWidth: icon->drawerWidth = signedValue; break;
    case PngIconItem::DrawerHeight: icon->drawerHeight = signedValue; break;
    case PngIconItem::DrawerFlags: DecodeDrawerFlags(value, icon); break;
    case PngIconItem::StackSize: icon->stackSize = signedValue; break;
    case PngIconItem::Type: icon->type = signedValue; break;
    case PngIconItem::DefaultTool:
    case PngIconItem::ToolType:
    case PngIconItem::Ignored: break;
    }
}

// The items of one icOn chunk, never past its length. A refused tag fails
// the load (false); an item cut by the chunk's end only stops this chunk,
// keeping what came before.
static bool ReadItems(ItemReader* reader)
{
    while (reader->bytesLeft >= PNG_ITEM_WORD_SIZE) {   // every turn consumes at least the tag
        std::uint32_t tag = ReadBE32(reader->file);
        reader->bytesLeft -= PNG_ITEM_WORD_SIZE;
        const PngIconTag* row = FindPngIconTag(tag);
        if (!row)
            return false;
        if (row->drawerItem)
            reader->drawerItemSeen = true;
        if (row->item == PngIconItem::DefaultTool) {
            if (!ReadDefaultTool(reader))
                return false;
            continue;
        }
        if (row->item == PngIconItem::ToolType) {
            if (!ReadToolType(reader))
                return false;
            continue;
        }
        if (reader->bytesLeft < PNG_ITEM_WORD_SIZE)
            return true;
        std::uint32_t value = ReadBE32(reader->file);
        reader->bytesLeft -= PNG_ITEM_WORD_SIZE;
        StoreValue(row->item, value, reader->icon);
    }
    return true;
}

// Walks the chunks from just after the signature to "IEND". No CRC is
// checked: the host's decoder has already accepted the picture.
static int WalkChunks(ItemReader* reader, std::uint64_t fileSize)
{
    HostFile* file = reader->file;
    for (;;) {
        // Every turn moves forward by at least a chunk header and CRC, or ends.
        std::uint64_t bytesLeft = BytesLeft(file, fileSize);
        if (bytesLeft < PNG_CHUNK_HEADER_SIZE)
            return 0;                               // a PNG icon must reach IEND
        const std::uint64_t position = fileSize - bytesLeft;
        std::uint32_t length = ReadBE32(file);
        std::uint32_t type = ReadBE32(file);
        if (type == PNG_CHUNK_IEND)
            return 1;
        bytesLeft -= PNG_CHUNK_HEADER_SIZE;
        // A chunk that claims more than the file holds ends the file, before
        // any IEND. Lengths are unsigned and the skip goes forward only.
        if (std::uint64_t{length} + PNG_CRC_SIZE > bytesLeft)
            return 0;
        std::uint64_t next = position + PNG_CHUNK_HEADER_SIZE + length + PNG_CRC_SIZE;
        if (type == PNG_CHUNK_ICON) {
            reader->bytesLeft = length;
            if (!ReadItems(reader))
                return 0;
        }
        HostSeek(file, std::int64_t(next), HOST_SEEK_START);
    }
}

// A second PNG datastream just after the first one's IEND (the file is at
// its CRC) is the selected picture; its chunks carry no attributes. Bytes
// that are no such picture are left alone. Returns 0 only when the picture
// cannot be had.
static int ReadSelectedPicture(HostFile* file, std::uint64_t fileSize, IconHandle* icon, IconImage** tail)
{
    const std::int64_t start = HostSeek(file, PNG_CRC_SIZE, HOST_SEEK_CURRENT) + std::int64_t{PNG_CRC_SIZE};
    const std::uint64_t bytesLeft = BytesLeft(file, fileSize);
    std::uint8_t signature[PNG_SIGNATURE_SIZE];
    if (bytesLeft < PNG_MIN_FILE_SIZE || bytesLeft > UINT32_MAX || !ReadExactly(file, signature, PNG_SIGNATURE_SIZE) ||
        !std::equal(signature, signature + PNG_SIGNATURE_SIZE, PngSignature))
        return 1;
    HostSeek(file, start, HOST_SEEK_START);
    return DecodePictureFromFile(file, bytesLeft, "png", 1, icon, tail) != 0;
}

// Layout of the file: the PNG signature, then chunks up to "IEND", then
// maybe the selected picture. The pictures are the host's to decode.
int LoadPngIcon(const char* name, HostFile* file, IconHandle* icon)
{
    const TagItem options[] = {{HOSTIMAGE_TAG_ARGB, 1}, {0, 0}};
    std::int32_t width = 0;
    std::int32_t height = 0;
    HostImage* picture = HostLoadImage(name, options, &width, &height, 0);
    if (!picture)
        return 0;
    IconImage* tail = icon->images;
    while (tail && tail->next)
        tail = tail->next;
    // NewIconImage refuses sizes over the icon limits before allocating.
    IconImage* image = NewIconImage(width, height, PNG_ICON_DEPTH, 0, 0, icon, &tail);
    const std::uint32_t* source = image ? HostGetImagePixels(picture) : nullptr;
    if (!source) {
        HostFreeImage(picture);
        return 0;
    }
    std::uint64_t pixelCount = std::uint64_t(width) * std::uint64_t(height);
    auto* pixels = reinterpret_cast<std::uint32_t*>(image->pixels);
    for (std::uint64_t i = 0; i < pixelCount; ++i)
        pixels[i] = source[i];
    HostFreeImage(picture);

    if (pixelCount >= 3 && pixels[0] == PngPixelSignature[0] && pixels[1] == PngPixelSignature[1] &&
        pixels[2] == PngPixelSignature[2])
        return 0;

    const std::int64_t fileSize = FileSize(file);
    HostSeek(file, std::int64_t(PNG_SIGNATURE_SIZE), HOST_SEEK_START);
    // The handle is new: it has no tooltype block yet.
    ItemReader reader{file, icon, 0, 0, false, false};
    if (!WalkChunks(&reader, std::uint64_t(fileSize)) ||
        !ReadSelectedPicture(file, std::uint64_t(fileSize), icon, &tail))
        return 0;
    if (icon->type == 0) {
        if (reader.drawerItemSeen)
            icon->type = ICON_TYPE_DRAWER;
        else if (reader.defaultToolSeen)
            icon->type = ICON_TYPE_PROJECT;
        else
            icon->type = ICON_TYPE_TOOL;
    }
    return 1;
}

// ---- Writing -------------------------------------------------------------------

static bool EndsWithIend(const std::uint8_t* data, std::uint64_t length)
{
    const auto bytes = [](const std::uint8_t* start, std::uint64_t count) {
        return std::string_view(reinterpret_cast<const char*>(start), static_cast<std::size_t>(count));
    };
    return bytes(data, length).ends_with(bytes(PngIendChunk, PNG_IEND_CHUNK_SIZE));
}

int WritePngImage(HostFile* file, const IconImage* image)
{
    char name[HOST_NAME_BUFFER_SIZE] = {};
    HostStream* stream = HostOpenMemStream(name, HOST_NAME_BUFFER_SIZE, 0);
    if (!stream)
        return 0;
    // Pixel words of a 32-bit image are stored as native uint32 words.
    const auto* pixels = reinterpret_cast<const std::uint32_t*>(image->pixels);
    int ok = HostSavePng(name, pixels, image->width, image->height, PNG_SAVE_ALPHA, 0, 0) != 0;
    if (ok) {
        std::uint64_t length = 0;
        const auto* data = static_cast<const std::uint8_t*>(HostGetMemStreamData(stream, &length, 0));
        // The icOn writer overwrites the last 12 bytes, so they must be the
        // encoder's IEND.
        ok = EndsWithIend(data, length) && HostWrite(file, data, std::int64_t(length)) == std::int64_t(length);
    }
    HostCloseMemStream(stream);
    return ok;
}

// The word the reader decodes back: view modes 1 to 5 only.
static std::uint32_t EncodeDrawerFlags(const IconAttributes& attributes)
{
    std::uint32_t word = static_cast<std::uint32_t>(attributes.showAll) & PNG_FLAG_SHOW_ALL;
    if (attributes.viewMode == PNG_VIEW_MODE_FIRST)
        word |= PNG_FLAG_VIEW_ICONS;
    else if (attributes.viewMode > PNG_VIEW_MODE_FIRST && attributes.viewMode <= PNG_VIEW_MODE_LAST)
        word |= static_cast<std::uint32_t>(attributes.viewMode - PNG_VIEW_MODE_BIAS) << 2;
    return word;
}

// "icOn" and the items: the type always and first, then what is not 0, the
// drawer window for icons that open one, the default tool, the tooltypes in
// order.
static void AppendIconItems(const IconAttributes& attributes, AppendBuffer* buffer)
{
    AppendBytes("icOn", 4, buffer);
    std::int32_t type = attributes.type != 0 ? attributes.type : ICON_TYPE_TOOL;
    AppendTagValue(ICON_TAG_TYPE, static_cast<std::uint32_t>(type), 1, buffer);
    AppendTagValue(ICON_TAG_ICON_X, static_cast<std::uint32_t>(attributes.posX), 0, buffer);
    AppendTagValue(ICON_TAG_ICON_Y, static_cast<std::uint32_t>(attributes.posY), 0, buffer);
    AppendTagValue(ICON_TAG_STACK_SIZE, static_cast<std::uint32_t>(attributes.stackSize), 0, buffer);
    if (OpensWindow(attributes.type)) {
        AppendTagValue(ICON_TAG_DRAWER_LEFT, static_cast<std::uint32_t>(attributes.drawerLeft), 0, buffer);
        AppendTagValue(ICON_TAG_DRAWER_TOP, static_cast<std::uint32_t>(attributes.drawerTop), 0, buffer);
        AppendTagValue(ICON_TAG_DRAWER_WIDTH, static_cast<std::uint32_t>(attributes.drawerWidth), 0, buffer);
        AppendTagValue(ICON_TAG_DRAWER_HEIGHT, static_cast<std::uint32_t>(attributes.drawerHeight), 0, buffer);
        // Every other view mode in use makes the word non-zero; mode 2 without
        // show-all is the word 0, written all the same so that it reads back
        // as mode 2.
        const int force = attributes.viewMode == PNG_VIEW_MODE_BIAS;
        AppendTagValue(ICON_TAG_DRAWER_FLAGS, EncodeDrawerFlags(attributes), force, buffer);
    }
    AppendTagString(ICON_TAG_DEFAULT_TOOL, attributes.defaultTool, buffer);
    for (char* const* toolType = attributes.toolTypes; toolType && *toolType; ++toolType)
        AppendTagString(ICON_TAG_TOOL_TYPE, *toolType, buffer);
}

// Replaces the encoder's closing IEND with the icOn chunk and a new IEND.
static int WriteIconChunk(HostFile* file, const AppendBuffer& buffer)
{
    // WritePngImage wrote a whole PNG from offset 0 ending in IEND.
    std::int64_t end = Position(file);
    HostSeek(file, end - std::int64_t(PNG_IEND_CHUNK_SIZE), HOST_SEEK_START);
    // A failed write sticks to the file: the last one, and the close, report it.
    WriteBE32(file, static_cast<std::uint32_t>(buffer.used) - 4);   // the type is not counted
    HostWrite(file, buffer.data, buffer.used);
    WriteBE32(file, HostCrc32(buffer.data, static_cast<std::uint64_t>(buffer.used)));
    return HostWrite(file, PngIendChunk, PNG_IEND_CHUNK_SIZE) == std::int64_t(PNG_IEND_CHUNK_SIZE);
}

// The selected twin as a second datastream: palette pixels become their
// colours, the transparent pen clear.
static int WriteSelectedPicture(HostFile* file, const IconImage* twin)
{
    if (twin->depth == PNG_ICON_DEPTH)
        return WritePngImage(file, twin);
    const std::uint64_t count = std::uint64_t(twin->width) * std::uint64_t(twin->height);
    auto* words = static_cast<std::uint32_t*>(HostAllocMem(count * sizeof(std::uint32_t), 0, "tmpbuf"));
    if (!words)
        return 0;
    for (std::uint64_t i = 0; i < count; ++i) {
        const std::uint8_t index = twin->pixels[i];
        words[i] = index == twin->transparentPen ? 0 : twin->palette[index] | 0xFF000000u;
    }
    IconImage argb = *twin;
    argb.pixels = reinterpret_cast<std::uint8_t*>(words);
    argb.depth = PNG_ICON_DEPTH;
    int ok = WritePngImage(file, &argb);
    HostFreeMem(words);
    return ok;
}

int SavePngIcon(HostFile* file, IconImage* first, const IconAttributes* attributes, std::uint32_t /*compress*/,
                int /*variant*/)
{
    const IconImage* image = first;
    while (image && !HasDepth(PNG_ICON_CAPACITY.depths, image->depth))
        image = image->next;
    if (!image || !WritePngImage(file, image))
        return 0;

    AppendBuffer buffer{};
    if (!StartAppendBuffer(&buffer))
        return 0;                                   // the file holds the plain PNG
    AppendIconItems(*attributes, &buffer);
    // An item lost for want of memory fails the save rather than vanish.
    int ok = !buffer.failed && WriteIconChunk(file, buffer);
    ReleaseAppendBuffer(&buffer);
    const IconImage* twin = SelectedTwin(image);
    return ok && (!twin || WriteSelectedPicture(file, twin));
}
