// The emulation's folders call downwards only: the kernel core, then the
// I/O manager, then Plug and Play and power, then the USB hub and the smart
// card library; the machine sits on top of them all (docs/architecture.md).
// Every #include of a platform source names a folder its own may use.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <string>

namespace {

// What each folder may include besides itself.
const std::map<std::string, std::set<std::string>> kMayUse = {
    {"kernel", {}},
    {"io", {"kernel"}},
    {"pnp", {"kernel", "io"}},
    {"power", {"kernel", "io"}},
    {"usb", {"kernel", "io", "pnp", "power"}},
    {"smclib", {"kernel", "io", "pnp"}},
    {"machine", {"kernel", "io", "pnp", "power", "usb", "smclib"}},
};

TEST(PlatformLayers, NoIncludeRunsUpward) {
    const std::filesystem::path platform = std::filesystem::path(QV_SOURCE_DIR) / "platform";
    const std::regex include(R"(^\s*#\s*include\s*"([a-z_]+)/)");
    unsigned checked = 0;
    for (const auto& [folder, allowed] : kMayUse) {
        for (const auto& entry : std::filesystem::directory_iterator(platform / folder)) {
            std::ifstream file(entry.path());
            std::string line;
            for (unsigned number = 1; std::getline(file, line); ++number) {
                std::smatch match;
                if (!std::regex_search(line, match, include)) continue;
                const std::string used = match[1];
                if (used == folder || !kMayUse.contains(used)) continue;
                ++checked;
                EXPECT_TRUE(allowed.contains(used))
                    << entry.path().filename().string() << ":" << number << " in " << folder << "/ includes " << used
                    << "/";
            }
        }
    }
    EXPECT_GT(checked, 0u) << "no include between folders found under " << platform;
}

} // namespace
