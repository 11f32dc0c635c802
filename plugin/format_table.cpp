#include "plugin/format_table.h"

#include <cstring>

const SaveFormatRow SaveFormatTable[SAVE_FORMAT_COUNT] = {
    // keyword, display name, extension
    {"AMIGAOS", "Amiga icon", "info"},
    {"NEWICON", "NewIcon", "info"},
    {"AMIGAOS35", "AmigaOS 3.5 icon", "info"},
    {"AMIGAOS40", "AmigaOS 4.0 icon", "info"},
    {"PNG", "PNG icon", "info"},
    {"WINDOWS", "Windows icon", "ico"},
    {"MACOS", "macOS icon", "icns"},
};

std::uint32_t FormatIdTable[SAVE_FORMAT_COUNT + 1];

static std::uint32_t Crc32Table[256];
static constexpr std::uint32_t CRC32_POLYNOMIAL = 0xEDB88320;
static constexpr char MODULE_NAME[] = "tessel";
// "tessel" + "/" + the longest display name, with room to spare.
static constexpr std::uint32_t FORMAT_KEY_BUFFER = 64;

static void BuildCrc32Table()
{
    for (std::uint32_t n = 0; n < 256; ++n) {
        std::uint32_t c = n;
        for (int round = 0; round < 8; ++round)
            c = (c & 1) ? (c >> 1) ^ CRC32_POLYNOMIAL : c >> 1;
        Crc32Table[n] = c;
    }
}

std::uint32_t TableCrc32(const char* bytes, std::uint32_t n)
{
    std::uint32_t crc = 0xFFFFFFFF;
    for (std::uint32_t i = 0; i < n; ++i)
        crc = (crc >> 8) ^ Crc32Table[(crc ^ static_cast<std::uint8_t>(bytes[i])) & 0xFF];
    return ~crc;
}

void ComputeFormatIds()
{
    BuildCrc32Table();
    for (int index = 0; index < SAVE_FORMAT_COUNT; ++index) {
        char key[FORMAT_KEY_BUFFER];
        std::uint32_t length = 0;
        const char* parts[] = {MODULE_NAME, "/", SaveFormatTable[index].displayName};
        for (const char* part : parts) {
            std::size_t partLength = std::strlen(part);
            std::memcpy(key + length, part, partLength);
            length += static_cast<std::uint32_t>(partLength);
        }
        FormatIdTable[index] = TableCrc32(key, length);
    }
    FormatIdTable[SAVE_FORMAT_COUNT] = 0;
}

int FormatIndexOf(std::uint32_t formatId)
{
    if (formatId == 0 || FormatIdTable[0] == 0)
        return -1;
    for (int index = 0; index < SAVE_FORMAT_COUNT; ++index) {
        if (FormatIdTable[index] == formatId)
            return index;
    }
    return -1;
}
