// The smart card library's records as 32-bit Windows lays them out. The
// driver's sources are also compiled for 32-bit Windows against the real
// library, so every member must sit where the platform's smclib.h puts it;
// one member out of place there corrupts memory the library owns.
//
// The table below is written from the platform's documented declarations
// (member order and types), with the offsets and sizes they give under the
// 32-bit ABI (4-byte pointers, natural alignment). It is checked twice:
//  - compiled for i686 Windows (CTest runs the cross compiler with
//    -fsyntax-only over this file), every offset and size is asserted at
//    compile time;
//  - on the host, where pointers are wider, the test checks that the members
//    come in the table's order and that every member without a pointer in it
//    has its 32-bit size.
#include <cstddef>

#include "qvwdk.h"

// X(record, member, 32-bit offset, 32-bit size, has a pointer inside)
#define QV_SMCLIB_LAYOUT(X)                                                          \
    X(VENDOR_ATTR, VendorName.Length, 0, 2, false)                                   \
    X(VENDOR_ATTR, VendorName.Buffer, 2, 32, false)                                  \
    X(VENDOR_ATTR, IfdType.Length, 34, 2, false)                                     \
    X(VENDOR_ATTR, IfdType.Buffer, 36, 32, false)                                    \
    X(VENDOR_ATTR, UnitNo, 68, 4, false)                                             \
    X(VENDOR_ATTR, IfdVersion.BuildNumber, 72, 2, false)                             \
    X(VENDOR_ATTR, IfdVersion.VersionMinor, 74, 1, false)                            \
    X(VENDOR_ATTR, IfdVersion.VersionMajor, 75, 1, false)                            \
    X(VENDOR_ATTR, IfdSerialNo.Length, 76, 2, false)                                 \
    X(VENDOR_ATTR, IfdSerialNo.Buffer, 78, 32, false)                                \
    X(VENDOR_ATTR, Reserved, 112, 100, false)                                        \
    X(PTS_DATA, Type, 0, 1, false)                                                   \
    X(PTS_DATA, Fl, 1, 1, false)                                                     \
    X(PTS_DATA, Dl, 2, 1, false)                                                     \
    X(PTS_DATA, CLKFrequency, 4, 4, false)                                           \
    X(PTS_DATA, DataRate, 8, 4, false)                                               \
    X(PTS_DATA, StopBits, 12, 1, false)                                              \
    X(SCARD_CARD_CAPABILITIES, InversConvention, 0, 1, false)                        \
    X(SCARD_CARD_CAPABILITIES, etu, 4, 4, false)                                     \
    X(SCARD_CARD_CAPABILITIES, ATR.Buffer, 8, 64, false)                             \
    X(SCARD_CARD_CAPABILITIES, ATR.Length, 72, 1, false)                             \
    X(SCARD_CARD_CAPABILITIES, HistoricalChars.Buffer, 73, 16, false)                \
    X(SCARD_CARD_CAPABILITIES, HistoricalChars.Length, 89, 1, false)                 \
    X(SCARD_CARD_CAPABILITIES, ClockRateConversion, 92, 4, true)                     \
    X(SCARD_CARD_CAPABILITIES, BitRateAdjustment, 96, 4, true)                       \
    X(SCARD_CARD_CAPABILITIES, Fl, 100, 1, false)                                    \
    X(SCARD_CARD_CAPABILITIES, Dl, 101, 1, false)                                    \
    X(SCARD_CARD_CAPABILITIES, II, 102, 1, false)                                    \
    X(SCARD_CARD_CAPABILITIES, P, 103, 1, false)                                     \
    X(SCARD_CARD_CAPABILITIES, N, 104, 1, false)                                     \
    X(SCARD_CARD_CAPABILITIES, GT, 108, 4, false)                                    \
    X(SCARD_CARD_CAPABILITIES, Protocol.Supported, 112, 4, false)                    \
    X(SCARD_CARD_CAPABILITIES, Protocol.Selected, 116, 4, false)                     \
    X(SCARD_CARD_CAPABILITIES, T0.WI, 120, 1, false)                                 \
    X(SCARD_CARD_CAPABILITIES, T0.WT, 124, 4, false)                                 \
    X(SCARD_CARD_CAPABILITIES, T1.IFSC, 128, 1, false)                               \
    X(SCARD_CARD_CAPABILITIES, T1.CWI, 129, 1, false)                                \
    X(SCARD_CARD_CAPABILITIES, T1.BWI, 130, 1, false)                                \
    X(SCARD_CARD_CAPABILITIES, T1.EDC, 131, 1, false)                                \
    X(SCARD_CARD_CAPABILITIES, T1.CWT, 132, 4, false)                                \
    X(SCARD_CARD_CAPABILITIES, T1.BWT, 136, 4, false)                                \
    X(SCARD_CARD_CAPABILITIES, T1.BGT, 140, 4, false)                                \
    X(SCARD_CARD_CAPABILITIES, PtsData, 144, 16, false)                              \
    X(SCARD_CARD_CAPABILITIES, Reserved, 160, 84, false)                             \
    X(SCARD_READER_CAPABILITIES, SupportedProtocols, 0, 4, false)                    \
    X(SCARD_READER_CAPABILITIES, Reserved, 4, 4, false)                              \
    X(SCARD_READER_CAPABILITIES, ReaderType, 8, 4, false)                            \
    X(SCARD_READER_CAPABILITIES, MechProperties, 12, 4, false)                       \
    X(SCARD_READER_CAPABILITIES, CurrentState, 16, 4, false)                         \
    X(SCARD_READER_CAPABILITIES, Channel, 20, 4, false)                              \
    X(SCARD_READER_CAPABILITIES, CLKFrequency.Default, 24, 4, false)                 \
    X(SCARD_READER_CAPABILITIES, CLKFrequency.Max, 28, 4, false)                     \
    X(SCARD_READER_CAPABILITIES, DataRate.Default, 32, 4, false)                     \
    X(SCARD_READER_CAPABILITIES, DataRate.Max, 36, 4, false)                         \
    X(SCARD_READER_CAPABILITIES, MaxIFSD, 40, 4, false)                              \
    X(SCARD_READER_CAPABILITIES, PowerMgmtSupport, 44, 4, false)                     \
    X(SCARD_READER_CAPABILITIES, CardConfiscated, 48, 4, false)                      \
    X(SCARD_READER_CAPABILITIES, DataRatesSupported.List, 52, 4, true)               \
    X(SCARD_READER_CAPABILITIES, DataRatesSupported.Entries, 56, 1, false)           \
    X(SCARD_READER_CAPABILITIES, CLKFrequenciesSupported.List, 60, 4, true)          \
    X(SCARD_READER_CAPABILITIES, CLKFrequenciesSupported.Entries, 64, 1, false)      \
    X(SCARD_READER_CAPABILITIES, Reserved1, 68, 80, true)                            \
    X(SMARTCARD_REQUEST, Buffer, 0, 4, true)                                         \
    X(SMARTCARD_REQUEST, BufferSize, 4, 4, false)                                    \
    X(SMARTCARD_REQUEST, BufferLength, 8, 4, false)                                  \
    X(SMARTCARD_REPLY, Buffer, 0, 4, true)                                           \
    X(SMARTCARD_REPLY, BufferSize, 4, 4, false)                                      \
    X(SMARTCARD_REPLY, BufferLength, 8, 4, false)                                    \
    X(T0_DATA, Lc, 0, 4, false)                                                      \
    X(T0_DATA, Le, 4, 4, false)                                                      \
    X(T1_DATA, IFSC, 0, 1, false)                                                    \
    X(T1_DATA, IFSD, 1, 1, false)                                                    \
    X(T1_DATA, BytesReceived, 4, 4, false)                                           \
    X(T1_DATA, BytesSent, 8, 4, false)                                               \
    X(T1_DATA, BytesToSend, 12, 4, false)                                            \
    X(T1_DATA, LastError, 16, 1, false)                                              \
    X(T1_DATA, MoreData, 17, 1, false)                                               \
    X(T1_DATA, NAD, 18, 1, false)                                                    \
    X(T1_DATA, OriginalState, 20, 4, false)                                          \
    X(T1_DATA, Resend, 24, 1, false)                                                 \
    X(T1_DATA, Resynch, 25, 1, false)                                                \
    X(T1_DATA, RSN, 26, 1, false)                                                    \
    X(T1_DATA, SSN, 27, 1, false)                                                    \
    X(T1_DATA, State, 28, 4, false)                                                  \
    X(T1_DATA, Wtx, 32, 1, false)                                                    \
    X(T1_DATA, ReplyData, 36, 4, true)                                               \
    X(T1_DATA, WaitForReply, 40, 1, false)                                           \
    X(T1_DATA, InfBytesSent, 41, 1, false)                                           \
    X(T1_DATA, Reserved, 42, 4, true)                                                \
    X(OS_DEP_DATA, DeviceObject, 0, 4, true)                                         \
    X(OS_DEP_DATA, CurrentIrp, 4, 4, true)                                           \
    X(OS_DEP_DATA, NotificationIrp, 8, 4, true)                                      \
    X(OS_DEP_DATA, Mutex, 12, 32, true)                                              \
    X(OS_DEP_DATA, SpinLock, 44, 4, true)                                            \
    X(SMARTCARD_EXTENSION, Version, 0, 4, false)                                     \
    X(SMARTCARD_EXTENSION, VendorAttr, 4, 212, false)                                \
    X(SMARTCARD_EXTENSION, ReaderFunction, 216, 64, true)                            \
    X(SMARTCARD_EXTENSION, CardCapabilities, 280, 244, true)                         \
    X(SMARTCARD_EXTENSION, LastError, 524, 4, false)                                 \
    X(SMARTCARD_EXTENSION, IoRequest.Information, 528, 4, true)                      \
    X(SMARTCARD_EXTENSION, IoRequest.RequestBuffer, 532, 4, true)                    \
    X(SMARTCARD_EXTENSION, IoRequest.RequestBufferLength, 536, 4, false)             \
    X(SMARTCARD_EXTENSION, IoRequest.ReplyBuffer, 540, 4, true)                      \
    X(SMARTCARD_EXTENSION, IoRequest.ReplyBufferLength, 544, 4, false)               \
    X(SMARTCARD_EXTENSION, MajorIoControlCode, 548, 4, false)                        \
    X(SMARTCARD_EXTENSION, MinorIoControlCode, 552, 4, false)                        \
    X(SMARTCARD_EXTENSION, OsData, 556, 4, true)                                     \
    X(SMARTCARD_EXTENSION, ReaderCapabilities, 560, 148, true)                       \
    X(SMARTCARD_EXTENSION, ReaderExtension, 708, 4, true)                            \
    X(SMARTCARD_EXTENSION, SmartcardReply, 712, 12, true)                            \
    X(SMARTCARD_EXTENSION, SmartcardRequest, 724, 12, true)                          \
    X(SMARTCARD_EXTENSION, T0, 736, 8, false)                                        \
    X(SMARTCARD_EXTENSION, T1, 744, 48, true)                                        \
    X(SMARTCARD_EXTENSION, PerfInfo, 792, 4, true)                                   \
    X(SMARTCARD_EXTENSION, Reserved, 796, 84, true)

// Whole records under the 32-bit ABI.
#define QV_SMCLIB_SIZES(X)                \
    X(VENDOR_ATTR, 212, false)            \
    X(PTS_DATA, 16, false)                \
    X(SCARD_CARD_CAPABILITIES, 244, true) \
    X(SCARD_READER_CAPABILITIES, 148, true) \
    X(SMARTCARD_REQUEST, 12, true)        \
    X(SMARTCARD_REPLY, 12, true)          \
    X(T0_DATA, 8, false)                  \
    X(T1_DATA, 48, true)                  \
    X(SMARTCARD_EXTENSION, 880, true)

#define QV_MEMBER_SIZE(record, member) sizeof(((record*)nullptr)->member)

#if defined(_WIN32) && !defined(_WIN64)

// The 32-bit Windows target: every offset and size exactly as the platform has it.
#define QV_ASSERT_OFFSET(record, member, offset, size, pointer)                                  \
    static_assert(offsetof(record, member) == (offset), #record "." #member " is out of place"); \
    static_assert(QV_MEMBER_SIZE(record, member) == (size), #record "." #member " has the wrong size");
QV_SMCLIB_LAYOUT(QV_ASSERT_OFFSET)
#define QV_ASSERT_SIZE(record, size, pointer) static_assert(sizeof(record) == (size), #record " has the wrong size");
QV_SMCLIB_SIZES(QV_ASSERT_SIZE)

#else

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct MemberRow {
    std::string record;
    std::string member;
    std::size_t hostOffset;
    std::size_t hostSize;
    std::size_t offset32;
    std::size_t size32;
    bool pointer;
};

std::vector<MemberRow> Rows() {
#define QV_ROW(record, member, offset, size, pointer) \
    MemberRow{#record, #member, offsetof(record, member), QV_MEMBER_SIZE(record, member), offset, size, pointer},
    return {QV_SMCLIB_LAYOUT(QV_ROW)};
#undef QV_ROW
}

TEST(SmclibLayout, MembersComeInThePlatformsOrder) {
    const std::vector<MemberRow> rows = Rows();
    for (std::size_t i = 1; i < rows.size(); ++i) {
        if (rows[i].record != rows[i - 1].record) continue;
        EXPECT_LT(rows[i - 1].offset32, rows[i].offset32) << "table order of " << rows[i].record;
        EXPECT_LE(rows[i - 1].hostOffset + rows[i - 1].hostSize, rows[i].hostOffset)
            << rows[i].record << "." << rows[i].member << " comes before " << rows[i - 1].member;
    }
}

TEST(SmclibLayout, MembersWithoutPointersHaveTheirPlatformSize) {
    for (const MemberRow& row : Rows()) {
        if (row.pointer) continue;
        EXPECT_EQ(row.hostSize, row.size32) << row.record << "." << row.member;
    }
#define QV_CHECK_SIZE(record, size, pointer) \
    if (!(pointer)) {                        \
        EXPECT_EQ(sizeof(record), std::size_t{size}) << #record; \
    }
    QV_SMCLIB_SIZES(QV_CHECK_SIZE)
#undef QV_CHECK_SIZE
}

TEST(SmclibLayout, MembersWithoutPointersBeforeTheFirstPointerKeepTheirOffsets) {
    // Up to the first pointer of a record, host and 32-bit offsets agree.
    std::string record;
    bool pointerSeen = false;
    for (const MemberRow& row : Rows()) {
        if (row.record != record) {
            record = row.record;
            pointerSeen = false;
        }
        if (row.pointer) pointerSeen = true;
        if (!pointerSeen) {
            EXPECT_EQ(row.hostOffset, row.offset32) << row.record << "." << row.member;
        }
    }
}

} // namespace

#endif
