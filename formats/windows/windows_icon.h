// Windows icons (".ico"): a directory of entries, each a bitmap with its mask
// or a PNG file.
#pragma once

#include "icon/icon_model.h"

#include <cstdint>

// Reads a Windows icon; the file is open just after its first four bytes
// (00 00 01 00; name is not used). Returns 1 or 0; on 0 the handle may hold
// part of the icon, for the caller to release.
int LoadWinIcon(const char* name, HostFile* file, IconHandle* icon);

// Writes the images WINDOWS_ICON_CAPACITY takes (depths 1, 4, 8 and 32, at
// most 256 x 256) as a Windows icon. compress asks for PNG entries for large
// true-colour images; attributes and variant are not used. Returns 1 or 0.
int SaveWinIcon(HostFile* file, IconImage* first, const IconAttributes* attributes, std::uint32_t compress,
                int variant);
