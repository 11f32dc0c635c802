// Loading the libraries of shared_libraries.h on first use, and the note of
// the current entry-point call's library fault.
#include "runtime/shared_libraries.h"

#include "runtime/host_services.h"

#include <dlfcn.h>

#include <optional>

namespace tessel::runtime {
namespace {

std::string CallHostFault;

// A table filled from its library, or the reason it could not be.
template <typename Table>
struct LoadedTable {
    std::optional<Table> functions;
    std::string fault;
};

// Opens the library and has fill resolve every slot of a table from it.
template <typename Table, typename Fill>
LoadedTable<Table> LoadTable(const char* soname, Fill fill)
{
    SharedLibrary library(soname);
    Table table;
    if (fill(library, table))
        return {table, {}};
    return {std::nullopt, library.Fault()};
}

// The table, or null with its fault noted for the current call.
template <typename Table>
const Table* Functions(const LoadedTable<Table>& loaded)
{
    if (!loaded.functions)
        CallHostFault = loaded.fault;
    return loaded.functions ? &*loaded.functions : nullptr;
}

}  // namespace

SharedLibrary::SharedLibrary(const char* soname)
{
    // RTLD_NOW: a library too old for a function fails here, not mid-job.
    handle_ = dlopen(soname, RTLD_NOW | RTLD_LOCAL);
    if (!handle_) {
        const char* why = dlerror();
        fault_ = why ? why : std::string(soname) + ": cannot be loaded";
    }
}

void* SharedLibrary::Find(const char* name)
{
    if (!handle_)
        return nullptr;
    dlerror();
    void* symbol = dlsym(handle_, name);
    if (!symbol && fault_.empty()) {
        const char* why = dlerror();
        fault_ = why ? why : std::string(name) + ": not found";
    }
    return symbol;
}

// Each slot is resolved by its own name, stopping at the first missing one.
#define TESSEL_RESOLVE_SLOT(name) &&library.Resolve(#name, table.name)

const OpenJpegFunctions* OpenJpeg()
{
    static const auto loaded = LoadTable<OpenJpegFunctions>(
        OPENJPEG_SONAME, [](SharedLibrary& library, OpenJpegFunctions& table) {
            return true TESSEL_OPENJPEG_FUNCTIONS(TESSEL_RESOLVE_SLOT);
        });
    return Functions(loaded);
}

const ImageQuantFunctions* ImageQuant()
{
    static const auto loaded = LoadTable<ImageQuantFunctions>(
        IMAGEQUANT_SONAME, [](SharedLibrary& library, ImageQuantFunctions& table) {
            return true TESSEL_IMAGEQUANT_FUNCTIONS(TESSEL_RESOLVE_SLOT);
        });
    return Functions(loaded);
}

#undef TESSEL_RESOLVE_SLOT

const std::string& HostFault()
{
    return CallHostFault;
}

void ClearHostFault()
{
    CallHostFault.clear();
}

void SetHostFault(const std::string& why)
{
    CallHostFault = why;
}


}  // namespace tessel::runtime
