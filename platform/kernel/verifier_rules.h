// The verifier's switches: which of its rules are off for one machine (see
// docs/verifier-rules.md). The machine sets them from its configuration and
// the environment; the kernel core consults them at every violation.
#pragma once

#include <algorithm>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

namespace qv {

class VerifierRules {
  public:
    // The rules switched off: those given, and those QV_VERIFIER_DISABLE
    // names (separated by commas).
    explicit VerifierRules(std::vector<std::string> disabled) : disabled_(std::move(disabled)) {
        const char* value = std::getenv("QV_VERIFIER_DISABLE");
        if (value == nullptr) return;
        std::string_view text(value);
        while (!text.empty()) {
            const std::size_t comma = text.find(',');
            std::string_view id = text.substr(0, comma);
            if (!id.empty()) disabled_.emplace_back(id);
            if (comma == std::string_view::npos) break;
            text.remove_prefix(comma + 1);
        }
    }

    bool Enabled(std::string_view rule) const {
        return std::find(disabled_.begin(), disabled_.end(), rule) == disabled_.end();
    }

  private:
    std::vector<std::string> disabled_;
};

} // namespace qv
