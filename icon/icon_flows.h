// The steps of the load and save flows that the tests reach directly.
#pragma once

#include "icon/icon_model.h"

// Builds the handle's tooltype array from its block: one pointer per line,
// the NewIcons image lines ("IM1=", "IM2=") left out, null-terminated.
// Returns 1 with no array when the icon has no tooltypes, 0 when the array
// cannot be had.
int BuildToolTypeArray(IconHandle* icon);

// Copies the handle's attributes into the host's record; toolTypes only when
// the handle has an array.
void CopyIconAttributes(const IconHandle* icon, IconAttributes* attributes);
