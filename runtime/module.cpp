#include "runtime/module.h"

#include "runtime/host_services.h"

#include <dlfcn.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <cstring>

namespace tessel::runtime {

namespace {

// Every entry-point call ends with the memory files it registered forgotten,
// so a name handed out in one call can never reach memory in the next. It
// begins with no library fault, so one noted belongs to this call.
struct CallScope {
    CallScope() { ClearHostFault(); }
    CallScope(const CallScope&) = delete;
    CallScope& operator=(const CallScope&) = delete;
    ~CallScope() { ClearCallMemFiles(); }
};

constexpr int MAX_SAVE_FORMATS = 64;

}  // namespace

std::unique_ptr<Module> Module::Open(const std::string& path, std::string* error, const HostApi* api)
{
    auto fail = [&](const std::string& why) -> std::unique_ptr<Module> {
        if (error)
            *error = why;
        return nullptr;
    };
    std::unique_ptr<Module> module(new Module());
    module->library_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!module->library_) {
        const char* why = dlerror();
        return fail(std::string("cannot load module: ") + (why ? why : path));
    }
    void* symbol = dlsym(module->library_, "PluginHeader");
    if (!symbol)
        return fail(path + ": not a module (no PluginHeader)");
    module->header_ = static_cast<const struct PluginHeader*>(symbol);
    return Start(std::move(module), path, error, api);
}

std::unique_ptr<Module> Module::Linked(const struct PluginHeader* header, std::string* error)
{
    std::unique_ptr<Module> module(new Module());
    module->header_ = header;
    return Start(std::move(module), "the linked module", error, nullptr);
}

std::unique_ptr<Module> Module::Start(std::unique_ptr<Module> module, const std::string& path, std::string* error,
                                      const HostApi* api)
{
    auto fail = [&](const std::string& why) -> std::unique_ptr<Module> {
        if (error)
            *error = why;
        return nullptr;
    };
    if (std::memcmp(module->header_->magic, PLUGIN_MAGIC, sizeof PLUGIN_MAGIC) != 0)
        return fail(path + ": not a module (bad header magic)");
    if (module->header_->headerVersion != PLUGIN_HEADER_VERSION)
        return fail(path + ": unsupported header version " + std::to_string(module->header_->headerVersion));
    if (!module->header_->lookup)
        return fail(path + ": header has no lookup routine");

    Module& m = *module;
    m.init_ = reinterpret_cast<InitPluginFn>(m.Lookup("InitPlugin"));
    m.close_ = reinterpret_cast<ClosePluginFn>(m.Lookup("ClosePlugin"));
    m.load_ = reinterpret_cast<LoadIconFn>(m.Lookup("LoadIcon"));
    m.getImages_ = reinterpret_cast<GetIconImagesFn>(m.Lookup("GetIconImages"));
    m.free_ = reinterpret_cast<FreeIconFn>(m.Lookup("FreeIcon"));
    m.registerSaver_ = reinterpret_cast<RegisterIconSaverFn>(m.Lookup("RegisterIconSaver"));
    m.save_ = reinterpret_cast<SaveIconFn>(m.Lookup("SaveIcon"));
    if (!m.init_ || !m.close_ || !m.load_ || !m.getImages_ || !m.free_ || !m.registerSaver_ || !m.save_)
        return fail(path + ": module lacks an entry point");

    m.info_.hostVersion = static_cast<std::uint32_t>(HOST_INTERFACE_VERSION);
    if (!m.InitPlugin(&m.info_, api ? api : GetHostApi()))
        return fail(path + ": module refused to start");
    return module;
}

Module::~Module()
{
    if (close_)
        ClosePlugin();
    if (library_)
        dlclose(library_);
}

PluginFunction Module::Lookup(const char* name) const
{
    return header_->lookup(name);
}

std::int32_t Module::InitPlugin(PluginInfo* info, const HostApi* api)
{
    CallScope scope;
    return init_(info, api);
}

void Module::ClosePlugin()
{
    CallScope scope;
    close_();
}

IconHandle* Module::LoadIcon(const char* name, const TagItem* tags)
{
    CallScope scope;
    return load_(name, tags);
}

IconImage* Module::GetIconImages(IconHandle* icon)
{
    CallScope scope;
    return getImages_(icon);
}

void Module::FreeIcon(IconHandle* icon)
{
    CallScope scope;
    free_(icon);
}

void Module::RegisterIconSaver(IconSaverInfo* info)
{
    CallScope scope;
    registerSaver_(info);
}

std::int32_t Module::SaveIcon(const char* name, IconImage* first, const TagItem* tags)
{
    CallScope scope;
    return save_(name, first, tags);
}

std::vector<SaveFormat> Module::SaveFormats()
{
    std::vector<SaveFormat> formats;
    IconSaverInfo saver{};
    for (int turn = 0; turn < MAX_SAVE_FORMATS; ++turn) {
        RegisterIconSaver(&saver);
        if (saver.formatId == 0 || !saver.keyword)
            break;
        SaveFormat format;
        format.keyword = saver.keyword;
        format.formatId = saver.formatId;
        for (const RegisteredFormat& registered : RegisteredFormats()) {
            if (registered.formatId == saver.formatId) {
                format.displayName = registered.displayName;
                format.extension = registered.extension;
            }
        }
        formats.push_back(format);
        if (!saver.hasMore)
            break;
    }
    return formats;
}

std::string DefaultModulePath()
{
    if (const char* fromEnvironment = std::getenv("TESSEL_MODULE"); fromEnvironment && *fromEnvironment)
        return fromEnvironment;
    char self[PATH_MAX];
    ssize_t length = readlink("/proc/self/exe", self, sizeof self);
    if (length <= 0)
        return "tessel.qmp";
    std::string path(self, static_cast<std::size_t>(length));
    std::size_t slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
    // Beside the program in a build; in lib/tessel beside its bin once installed.
    const std::string installed = folder + "../" + TESSEL_INSTALL_LIBDIR + "/tessel/tessel.qmp";
    if (::access((folder + "tessel.qmp").c_str(), F_OK) != 0 && ::access(installed.c_str(), F_OK) == 0)
        return installed;
    return folder + "tessel.qmp";
}

}  // namespace tessel::runtime
