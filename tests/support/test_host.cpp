#include "tests/support/test_host.h"

#include <gtest/gtest.h>

#include <dlfcn.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace tessel::test {

runtime::Module& SharedModule()
{
    static std::unique_ptr<runtime::Module> module = [] {
        std::string error;
        auto opened = runtime::Module::Open(TESSEL_MODULE_PATH, &error);
        if (!opened)
            throw std::runtime_error("cannot open the module: " + error);
        return opened;
    }();
    return *module;
}

FreshModule::FreshModule()
{
    static int copies = 0;
    copyPath_ = std::filesystem::temp_directory_path() /
                ("tessel-fresh-" + std::to_string(getpid()) + "-" + std::to_string(++copies) + ".qmp");
    std::filesystem::copy_file(TESSEL_MODULE_PATH, copyPath_,
                               std::filesystem::copy_options::overwrite_existing);
    library_ = dlopen(copyPath_.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!library_)
        throw std::runtime_error(std::string("cannot load a module copy: ") + dlerror());
    header_ = static_cast<const struct PluginHeader*>(dlsym(library_, "PluginHeader"));
    if (!header_)
        throw std::runtime_error("module copy has no PluginHeader");
}

FreshModule::~FreshModule()
{
    if (library_)
        dlclose(library_);
    std::error_code ignored;
    std::filesystem::remove(copyPath_, ignored);
}

PluginFunction FreshModule::Lookup(const char* name) const
{
    return header_->lookup(name);
}

TempDir::TempDir()
{
    std::string pattern = (std::filesystem::temp_directory_path() / "tessel-test-XXXXXX").string();
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (!mkdtemp(buffer.data()))
        throw std::runtime_error("cannot create a temporary directory");
    path_ = buffer.data();
}

TempDir::~TempDir()
{
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

bool FileExists(const std::string& path)
{
    std::error_code ignored;
    return std::filesystem::exists(path, ignored);
}

Bytes ReadFileBytes(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw std::runtime_error("cannot read " + path);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteFileBytes(const std::string& path, const Bytes& bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (!out)
        throw std::runtime_error("cannot write " + path);
}

IconHandle* LoadBytes(const Bytes& bytes, IconAttributes* attributes)
{
    // Open the module first: its start is an entry-point call, and the memory
    // files registered before a call are forgotten when that call ends.
    runtime::Module& module = SharedModule();
    std::string name = runtime::RegisterMemFile(bytes.data(), bytes.size(), "bin");
    const TagItem tags[] = {{LOADICON_TAG_ATTRIBUTES, reinterpret_cast<std::uintptr_t>(attributes)}, {0, 0}};
    return module.LoadIcon(name.c_str(), tags);
}

std::uint64_t SweepAllocationFailures(const std::function<bool()>& operation, std::uint64_t maxRuns)
{
    std::uint64_t failedRuns = 0;
    for (std::uint64_t n = 1; n <= maxRuns; ++n) {
        std::int64_t before = runtime::LiveBlocks();
        runtime::MemoryFaults faults;
        faults.failNth = n;
        runtime::SetMemoryFaults(faults);
        bool ok = operation();
        bool fired = runtime::MemoryFaultFired();
        runtime::ClearMemoryFaults();
        if (!fired) {
            EXPECT_TRUE(ok) << "the run with no injected failure (n = " << n << ") failed";
            return failedRuns;
        }
        ++failedRuns;
        EXPECT_FALSE(ok) << "allocation " << n << " failed, yet the operation reported success";
        EXPECT_EQ(runtime::LiveBlocks(), before) << "blocks left behind when allocation " << n << " failed";
        if (testing::Test::HasFailure())
            return failedRuns;
    }
    ADD_FAILURE() << "the operation still allocated after " << maxRuns << " runs";
    return failedRuns;
}

}  // namespace tessel::test
