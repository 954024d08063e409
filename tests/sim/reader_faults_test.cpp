// Every fault of the simulated reader shows on the wire as described, lasts
// for its count, and (where the protocol allows) can be recovered from the
// way a host would.
#include <gtest/gtest.h>

#include <set>

#include "sim/reader_host.h"

namespace qv::sim {
namespace {

using test::Hex;
using test::Host;
using test::LinkBlock;

const Bytes kCardStatusBlock = Hex("12 00 02 D0 31 F1");
const Bytes kGoodStatusAnswer = Hex("21 00 06 D0 31 00 00 08 00 CE");

TEST(SimReaderFaults, CatalogueNamesAreUniqueAndFindable) {
    std::set<std::string_view> names;
    for (const FaultInfo& info : FaultCatalog()) {
        EXPECT_TRUE(names.insert(info.name).second) << info.name;
        EXPECT_FALSE(info.description.empty());
        EXPECT_EQ(FaultByName(info.name), info.fault);
        EXPECT_EQ(DescribeFault(info.fault).name, info.name);
    }
    EXPECT_EQ(names.size(), kFaultCount);
    UsbReader reader;
    EXPECT_FALSE(reader.Arm("no-such-fault"));
    EXPECT_TRUE(reader.Arm("answer-bad-lrc", 2));
    EXPECT_EQ(reader.Faults().Armed(Fault::AnswerBadLrc), 2u);
}

// Damage strikes the wire copy only: a repeat request brings the good block.
TEST(SimReaderFaults, DamagedAnswersAreRepairedByARepeatRequest) {
    struct Case {
        Fault fault;
        Bytes wire;
    };
    const Case cases[] = {
        {Fault::AnswerBadLrc, Hex("21 00 06 D0 31 00 00 08 00 31")},
        {Fault::AnswerBadNad, Hex("05 00 06 D0 31 00 00 08 00 EA")},
        {Fault::AnswerBadLength, Hex("21 00 07 D0 31 00 00 08 00 CF")},
        {Fault::AnswerErrorBlock, Hex("21 92 00 B3")},
        {Fault::AnswerWrongSequence, Hex("21 40 06 D0 31 00 00 08 00 8E")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(DescribeFault(c.fault).name);
        UsbReader reader;
        Host host(reader);
        reader.Arm(c.fault, 2);
        EXPECT_EQ(host.Exchange(kCardStatusBlock), c.wire);
        EXPECT_EQ(host.Exchange(Hex("12 82 00 90")), c.wire) << "the second count strikes the repeat";
        EXPECT_EQ(host.Exchange(Hex("12 82 00 90")), kGoodStatusAnswer);
        EXPECT_EQ(reader.Faults().Fired(c.fault), 2u);
    }
}

TEST(SimReaderFaults, WtxAndChainingFaultsReshapeShortAnswers) {
    UsbReader reader;
    Host host(reader);
    reader.Arm(Fault::AnswerWtx);
    EXPECT_EQ(host.Exchange(kCardStatusBlock), Hex("21 C3 01 01 E2"));
    EXPECT_EQ(host.Exchange(Hex("12 E3 01 01 F1")), kGoodStatusAnswer);

    reader.Arm(Fault::AnswerChained);
    Bytes first = host.Exchange(Hex("12 40 02 D0 31 B1"));
    EXPECT_EQ(first, LinkBlock(0x60, Hex("D0 31 00 00"), kReaderNad));
    EXPECT_EQ(host.Exchange(Hex("12 80 00 92")), LinkBlock(0x00, Hex("08 00"), kReaderNad));
    EXPECT_EQ(host.Exchange(Hex("12 00 02 D0 31 F1")), LinkBlock(0x40, Hex("D0 31 00 00 08 00"), kReaderNad))
        << "spent";
}

TEST(SimReaderFaults, OutTransferFaults) {
    UsbReader reader;
    Host host(reader);
    const Bytes packet = Hex("04 12 00 02 D0 31 F1");
    reader.Arm(Fault::OutFail);
    EXPECT_EQ(reader.BulkOut(kBulkOutEndpoint, packet, 0).status, usb::TransferStatus::Error);
    EXPECT_TRUE(host.Idle()) << "the failed block never arrived";

    reader.Arm(Fault::OutShort);
    usb::OutResult half = reader.BulkOut(kBulkOutEndpoint, packet, 0);
    EXPECT_EQ(half.status, usb::TransferStatus::Ok);
    EXPECT_EQ(half.accepted, 3u);
    // The last packet's header arrived: the cut block is judged, and fails.
    EXPECT_EQ(host.Join(host.ReadPackets()), Hex("21 82 00 A3"));

    reader.Arm(Fault::OutStall);
    EXPECT_EQ(reader.BulkOut(kBulkOutEndpoint, packet, 0).status, usb::TransferStatus::Stall);
    EXPECT_EQ(reader.BulkOut(kBulkOutEndpoint, packet, 0).status, usb::TransferStatus::Stall) << "halted";
    reader.ResetEndpoint(kBulkOutEndpoint);
    EXPECT_EQ(host.Exchange(kCardStatusBlock), kGoodStatusAnswer);
}

TEST(SimReaderFaults, InTransferFaults) {
    UsbReader reader;
    Host host(reader);
    Bytes buffer(kMaxPacketSize);
    auto fetch = [&] { return reader.BulkIn(kBulkInEndpoint, buffer, host.now + kSecond); };

    reader.Arm(Fault::InFail);
    host.Send(kCardStatusBlock);
    EXPECT_EQ(fetch().status, usb::TransferStatus::Error);
    EXPECT_TRUE(host.Idle()) << "the packet was lost";

    reader.Arm(Fault::InZeroLength);
    host.Send(Hex("12 C0 00 D2"));
    usb::InResult empty = fetch();
    EXPECT_EQ(empty.status, usb::TransferStatus::Ok);
    EXPECT_TRUE(empty.ready);
    EXPECT_EQ(empty.length, 0u);
    EXPECT_EQ(fetch().length, 5u) << "the real packet follows";

    reader.Arm(Fault::InStall);
    host.Send(Hex("12 C0 00 D2"));
    EXPECT_EQ(fetch().status, usb::TransferStatus::Stall);
    EXPECT_EQ(fetch().status, usb::TransferStatus::Stall);
    reader.ResetEndpoint(kBulkInEndpoint);
    EXPECT_EQ(fetch().length, 5u) << "an answer not yet begun stays in the reader's queue";

    reader.Arm(Fault::InEndless);
    host.Send(Hex("12 C0 00 D2"));
    for (int i = 0; i < 100; ++i) {
        usb::InResult r = fetch();
        ASSERT_TRUE(r.ready);
        ASSERT_EQ(buffer[0], kPacketMore);
        if (i > 0) {
            ASSERT_EQ(r.length, kMaxPacketSize);
        }
    }
    reader.ResetEndpoint(kBulkInEndpoint);
    EXPECT_EQ(host.Exchange(Hex("12 C0 00 D2")), Hex("21 E0 00 C1"));
}

TEST(SimReaderFaults, VanishStrikesAtTheCountedTransfer) {
    UsbReader reader;
    Host host(reader);
    reader.Arm(Fault::Vanish, 3);
    host.Send(Hex("12 C0 00 D2")); // transfer 1
    Bytes buffer(kMaxPacketSize);
    EXPECT_EQ(reader.BulkIn(kBulkInEndpoint, buffer, 0).status, usb::TransferStatus::Ok); // 2: a NAK
    EXPECT_EQ(reader.BulkIn(kBulkInEndpoint, buffer, kSecond).status, usb::TransferStatus::DeviceGone);
    EXPECT_FALSE(reader.Attached());
}

TEST(SimReaderFaults, CardPulledDuringACardOperation) {
    UsbReader reader;
    Host host(reader);
    host.Command("D0 E6 00 0F");
    reader.Arm(Fault::CardPulled);
    EXPECT_EQ(host.Command("D0 31"), Hex("D0 31 00 00 18 00")) << "status polls are not card operations";
    EXPECT_EQ(Host::Status(host.Command("D0 23 00 A4 04 00 00")), kStatusCardAbsent);
    EXPECT_FALSE(reader.CardInserted());
    reader.InsertCard();
    host.Command("D0 E6 00 0F");
    EXPECT_EQ(host.Command("D0 23 00 A4 00 0C 00"), Hex("D0 23 00 D3 90 00"));
}

} // namespace
} // namespace qv::sim
