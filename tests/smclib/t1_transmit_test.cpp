// IOCTL_SMARTCARD_TRANSMIT and IOCTL_SMARTCARD_SET_PROTOCOL through the
// library: what it refuses before any reader function runs, and a whole T=1
// transmit whose reader function runs the library's engine against a card,
// with the request and reply in one exact-size system buffer.
#include <gtest/gtest.h>

#include <cstring>

#include "smclib/fake_reader.h"
#include "smclib/t1_card_peer.h"

namespace qv::test {
namespace {

std::vector<UCHAR> TransmitRequest(ULONG protocol, ULONG pciLength, const std::vector<UCHAR>& apdu) {
    std::vector<UCHAR> bytes = Ulong(protocol);
    const std::vector<UCHAR> length = Ulong(pciLength);
    bytes.insert(bytes.end(), length.begin(), length.end());
    bytes.resize(std::max<std::size_t>(bytes.size(), pciLength), 0x00);
    bytes.insert(bytes.end(), apdu.begin(), apdu.end());
    return bytes;
}

const std::vector<UCHAR> kReadTwo = {0x80, 0xCA, 0x00, 0x02};

// The card sits where a reader driver keeps its own record.
T1CardPeer& CardOf(PSMARTCARD_EXTENSION extension) { return *reinterpret_cast<T1CardPeer*>(extension->ReaderExtension); }

// A reader function on the T=1 road as a reader driver has it.
NTSTATUS NTAPI T1Transmit(PSMARTCARD_EXTENSION extension) {
    Record(extension, RDF_TRANSMIT);
    NTSTATUS status;
    do {
        extension->T1.NAD = 0;
        extension->SmartcardRequest.BufferLength = 0;
        status = SmartcardT1Request(extension);
        if (status != STATUS_SUCCESS) return status;
        const std::vector<UCHAR> answer = CardOf(extension).Answer(
            std::span<const UCHAR>(extension->SmartcardRequest.Buffer, extension->SmartcardRequest.BufferLength));
        std::memcpy(extension->SmartcardReply.Buffer, answer.data(), answer.size());
        extension->SmartcardReply.BufferLength = static_cast<ULONG>(answer.size());
        status = SmartcardT1Reply(extension);
    } while (status == STATUS_MORE_PROCESSING_REQUIRED);
    return status;
}

// A reader function that asks for one block and leaves.
NTSTATUS NTAPI T1TransmitAbandoned(PSMARTCARD_EXTENSION extension) {
    Record(extension, RDF_TRANSMIT);
    extension->SmartcardRequest.BufferLength = 0;
    return SmartcardT1Request(extension) == STATUS_SUCCESS ? STATUS_IO_TIMEOUT : STATUS_UNSUCCESSFUL;
}

struct T1Device {
    FakeReaderDevice reader;
    T1CardPeer card{32, qv::smclib::t1::Edc::Lrc};
    T1Device() {
        reader.Extension().ReaderExtension = reinterpret_cast<PREADER_EXTENSION>(&card);
        reader.Extension().ReaderFunction[RDF_TRANSMIT] = &T1Transmit;
        reader.SetState(SCARD_PRESENT);
        // 3B 80 81 31 20 45 TCK: T=1, IFSC 32.
        reader.Reader().atr = {0x3B, 0x80, 0x81, 0x31, 0x20, 0x45, 0x80 ^ 0x81 ^ 0x31 ^ 0x20 ^ 0x45};
        EXPECT_EQ(Send(reader.Device(), IOCTL_SMARTCARD_POWER, Ulong(SCARD_COLD_RESET), 33).status, STATUS_SUCCESS);
        EXPECT_EQ(Send(reader.Device(), IOCTL_SMARTCARD_SET_PROTOCOL, Ulong(SCARD_PROTOCOL_T1), 4).status,
                  STATUS_SUCCESS);
        card.Reset();
        reader.Reader().calls.clear();
    }
};

TEST(SmclibTransmit, RefusesHeadersThatDoNotMatchTheSelectedProtocolOrBuffers) {
    Machine machine;
    RunOk(machine, [&] {
        T1Device bed;
        struct Case {
            const char* name;
            std::vector<UCHAR> input;
            ULONG outputLength;
            NTSTATUS expected;
        };
        const std::vector<Case> cases = {
            {"T=0 header on a T=1 card", TransmitRequest(SCARD_PROTOCOL_T0, 8, kReadTwo), 64,
             STATUS_INVALID_DEVICE_STATE},
            {"T=0|T=1 header", TransmitRequest(SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1, 8, kReadTwo), 64,
             STATUS_INVALID_DEVICE_STATE},
            {"raw header", TransmitRequest(SCARD_PROTOCOL_RAW, 8, kReadTwo), 64, STATUS_INVALID_DEVICE_STATE},
            {"reply shorter than a 16-byte pci", TransmitRequest(SCARD_PROTOCOL_T1, 16, kReadTwo), 15,
             STATUS_BUFFER_TOO_SMALL},
            {"header of 4 bytes", Ulong(SCARD_PROTOCOL_T1), 64, STATUS_INVALID_PARAMETER},
        };
        for (const Case& c : cases) {
            const Reply reply = Send(bed.reader.Device(), IOCTL_SMARTCARD_TRANSMIT, c.input, c.outputLength);
            EXPECT_EQ(reply.status, c.expected) << c.name;
            EXPECT_TRUE(bed.reader.Reader().calls.empty()) << c.name;
        }
        EXPECT_TRUE(bed.card.commands.empty());
        // A mask without any protocol asks for nothing.
        const Reply none = Send(bed.reader.Device(), IOCTL_SMARTCARD_SET_PROTOCOL, Ulong(SCARD_PROTOCOL_DEFAULT), 4);
        EXPECT_EQ(none.status, STATUS_INVALID_DEVICE_REQUEST);
        EXPECT_TRUE(bed.reader.Reader().calls.empty());
    });
}

TEST(SmclibTransmit, AT1ExchangePutsTheResponseBehindTheHeaderWithItsProtocolData) {
    Machine machine;
    RunOk(machine, [&] {
        T1Device bed;
        // A 12-byte pci: the header and four bytes of protocol data.
        const std::vector<UCHAR> input = TransmitRequest(SCARD_PROTOCOL_T1, 12, kReadTwo);
        std::vector<UCHAR> withData = input;
        withData[8] = 0xA1;
        withData[11] = 0xA4;
        const Reply reply = Send(bed.reader.Device(), IOCTL_SMARTCARD_TRANSMIT, withData, 12 + 4);
        ASSERT_EQ(reply.status, STATUS_SUCCESS);
        EXPECT_EQ(reply.information, 16u);
        EXPECT_EQ(reply.output, (std::vector<UCHAR>{0x02, 0, 0, 0, 12, 0, 0, 0, 0xA1, 0, 0, 0xA4, 0x00, 0x01,
                                                    0x90, 0x00}));
        ASSERT_EQ(bed.card.commands.size(), 1u);
        EXPECT_EQ(bed.card.commands[0], kReadTwo);

        // One byte short of the response: refused, and nothing written past the buffer.
        const Reply tooSmall = Send(bed.reader.Device(), IOCTL_SMARTCARD_TRANSMIT, withData, 12 + 3);
        EXPECT_EQ(tooSmall.status, STATUS_BUFFER_TOO_SMALL);
        EXPECT_EQ(tooSmall.information, 0u);
    });
}

TEST(SmclibTransmit, AnExchangeTheReaderLeftUnfinishedIsResynchronisedNextTime) {
    Machine machine;
    RunOk(machine, [&] {
        T1Device bed;
        const std::vector<UCHAR> input = TransmitRequest(SCARD_PROTOCOL_T1, 8, kReadTwo);
        ASSERT_EQ(Send(bed.reader.Device(), IOCTL_SMARTCARD_TRANSMIT, input, 64).status, STATUS_SUCCESS);
        bed.reader.Extension().ReaderFunction[RDF_TRANSMIT] = &T1TransmitAbandoned;
        EXPECT_EQ(Send(bed.reader.Device(), IOCTL_SMARTCARD_TRANSMIT, input, 64).status, STATUS_IO_TIMEOUT);
        bed.reader.Extension().ReaderFunction[RDF_TRANSMIT] = &T1Transmit;
        const Reply reply = Send(bed.reader.Device(), IOCTL_SMARTCARD_TRANSMIT, input, 64);
        ASSERT_EQ(reply.status, STATUS_SUCCESS);
        EXPECT_EQ(bed.card.resynchRequests, 1);
        EXPECT_EQ(reply.output, (std::vector<UCHAR>{0x02, 0, 0, 0, 8, 0, 0, 0, 0x00, 0x01, 0x90, 0x00}));
    });
}

} // namespace
} // namespace qv::test
