// The scenarios of scenarios/*.qvs, compiled in (cmake/EmbedScenarios.cmake
// writes the table).
#pragma once

#include <cstddef>

namespace qvsim {

struct EmbeddedScenario {
    const char* name;
    const char* text;
};

extern const EmbeddedScenario kEmbeddedScenarios[];
extern const std::size_t kEmbeddedScenarioCount;

} // namespace qvsim
