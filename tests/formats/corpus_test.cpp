// Every file of the corpus, loaded and saved in every format, against the
// table tests/data/corpus-fingerprints.tsv: what the load gives and a hash of
// the bytes of each save. How the table was checked is written at its top.
// TESSEL_RECORD_FINGERPRINTS=1 writes the table afresh (keeping its comment);
// look at what changed before committing it.
#include "plugin/format_table.h"
#include "tests/support/host_images.h"
#include "tests/support/test_host.h"
#include "tool/commands.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <tuple>

namespace {

using namespace tessel::test;

const std::string TablePath = std::string(TESSEL_SOURCE_DIR) + "/tests/data/corpus-fingerprints.tsv";

std::string Hex(std::uint64_t hash)
{
    char text[20];
    std::snprintf(text, sizeof text, "\t%016llX", static_cast<unsigned long long>(hash));
    return text;
}

// The same file through the tool, run in-process from the corpus folder so
// that the names it prints do not depend on where the corpus lies: per command
// line, one hash over its status, what it printed (the output folder written
// as "$D") and the names and bytes of every file it wrote.
const char* const ToolLines[] = {
    "check $F", "info $F", "info $F --json", "preview $F -o $D/sheet.png", "extract $F -o $D",
    "convert $F -f WINDOWS --resize -o $D/c", "convert $F -f MACOS --resize -o $D/c", "convert $F -f NEWICON --resize -o $D/c",
};

std::string ToolColumns(const std::string& file)
{
    std::string columns;
    for (const char* line : ToolLines) {
        TempDir dir;
        std::vector<std::string> args = {"--module", TESSEL_MODULE_PATH};
        std::istringstream words(line);
        for (std::string word; words >> word;)
            args.push_back(word == "$F" ? file : word.starts_with("$D") ? dir.Path() + word.substr(2) : word);
        std::ostringstream out, err;
        const int status = tessel::tool::RunTool(args, out, err);
        std::string text = std::to_string(status) + out.str() + err.str();
        for (std::size_t at; (at = text.find(dir.Path())) != std::string::npos;)
            text.replace(at, dir.Path().size(), "$D");
        std::uint64_t hash = Fnv(text.data(), text.size());
        for (const std::string& name : DirectoryEntries(dir.Path())) {
            Bytes bytes = ReadFileBytes(dir.File(name));
            hash = Fnv(bytes.data(), bytes.size(), Fnv(name.data(), name.size(), hash));
        }
        columns += Hex(hash);
    }
    return columns;
}

// How the file's copies cut short load: cut at every length of its first 96
// and last 48 bytes and at every 64th of it, one hash over what each load
// gives ("-" for files over 64 KiB, whose pictures take long to decode).
std::string TruncationsColumn(const Bytes& bytes)
{
    if (bytes.size() > 65536)
        return "\t-";
    std::uint64_t hash = Fnv(nullptr, 0);
    for (std::size_t n = 0; n < bytes.size(); ++n) {
        if (n >= 96 && n + 48 < bytes.size() && n % (bytes.size() / 64) != 0)
            continue;
        SharedModule();
        LoadedIcon loaded(tessel::runtime::RegisterMemFile(bytes.data(), n, "cut"));
        const std::string seen = DescribeLoad(loaded);
        hash = Fnv(seen.data(), seen.size(), hash);
    }
    return Hex(hash);
}

// One row: the file, its load, then each save format's hash or "-", then how
// its cut copies load, then the tool's columns.
std::string RowOf(const std::string& file, std::uint32_t compress, const TempDir& dir)
{
    LoadedIcon loaded(CorpusPath(file));
    std::string row = file + "\t" + DescribeLoad(loaded);
    for (const SaveFormatRow& format : SaveFormatTable) {
        std::string path = dir.File(std::string("saved.") + format.extension);
        if (!loaded.icon || SaveWith(path, loaded.images, format.formatId, &loaded.attributes, compress) != 1) {
            row += "\t-";
            continue;
        }
        Bytes saved = ReadFileBytes(path);
        row += Hex(Fnv(saved.data(), saved.size()));
        // What was written loads again; disks and the trash keep their window as drawers do.
        LoadedIcon again(path);
        EXPECT_NE(again.icon, nullptr) << format.keyword;
        const IconAttributes& a = again.attributes;
        const IconAttributes& b = loaded.attributes;
        if (format.carriesAttributes && (b.type == ICON_TYPE_DISK || b.type == ICON_TYPE_GARBAGE)) {
            EXPECT_EQ(std::tie(a.drawerLeft, a.drawerTop, a.drawerWidth, a.drawerHeight, a.viewMode, a.showAll),
                      std::tie(b.drawerLeft, b.drawerTop, b.drawerWidth, b.drawerHeight, b.viewMode, b.showAll));
        }
    }
    return row + TruncationsColumn(ReadFileBytes(CorpusPath(file))) + ToolColumns(file);
}

TEST(Corpus, EveryFileLoadsAndSavesAsRecorded)
{
    std::map<std::string, std::string> recorded;
    std::string header;
    std::ifstream table(TablePath);
    for (std::string line; std::getline(table, line);) {
        if (line.empty() || line[0] == '#')
            header += line + "\n";
        else
            recorded[line.substr(0, line.find('\t'))] = line;
    }
    const bool record = std::getenv("TESSEL_RECORD_FINGERPRINTS") != nullptr;
    std::string rows;
    TempDir dir;
    std::vector<std::string> files = CorpusFiles();
    const std::filesystem::path startedIn = std::filesystem::current_path();
    std::filesystem::current_path(CorpusPath(""));
    ASSERT_GT(files.size(), 160u);
    for (std::size_t i = 0; i < files.size(); ++i) {
        SCOPED_TRACE(files[i]);
        // Every other file is saved with compression asked for.
        std::string row = RowOf(files[i], i % 2, dir);
        rows += row + "\n";
        if (!record) {
            EXPECT_EQ(row, recorded[files[i]]);
        }
        EXPECT_EQ(tessel::runtime::LiveBlocks(), 0);
    }
    std::filesystem::current_path(startedIn);
    if (record)
        std::ofstream(TablePath) << header << rows;
}

// PNG icons with a selected picture after the normal one: a save as PNG icon keeps both.
TEST(Corpus, TwoPicturePngIconsKeepBothThroughASave)
{
    auto pictures = [](IconImage* first) {   // each image's size, state and pixels as a viewer sees them
        std::vector<std::vector<std::uint32_t>> out;
        for (const IconImage* i : ImagesOf(first))
            out.push_back({std::uint32_t(i->width), std::uint32_t(i->height), i->flags & IMAGEFLAG_SELECTED}),
                out.push_back(SeenPixels(*i));
        return out;
    };
    TempDir dir;
    int twoPictures = 0;
    for (const std::string& file : CorpusFiles()) {
        const Bytes head = ReadFileBytes(CorpusPath(file));
        LoadedIcon loaded(CorpusPath(file));
        if (head.size() < 4 || head[1] != 'P' || ImagesOf(loaded.images).size() != 2)
            continue;
        ASSERT_EQ(SaveWith(dir.File("a"), loaded.images, FORMAT_PNG, &loaded.attributes), 1) << file;
        LoadedIcon again(dir.File("a"));
        EXPECT_EQ(pictures(again.images), pictures(loaded.images)) << file;
        ++twoPictures;
    }
    EXPECT_EQ(twoPictures, 11);
}

}  // namespace
