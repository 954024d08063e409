#include "kernel/image_sections.h"

#include <dlfcn.h>
#include <elf.h>
#include <link.h>

#include <array>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string_view>
#include <utility>

namespace qv {

namespace {

constexpr std::array<std::pair<std::string_view, ImageSection>, 3> kSectionNames{{
    {"INIT", ImageSection::Init},
    {"PAGE", ImageSection::PagedCode},
    {"PAGEDATA", ImageSection::PagedData},
}};

struct LoadedObject {
    std::string path;
    std::uintptr_t bias; // what the object's addresses are moved by where it is loaded
};

std::vector<LoadedObject> LoadedObjects() {
    std::vector<LoadedObject> objects;
    dl_iterate_phdr(
        [](dl_phdr_info* info, std::size_t, void* data) -> int {
            // The program itself comes without a name; the kernel's virtual
            // library has one but no file, and is passed over when it cannot
            // be opened.
            const bool program = info->dlpi_name == nullptr || info->dlpi_name[0] == '\0';
            static_cast<std::vector<LoadedObject>*>(data)->push_back(
                {program ? "/proc/self/exe" : info->dlpi_name, static_cast<std::uintptr_t>(info->dlpi_addr)});
            return 0;
        },
        &objects);
    return objects;
}

template <class T>
bool ReadAt(std::ifstream& file, std::uint64_t offset, T* into, std::size_t count) {
    file.seekg(static_cast<std::streamoff>(offset));
    file.read(reinterpret_cast<char*>(into), static_cast<std::streamsize>(sizeof(T) * count));
    return static_cast<bool>(file);
}

// The section headers of one ELF file, with the table of their names.
struct SectionTable {
    std::vector<ElfW(Shdr)> headers;
    std::string names;
};

bool ReadSectionTable(const std::string& path, SectionTable& table) {
    std::ifstream file(path, std::ios::binary);
    if (!file) return false;
    ElfW(Ehdr) header;
    if (!ReadAt(file, 0, &header, 1) || std::memcmp(header.e_ident, ELFMAG, SELFMAG) != 0 ||
        header.e_shentsize != sizeof(ElfW(Shdr)) || header.e_shoff == 0) {
        return false;
    }
    // Past 0xff00 sections the count and the index of the name table move
    // into the first section header.
    ElfW(Shdr) first;
    if (!ReadAt(file, header.e_shoff, &first, 1)) return false;
    const std::size_t count = header.e_shnum != 0 ? header.e_shnum : first.sh_size;
    const std::size_t namesIndex = header.e_shstrndx != SHN_XINDEX ? header.e_shstrndx : first.sh_link;
    if (count == 0 || namesIndex >= count) return false;
    table.headers.resize(count);
    if (!ReadAt(file, header.e_shoff, table.headers.data(), count)) return false;
    const ElfW(Shdr)& names = table.headers[namesIndex];
    table.names.assign(names.sh_size, '\0');
    return ReadAt(file, names.sh_offset, table.names.data(), table.names.size());
}

} // namespace

const char* ImageSectionName(ImageSection section) {
    switch (section) {
    case ImageSection::Init:
        return "INIT";
    case ImageSection::PagedCode:
        return "PAGE";
    case ImageSection::PagedData:
        return "PAGEDATA";
    case ImageSection::Resident:
        break;
    }
    return "resident";
}

ImageSections ImageSections::Read() {
    ImageSections layout;
    for (const LoadedObject& object : LoadedObjects()) {
        SectionTable table;
        if (!ReadSectionTable(object.path, table)) continue;
        for (const ElfW(Shdr)& section : table.headers) {
            if ((section.sh_flags & SHF_ALLOC) == 0 || section.sh_size == 0 || section.sh_name >= table.names.size()) {
                continue;
            }
            const std::string_view name(table.names.c_str() + section.sh_name);
            for (const auto& [sectionName, kind] : kSectionNames) {
                if (name != sectionName) continue;
                const std::uintptr_t begin = object.bias + section.sh_addr;
                const std::uintptr_t end = begin + section.sh_size;
                layout.ranges_.push_back({kind, begin, end});
                if (layout.lowest_ == layout.highest_ || begin < layout.lowest_) layout.lowest_ = begin;
                if (end > layout.highest_) layout.highest_ = end;
            }
        }
    }
    return layout;
}

ImageSection ImageSections::Within(std::uintptr_t value) const {
    for (const Range& range : ranges_) {
        if (value >= range.begin && value < range.end) return range.section;
    }
    return ImageSection::Resident;
}

bool ImageSections::Has(ImageSection section) const {
    for (const Range& range : ranges_) {
        if (range.section == section) return true;
    }
    return false;
}

std::string ImageSections::Describe(const void* address, ImageSection section) {
    Dl_info info{};
    link_map* module = nullptr;
    char text[64];
    if (dladdr1(address, &info, reinterpret_cast<void**>(&module), RTLD_DL_LINKMAP) != 0 && module != nullptr &&
        info.dli_fname != nullptr) {
        const char* slash = std::strrchr(info.dli_fname, '/');
        std::snprintf(text, sizeof text, "+0x%llx (%s)",
                      static_cast<unsigned long long>(reinterpret_cast<std::uintptr_t>(address) - module->l_addr),
                      ImageSectionName(section));
        return std::string(slash != nullptr ? slash + 1 : info.dli_fname) + text;
    }
    std::snprintf(text, sizeof text, "%p (%s)", address, ImageSectionName(section));
    return text;
}

} // namespace qv
