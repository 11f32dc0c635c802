#include "tool/text_encoding.h"

#include <cstdint>
#include <cstdio>

namespace tessel::tool {

namespace {

// Length (2..4) of the well-formed UTF-8 sequence of more than one byte
// starting at text[at], which is inside the text: no overlong forms, no
// surrogates, nothing above U+10FFFF. 0 when there is none there.
std::size_t Utf8SequenceLength(std::string_view text, std::size_t at)
{
    auto byteAt = [&](std::size_t i) { return static_cast<std::uint8_t>(text[i]); };
    std::uint8_t lead = byteAt(at);
    std::size_t length;
    std::uint8_t low = 0x80, high = 0xBF;           // allowed range of the second byte
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0)
            low = 0xA0;                             // overlong below U+0800
        else if (lead == 0xED)
            high = 0x9F;                            // U+D800..U+DFFF are surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0)
            low = 0x90;                             // overlong below U+10000
        else if (lead == 0xF4)
            high = 0x8F;                            // above U+10FFFF
    } else {
        return 0;                                   // ASCII, a continuation byte, C0/C1, F5..FF
    }
    if (text.size() - at < length)
        return 0;
    if (byteAt(at + 1) < low || byteAt(at + 1) > high)
        return 0;
    for (std::size_t i = 2; i < length; ++i) {
        if (byteAt(at + i) < 0x80 || byteAt(at + i) > 0xBF)
            return 0;
    }
    return length;
}

// How one kind of quoted string writes the bytes that cannot stand as they
// are. Quotes, backslashes, line feeds, carriage returns and tabs are always
// written as \" \\ \n \r \t.
struct Escaping {
    const char* hexForm;            // printf form of any other control character, and of DEL
    bool namesBackspaceAndFormFeed; // \b and \f rather than the hex form
    bool latin1ToUtf8;              // a lone byte A0..FF becomes its UTF-8 pair; else the hex form
    bool quoted = true;             // between quotes, and a quote escaped
};

// JSON: high bytes that are not UTF-8 are Latin-1, so the byte is the code point.
constexpr Escaping JsonEscaping = {"\\u%04x", true, false};
// Terminal: Latin-1 letters converted to UTF-8, C1 controls kept visible.
constexpr Escaping DisplayEscaping = {"\\x%02X", false, true};
// File names: bytes that are not UTF-8 shown as they are, in hex; no quotes.
constexpr Escaping NameEscaping = {"\\x%02X", false, false, false};

void AppendHexEscape(std::string& out, const char* form, unsigned value)
{
    char buffer[8];
    std::snprintf(buffer, sizeof buffer, form, value);
    out += buffer;
}

std::string Quoted(std::string_view bytes, const Escaping& escaping)
{
    std::string out;
    out.reserve(bytes.size() + 2);
    if (escaping.quoted)
        out += '"';
    for (std::size_t i = 0; i < bytes.size();) {
        auto byte = static_cast<std::uint8_t>(bytes[i]);
        if (byte >= 0x80) {
            if (std::size_t length = Utf8SequenceLength(bytes, i)) {
                out.append(bytes.substr(i, length));
                i += length;
            } else if (escaping.latin1ToUtf8 && byte >= 0xA0) {
                out += static_cast<char>(0xC0 | (byte >> 6));     // Latin-1 as two UTF-8 bytes
                out += static_cast<char>(0x80 | (byte & 0x3F));
                ++i;
            } else {
                AppendHexEscape(out, escaping.hexForm, byte);
                ++i;
            }
            continue;
        }
        switch (byte) {
        case '"': out += escaping.quoted ? "\\\"" : "\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        case '\b':
        case '\f':
            if (escaping.namesBackspaceAndFormFeed) {
                out += byte == '\b' ? "\\b" : "\\f";
                break;
            }
            [[fallthrough]];
        default:
            if (byte < 0x20 || byte == 0x7F)
                AppendHexEscape(out, escaping.hexForm, byte);
            else
                out += static_cast<char>(byte);
        }
        ++i;
    }
    if (escaping.quoted)
        out += '"';
    return out;
}

}  // namespace

std::string JsonString(std::string_view bytes) { return Quoted(bytes, JsonEscaping); }

std::string DisplayString(std::string_view bytes) { return Quoted(bytes, DisplayEscaping); }

std::string Shown(std::string_view name) { return Quoted(name, NameEscaping); }

std::string LowerAscii(std::string_view text)
{
    std::string lowered(text);
    for (char& c : lowered) {
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    }
    return lowered;
}

}  // namespace tessel::tool
