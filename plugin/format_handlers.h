// The module's side of the format table (plugin/format_table.h): the reader
// and the writer attached to each container, and the FormatIds as the host
// sees them once InitPlugin has published them.
#pragma once

#include "plugin/format_table.h"
#include "plugin/plugin_abi.h"

#include <cstdint>

// Every reader gets the file LoadIcon opened, positioned just after its four
// magic bytes, and the name it was opened by (for a reader that lets the host
// decode the file). Returns 1 or 0; on 0 the handle may hold part of the icon,
// for the caller to release.
using IconReader = int (*)(const char* name, HostFile* file, IconHandle* icon);

// Every writer gets the file SaveIcon created, the host's images (a list the
// model's ValidateImageList accepted), the attributes record (not null when
// the format carries attributes), the compression request and the save
// format's variant within the container. Returns 1 or 0.
using IconWriter = int (*)(HostFile* file, IconImage* first, const IconAttributes* attributes,
                           std::uint32_t compress, int variant);

IconReader ReaderOf(IconContainer container);
IconWriter WriterOf(IconContainer container);

// FormatIds in table order, then a zero word; all zero until InitPlugin has
// been given a HostApi.
extern std::uint32_t FormatIdTable[SAVE_FORMAT_COUNT + 1];

// Fills FormatIdTable from the format table.
void PublishFormatIds();

// Index 0..6 of a FormatId, or -1 when it is 0, unknown, or not published.
int FormatIndexOf(std::uint32_t formatId);
