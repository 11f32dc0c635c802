// The seven entry points the host looks up by name through the PluginHeader.
#pragma once

#include "plugin/plugin_abi.h"

#include <cstdint>

extern "C" {
std::int32_t InitPlugin(PluginInfo* info, const HostApi* api) noexcept;
void ClosePlugin(void) noexcept;
IconHandle* LoadIcon(const char* name, const TagItem* tags) noexcept;
IconImage* GetIconImages(IconHandle* icon) noexcept;
void FreeIcon(IconHandle* icon) noexcept;
void RegisterIconSaver(IconSaverInfo* info) noexcept;
std::int32_t SaveIcon(const char* name, IconImage* first, const TagItem* tags) noexcept;
}

// The lookup routine that the PluginHeader points to: the entry point of that
// exact (case-sensitive) name, or null.
PluginFunction GetPluginFunction(const char* name);
