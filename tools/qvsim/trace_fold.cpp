#include "trace_fold.h"

#include <sstream>
#include <string_view>

namespace qvsim {

namespace {

constexpr std::size_t kBlocksShown = 8;
constexpr std::string_view kIndent = "     ";

// "NAD 12 PCB 40 I-block N(S)=1 LEN 5 LRC 3A ok" -> "I(1)"; S- and
// R-blocks by their kind.
std::string ShortBlock(std::string_view decoded) {
    auto after = [&](std::string_view key) -> std::string_view {
        const auto at = decoded.find(key);
        return at == std::string_view::npos ? std::string_view{} : decoded.substr(at + key.size());
    };
    if (auto rest = after("I-block N(S)="); !rest.empty()) {
        std::string text = "I(" + std::string(rest.substr(0, 1)) + ")";
        if (rest.find("more") != std::string_view::npos && rest.find("more") < rest.find("LEN")) text += "+";
        return text;
    }
    if (auto rest = after("R-block N(R)="); !rest.empty()) return "R(" + std::string(rest.substr(0, 1)) + ")";
    if (auto rest = after("S("); !rest.empty()) {
        const auto end = rest.find(' ');
        const bool response = rest.find("response") < rest.find(")");
        return "S(" + std::string(rest.substr(0, end)) + (response ? " reply)" : ")");
    }
    return "?";
}

struct Fold {
    unsigned out = 0;
    unsigned in = 0;
    unsigned failed = 0;
    unsigned resets = 0;
    unsigned powerRequests = 0;
    std::vector<std::string> blocks;
    std::vector<std::string> notes;

    bool Empty() const { return out + in + resets + powerRequests == 0 && blocks.empty() && notes.empty(); }

    void Emit(std::vector<std::string>& lines) {
        for (const std::string& note : notes) lines.push_back(std::string(kIndent) + note);
        if (out + in + resets != 0 || !blocks.empty()) {
            std::string line = std::string(kIndent) + "usb: " + std::to_string(out) + " out, " + std::to_string(in) + " in";
            if (failed != 0) line += ", " + std::to_string(failed) + " failed";
            if (resets != 0) line += ", " + std::to_string(resets) + " pipe resets";
            if (!blocks.empty()) {
                line += "; blocks";
                for (std::size_t i = 0; i < blocks.size() && i < kBlocksShown; ++i) line += " " + blocks[i];
                if (blocks.size() > kBlocksShown) line += " ... (" + std::to_string(blocks.size()) + ")";
            }
            lines.push_back(line);
        }
        if (powerRequests != 0) {
            lines.push_back(std::string(kIndent) + "power: " + std::to_string(powerRequests) +
                            " power requests and notifications, in order");
        }
        *this = Fold{};
    }
};

bool IsResult(std::string_view line) {
    return line.find(": STATUS_") != std::string_view::npos && line.find(" (0x") != std::string_view::npos;
}

} // namespace

std::vector<std::string> FoldTrace(const std::string& text) {
    std::vector<std::string> lines;
    Fold fold;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        const std::string_view view = line;
        if (view.starts_with("usb> ")) {
            ++fold.out;
            if (view.find("(USBD_") != std::string_view::npos) ++fold.failed;
        } else if (view.starts_with("usb< ")) {
            ++fold.in;
            if (view.find("(USBD_") != std::string_view::npos) ++fold.failed;
        } else if (view.starts_with("usb  reset pipe")) {
            ++fold.resets;
        } else if (view.starts_with("blk> ")) {
            fold.blocks.push_back(">" + ShortBlock(view));
        } else if (view.starts_with("blk< ")) {
            fold.blocks.push_back("<" + ShortBlock(view));
        } else if (view.starts_with("lib  ")) {
            // The library's notes: what it made of an ATR is worth a line;
            // the request summaries repeat the result line.
            if (view.find("ATR parsed") != std::string_view::npos) fold.notes.push_back(std::string(view.substr(5)));
        } else if (view.starts_with("drv  ")) {
            // The driver's own trace: each request in and out, the link's
            // recoveries, the card's states. Folded away whole: the result
            // lines and the transfers say what a newcomer needs.
        } else if (view.starts_with("power ") && !IsResult(view)) {
            ++fold.powerRequests;
        } else {
            if (!fold.Empty()) fold.Emit(lines);
            lines.push_back(line);
        }
    }
    if (!fold.Empty()) fold.Emit(lines);
    return lines;
}

} // namespace qvsim
