// The seven save formats, their FormatIds and the CRC-32 that makes them.
#pragma once

#include <cstdint>

inline constexpr int SAVE_FORMAT_COUNT = 7;

struct SaveFormatRow {
    const char* keyword;
    const char* displayName;
    const char* extension;
};

// Row index = save-format index.
extern const SaveFormatRow SaveFormatTable[SAVE_FORMAT_COUNT];

// FormatIds in table order, then a zero word; all zero until InitPlugin has
// been given a HostApi.
extern std::uint32_t FormatIdTable[SAVE_FORMAT_COUNT + 1];

// Fills Crc32Table and FormatIdTable.
void ComputeFormatIds();

// CRC-32 (reflected, polynomial 0xEDB88320) of n bytes, as zlib computes it.
std::uint32_t TableCrc32(const char* bytes, std::uint32_t n);

// Index 0..6 of a FormatId, or -1 when it is 0, unknown, or no table is built.
int FormatIndexOf(std::uint32_t formatId);
