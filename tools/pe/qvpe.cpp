// qvpe: finishes and checks a 32-bit Windows kernel image (PE32) after the
// linker has written it. GNU ld for this target cannot mark a section
// discardable by name or write the image checksum that Windows demands of
// a kernel image, so:
//   qvpe finish IMAGE    marks the INIT section discardable, then writes the checksum
//   qvpe checksum IMAGE  exits 0 when the stored checksum is the image's own
//   qvpe sections IMAGE  prints each section's name and characteristics
#include "pe_image.h"

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace {

int Fail(const std::string& message) {
    std::fprintf(stderr, "qvpe: %s\n", message.c_str());
    return 1;
}

} // namespace

int main(int argc, char** argv) {
    using namespace qv::pe;
    if (argc != 3) return Fail("usage: qvpe finish|checksum|sections IMAGE");
    const std::string command = argv[1];
    const std::string path = argv[2];
    std::vector<std::uint8_t> image;
    {
        std::ifstream in(path, std::ios::binary);
        if (!in) return Fail("cannot read " + path);
        image.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    const std::optional<PeLayout> layout = Parse(image);
    if (!layout) return Fail(path + " is not a PE image");

    const std::uint32_t stored = Read32(image, layout->checksumAt);
    if (command == "checksum") {
        const std::uint32_t computed = ImageChecksum(image, layout->checksumAt);
        std::printf("checksum stored 0x%08X computed 0x%08X\n", stored, computed);
        return stored == computed ? 0 : 1;
    }
    if (command == "sections") {
        for (std::size_t i = 0; i < layout->sectionCount; ++i) {
            const std::size_t header = layout->sectionsAt + i * kSectionHeaderSize;
            std::string name(reinterpret_cast<const char*>(&image[header]), 8);
            name.resize(name.find('\0') == std::string::npos ? name.size() : name.find('\0'));
            std::printf("%s 0x%08X\n", name.c_str(), Read32(image, header + kSectionCharacteristicsOffset));
        }
        return 0;
    }
    if (command != "finish") return Fail("unknown command " + command);

    if (!MarkInitDiscardable(image, *layout)) return Fail(path + " has no INIT section");
    Write32(image, layout->checksumAt, ImageChecksum(image, layout->checksumAt));
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(image.data()), static_cast<std::streamsize>(image.size()));
    return out ? 0 : Fail("cannot write " + path);
}
