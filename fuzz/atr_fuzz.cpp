// ATRs from the card: the library's parser on the bare bytes (any length),
// then what a reset does with them, SmartcardUpdateCardCapabilities on the
// library's record and the driver's own IFSC walk (FindIfsc). Both read the
// ATR from a 64-byte buffer in the record, where a read past ATR.Length
// stays inside the record and AddressSanitizer cannot see it; so every ATR
// runs twice, with different bytes behind it, and what is made of it must
// not differ.
#include <algorithm>
#include <cstring>
#include <string>

#include "card.h"
#include "fuzz_input.h"
#include "library_bed.h"
#include "smclib/atr_parser.h"

namespace qv::fuzz {

namespace {

constexpr UCHAR kPoisons[] = {0x00, 0xFF};
constexpr UCHAR kIfscBefore = 0x20;

// What the library and the driver made of one ATR.
struct AtrOutcome {
    NTSTATUS status = 0;
    ULONG state = 0;
    ULONG supported = 0;
    ULONG selected = 0;
    UCHAR fl = 0, dl = 0, n = 0, wi = 0, ifsc = 0, bwi = 0, cwi = 0, edc = 0;
    UCHAR historical = 0;
    UCHAR driverIfsc = 0;

    bool operator==(const AtrOutcome&) const = default;
    std::string Text() const {
        return "status " + std::to_string(status) + " state " + std::to_string(state) + " supported " +
               std::to_string(supported) + " ifsc " + std::to_string(ifsc) + " driver ifsc " +
               std::to_string(driverIfsc) + " historical " + std::to_string(historical);
    }
};

AtrOutcome Reset(SMARTCARD_EXTENSION& ext, Input atr, UCHAR poison) {
    auto& card = ext.CardCapabilities;
    std::fill(std::begin(card.ATR.Buffer), std::end(card.ATR.Buffer), poison);
    const std::size_t length = std::min(atr.size(), sizeof(card.ATR.Buffer));
    std::copy_n(atr.begin(), length, card.ATR.Buffer);
    card.ATR.Length = static_cast<UCHAR>(length);
    ext.ReaderCapabilities.CurrentState = SCARD_POWERED;
    card.Protocol.Selected = 0;

    AtrOutcome outcome;
    outcome.status = SmartcardUpdateCardCapabilities(&ext);
    ext.T1.IFSC = kIfscBefore;
    FindIfsc(&ext);
    outcome.driverIfsc = ext.T1.IFSC;
    outcome.state = ext.ReaderCapabilities.CurrentState;
    outcome.supported = card.Protocol.Supported;
    outcome.selected = card.Protocol.Selected;
    outcome.fl = card.Fl;
    outcome.dl = card.Dl;
    outcome.n = card.N;
    outcome.wi = card.T0.WI;
    outcome.ifsc = card.T1.IFSC;
    outcome.bwi = card.T1.BWI;
    outcome.cwi = card.T1.CWI;
    outcome.edc = card.T1.EDC;
    outcome.historical = card.HistoricalChars.Length;
    return outcome;
}

} // namespace

Verdict Fuzz_atr(Input input) {
    // The parser alone, on exactly the bytes given: AddressSanitizer sees
    // any read past them.
    const smclib::ParsedAtr parsed = smclib::ParseAtr(input);
    if (parsed.Ok() && parsed.historicalOffset + parsed.historicalLength > input.size()) {
        return Failed("ATR parser: historical bytes past the ATR's end");
    }

    Verdict verdict;
    Machine machine(FuzzMachineConfig(1));
    const RunResult run = machine.RunThread("atr", [&] {
        LibraryBed bed;
        if (!bed.Ready()) return;
        AtrOutcome first = Reset(bed.Extension(), input, kPoisons[0]);
        AtrOutcome second = Reset(bed.Extension(), input, kPoisons[1]);
        if (!(first == second)) {
            verdict = Failed("the bytes behind ATR.Length changed the outcome:\n  " + first.Text() + "\n  " +
                             second.Text());
        }
    });
    Merge(verdict, FromRun(run, "atr"));
    return verdict;
}

} // namespace qv::fuzz
