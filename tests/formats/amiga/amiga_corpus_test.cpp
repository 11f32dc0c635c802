// Every DiskObject icon of the corpus, loaded through the module and judged
// against the corpus catalogue (SOURCES.tsv), which describes each file's
// gadget, classic images, NewIcons images and icon chunks in its own words.
#include "tests/support/test_host.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>

namespace {

using tessel::test::SharedModule;
namespace rt = tessel::runtime;

constexpr int ANY_DEPTH = -1;

struct ImageShape {
    int width;
    int height;
    int depth;
    bool operator==(const ImageShape& other) const
    {
        return width == other.width && height == other.height &&
               (depth == other.depth || depth == ANY_DEPTH || other.depth == ANY_DEPTH);
    }
};

std::ostream& operator<<(std::ostream& out, const ImageShape& s)
{
    return out << s.width << "x" << s.height << "/" << s.depth;
}

struct Expected {
    bool loads = true;
    std::vector<ImageShape> images;
};

int BitsForColourCount(int colours)
{
    int bits = 1;
    while (bits < 8 && (1 << bits) < colours)
        ++bits;
    return bits;
}

// What the catalogue's summary says the reader must find, for example
// "gadget 42x46, depth 3/3, 2 images, ..., NewIcons 36x40 7c B IM2" or
// "FORM FACE,IMAG,ARGB IMAG[d8 imgP palP] 53x60".
Expected FromSummary(const std::string& summary)
{
    Expected e;
    std::smatch m;
    if (summary.find("tooltype text cut short") != std::string::npos)
        e.loads = false;
    int gadgetWidth = 0, gadgetHeight = 0;
    if (std::regex_search(summary, m, std::regex(R"(gadget (\d+)x(\d+))"))) {
        gadgetWidth = std::stoi(m[1]);
        gadgetHeight = std::stoi(m[2]);
    }
    std::vector<int> depths;
    if (std::regex_search(summary, m, std::regex(R"(depth (\d+)(?:/(\d+))?)"))) {
        depths.push_back(std::stoi(m[1]));
        if (m[2].matched)
            depths.push_back(std::stoi(m[2]));
    }
    int classic = 1;
    if (std::regex_search(summary, m, std::regex(R"((\d+) images?)")))
        classic = std::stoi(m[1]);
    for (int i = 0; i < classic && gadgetWidth > 0 && gadgetHeight > 0; ++i)
        e.images.push_back({gadgetWidth, gadgetHeight, depths.at(std::min<std::size_t>(i, depths.size() - 1))});

    // NewIcons lines count only after the " " line and the marker.
    bool markerUsable = summary.find("marker without") == std::string::npos;
    if (markerUsable && std::regex_search(summary, m, std::regex(R"(NewIcons (\d+)x(\d+) (\d+)c [BC]( IM2)?)"))) {
        int colours = std::stoi(m[3]);
        ImageShape shape{std::stoi(m[1]), std::stoi(m[2]), colours > 256 ? 8 : BitsForColourCount(colours)};
        e.images.push_back(shape);
        // The catalogue gives the colours of the first image only: the
        // selected image's depth is not known from it.
        if (m[4].matched)
            e.images.push_back({shape.width, shape.height, ANY_DEPTH});
    }

    if (std::regex_search(summary, m, std::regex(R"(FORM ([A-Z,]+)(?: IMAG\[([^\]]*)\])? (\d+)x(\d+))"))) {
        std::string chunks = m[1];
        std::string imagDetails = m[2];
        int width = std::stoi(m[3]), height = std::stoi(m[4]);
        std::vector<int> imagDepths;
        std::regex depthPattern(R"(d(\d+))");
        for (auto it = std::sregex_iterator(imagDetails.begin(), imagDetails.end(), depthPattern);
             it != std::sregex_iterator(); ++it)
            imagDepths.push_back(std::stoi((*it)[1]));
        std::size_t imag = 0;
        std::stringstream list(chunks);
        for (std::string chunk; std::getline(list, chunk, ',');) {
            if (chunk == "IMAG")
                e.images.push_back({width, height, imagDepths.at(imag++)});
            else if (chunk == "ARGB")
                e.images.push_back({width, height, 32});
        }
    }
    return e;
}

std::map<std::string, std::string> CatalogueOfDiskObjects()
{
    std::map<std::string, std::string> catalogue;
    std::ifstream tsv(std::string(TESSEL_CORPUS_DIR) + "/SOURCES.tsv");
    for (std::string line; std::getline(tsv, line);) {
        std::vector<std::string> columns;
        std::stringstream fields(line);
        for (std::string field; std::getline(fields, field, '\t');)
            columns.push_back(field);
        if (columns.size() > 4 && columns[4].rfind("amiga-diskobject:", 0) == 0)
            catalogue[columns[0]] = columns[4];
    }
    return catalogue;
}

// FNV-1a over every image's pixel bytes and, for palette images, the first
// 2^depth palette entries: a fingerprint of what a user would see.
std::uint64_t Fingerprint(IconImage* first)
{
    std::uint64_t hash = 0xCBF29CE484222325ull;
    auto mix = [&](std::uint8_t byte) { hash = (hash ^ byte) * 0x100000001B3ull; };
    for (IconImage* image = first; image; image = image->next) {
        std::size_t bytes = std::size_t(image->width) * image->height * (image->depth > 8 ? 4 : 1);
        for (std::size_t i = 0; i < bytes; ++i)
            mix(image->pixels[i]);
        if (image->palette) {
            for (int i = 0; i < (1 << image->depth); ++i)
                for (int shift = 0; shift < 32; shift += 8)
                    mix(static_cast<std::uint8_t>(image->palette[i] >> shift));
        }
    }
    return hash;
}

// Fingerprints of icons whose extracted pictures were inspected by eye on a
// contact sheet (classic, NewIcons, palette and true-colour chunk images),
// recorded so that any change to what they decode to is noticed.
const std::map<std::string, std::uint64_t> InspectedFingerprints = {
#include "amiga_corpus_fingerprints.inc"
};

TEST(AmigaCorpus, EveryDiskObjectLoadsAsCatalogued)
{
    std::map<std::string, std::string> catalogue = CatalogueOfDiskObjects();
    ASSERT_GT(catalogue.size(), 60u);
    std::size_t loaded = 0;
    for (const auto& [file, summary] : catalogue) {
        SCOPED_TRACE(file + ": " + summary);
        Expected expected = FromSummary(summary);
        std::string path = std::string(TESSEL_CORPUS_DIR) + "/" + file;
        IconAttributes attributes{};
        const TagItem tags[] = {{LOADICON_TAG_ATTRIBUTES, reinterpret_cast<std::uintptr_t>(&attributes)}, {0, 0}};
        IconHandle* icon = SharedModule().LoadIcon(path.c_str(), tags);
        if (!expected.loads) {
            EXPECT_EQ(icon, nullptr);
            EXPECT_EQ(rt::LiveBlocks(), 0);
            continue;
        }
        ASSERT_NE(icon, nullptr);
        ++loaded;
        std::vector<ImageShape> got;
        int primaries = 0;
        for (IconImage* image = SharedModule().GetIconImages(icon); image; image = image->next) {
            got.push_back({image->width, image->height, image->depth});
            primaries += (image->flags & IMAGEFLAG_PRIMARY) ? 1 : 0;
        }
        EXPECT_EQ(got, expected.images);
        EXPECT_EQ(primaries, got.empty() ? 0 : 1);
        // TESSEL_PRINT_FINGERPRINTS=1 prints the table rows afresh, to be
        // pasted only after the new pictures have been inspected.
        if (std::getenv("TESSEL_PRINT_FINGERPRINTS")) {
            std::printf("    {\"%s\", 0x%016llXull},\n", file.c_str(),
                        static_cast<unsigned long long>(Fingerprint(SharedModule().GetIconImages(icon))));
        }
        if (auto inspected = InspectedFingerprints.find(file); inspected != InspectedFingerprints.end()) {
            EXPECT_EQ(Fingerprint(SharedModule().GetIconImages(icon)), inspected->second);
        }
        SharedModule().FreeIcon(icon);
        EXPECT_EQ(rt::LiveBlocks(), 0);
    }
    EXPECT_GT(loaded, 60u);
}

}  // namespace
