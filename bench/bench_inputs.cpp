#include "bench/bench_inputs.h"

#include "runtime/host_services.h"

#include <algorithm>
#include <cmath>
#include <fstream>
#include <stdexcept>

namespace tessel::bench {

namespace {

constexpr double PI = 3.14159265358979323846;

// A small integer hash, so that texture and seeds need no random engine
// whose sequence could differ between library versions.
std::uint32_t Hash(std::uint32_t x)
{
    x ^= x >> 16;
    x *= 0x7FEB352Du;
    x ^= x >> 15;
    x *= 0x846CA68Bu;
    x ^= x >> 16;
    return x;
}

std::uint8_t ClampByte(double value)
{
    return static_cast<std::uint8_t>(std::clamp(std::lround(value), 0L, 255L));
}

void AppendBE32(Bytes& out, std::uint32_t value)
{
    for (int shift = 24; shift >= 0; shift -= 8)
        out.push_back(static_cast<std::uint8_t>(value >> shift));
}

void AppendLE16(Bytes& out, std::uint32_t value)
{
    out.push_back(static_cast<std::uint8_t>(value));
    out.push_back(static_cast<std::uint8_t>(value >> 8));
}

void AppendLE32(Bytes& out, std::uint32_t value)
{
    AppendLE16(out, value & 0xFFFF);
    AppendLE16(out, value >> 16);
}

void AppendType(Bytes& out, const char* type)
{
    for (int i = 0; i < 4; ++i)
        out.push_back(static_cast<std::uint8_t>(type[i]));
}

void PatchBE32(Bytes& out, std::size_t offset, std::uint32_t value)
{
    for (int i = 0; i < 4; ++i)
        out[offset + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(value >> (24 - 8 * i));
}

// Run-length packets of a macOS icon channel: 0x00..0x7F then that many
// plus one literal bytes, 0x80..0xFF then one byte repeated control - 0x7D
// times (3 to 130).
void PackChannel(const std::vector<std::uint8_t>& channel, Bytes& out)
{
    std::size_t i = 0;
    const std::size_t n = channel.size();
    while (i < n) {
        std::size_t run = 1;
        while (i + run < n && run < 130 && channel[i + run] == channel[i])
            ++run;
        if (run >= 3) {
            out.push_back(static_cast<std::uint8_t>(run + 0x7D));
            out.push_back(channel[i]);
            i += run;
            continue;
        }
        // Literals up to the next run of three or 128 bytes.
        std::size_t start = i;
        while (i < n && i - start < 128) {
            if (i + 2 < n && channel[i] == channel[i + 1] && channel[i] == channel[i + 2])
                break;
            ++i;
        }
        out.push_back(static_cast<std::uint8_t>(i - start - 1));
        out.insert(out.end(), channel.begin() + static_cast<std::ptrdiff_t>(start),
                   channel.begin() + static_cast<std::ptrdiff_t>(i));
    }
}

}  // namespace

Picture DrawPicture(std::int32_t side, std::uint32_t seed)
{
    Picture picture;
    picture.side = side;
    picture.argb.resize(static_cast<std::size_t>(side) * static_cast<std::size_t>(side));
    const double centre = side / 2.0;
    const double radius = side * 0.45;
    const double hueShift = (Hash(seed) % 360) * PI / 180.0;
    for (std::int32_t y = 0; y < side; ++y) {
        for (std::int32_t x = 0; x < side; ++x) {
            const double dx = x + 0.5 - centre;
            const double dy = y + 0.5 - centre;
            const double distance = std::sqrt(dx * dx + dy * dy);
            // Soft edge one pixel wide; fully transparent outside.
            const double coverage = std::clamp(radius - distance + 0.5, 0.0, 1.0);
            std::uint32_t pixel = 0;
            if (coverage > 0) {
                const double angle = std::atan2(dy, dx) + hueShift;
                const double light = 0.55 + 0.45 * (1.0 - distance / radius) - 0.25 * (dy / radius);
                // Texture: a little grain, as drawn icons have.
                const double grain =
                    static_cast<double>(Hash(seed ^ static_cast<std::uint32_t>(y * 65599 + x)) % 17) - 8.0;
                const double r = 255 * light * (0.5 + 0.5 * std::cos(angle)) + grain;
                const double g = 255 * light * (0.5 + 0.5 * std::cos(angle - 2 * PI / 3)) + grain;
                const double b = 255 * light * (0.5 + 0.5 * std::cos(angle + 2 * PI / 3)) + grain;
                pixel = static_cast<std::uint32_t>(ClampByte(255 * coverage)) << 24 |
                        static_cast<std::uint32_t>(ClampByte(r)) << 16 |
                        static_cast<std::uint32_t>(ClampByte(g)) << 8 | ClampByte(b);
            }
            picture.argb[static_cast<std::size_t>(y) * static_cast<std::size_t>(side) + static_cast<std::size_t>(x)] =
                pixel;
        }
    }
    return picture;
}

PalettePicture ReducePicture(const Picture& picture, std::uint32_t colours)
{
    std::uint32_t levels = 2;
    while ((levels + 1) * (levels + 1) * (levels + 1) + 1 <= colours)
        ++levels;
    PalettePicture reduced;
    reduced.side = picture.side;
    reduced.palette.assign(256, 0);
    auto level = [levels](std::uint32_t i) { return i * 255 / (levels - 1); };
    for (std::uint32_t r = 0; r < levels; ++r)
        for (std::uint32_t g = 0; g < levels; ++g)
            for (std::uint32_t b = 0; b < levels; ++b)
                reduced.palette[1 + (r * levels + g) * levels + b] =
                    0xFF000000u | level(r) << 16 | level(g) << 8 | level(b);
    reduced.indices.reserve(picture.argb.size());
    auto nearest = [levels](std::uint32_t value) { return (value * (levels - 1) + 127) / 255; };
    for (std::uint32_t argb : picture.argb) {
        if ((argb >> 24) < 128) {
            reduced.indices.push_back(0);
            continue;
        }
        const std::uint32_t r = nearest(argb >> 16 & 0xFF);
        const std::uint32_t g = nearest(argb >> 8 & 0xFF);
        const std::uint32_t b = nearest(argb & 0xFF);
        reduced.indices.push_back(static_cast<std::uint8_t>(1 + (r * levels + g) * levels + b));
    }
    return reduced;
}

Bytes EncodePicture(const Picture& picture)
{
    Bytes png;
    if (!runtime::EncodePng(picture.argb.data(), picture.side, picture.side, png))
        throw std::runtime_error("cannot encode a benchmark picture");
    return png;
}

Bytes MakeIcnsWithPngs(const std::vector<Bytes>& pngs, const std::vector<std::int32_t>& sides)
{
    Bytes out;
    AppendType(out, "icns");
    AppendBE32(out, 0);
    for (std::size_t i = 0; i < pngs.size(); ++i) {
        const char* type = sides[i] == 128 ? "ic07" : sides[i] == 256 ? "ic08" : sides[i] == 512 ? "ic09" : "ic10";
        AppendType(out, type);
        AppendBE32(out, static_cast<std::uint32_t>(8 + pngs[i].size()));
        out.insert(out.end(), pngs[i].begin(), pngs[i].end());
    }
    PatchBE32(out, 4, static_cast<std::uint32_t>(out.size()));
    return out;
}

Bytes MakeIcnsWithRunLengths(const std::vector<Picture>& pictures)
{
    Bytes out;
    AppendType(out, "icns");
    AppendBE32(out, 0);
    for (const Picture& picture : pictures) {
        const char* colourType;
        const char* maskType;
        switch (picture.side) {
        case 16: colourType = "is32"; maskType = "s8mk"; break;
        case 32: colourType = "il32"; maskType = "l8mk"; break;
        case 48: colourType = "ih32"; maskType = "h8mk"; break;
        case 128: colourType = "it32"; maskType = "t8mk"; break;
        default: throw std::invalid_argument("no run-length entry for this side");
        }
        const std::size_t entryStart = out.size();
        AppendType(out, colourType);
        AppendBE32(out, 0);
        if (picture.side == 128)
            AppendBE32(out, 0);  // it32 data opens with four zero bytes
        for (int shift = 16; shift >= 0; shift -= 8) {
            std::vector<std::uint8_t> channel;
            channel.reserve(picture.argb.size());
            for (std::uint32_t argb : picture.argb)
                channel.push_back(static_cast<std::uint8_t>(argb >> shift));
            PackChannel(channel, out);
        }
        PatchBE32(out, entryStart + 4, static_cast<std::uint32_t>(out.size() - entryStart));
        AppendType(out, maskType);
        AppendBE32(out, static_cast<std::uint32_t>(8 + picture.argb.size()));
        for (std::uint32_t argb : picture.argb)
            out.push_back(static_cast<std::uint8_t>(argb >> 24));
    }
    PatchBE32(out, 4, static_cast<std::uint32_t>(out.size()));
    return out;
}

namespace {

// ICONDIR (6 bytes) and one 16-byte ICONDIRENTRY per image; the data
// offsets are filled in by the callers as the entries are appended.
Bytes StartIco(std::size_t count)
{
    Bytes out;
    AppendLE16(out, 0);
    AppendLE16(out, 1);
    AppendLE16(out, static_cast<std::uint32_t>(count));
    out.resize(6 + 16 * count, 0);
    return out;
}

void SetIcoEntry(Bytes& out, std::size_t index, std::int32_t side, std::size_t dataSize, std::size_t dataOffset)
{
    Bytes entry;
    entry.push_back(static_cast<std::uint8_t>(side >= 256 ? 0 : side));
    entry.push_back(static_cast<std::uint8_t>(side >= 256 ? 0 : side));
    entry.push_back(0);  // colour count
    entry.push_back(0);  // reserved
    AppendLE16(entry, 1);   // planes
    AppendLE16(entry, 32);  // bits a pixel
    AppendLE32(entry, static_cast<std::uint32_t>(dataSize));
    AppendLE32(entry, static_cast<std::uint32_t>(dataOffset));
    std::copy(entry.begin(), entry.end(), out.begin() + static_cast<std::ptrdiff_t>(6 + 16 * index));
}

}  // namespace

Bytes MakeIcoWithPngs(const std::vector<Bytes>& pngs, const std::vector<std::int32_t>& sides)
{
    Bytes out = StartIco(pngs.size());
    for (std::size_t i = 0; i < pngs.size(); ++i) {
        SetIcoEntry(out, i, sides[i], pngs[i].size(), out.size());
        out.insert(out.end(), pngs[i].begin(), pngs[i].end());
    }
    return out;
}

Bytes MakeIcoWithBitmaps(const std::vector<Picture>& pictures)
{
    Bytes out = StartIco(pictures.size());
    for (std::size_t i = 0; i < pictures.size(); ++i) {
        const Picture& picture = pictures[i];
        const auto side = static_cast<std::uint32_t>(picture.side);
        const std::size_t start = out.size();
        // BITMAPINFOHEADER: the height counts the colour rows and the mask rows.
        AppendLE32(out, 40);
        AppendLE32(out, side);
        AppendLE32(out, side * 2);
        AppendLE16(out, 1);
        AppendLE16(out, 32);
        for (int k = 0; k < 6; ++k)
            AppendLE32(out, 0);
        for (std::uint32_t row = side; row-- > 0;) {
            for (std::uint32_t x = 0; x < side; ++x) {
                const std::uint32_t argb = picture.argb[row * side + x];
                out.push_back(static_cast<std::uint8_t>(argb));
                out.push_back(static_cast<std::uint8_t>(argb >> 8));
                out.push_back(static_cast<std::uint8_t>(argb >> 16));
                out.push_back(static_cast<std::uint8_t>(argb >> 24));
            }
        }
        // AND mask: 1 = transparent, rows padded to 32 bits.
        const std::uint32_t maskRowBytes = (side + 31) / 32 * 4;
        for (std::uint32_t row = side; row-- > 0;) {
            Bytes maskRow(maskRowBytes, 0);
            for (std::uint32_t x = 0; x < side; ++x)
                if ((picture.argb[row * side + x] >> 24) == 0)
                    maskRow[x / 8] = static_cast<std::uint8_t>(maskRow[x / 8] | 0x80 >> (x % 8));
            out.insert(out.end(), maskRow.begin(), maskRow.end());
        }
        SetIcoEntry(out, i, picture.side, out.size() - start, start);
    }
    return out;
}

void WriteFile(const std::string& path, const Bytes& bytes)
{
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (!file.flush())
        throw std::runtime_error("cannot write " + path);
}

}  // namespace tessel::bench
