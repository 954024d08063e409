// The sections of a driver image that Windows treats apart from the rest:
// INIT, which the loader discards once the entry routine has returned, and
// the pageable PAGE (code) and PAGEDATA (constant data). The driver's
// placement macros (include/placement.h) put its routines into sections of
// those names in the emulated build too; this reads where they lie in the
// running program, from the section tables of the program and the libraries
// it has loaded, as Windows' loader reads a driver image's. The emulation
// gets the layout in every build this way (static, position-independent,
// with the emulation as a shared library beside the program), without
// section-bound symbols that one module cannot see in another.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qv {

enum class ImageSection { Resident, Init, PagedCode, PagedData };

// The section's name in the image ("INIT", "PAGE", "PAGEDATA"; "resident").
const char* ImageSectionName(ImageSection section);

class ImageSections {
  public:
    // The layout of the running program, read on first use: it is fixed for
    // the life of the process (the driver is linked in, not loaded later).
    // Every exported routine looks at its caller's address, so this and Of
    // are inline.
    static const ImageSections& OfProcess() {
        static const ImageSections layout = Read();
        return layout;
    }

    // Reads the section tables of every object loaded now.
    static ImageSections Read();

    ImageSection Of(const void* address) const {
        const auto value = reinterpret_cast<std::uintptr_t>(address);
        if (value < lowest_ || value >= highest_) return ImageSection::Resident;
        return Within(value);
    }
    bool Has(ImageSection section) const;

    // For reports: the address as module+offset (what addr2line takes) and
    // the section it lies in, "qvtests+0x1a2b3 (PAGE)".
    static std::string Describe(const void* address, ImageSection section);

  private:
    ImageSection Within(std::uintptr_t value) const;

    struct Range {
        ImageSection section;
        std::uintptr_t begin;
        std::uintptr_t end;
    };
    std::vector<Range> ranges_;
    // The span from the lowest range to the highest: nearly every caller
    // lies outside it.
    std::uintptr_t lowest_ = 0;
    std::uintptr_t highest_ = 0;
};

} // namespace qv
