// Every file of the corpus, loaded and saved in every format, against the
// table tests/data/corpus-fingerprints.tsv: what the load gives and a hash of
// the bytes of each save. How the table was checked is written at its top.
// TESSEL_RECORD_FINGERPRINTS=1 writes the table afresh (keeping its comment);
// look at what changed before committing it.
#include "plugin/format_table.h"
#include "tests/support/host_images.h"
#include "tests/support/test_host.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>

namespace {

using namespace tessel::test;

const std::string TablePath = std::string(TESSEL_SOURCE_DIR) + "/tests/data/corpus-fingerprints.tsv";

// One row: the file, its load, then each save format's hash or "-".
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
        char hash[20];
        std::snprintf(hash, sizeof hash, "\t%016llX", static_cast<unsigned long long>(Fnv(saved.data(), saved.size())));
        row += hash;
        // What was written loads again.
        LoadedIcon again(path);
        EXPECT_NE(again.icon, nullptr) << format.keyword;
    }
    return row;
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
    if (record)
        std::ofstream(TablePath) << header << rows;
}

}  // namespace
