#include "tests/support/reader_harness.h"

#include "host/host_calls.h"
#include "icon/icon_model.h"
#include "io/byte_io.h"
#include "plugin/entry_points.h"
#include "tests/support/test_host.h"

#include <gtest/gtest.h>

namespace tessel::test {

IconHandle* LoadWithReader(const std::vector<std::uint8_t>& bytes, std::uint32_t magic, IconReader reader,
                           const char* extensionHint)
{
    SetHostApi(runtime::GetHostApi());
    std::string name = runtime::RegisterMemFile(bytes.data(), bytes.size(), extensionHint);
    HostFile* file = HostOpen(name.c_str(), HOST_MODE_READ);
    IconHandle* icon = nullptr;
    if (file && ReadBE32(file) == magic) {
        icon = static_cast<IconHandle*>(HostAllocMem(sizeof(IconHandle), 1, "iconinfo"));
        if (icon && !reader(name.c_str(), file, icon)) {
            FreeIcon(icon);
            icon = nullptr;
        }
    }
    if (file)
        HostClose(file);
    runtime::ClearCallMemFiles();
    return icon;
}

std::vector<IconImage*> Images(const IconHandle* icon)
{
    std::vector<IconImage*> images;
    for (IconImage* image = icon ? icon->images : nullptr; image; image = image->next)
        images.push_back(image);
    return images;
}

WriterResult RunWriter(const std::string& path, const std::function<int(HostFile*)>& write)
{
    SetHostApi(runtime::GetHostApi());
    const std::int64_t liveBefore = runtime::LiveBlocks();
    WriterResult result;
    HostFile* file = HostOpen(path.c_str(), HOST_MODE_WRITE);
    EXPECT_NE(file, nullptr);
    if (!file)
        return result;
    result.saved = write(file);
    result.closeResult = HostClose(file);
    result.file = ReadFileBytes(path);
    EXPECT_EQ(runtime::LiveBlocks(), liveBefore);
    return result;
}

}  // namespace tessel::test
