#include "scriptor.h"

#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <memory>
#include <sstream>

#include "cards/card_catalogue.h"
#include "capture.h"
#include "qvsim/console/app_console.h"
#include "harness/console_words.h"

namespace qvsim {

namespace {

// A short APDU: header, Lc, at most 255 data bytes and Le.
constexpr std::size_t kMinApduLength = 4;
constexpr std::size_t kMaxApduLength = 4 + 1 + 255 + 1;
// scriptor starts a new line after every 16 response bytes.
constexpr std::size_t kBytesPerLine = 16;
constexpr std::string_view kStatusLength = "90 00";

std::string Lower(std::string_view text) {
    std::string lower(text);
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return lower;
}

bool IsHexPair(std::string_view token) {
    return token.size() == 2 && std::isxdigit(static_cast<unsigned char>(token[0])) &&
           std::isxdigit(static_cast<unsigned char>(token[1]));
}

std::string Hex2(unsigned value) {
    char text[4];
    std::snprintf(text, sizeof text, "%02X", value & 0xFF);
    return text;
}

// The result line of one console request: "<word>: <STATUS> (0x<hex>)[ <detail>]".
struct Result {
    bool found = false;
    std::string status;
    unsigned long value = 0;
    std::string detail;
    bool Ok() const { return found && value == 0; }
};

Result FindResult(const std::string& text, const std::string& word) {
    Result result;
    std::istringstream in(text);
    std::string line;
    const std::string prefix = word + ": ";
    while (std::getline(in, line)) {
        if (!line.starts_with(prefix)) continue;
        const std::size_t open = line.find(" (0x", prefix.size());
        if (open == std::string::npos) continue;
        result.found = true;
        result.status = line.substr(prefix.size(), open - prefix.size());
        result.value = std::strtoul(line.c_str() + open + 4, nullptr, 16);
        const std::size_t close = line.find(')', open);
        if (close != std::string::npos && close + 2 <= line.size()) result.detail = line.substr(std::min(close + 2, line.size()));
    }
    return result;
}

std::vector<std::uint8_t> BytesOf(std::string_view hex) {
    std::vector<std::uint8_t> bytes;
    std::string_view rest = hex;
    while (!rest.empty()) {
        const std::string_view word = qv::harness::NextWord(rest);
        if (!IsHexPair(word)) break;
        bytes.push_back(static_cast<std::uint8_t>(std::stoul(std::string(word), nullptr, 16)));
    }
    return bytes;
}

// The words PC/SC gives an application for the status the driver completed
// a request with, as the smart card service maps them.
std::string PcscError(const Result& result) {
    std::string text = "Transaction failed.";
    if (result.status == "STATUS_NO_MEDIA") text = "Card was removed.";
    else if (result.status == "STATUS_IO_TIMEOUT") text = "Command timeout.";
    else if (result.status == "STATUS_UNRECOGNIZED_MEDIA") text = "Card is unresponsive.";
    else if (result.status == "STATUS_DEVICE_NOT_CONNECTED" || result.status == "STATUS_DELETE_PENDING" ||
             result.status == "STATUS_DEVICE_REMOVED")
        text = "Reader is unavailable.";
    else if (result.status == "STATUS_CANCELLED") text = "Command cancelled.";
    else if (result.status == "STATUS_INVALID_DEVICE_STATE") text = "Card is not powered.";
    return text + " (" + (result.found ? result.status : "no answer") + ")";
}

// The application's console, its output held back so that only what
// scriptor would print (and the console's own notes) is shown.
class ScriptorSession {
  public:
    ScriptorSession(const Options& options, std::uint64_t seed, std::ostream& out) : out_(out) {
        qv::harness::AppConsoleOptions app;
        app.seed = seed;
        app.trace = options.trace;
        app.model = qv::sim::ModelByName(options.model).value_or(qv::sim::ReaderModel::Qv38N);
        app.noCard = options.noCard;
        app.card = options.card;
        protocol_ = options.protocol == "T=0" ? "t0" : options.protocol == "T=1" ? "t1" : "any";
        console_ = std::make_unique<qv::harness::AppConsole>(app, buffer_);
        if (options.pcap) {
            capture_ = AttachCapture(*console_, *options.pcap);
            captureFailed_ = capture_ == nullptr;
        }
    }

    bool CaptureFailed() const { return captureFailed_; }

    // SCardConnect: the card powered and a protocol chosen.
    bool Connect() {
        if (!console_->Start()) {
            Pass(Take());
            return false;
        }
        Pass(Take());
        const Result power = Run("power cold", "power cold");
        if (!power.Ok()) {
            std::cerr << "Can't allocate Chipcard::PCSC::Card object: " << PcscError(power) << "\n";
            return false;
        }
        const Result chosen = Run("protocol " + protocol_, "protocol");
        if (!chosen.Ok()) {
            std::cerr << "Can't allocate Chipcard::PCSC::Card object: " << PcscError(chosen) << "\n";
            return false;
        }
        if (chosen.detail == "protocol T0") {
            out_ << "Using T=0 protocol\n";
        } else if (chosen.detail == "protocol T1") {
            out_ << "Using T=1 protocol\n";
        } else {
            out_ << "Using an unknown protocol (not T=0 or T=1)\n";
        }
        return true;
    }

    // SCardReconnect with SCARD_RESET_CARD: a warm reset, the protocol again.
    void Reset() {
        out_ << "> RESET\n";
        const Result power = Run("power warm", "power warm");
        Result chosen;
        if (power.Ok()) chosen = Run("protocol " + protocol_, "protocol");
        if (!power.Ok() || !chosen.Ok()) {
            out_ << "< KO: " << PcscError(power.Ok() ? chosen : power) << "\n";
            return;
        }
        out_ << "< OK: ";
        const std::string atr = power.detail.starts_with("ATR ") ? power.detail.substr(4) : std::string();
        for (std::uint8_t byte : BytesOf(atr)) out_ << Hex2(byte) << " ";
        out_ << "\n";
    }

    // SCardTransmit. False when it failed (scriptor stops there).
    bool Transmit(const ScriptorLine& line) {
        out_ << "> " << line.shown << "\n";
        std::string hex;
        for (std::uint8_t byte : line.apdu) hex += Hex2(byte);
        const Result sent = Run("apdu " + hex, "apdu");
        if (!sent.Ok()) {
            out_.flush();
            std::cerr << "Can't get info: " << PcscError(sent) << "\n";
            return false;
        }
        std::string detail = sent.detail;
        if (const auto sw = detail.rfind(" SW "); sw != std::string::npos) detail.erase(sw);
        if (detail.starts_with("SW ")) detail.clear();
        out_ << ResponseLines(BytesOf(detail));
        return true;
    }

    int Finish() {
        const int code = console_->Finish();
        Pass(Take());
        if (capture_) capture_->Close();
        return code;
    }

  private:
    std::string Take() {
        std::string text = buffer_.str();
        buffer_.str({});
        return text;
    }
    // Passes the console's own lines on (trace, notes, end lines), keeping
    // back the result line of the request scriptor reports in its own words.
    void Pass(const std::string& text, const std::string& word = {}) {
        std::istringstream in(text);
        std::string line;
        while (std::getline(in, line)) {
            if (!word.empty() && line.starts_with(word + ": ")) continue;
            out_ << line << "\n";
        }
    }
    Result Run(const std::string& command, const std::string& word) {
        console_->Execute(command);
        const std::string text = Take();
        Pass(text, word);
        return FindResult(text, word);
    }

    std::ostream& out_;
    std::ostringstream buffer_;
    // The capture outlives the console, whose bus feeds it to the end.
    std::unique_ptr<qv::harness::PcapWriter> capture_;
    std::unique_ptr<qv::harness::AppConsole> console_;
    bool captureFailed_ = false;
    std::string protocol_;
};

} // namespace

ScriptorLine ScriptorReader::Read(std::string_view raw) {
    ScriptorLine result;
    std::string_view line = qv::harness::Trim(raw);
    if (!line.empty() && line.front() == '#') return result;
    if (line.empty()) {
        if (!pending_.empty()) {
            result.kind = ScriptorLine::Kind::Error;
            result.error = "the command ended in \\ but no line goes on with it";
            pending_.clear();
        }
        return result;
    }
    // A comment after the bytes is allowed too.
    if (const auto hash = line.find('#'); hash != std::string_view::npos) line = qv::harness::Trim(line.substr(0, hash));
    const std::string word = Lower(line);
    if (pending_.empty() && (word == "exit" || word == "quit")) {
        result.kind = ScriptorLine::Kind::Exit;
        return result;
    }
    if (pending_.empty() && word == "reset") {
        result.kind = ScriptorLine::Kind::Reset;
        return result;
    }
    // As scriptor: bytes written without spaces are spaced in pairs (a
    // space after each pair); a \ at the end continues the command.
    std::string text(line);
    const bool continued = text.ends_with('\\');
    if (continued) text = std::string(qv::harness::Trim(std::string_view(text).substr(0, text.size() - 1)));
    if (text.find(' ') == std::string::npos && text.find('\t') == std::string::npos) {
        if (text.size() % 2 != 0) {
            result.kind = ScriptorLine::Kind::Error;
            result.error = "'" + text + "' has an odd number of hex digits";
            pending_.clear();
            return result;
        }
        std::string spaced;
        for (std::size_t i = 0; i < text.size(); i += 2) spaced += text.substr(i, 2) + " ";
        text = spaced;
    }
    // Check every byte before anything is sent.
    std::string_view rest = text;
    while (!rest.empty()) {
        const std::string_view token = qv::harness::NextWord(rest);
        if (!IsHexPair(token)) {
            result.kind = ScriptorLine::Kind::Error;
            result.error = "'" + std::string(token) + "' is not a byte in hex (two hex digits); a line is an APDU, "
                                                      "reset, exit or a # comment";
            pending_.clear();
            return result;
        }
    }
    if (continued) {
        while (!text.empty() && text.back() == ' ') text.pop_back();
        pending_ += text + " ";
        result.kind = ScriptorLine::Kind::Continued;
        return result;
    }
    const std::string command = pending_ + text;
    pending_.clear();
    result.apdu = BytesOf(command);
    if (result.apdu.size() < kMinApduLength || result.apdu.size() > kMaxApduLength) {
        result.kind = ScriptorLine::Kind::Error;
        result.error = "an APDU has 4 to 261 bytes (CLA INS P1 P2 [Lc data] [Le]), this one " +
                       std::to_string(result.apdu.size());
        return result;
    }
    result.kind = ScriptorLine::Kind::Apdu;
    result.shown = command;
    return result;
}

std::string StatusWordMeaning(std::string_view sw) {
    if (sw.size() != kStatusLength.size()) return "wrong SW size for: " + std::string(sw);
    const std::string sw1(sw.substr(0, 2));
    const std::string sw2(sw.substr(3, 2));
    const std::string both(sw);
    auto detail = [&](const std::string& head, std::initializer_list<std::pair<const char*, const char*>> table) {
        std::string text = head;
        for (const auto& [code, words] : table) {
            if (sw2 == code) text += words;
        }
        return text;
    };
    if (both == "90 00") return "Normal processing.";
    if (sw1 == "61") return "0x" + sw2 + " bytes of response still available.";
    if (sw1 == "62")
        return detail("State of non-volatile memory unchanged. ",
                      {{"00", "No information given."},
                       {"81", "Part of returned data my be corrupted."},
                       {"82", "End of file/record reached before reading Le bytes."},
                       {"83", "Selected file invalidated."},
                       {"84", "FCI not formated according to 5.1.5."}});
    if (sw1 == "63") {
        std::string text = detail("State of non-volatile memory changed. ",
                                  {{"00", "No information given."}, {"81", "File filled up by the last write."}});
        if (sw2[0] == 'C') text += "Counter: 0x" + sw2.substr(1, 1);
        return text;
    }
    if (both == "64 00") return "State of non-volatile memory unchanged.";
    if (sw1 == "65") return detail("State of non-volatile memory changed. ", {{"81", "Memory failure."}});
    if (sw1 == "66") return "Reserved for security-related issues.";
    if (both == "67 00") return "Wrong length.";
    if (sw1 == "68")
        return detail("Functions in CLA not supported. ",
                      {{"81", "Logical channel not supported."}, {"82", "Secure messaging not supported."}});
    if (sw1 == "69")
        return detail("Command not allowed. ", {{"81", "Command incompatible with file structure."},
                                                {"82", "Security status not satisfied."},
                                                {"83", "Authentication method blocked."},
                                                {"84", "Referenced data invalidated."},
                                                {"85", "Conditions of use not satisfied."},
                                                {"86", "Command not allowed (no current EF)."},
                                                {"87", "Expected SM data objects missing."},
                                                {"88", "SM data objects incorrect."}});
    if (sw1 == "6A")
        return detail("Wrong parameter(s) P1-P2. ", {{"80", "Incorrect parameters in the data field."},
                                                     {"81", "Function not supported."},
                                                     {"82", "File not found."},
                                                     {"83", "Record not found."},
                                                     {"84", "Not enough memory space in the file."},
                                                     {"85", "Lc inconsistent with TLV structure."},
                                                     {"86", "Incorrect parameters P1-P2."},
                                                     {"87", "Lc inconsistent with P1-P2."},
                                                     {"88", "Referenced data not found."}});
    if (both == "6B 00") return "Wrong parameter(s) P1-P2.";
    if (sw1 == "6C") return "Wrong length Le: should be 0x" + sw2;
    if (both == "6D 00") return "Instruction code not supported or invalid.";
    if (both == "6E 00") return "Class not supported.";
    if (both == "6F 00") return "No precise diagnosis.";
    return "Error not defined by ISO 7816";
}

std::string ResponseLines(const std::vector<std::uint8_t>& response) {
    std::string bytes;
    for (std::size_t i = 0; i < response.size(); ++i) {
        if (i != 0) bytes += ' ';
        bytes += Hex2(response[i]);
    }
    const std::string sw = bytes.size() >= kStatusLength.size() ? bytes.substr(bytes.size() - kStatusLength.size()) : bytes;
    std::string wrapped;
    for (std::size_t i = 0; i < response.size(); ++i) {
        wrapped += Hex2(response[i]);
        if (i + 1 == response.size()) break;
        wrapped += ' ';
        if ((i + 1) % kBytesPerLine == 0) wrapped += '\n';
    }
    return "< " + wrapped + " : " + StatusWordMeaning(sw) + "\n";
}

int RunScriptor(const Options& options, std::uint64_t seed) {
    const bool fromStdin = !options.scriptor || options.scriptor->empty() || *options.scriptor == "-";
    std::ifstream file;
    if (!fromStdin) {
        file.open(*options.scriptor);
        if (!file) {
            std::cerr << "qvsim: cannot read the script " << *options.scriptor << "\n";
            return 2;
        }
    }
    std::istream& in = fromStdin ? static_cast<std::istream&>(std::cin) : file;
    // A script from a file or a pipe is checked whole before anything runs,
    // so that a wrong line costs nothing; typed lines are taken one by one.
    const bool typed = fromStdin && isatty(STDIN_FILENO);
    std::vector<std::string> lines;
    if (!typed) {
        std::string line;
        ScriptorReader check;
        bool wrong = false;
        unsigned number = 0;
        while (std::getline(in, line)) {
            ++number;
            lines.push_back(line);
            const ScriptorLine read = check.Read(line);
            if (read.kind == ScriptorLine::Kind::Exit) break;
            if (read.kind == ScriptorLine::Kind::Error) {
                std::cerr << "qvsim: " << (fromStdin ? std::string("stdin") : *options.scriptor) << ": line " << number
                          << ": " << read.error << "\n";
                wrong = true;
            }
        }
        if (!wrong && check.Pending()) {
            std::cerr << "qvsim: the script's last command ends in \\ but no line goes on with it\n";
            wrong = true;
        }
        if (wrong) return 2;
    }

    ScriptorSession session(options, seed, std::cout);
    if (session.CaptureFailed()) return 2;
    const std::string reader = options.model + " 00 00";
    std::cerr << "No reader given: using " << reader << "\n";
    std::cerr << (fromStdin ? std::string("Reading commands from STDIN") : "Using given file: " + *options.scriptor) << "\n";
    if (!session.Connect()) {
        session.Finish();
        return 1;
    }
    ScriptorReader script;
    bool failed = false;
    std::size_t next = 0;
    unsigned number = 0;
    std::string line;
    while (true) {
        if (typed) {
            if (!std::getline(in, line)) break;
        } else {
            if (next == lines.size()) break;
            line = lines[next++];
        }
        ++number;
        // scriptor echoes the lines of a script file.
        if (!fromStdin) std::cout << line << "\n";
        const ScriptorLine read = script.Read(line);
        if (read.kind == ScriptorLine::Kind::Exit) break;
        if (read.kind == ScriptorLine::Kind::Error) {
            std::cerr << "qvsim: line " << number << ": " << read.error << "\n";
            failed = true;
            continue;
        }
        if (read.kind == ScriptorLine::Kind::Reset) session.Reset();
        if (read.kind == ScriptorLine::Kind::Apdu && !session.Transmit(read)) {
            failed = true;
            break;
        }
    }
    const int code = session.Finish();
    if (failed) return typed ? 2 : 1;
    return code;
}

} // namespace qvsim
