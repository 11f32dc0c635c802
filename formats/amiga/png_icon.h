// PNG icons: a PNG picture whose "icOn" chunk, just before "IEND", carries the
// icon's attributes. WritePngImage also serves the writers of other formats
// that store images as PNG.
#pragma once

#include "icon/icon_model.h"

// Reads a PNG icon and the selected picture after it, if any. name is the
// file LoadIcon opened (the host decodes the picture from it); file is open
// just after the four magic bytes. Returns 1
// or 0; on 0 the handle may hold part of the icon, for the caller to release.
int LoadPngIcon(const char* name, HostFile* file, IconHandle* icon);

// Writes the first 32-bit image of the list as a PNG icon with an "icOn"
// chunk made from attributes (not null), then its selected twin, if any, as a
// second PNG datastream. compress and variant are not used. Returns 1 or 0.
int SavePngIcon(HostFile* file, IconImage* first, const IconAttributes* attributes, std::uint32_t compress,
                int variant);

// Encodes a 32-bit image of a list the model accepted as a complete PNG and
// writes it at the file's position. Returns 1 or 0.
int WritePngImage(HostFile* file, const IconImage* image);
