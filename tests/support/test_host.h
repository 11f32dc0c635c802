// What the tests share: the real module loaded by the runtime, files in
// memory and on disk, and the allocation-failure sweep.
#pragma once

#include "plugin/plugin_abi.h"
#include "runtime/host_services.h"
#include "runtime/module.h"
#include "tests/support/byte_builders.h"

#include <cstdint>
#include <functional>
#include <set>
#include <string>
#include <vector>

namespace tessel::test {

// The module built with the tests, opened once per test program through the
// runtime with the runtime's own HostApi.
runtime::Module& SharedModule();

// A private copy of the module with its own globals, loaded without calling
// InitPlugin: the module before it was given a HostApi, or given another.
class FreshModule {
public:
    FreshModule();
    ~FreshModule();
    FreshModule(const FreshModule&) = delete;
    FreshModule& operator=(const FreshModule&) = delete;
    PluginFunction Lookup(const char* name) const;
    template <typename Fn>
    Fn Entry(const char* name) const { return reinterpret_cast<Fn>(Lookup(name)); }

private:
    std::string copyPath_;
    void* library_ = nullptr;
};

// A directory under the system's temporary folder, removed with its contents.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& Path() const { return path_; }
    std::string File(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

bool FileExists(const std::string& path);
Bytes ReadFileBytes(const std::string& path);
void WriteFileBytes(const std::string& path, const Bytes& bytes);

// Loads bytes through the shared module from a memory file.
IconHandle* LoadBytes(const Bytes& bytes, IconAttributes* attributes = nullptr);

// Runs operation with the 1st, 2nd, ... allocation failing, until a run in
// which no injected failure fired. Each failing run must report failure and
// leave no more live blocks than before it; the last run must succeed. The
// operation returns true on success and releases what it made on success.
// Returns the number of runs that failed by injection.
std::uint64_t SweepAllocationFailures(const std::function<bool()>& operation, std::uint64_t maxRuns = 1000000);

// Running programs: the tool itself and the independent tools that judge it.
struct ProcessResult {
    int exitCode = -1;      // 128 + the signal when the program was killed
    std::string out;
    std::string err;
};

// Runs argv (found on PATH when not a path) with stdin from stdinPath and
// stdout and stderr into files, so that no pipe can fill and stall it. The
// environment is this process's plus extraEnvironment.
ProcessResult RunProgram(const std::vector<std::string>& argv, const std::vector<std::string>& extraEnvironment = {},
                         const std::string& stdinPath = "/dev/null");
// Runs the tessel tool built with the tests, on the module built with them.
ProcessResult RunTessel(std::vector<std::string> args, const std::vector<std::string>& extraEnvironment = {});
std::set<std::string> DirectoryEntries(const std::string& directory);

}  // namespace tessel::test
