// tessel-bench: each job of the module, run through the runtime the way the
// tool runs it, next to its floor (the least any program must spend on the
// same work: decoding or encoding the same PNG bytes directly with the PNG
// library, or reading the file one call per byte). Inputs are drawn and
// wrapped by bench_inputs.cpp on every run, identically.
//
//   tessel-bench                          every job, 9 interleaved repetitions
//   tessel-bench --benchmark_filter=ico   the usual Google Benchmark options
//   tessel-bench --write-inputs DIR       only write the inputs (for compare-peers)
//
// After the runs a table gives each job's median over its floor's median
// with the ratio it should stay under.
#include "bench/bench_inputs.h"

#include "plugin/format_table.h"
#include "plugin/plugin_abi.h"
#include "runtime/host_services.h"
#include "runtime/module.h"

#include <benchmark/benchmark.h>
#include <libdeflate.h>
#include <spng.h>
#include <zlib.h>

#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using tessel::bench::Bytes;
using tessel::bench::Picture;

constexpr std::uint32_t FORMAT_AMIGAOS = SaveFormatId("AMIGAOS");
constexpr std::uint32_t FORMAT_NEWICON = SaveFormatId("NEWICON");
constexpr std::uint32_t FORMAT_AMIGAOS35 = SaveFormatId("AMIGAOS35");
constexpr std::uint32_t FORMAT_AMIGAOS40 = SaveFormatId("AMIGAOS40");
constexpr std::uint32_t FORMAT_PNG = SaveFormatId("PNG");
constexpr std::uint32_t FORMAT_WINDOWS = SaveFormatId("WINDOWS");
constexpr std::uint32_t FORMAT_MACOS = SaveFormatId("MACOS");
static_assert(FORMAT_AMIGAOS && FORMAT_NEWICON && FORMAT_AMIGAOS35 && FORMAT_AMIGAOS40 && FORMAT_PNG &&
              FORMAT_WINDOWS && FORMAT_MACOS);

constexpr int SMALL_ICO_COUNT = 500;
constexpr int DEFAULT_REPETITIONS = 9;

// ---- Inputs -------------------------------------------------------------------

// A list of IconImage records over buffers this object owns.
class ImageList {
public:
    void AddArgb(const Picture& picture, std::uint32_t flags)
    {
        Owned& owned = images_.emplace_back();
        owned.pixels.resize(picture.argb.size() * 4);
        std::memcpy(owned.pixels.data(), picture.argb.data(), owned.pixels.size());
        Link(owned, picture.side, 32, -1, flags);
    }
    void AddPalette(const tessel::bench::PalettePicture& picture, std::int32_t depth, std::uint32_t flags)
    {
        Owned& owned = images_.emplace_back();
        owned.pixels = picture.indices;
        owned.palette = picture.palette;
        Link(owned, picture.side, depth, 0, flags);
    }
    IconImage* First() { return images_.empty() ? nullptr : &images_.front().image; }

private:
    struct Owned {
        std::vector<std::uint8_t> pixels;
        std::vector<std::uint32_t> palette;
        IconImage image{};
    };
    void Link(Owned& owned, std::int32_t side, std::int32_t depth, std::int32_t pen, std::uint32_t flags)
    {
        IconImage& image = owned.image;
        image.pixels = owned.pixels.data();
        image.width = side;
        image.height = side;
        image.depth = depth;
        image.flags = flags;
        image.palette = owned.palette.empty() ? nullptr : owned.palette.data();
        image.transparentPen = pen;
        if (images_.size() > 1)
            images_[images_.size() - 2].image.next = &image;
    }
    std::deque<Owned> images_;  // stable addresses
};

struct Inputs {
    std::string dir;

    // ICNS with ic07..ic10 PNG entries, and the PNG bytes of each entry.
    std::string icnsPng;
    std::vector<Bytes> icnsPngEntries;
    // The same four pictures as pixels, for the save job (the saved file
    // stores 128 as it32, the others as PNG).
    std::vector<Picture> icnsPictures;

    std::string icnsRle;
    std::string icoPng256;
    Bytes icoPng256Entry;
    std::string icoBmp7;
    std::vector<Picture> icoBmpPictures;
    std::vector<std::string> smallIcos;

    // One input per Amiga format, saved by the module from g_amigaList.
    std::map<std::uint32_t, std::string> amigaFiles;
};

Inputs g_inputs;
std::unique_ptr<tessel::runtime::Module> g_module;
IconAttributes g_amigaAttributes{};
ImageList g_icnsSaveList;
ImageList g_icoSaveList;
ImageList g_amigaList;

char g_defaultTool[] = "SYS:Utilities/MultiView";
char g_toolTypeA[] = "PUBSCREEN=Workbench";
char g_toolTypeB[] = "DONOTWAIT";
char* g_toolTypes[] = {g_toolTypeA, g_toolTypeB, nullptr};

std::string Save(const std::string& name, const Bytes& bytes)
{
    std::string path = g_inputs.dir + "/" + name;
    tessel::bench::WriteFile(path, bytes);
    return path;
}

void SaveWithModule(IconImage* first, std::uint32_t formatId, const std::string& path)
{
    const TagItem tags[] = {{SAVEICON_TAG_FORMAT, formatId},
                            {SAVEICON_TAG_ATTRIBUTES, reinterpret_cast<std::uintptr_t>(&g_amigaAttributes)},
                            {0, 0}};
    if (g_module->SaveIcon(path.c_str(), first, tags) != 1)
        throw std::runtime_error("the module cannot save " + path);
}

// The pictures the save jobs start from, as PNG files, for programs that
// take pictures rather than pixels (compare-peers).
void WritePictures(const std::string& dir)
{
    fs::create_directories(dir + "/pictures");
    for (const Picture& picture : g_inputs.icnsPictures)
        tessel::bench::WriteFile(dir + "/pictures/icns-" + std::to_string(picture.side) + ".png",
                                 tessel::bench::EncodePicture(picture));
    for (const Picture& picture : g_inputs.icoBmpPictures)
        tessel::bench::WriteFile(dir + "/pictures/ico-" + std::to_string(picture.side) + ".png",
                                 tessel::bench::EncodePicture(picture));
}

void MakeInputs(const std::string& dir)
{
    using namespace tessel::bench;
    g_inputs.dir = dir;

    const std::vector<std::int32_t> icnsSides = {128, 256, 512, 1024};
    for (std::size_t i = 0; i < icnsSides.size(); ++i) {
        g_inputs.icnsPictures.push_back(DrawPicture(icnsSides[i], 100 + static_cast<std::uint32_t>(i)));
        g_inputs.icnsPngEntries.push_back(EncodePicture(g_inputs.icnsPictures.back()));
    }
    g_inputs.icnsPng = Save("png-entries.icns", MakeIcnsWithPngs(g_inputs.icnsPngEntries, icnsSides));
    for (const Picture& picture : g_inputs.icnsPictures)
        g_icnsSaveList.AddArgb(picture, 0);

    std::vector<Picture> rlePictures;
    for (std::int32_t side : {16, 32, 48, 128})
        rlePictures.push_back(DrawPicture(side, 200 + static_cast<std::uint32_t>(side)));
    g_inputs.icnsRle = Save("run-length.icns", MakeIcnsWithRunLengths(rlePictures));

    g_inputs.icoPng256Entry = EncodePicture(DrawPicture(256, 300));
    g_inputs.icoPng256 = Save("png-256.ico", MakeIcoWithPngs({g_inputs.icoPng256Entry}, {256}));

    for (std::int32_t side : {16, 24, 32, 48, 64, 128, 256})
        g_inputs.icoBmpPictures.push_back(DrawPicture(side, 400 + static_cast<std::uint32_t>(side)));
    g_inputs.icoBmp7 = Save("bitmaps-7.ico", MakeIcoWithBitmaps(g_inputs.icoBmpPictures));
    for (const Picture& picture : g_inputs.icoBmpPictures)
        g_icoSaveList.AddArgb(picture, 0);

    fs::create_directories(dir + "/small-ico");
    for (int i = 0; i < SMALL_ICO_COUNT; ++i) {
        const auto seed = static_cast<std::uint32_t>(1000 + 2 * i);
        char name[64];
        std::snprintf(name, sizeof name, "small-ico/icon-%03d.ico", i);
        g_inputs.smallIcos.push_back(Save(name, MakeIcoWithBitmaps({DrawPicture(16, seed), DrawPicture(32, seed + 1)})));
    }

    // Amiga: a 48 x 48 normal and selected image, on a palette and in true
    // colour; each writer takes what its format stores.
    g_amigaAttributes.type = 3;  // tool
    g_amigaAttributes.posX = 10;
    g_amigaAttributes.posY = 20;
    g_amigaAttributes.stackSize = 8192;
    g_amigaAttributes.defaultTool = g_defaultTool;
    g_amigaAttributes.toolTypes = g_toolTypes;
    const Picture normal = DrawPicture(48, 500);
    const Picture selected = DrawPicture(48, 501);
    g_amigaList.AddPalette(ReducePicture(normal, 256), 8, IMAGEFLAG_PRIMARY);
    g_amigaList.AddPalette(ReducePicture(selected, 256), 8, IMAGEFLAG_SELECTED);
    g_amigaList.AddArgb(normal, 0);
    g_amigaList.AddArgb(selected, IMAGEFLAG_SELECTED);
    const std::pair<std::uint32_t, const char*> amigaFormats[] = {
        {FORMAT_AMIGAOS, "classic.info"}, {FORMAT_NEWICON, "newicons.info"}, {FORMAT_AMIGAOS35, "os35.info"},
        {FORMAT_AMIGAOS40, "os40.info"},  {FORMAT_PNG, "png-icon.info"},
    };
    for (const auto& [formatId, name] : amigaFormats) {
        std::string path = dir + "/" + name;
        SaveWithModule(g_amigaList.First(), formatId, path);
        g_inputs.amigaFiles[formatId] = path;
    }
}

// ---- Jobs -----------------------------------------------------------------------

// Loads a file through the module, reads the first and last byte of every
// image (so nothing is left unmaterialised), and frees the icon.
std::uint64_t LoadOnce(const std::string& path)
{
    IconAttributes attributes{};
    const TagItem tags[] = {{LOADICON_TAG_ATTRIBUTES, reinterpret_cast<std::uintptr_t>(&attributes)}, {0, 0}};
    IconHandle* icon = g_module->LoadIcon(path.c_str(), tags);
    if (!icon)
        throw std::runtime_error("the module cannot load " + path);
    std::uint64_t sum = 0;
    for (IconImage* image = g_module->GetIconImages(icon); image; image = image->next) {
        const std::size_t bytes =
            static_cast<std::size_t>(image->width) * static_cast<std::size_t>(image->height) * (image->depth > 8 ? 4 : 1);
        sum += image->pixels[0] + image->pixels[bytes - 1];
    }
    g_module->FreeIcon(icon);
    return sum;
}

// The floor of a PNG load: the PNG library decoding the bytes to RGBA, as
// the runtime asks it to.
std::uint64_t DecodePngDirectly(const Bytes& png, std::vector<std::uint8_t>& rgba)
{
    spng_ctx* ctx = spng_ctx_new(0);
    std::size_t size = 0;
    if (!ctx || spng_set_png_buffer(ctx, png.data(), png.size()) != 0 ||
        spng_decoded_image_size(ctx, SPNG_FMT_RGBA8, &size) != 0)
        throw std::runtime_error("spng cannot read a benchmark PNG");
    rgba.resize(size);
    if (spng_decode_image(ctx, rgba.data(), rgba.size(), SPNG_FMT_RGBA8, SPNG_DECODE_TRNS) != 0)
        throw std::runtime_error("spng cannot decode a benchmark PNG");
    spng_ctx_free(ctx);
    return rgba[size / 2];
}

// The floor of a PNG save: the runtime's PNG encoder on RGBA bytes, without
// the module, the conversion from ARGB words or any file.
std::size_t EncodePngDirectly(const std::vector<std::uint8_t>& rgba, std::int32_t side, Bytes& png)
{
    if (!tessel::runtime::EncodePngFromRgba(rgba.data(), side, side, png))
        throw std::runtime_error("cannot encode a benchmark picture");
    return png.size();
}

std::vector<std::uint8_t> ToRgba(const Picture& picture)
{
    std::vector<std::uint8_t> rgba;
    rgba.reserve(picture.argb.size() * 4);
    for (std::uint32_t argb : picture.argb) {
        rgba.push_back(static_cast<std::uint8_t>(argb >> 16));
        rgba.push_back(static_cast<std::uint8_t>(argb >> 8));
        rgba.push_back(static_cast<std::uint8_t>(argb));
        rgba.push_back(static_cast<std::uint8_t>(argb >> 24));
    }
    return rgba;
}

// The floor of a byte-by-byte reader: open the file through the host, fetch
// every byte with one HostGetC call through the HostApi table, close it.
std::uint64_t ReadByByte(const std::string& path)
{
    static const auto* table =
        reinterpret_cast<const PluginFunction*>(tessel::runtime::GetHostApi()->words[HOSTAPI_WORD_FILE]);
    static const auto open = reinterpret_cast<HostOpenFn>(table[HOST_FILE_OPEN]);
    static const auto getC = reinterpret_cast<HostGetCFn>(table[HOST_FILE_GETC]);
    static const auto close = reinterpret_cast<HostCloseFn>(table[HOST_FILE_CLOSE]);
    HostFile* file = open(path.c_str(), HOST_MODE_READ);
    if (!file)
        throw std::runtime_error("cannot open " + path);
    std::uint64_t sum = 0;
    for (std::int32_t c; (c = getC(file)) >= 0;)
        sum += static_cast<std::uint32_t>(c);
    close(file);
    return sum;
}

// Another floor for the same file: read it whole and copy each entry's
// pixels into a buffer of their own.
std::uint64_t ReadAndCopy(const std::string& path, std::vector<std::vector<std::uint8_t>>& copies)
{
    std::ifstream in(path, std::ios::binary);
    Bytes bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::size_t offset = 6 + 16 * g_inputs.icoBmpPictures.size();
    copies.resize(g_inputs.icoBmpPictures.size());
    for (std::size_t i = 0; i < copies.size(); ++i) {
        const std::size_t pixelBytes = g_inputs.icoBmpPictures[i].argb.size() * 4;
        copies[i].assign(bytes.begin() + static_cast<std::ptrdiff_t>(offset + 40),
                         bytes.begin() + static_cast<std::ptrdiff_t>(offset + 40 + pixelBytes));
        const auto side = static_cast<std::size_t>(g_inputs.icoBmpPictures[i].side);
        offset += 40 + pixelBytes + (side + 31) / 32 * 4 * side;
    }
    return copies.back()[0];
}

double Smallest(const std::vector<double>& v)
{
    return *std::min_element(v.begin(), v.end());
}

double Largest(const std::vector<double>& v)
{
    return *std::max_element(v.begin(), v.end());
}

// Every job reports its median, minimum and maximum over the repetitions.
template <typename Job>
void RegisterBenchmark(const std::string& name, Job job)
{
    benchmark::RegisterBenchmark(name.c_str(), job)
        ->ComputeStatistics("min", Smallest)
        ->ComputeStatistics("max", Largest)
        ->Unit(benchmark::kMicrosecond);
}

void RegisterJobs()
{
    using benchmark::State;
    const Inputs& in = g_inputs;
    const std::string out = in.dir + "/out";

    RegisterBenchmark("load/icns-png-ic07-ic10", [&in](State& state) {
        for (auto _ : state)
            benchmark::DoNotOptimize(LoadOnce(in.icnsPng));
    });
    RegisterBenchmark("floor/decode-pngs-ic07-ic10", [&in](State& state) {
        std::vector<std::uint8_t> rgba;
        for (auto _ : state)
            for (const Bytes& png : in.icnsPngEntries)
                benchmark::DoNotOptimize(DecodePngDirectly(png, rgba));
    });
    RegisterBenchmark("load/ico-png-256", [&in](State& state) {
        for (auto _ : state)
            benchmark::DoNotOptimize(LoadOnce(in.icoPng256));
    });
    RegisterBenchmark("floor/decode-png-256", [&in](State& state) {
        std::vector<std::uint8_t> rgba;
        for (auto _ : state)
            benchmark::DoNotOptimize(DecodePngDirectly(in.icoPng256Entry, rgba));
    });
    RegisterBenchmark("load/ico-bmp-7", [&in](State& state) {
        for (auto _ : state)
            benchmark::DoNotOptimize(LoadOnce(in.icoBmp7));
    });
    RegisterBenchmark("floor/read-by-byte-ico-bmp-7", [&in](State& state) {
        for (auto _ : state)
            benchmark::DoNotOptimize(ReadByByte(in.icoBmp7));
    });
    RegisterBenchmark("floor/read-copy-ico-bmp-7", [&in](State& state) {
        std::vector<std::vector<std::uint8_t>> copies;
        for (auto _ : state)
            benchmark::DoNotOptimize(ReadAndCopy(in.icoBmp7, copies));
    });
    RegisterBenchmark("load/icns-rle", [&in](State& state) {
        for (auto _ : state)
            benchmark::DoNotOptimize(LoadOnce(in.icnsRle));
    });
    RegisterBenchmark("save/icns-ic07-ic10", [out](State& state) {
        for (auto _ : state)
            SaveWithModule(g_icnsSaveList.First(), FORMAT_MACOS, out + ".icns");
    });
    RegisterBenchmark("floor/encode-pngs-ic08-ic10", [&in](State& state) {
        // The saved file stores 128 x 128 as it32/t8mk, the rest as PNG.
        std::vector<std::vector<std::uint8_t>> rgba;
        for (std::size_t i = 1; i < in.icnsPictures.size(); ++i)
            rgba.push_back(ToRgba(in.icnsPictures[i]));
        Bytes png;
        for (auto _ : state)
            for (std::size_t i = 0; i < rgba.size(); ++i)
                benchmark::DoNotOptimize(EncodePngDirectly(rgba[i], in.icnsPictures[i + 1].side, png));
    });
    RegisterBenchmark("save/ico-bmp-7", [out](State& state) {
        for (auto _ : state)
            SaveWithModule(g_icoSaveList.First(), FORMAT_WINDOWS, out + ".ico");
    });
    RegisterBenchmark("load/500-small-ico", [&in](State& state) {
        for (auto _ : state)
            for (const std::string& path : in.smallIcos)
                benchmark::DoNotOptimize(LoadOnce(path));
    });
    const std::pair<std::uint32_t, const char*> amigaJobs[] = {
        {FORMAT_AMIGAOS, "amigaos"}, {FORMAT_NEWICON, "newicon"}, {FORMAT_AMIGAOS35, "amigaos35"},
        {FORMAT_AMIGAOS40, "amigaos40"}, {FORMAT_PNG, "png-icon"},
    };
    for (const auto& [formatId, keyword] : amigaJobs) {
        const std::string path = in.amigaFiles.at(formatId);
        RegisterBenchmark(std::string("load/") + keyword, [path](State& state) {
            for (auto _ : state)
                benchmark::DoNotOptimize(LoadOnce(path));
        });
        const std::uint32_t id = formatId;
        RegisterBenchmark(std::string("save/") + keyword, [out, id](State& state) {
            for (auto _ : state)
                SaveWithModule(g_amigaList.First(), id, out + ".info");
        });
    }
}

// ---- Report ----------------------------------------------------------------------

// The console report, plus each run's median, minimum and maximum kept for
// the ratio table.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    struct Figures {
        double median = 0, min = 0, max = 0;
    };
    std::map<std::string, Figures> figures;

    void ReportRuns(const std::vector<Run>& runs) override
    {
        for (const Run& run : runs) {
            if (run.run_type != Run::RT_Aggregate)
                continue;
            Figures& f = figures[run.run_name.str()];
            const double seconds = run.GetAdjustedRealTime() * benchmark::GetTimeUnitMultiplier(run.time_unit);
            if (run.aggregate_name == "median")
                f.median = seconds;
            else if (run.aggregate_name == "min")
                f.min = seconds;
            else if (run.aggregate_name == "max")
                f.max = seconds;
        }
        ConsoleReporter::ReportRuns(runs);
    }
};

struct Pair {
    const char* job;
    const char* floor;
    double target;
};
constexpr Pair Pairs[] = {
    {"load/icns-png-ic07-ic10", "floor/decode-pngs-ic07-ic10", 1.10},
    {"load/ico-png-256", "floor/decode-png-256", 1.15},
    {"load/ico-bmp-7", "floor/read-by-byte-ico-bmp-7", 1.30},
    {"save/icns-ic07-ic10", "floor/encode-pngs-ic08-ic10", 1.05},
};

void PrintRatios(const RatioReporter& reporter)
{
    if (reporter.figures.empty()) {
        std::printf("\nno ratios: medians need at least two repetitions\n");
        return;
    }
    std::printf("\n%-26s %-30s %8s %8s  %s\n", "job", "floor", "ratio", "target", "");
    for (const Pair& pair : Pairs) {
        auto job = reporter.figures.find(pair.job);
        auto floor = reporter.figures.find(pair.floor);
        if (job == reporter.figures.end() || floor == reporter.figures.end() || floor->second.median <= 0)
            continue;
        const double ratio = job->second.median / floor->second.median;
        std::printf("%-26s %-30s %8.3f %8.2f  %s\n", pair.job, pair.floor, ratio, pair.target,
                    ratio <= pair.target ? "ok" : "OVER");
    }
}

std::string MachineLine()
{
    std::string cpu = "unknown processor";
    std::ifstream info("/proc/cpuinfo");
    for (std::string line; std::getline(info, line);)
        if (line.rfind("model name", 0) == 0) {
            cpu = line.substr(line.find(':') + 2);
            break;
        }
    utsname names{};
    uname(&names);
    return cpu + ", " + std::to_string(sysconf(_SC_NPROCESSORS_ONLN)) + " cores, " + names.sysname + " " +
           names.release + ", spng " + std::to_string(SPNG_VERSION_MAJOR) + "." +
           std::to_string(SPNG_VERSION_MINOR) + "." + std::to_string(SPNG_VERSION_PATCH) + ", zlib " + zlibVersion() + ", libdeflate " + LIBDEFLATE_VERSION_STRING;
}

bool HasOption(int argc, char** argv, const char* prefix)
{
    for (int i = 1; i < argc; ++i)
        if (std::strncmp(argv[i], prefix, std::strlen(prefix)) == 0)
            return true;
    return false;
}

}  // namespace

int main(int argc, char** argv)
{
    std::string writeInputs;
    std::string modulePath = tessel::runtime::DefaultModulePath();
    std::vector<char*> args = {argv[0]};
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--write-inputs") == 0 && i + 1 < argc)
            writeInputs = argv[++i];
        else if (std::strcmp(argv[i], "--module") == 0 && i + 1 < argc)
            modulePath = argv[++i];
        else if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            std::printf("usage: tessel-bench [--module PATH] [--write-inputs DIR] [Google Benchmark options]\n\n"
                        "Runs every job next to its floor (9 interleaved repetitions unless\n"
                        "--benchmark_repetitions says otherwise) and prints the ratios.\n"
                        "--write-inputs DIR writes the generated inputs into DIR, with the pictures\n"
                        "the save jobs start from as PNG files in DIR/pictures, and exits.\n");
            return 0;
        } else
            args.push_back(argv[i]);
    }
    // Defaults that make the figures comparable: repetitions interleaved so
    // that a job and its floor see the same machine, medians reported.
    static std::string repetitions = "--benchmark_repetitions=" + std::to_string(DEFAULT_REPETITIONS);
    static char interleave[] = "--benchmark_enable_random_interleaving=true";
    static char aggregates[] = "--benchmark_report_aggregates_only=true";
    if (!HasOption(static_cast<int>(args.size()), args.data(), "--benchmark_repetitions"))
        args.push_back(repetitions.data());
    if (!HasOption(static_cast<int>(args.size()), args.data(), "--benchmark_enable_random_interleaving"))
        args.push_back(interleave);
    if (!HasOption(static_cast<int>(args.size()), args.data(), "--benchmark_report_aggregates_only"))
        args.push_back(aggregates);
    int count = static_cast<int>(args.size());
    args.push_back(nullptr);
    benchmark::Initialize(&count, args.data());
    if (benchmark::ReportUnrecognizedArguments(count, args.data()))
        return 2;

    std::string error;
    g_module = tessel::runtime::Module::Open(modulePath, &error);
    if (!g_module) {
        std::fprintf(stderr, "tessel-bench: cannot load the module %s: %s\n", modulePath.c_str(), error.c_str());
        return 1;
    }
    // The tool runs without scratch poisoning and keeps picture buffers on
    // the heap between uses; so do the measurements, jobs and floors alike.
    tessel::runtime::SetPoisonScratch(false);
    tessel::runtime::KeepPictureBuffersOnHeap();

    std::string dir = writeInputs;
    bool temporary = false;
    if (dir.empty()) {
        // In memory (tmpfs) when the machine has one, so that what is timed
        // is the program and not the disk's journal; compare-peers does the
        // same for every peer.
        std::string pattern = access("/dev/shm", W_OK) == 0 ? "/dev/shm/tessel-bench-XXXXXX" : "/tmp/tessel-bench-XXXXXX";
        if (!mkdtemp(pattern.data())) {
            std::perror("tessel-bench: mkdtemp");
            return 1;
        }
        dir = pattern;
        temporary = true;
    }
    try {
        fs::create_directories(dir);
        MakeInputs(dir);
        if (!writeInputs.empty())
            WritePictures(dir);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "tessel-bench: %s\n", e.what());
        return 1;
    }
    if (!writeInputs.empty()) {
        std::printf("inputs written to %s\n", dir.c_str());
        return 0;
    }

    benchmark::AddCustomContext("machine", MachineLine());
    RegisterJobs();
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    PrintRatios(reporter);
    benchmark::Shutdown();
    if (temporary)
        fs::remove_all(dir);
    return 0;
}
