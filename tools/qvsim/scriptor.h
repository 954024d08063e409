// APDU scripts in the format of pcsc-tools' scriptor, run through the
// application's console, with the output scriptor prints:
//
//   # a comment                 (a line that starts with #)
//   reset                       a warm reset; prints "> RESET" and "< OK: <ATR>"
//   00 A4 04 00 07 F0 51 56 53 43 52 01   an APDU, bytes spaced or not (00A40400...)
//   00 B0 00 00 \               a line ending in \ goes on on the next line
//   10
//   exit                        ends the script
//
// Each APDU prints "> <the command as given>" and "< <response> : <meaning
// of the status word>", the response wrapped after every 16 bytes, as
// scriptor does. A line that is none of these is an error with its number.
#pragma once

#include <cstdint>
#include <istream>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "options.h"

namespace qvsim {

// One line of a script, read.
struct ScriptorLine {
    enum class Kind { Nothing, Reset, Apdu, Exit, Continued, Error };
    Kind kind = Kind::Nothing;
    std::vector<std::uint8_t> apdu; // Apdu
    std::string shown;              // Apdu: the command as scriptor echoes it
    std::string error;              // Error: what is wrong
};

// Reads lines one at a time, keeping what a line ending in \ began.
class ScriptorReader {
  public:
    ScriptorLine Read(std::string_view line);
    bool Pending() const { return !pending_.empty(); }

  private:
    std::string pending_; // the command so far, as scriptor builds it
};

// What scriptor prints for a status word given as "90 00": the ISO/IEC
// 7816-4 meaning, in pcsc-tools' words.
std::string StatusWordMeaning(std::string_view sw);
// "< 6F 10 ... : Normal processing.": the response line(s) for these bytes.
std::string ResponseLines(const std::vector<std::uint8_t>& response);

// qvsim app --scriptor FILE|-: the exit code (0 when the script ran to its
// end on a clean machine; 2 for a wrong line, 1 for a failed request).
int RunScriptor(const Options& options, std::uint64_t seed);

} // namespace qvsim
