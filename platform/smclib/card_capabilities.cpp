// SmartcardUpdateCardCapabilities: the ATR in CardCapabilities.ATR parsed
// into the card's capabilities, the derived times at the reader's clock, and
// the card state moved to SCARD_NEGOTIABLE (or SCARD_SPECIFIC when the card
// announces a specific mode).
#include <span>

#include "smclib/atr_parser.h"
#include "smclib/library_host.h"
#include "smclib/library_state.h"

using namespace qv;
using namespace qv::smclib;

namespace {

// The reader's clock when the driver has not filled CLKFrequency.Default.
constexpr ULONG kDefaultClockKHz = 3571;
// The T=1 frame size the library offers when the reader names none.
constexpr ULONG kDefaultIfsd = 32;
constexpr ULONG kMaximumIfsd = 254;
constexpr UCHAR kDefaultRateIndex = 1; // F = 372, D = 1
constexpr UCHAR kStopBits = 2;
constexpr UCHAR kMaximumStopBits = 254;

// The library's conversion tables, in the layout the records point at.
// They are filled once per call from the parser's own tables, so the
// records never point into memory that goes away.
struct RateTables {
    CLOCK_RATE_CONVERSION clock[16];
    BIT_RATE_ADJUSTMENT bits[16];
    RateTables() {
        for (UCHAR i = 0; i < 16; ++i) {
            clock[i] = {FiValue(i), FiMaximumClockKHz(i) * 1000};
            bits[i] = {DiValue(i), 1};
        }
    }
};

// Whether the reader can run the card at Fl/Dl: a known factor pair, the
// reader's clock within the card's maximum for Fi, and the resulting data
// rate within the reader's maximum (when it names one).
bool ReaderCanDo(const SCARD_READER_CAPABILITIES& reader, ULONG clockKHz, UCHAR fl, UCHAR dl) {
    const ULONG f = FiValue(fl);
    const ULONG d = DiValue(dl);
    if (f == 0 || d == 0) return false;
    if (clockKHz > FiMaximumClockKHz(fl)) return false;
    const unsigned long long rate = 1000ull * clockKHz * d / f;
    return reader.DataRate.Max == 0 || rate <= reader.DataRate.Max;
}

} // namespace

extern "C" NTSTATUS NTAPI SmartcardUpdateCardCapabilities(PSMARTCARD_EXTENSION SmartcardExtension) {
    QV_LIBRARY_CHECK_CALLER();
    // A new ATR: the card begins T=1 afresh, and the library with it.
    NoteCardReset(LibraryOf(SmartcardExtension, "SmartcardUpdateCardCapabilities"));
    SCARD_CARD_CAPABILITIES& card = SmartcardExtension->CardCapabilities;
    SCARD_READER_CAPABILITIES& reader = SmartcardExtension->ReaderCapabilities;

    // Never read past the ATR buffer, whatever the length claims.
    const std::size_t length = card.ATR.Length;
    if (length > sizeof(card.ATR.Buffer)) {
        host::Note("ATR refused: length %u exceeds the ATR buffer", static_cast<unsigned>(length));
        return STATUS_UNRECOGNIZED_MEDIA;
    }
    const ParsedAtr atr = ParseAtr(std::span<const std::uint8_t>(card.ATR.Buffer, length));
    if (!atr.Ok()) {
        const std::string_view fault = AtrFaultName(atr.fault);
        host::Note("ATR refused: %.*s", static_cast<int>(fault.size()), fault.data());
        return STATUS_UNRECOGNIZED_MEDIA;
    }

    const ULONG clockKHz = reader.CLKFrequency.Default != 0 ? reader.CLKFrequency.Default : kDefaultClockKHz;

    card.InversConvention = atr.inverse ? TRUE : FALSE;
    const std::size_t historical = atr.historicalLength < sizeof(card.HistoricalChars.Buffer)
                                       ? atr.historicalLength
                                       : sizeof(card.HistoricalChars.Buffer);
    RtlZeroMemory(card.HistoricalChars.Buffer, sizeof(card.HistoricalChars.Buffer));
    RtlCopyMemory(card.HistoricalChars.Buffer, card.ATR.Buffer + atr.historicalOffset, historical);
    card.HistoricalChars.Length = static_cast<UCHAR>(historical);

    static RateTables tables; // constant after construction; shared by every reader
    card.ClockRateConversion = tables.clock;
    card.BitRateAdjustment = tables.bits;

    card.Fl = atr.fi;
    card.Dl = atr.di;
    card.II = atr.ii;
    card.P = atr.pi;
    card.N = atr.n;
    card.Protocol.Supported = atr.offered & (SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1);
    card.T0.WI = atr.wi;
    card.T1.IFSC = atr.ifsc;
    card.T1.CWI = atr.cwi;
    card.T1.BWI = atr.bwi;
    card.T1.EDC = atr.edc;

    // The rate the PPS is to propose, as PtsData.Type asks: the default rate,
    // the card's own when the reader can run it (optimal), or the driver's
    // own choice (user). In specific mode with implicit rates, the default.
    PTS_DATA& pts = card.PtsData;
    UCHAR fl = kDefaultRateIndex;
    UCHAR dl = kDefaultRateIndex;
    if (pts.Type == PTS_TYPE_USER && ReaderCanDo(reader, clockKHz, pts.Fl, pts.Dl)) {
        fl = pts.Fl;
        dl = pts.Dl;
    } else if (pts.Type == PTS_TYPE_OPTIMAL && !atr.implicitRates && ReaderCanDo(reader, clockKHz, atr.fi, atr.di)) {
        fl = atr.fi;
        dl = atr.di;
    }
    pts.Fl = fl;
    pts.Dl = dl;
    const AtrTimes times = DeriveTimes(atr, clockKHz, fl, dl);
    pts.CLKFrequency = clockKHz;
    pts.DataRate = times.dataRate;
    pts.StopBits = static_cast<UCHAR>(atr.n == 255 ? kStopBits : (atr.n > kMaximumStopBits - kStopBits ? kMaximumStopBits : kStopBits + atr.n));

    card.etu = times.etu;
    card.GT = times.guard;
    card.T0.WT = times.t0Wait;
    card.T1.CWT = times.t1Char;
    card.T1.BWT = times.t1Block;
    card.T1.BGT = times.t1BlockGuard;

    // The library's T=1 state starts from the card's frame size and the
    // largest the reader takes.
    SmartcardExtension->T1.IFSC = atr.ifsc;
    const ULONG ifsd = reader.MaxIFSD == 0 ? kDefaultIfsd : (reader.MaxIFSD > kMaximumIfsd ? kMaximumIfsd : reader.MaxIFSD);
    SmartcardExtension->T1.IFSD = static_cast<UCHAR>(ifsd);

    if (atr.specific) {
        card.Protocol.Selected = atr.specificProtocol == 0 ? SCARD_PROTOCOL_T0 : SCARD_PROTOCOL_T1;
        reader.CurrentState = SCARD_SPECIFIC;
    } else {
        reader.CurrentState = SCARD_NEGOTIABLE;
    }
    host::Note("ATR parsed: protocols %u, Fl %u, Dl %u, IFSC %u, BWT %u us", static_cast<unsigned>(card.Protocol.Supported),
               static_cast<unsigned>(card.Fl), static_cast<unsigned>(card.Dl), static_cast<unsigned>(card.T1.IFSC),
               static_cast<unsigned>(card.T1.BWT));
    return STATUS_SUCCESS;
}
