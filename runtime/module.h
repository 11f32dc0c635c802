// Loads a module the way the host application does and calls its entry
// points: one call at a time, memory files of a call forgotten when it ends.
#pragma once

#include "plugin/plugin_abi.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace tessel::runtime {

struct SaveFormat {
    std::string keyword;      // from RegisterIconSaver
    std::string displayName;  // from HostRegisterFormat
    std::string extension;    // from HostRegisterFormat
    std::uint32_t formatId = 0;
};

class Module {
public:
    // dlopen()s the module, finds and checks its PluginHeader, looks up the
    // seven entry points and calls InitPlugin with GetHostApi(), or with the
    // given HostApi when not null. On failure returns null and says why in
    // *error.
    static std::unique_ptr<Module> Open(const std::string& path, std::string* error,
                                        const HostApi* api = nullptr);
    // The same for a module linked into this program: its PluginHeader.
    static std::unique_ptr<Module> Linked(const struct PluginHeader* header, std::string* error);
    ~Module();
    Module(const Module&) = delete;
    Module& operator=(const Module&) = delete;

    const PluginInfo& Info() const { return info_; }
    const struct PluginHeader& Header() const { return *header_; }

    // Entry points, each followed by ClearCallMemFiles().
    std::int32_t InitPlugin(PluginInfo* info, const HostApi* api);
    void ClosePlugin();  // also called by the destructor
    IconHandle* LoadIcon(const char* name, const TagItem* tags);
    IconImage* GetIconImages(IconHandle* icon);
    void FreeIcon(IconHandle* icon);
    void RegisterIconSaver(IconSaverInfo* info);
    std::int32_t SaveIcon(const char* name, IconImage* first, const TagItem* tags);

    // The raw lookup routine of the header.
    PluginFunction Lookup(const char* name) const;

    // The save formats, by walking RegisterIconSaver from FormatId 0 (at most
    // 64 turns), joined with what HostRegisterFormat recorded.
    std::vector<SaveFormat> SaveFormats();

private:
    Module() = default;
    // Checks the header, finds the entry points and starts the module.
    static std::unique_ptr<Module> Start(std::unique_ptr<Module> module, const std::string& name, std::string* error,
                                         const HostApi* api);
    void* library_ = nullptr;
    const struct PluginHeader* header_ = nullptr;
    PluginInfo info_{};
    InitPluginFn init_ = nullptr;
    ClosePluginFn close_ = nullptr;
    LoadIconFn load_ = nullptr;
    GetIconImagesFn getImages_ = nullptr;
    FreeIconFn free_ = nullptr;
    RegisterIconSaverFn registerSaver_ = nullptr;
    SaveIconFn save_ = nullptr;
};

// Where the module is: $TESSEL_MODULE when set, else "tessel.qmp" beside the
// running executable.
std::string DefaultModulePath();

}  // namespace tessel::runtime
