// What info and formats print: aligned text for people, JSON for scripts.
#pragma once

#include "runtime/module.h"
#include "tool/icon_values.h"

#include <string>
#include <vector>

namespace tessel::tool {

// One line per format: keyword, display name, ".extension", FormatId as 0x
// and eight lower-case hex digits, in aligned columns.
std::string FormatsTable(const std::vector<runtime::SaveFormat>& formats);

// "tool", "drawer", ... for an icon type; empty for a type without a name.
std::string IconTypeName(std::int32_t type);

// A readable description of the icon's format, attributes and images.
std::string InfoText(const std::string& file, const Icon& icon);

// One JSON document on one line: file, format, attributes, images.
std::string InfoJson(const std::string& file, const Icon& icon);

// info --brief: "FILE  FORMAT  N images  WxH/DEPTH..." where each image may be
// followed by p (primary) and s (selected). No newline.
std::string InfoBriefLine(const std::string& file, const Icon& icon);

}  // namespace tessel::tool
