#include "tests/support/test_host.h"

#include <gtest/gtest.h>

#include <dlfcn.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>

extern char** environ;

namespace tessel::test {

namespace fs = std::filesystem;

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
    copyPath_ = fs::temp_directory_path() / ("tessel-fresh-" + std::to_string(getpid()) + "-" +
                                             std::to_string(++copies) + ".qmp");
    fs::copy_file(TESSEL_MODULE_PATH, copyPath_, fs::copy_options::overwrite_existing);
    library_ = dlopen(copyPath_.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!library_ || !dlsym(library_, "PluginHeader"))
        throw std::runtime_error("cannot load a module copy");
}

FreshModule::~FreshModule()
{
    dlclose(library_);
    std::error_code ignored;
    fs::remove(copyPath_, ignored);
}

PluginFunction FreshModule::Lookup(const char* name) const
{
    return static_cast<const struct PluginHeader*>(dlsym(library_, "PluginHeader"))->lookup(name);
}

TempDir::TempDir()
{
    std::string pattern = (fs::temp_directory_path() / "tessel-test-XXXXXX").string();
    if (!mkdtemp(pattern.data()))
        throw std::runtime_error("cannot create a temporary directory");
    path_ = pattern;
}

TempDir::~TempDir()
{
    std::error_code ignored;
    fs::remove_all(path_, ignored);
}

bool FileExists(const std::string& path)
{
    std::error_code ignored;
    return fs::exists(path, ignored);
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
    if (!out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size())))
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
            return n - 1;
        }
        EXPECT_FALSE(ok) << "allocation " << n << " failed, yet the operation reported success";
        EXPECT_EQ(runtime::LiveBlocks(), before) << "blocks left behind when allocation " << n << " failed";
        if (testing::Test::HasFailure())
            return n;
    }
    ADD_FAILURE() << "the operation still allocated after " << maxRuns << " runs";
    return maxRuns;
}

ProcessResult RunProgram(const std::vector<std::string>& argv, const std::vector<std::string>& extraEnvironment,
                         const std::string& stdinPath)
{
    TempDir capture;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, stdinPath.c_str(), O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, capture.File("out").c_str(), O_WRONLY | O_CREAT, 0600);
    posix_spawn_file_actions_addopen(&actions, 2, capture.File("err").c_str(), O_WRONLY | O_CREAT, 0600);
    std::vector<std::string> environment;
    for (char** entry = environ; *entry; ++entry)
        environment.emplace_back(*entry);
    environment.insert(environment.end(), extraEnvironment.begin(), extraEnvironment.end());
    std::vector<char*> args, envp;
    for (const std::string& arg : argv)
        args.push_back(const_cast<char*>(arg.c_str()));
    for (std::string& entry : environment)
        envp.push_back(entry.data());
    args.push_back(nullptr);
    envp.push_back(nullptr);
    ProcessResult result;
    pid_t pid = 0;
    int spawned = argv.empty() ? ENOENT : posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
        ADD_FAILURE() << "cannot start " << (argv.empty() ? "nothing" : argv[0]) << ": " << std::strerror(spawned);
        return result;
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    // A signal (a crash) shows as an exit code no test expects.
    result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    for (auto [text, name] : {std::pair{&result.out, "out"}, {&result.err, "err"}}) {
        const Bytes bytes = ReadFileBytes(capture.File(name));
        text->assign(bytes.begin(), bytes.end());
    }
    return result;
}

ProcessResult RunTessel(std::vector<std::string> args, const std::vector<std::string>& extraEnvironment)
{
    args.insert(args.begin(), TESSEL_TOOL_PATH);
    std::vector<std::string> environment = {std::string("TESSEL_MODULE=") + TESSEL_MODULE_PATH};
    environment.insert(environment.end(), extraEnvironment.begin(), extraEnvironment.end());
    return RunProgram(args, environment);
}

std::set<std::string> DirectoryEntries(const std::string& directory)
{
    std::set<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(directory))
        names.insert(entry.path().filename().string());
    return names;
}

}  // namespace tessel::test
