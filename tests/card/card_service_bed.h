// Test beds for the card services: power, protocol selection and data
// exchange. SimBed puts a catalogue card in the simulated reader;
// ScriptedBed answers each reader command with a queued information field
// (replies no honest reader gives) through a LinkPeer, in step with the
// driver's sequence bits, and records every block the driver sent. Both
// call the reader callbacks the way the smart card library does.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <memory>
#include <string>

#include "card.h"
#include "cards/card_catalogue.h"
#include "harness/link_trace.h"
#include "harness/reader_machine.h"
#include "link.h"
#include "link/link_fixture.h"
#include "link/link_peer.h"
#include "usb_reader.h"

namespace qv::test {

inline harness::HeldReader ServiceConfig(std::uint64_t seed) {
    harness::HeldReader config = harness::HeldReader::ForSeed(seed);
    config.admitRequests = true;
    return config;
}

struct ProtocolResult {
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    ULONG information = 0xDEAD;
    Bytes reply;
};

// SetProtocol as the library calls it for IOCTL_SMARTCARD_SET_PROTOCOL.
inline ProtocolResult SelectProtocol(SMARTCARD_EXTENSION& card, ULONG mask, ULONG replyLength = sizeof(ULONG)) {
    ProtocolResult result;
    result.reply.assign(replyLength, 0xEE);
    card.MinorIoControlCode = mask;
    card.IoRequest.ReplyBuffer = result.reply.empty() ? nullptr : result.reply.data();
    card.IoRequest.ReplyBufferLength = replyLength;
    card.IoRequest.Information = &result.information;
    result.status = SetProtocol(&card);
    return result;
}

inline ULONG ProtocolOf(const ProtocolResult& result) {
    ULONG value = 0;
    if (result.reply.size() >= sizeof value) std::memcpy(&value, result.reply.data(), sizeof value);
    return value;
}

struct TransmitResult {
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    ULONG information = 0xDEAD;
    Bytes reply;    // the whole reply buffer as the driver left it
    Bytes response; // the bytes behind the header, Information permitting
};

inline constexpr ULONG kHeaderLength = sizeof(SCARD_IO_REQUEST);

// The request buffer of a transmit: the header for protocol, then the APDU.
inline Bytes TransmitRequest(ULONG protocol, const Bytes& apdu) {
    SCARD_IO_REQUEST header{protocol, kHeaderLength};
    Bytes request(reinterpret_cast<const std::uint8_t*>(&header),
                  reinterpret_cast<const std::uint8_t*>(&header) + sizeof header);
    request.reserve(request.size() + apdu.size()); // also keeps GCC 12 -O3 from a false -Warray-bounds
    request.insert(request.end(), apdu.begin(), apdu.end());
    return request;
}

// Transmit as the library calls it for IOCTL_SMARTCARD_TRANSMIT.
inline TransmitResult SendRequest(SMARTCARD_EXTENSION& card, Bytes request, ULONG replyLength = 300) {
    TransmitResult result;
    result.reply.assign(replyLength, 0xEE);
    card.IoRequest.RequestBuffer = request.data();
    card.IoRequest.RequestBufferLength = static_cast<ULONG>(request.size());
    card.IoRequest.ReplyBuffer = result.reply.empty() ? nullptr : result.reply.data();
    card.IoRequest.ReplyBufferLength = replyLength;
    card.IoRequest.Information = &result.information;
    card.MinorIoControlCode = card.CardCapabilities.Protocol.Selected;
    result.status = Transmit(&card);
    if (NT_SUCCESS(result.status) && result.information >= kHeaderLength && result.information <= replyLength) {
        result.response.assign(result.reply.begin() + kHeaderLength, result.reply.begin() + result.information);
    }
    return result;
}

inline TransmitResult SendApdu(SMARTCARD_EXTENSION& card, const Bytes& apdu, ULONG replyLength = 300) {
    return SendRequest(card, TransmitRequest(card.CardCapabilities.Protocol.Selected, apdu), replyLength);
}

// A catalogue card in the simulated reader.
struct SimBed {
    SimBed(std::string_view cardName, std::uint64_t seed)
        : seed(seed), reader({}, sim::MakeCard(cardName, seed)), bed(reader, ServiceConfig(seed)) {}

    void Run(const std::function<void()>& body) {
        RunResult run = bed.Run([&] {
            ASSERT_EQ(bed.Configure(0), STATUS_SUCCESS);
            ASSERT_EQ(bed.SendCommand(0, READER_COMMAND_LINK_RESET).status, STATUS_SUCCESS);
            bed.Reader(0).LinkSynchronized = 1;
            body();
        });
        EXPECT_TRUE(run.Ok()) << "seed " << seed << "\n" << run.report;
        RunResult end = bed.Shutdown();
        EXPECT_TRUE(end.Ok()) << "seed " << seed << "\n" << end.report;
    }

    // A cold reset as the library asks for it.
    NTSTATUS ColdReset() {
        Bytes atr(64);
        ULONG information = 0;
        SMARTCARD_EXTENSION& card = Card();
        card.MinorIoControlCode = SCARD_COLD_RESET;
        card.IoRequest.ReplyBuffer = atr.data();
        card.IoRequest.ReplyBufferLength = static_cast<ULONG>(atr.size());
        card.IoRequest.Information = &information;
        return CardPower(&card);
    }

    SMARTCARD_EXTENSION& Card() { return bed.Smartcard(0); }
    READER_EXTENSION& Reader() { return bed.Reader(0); }

    std::uint64_t seed;
    sim::UsbReader reader;
    harness::ReaderMachine bed;
};

// A scripted reader whose link peer answers every command with the next
// queued information field (status 0x00 and no data when none is queued).
struct ScriptedBed {
    explicit ScriptedBed(std::uint64_t seed) : bed(reader, ServiceConfig(seed)) {
        reader.SetResponder(AnsweredBy(peer));
    }

    void Run(const std::function<void()>& body) {
        RunResult run = bed.Run([&] {
            ASSERT_EQ(bed.Configure(0), STATUS_SUCCESS);
            bed.Reader(0).LinkSynchronized = 1;
            body();
        });
        EXPECT_TRUE(run.Ok()) << run.report;
        EXPECT_TRUE(bed.Shutdown().Ok());
    }

    // The information fields of the I-blocks the driver sent, in order:
    // the reader commands as they went out.
    std::vector<Bytes> Commands() const {
        std::vector<Bytes> commands;
        bool chained = false;
        for (const Bytes& block : reader.Blocks()) {
            if (block.size() < 4 || (block[1] & 0x80) != 0) continue;
            if (!chained) commands.emplace_back();
            commands.back().insert(commands.back().end(), block.begin() + 3, block.end() - 1);
            chained = (block[1] & 0x20) != 0;
        }
        return commands;
    }

    // A card ready for a PPS: an ATR taken, both protocols offered, the
    // library's state after parsing.
    void PrepareCard(ULONG supported = SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1, UCHAR fl = 1, UCHAR dl = 3) {
        SMARTCARD_EXTENSION& card = bed.Smartcard(0);
        card.CardCapabilities.Protocol.Supported = supported;
        card.CardCapabilities.Fl = fl;
        card.CardCapabilities.Dl = dl;
        card.ReaderCapabilities.CurrentState = SCARD_NEGOTIABLE;
        bed.Reader(0).CardReady = 1;
    }

    SMARTCARD_EXTENSION& Card() { return bed.Smartcard(0); }
    READER_EXTENSION& Reader() { return bed.Reader(0); }

    LinkPeer peer;
    ScriptedReader reader;
    harness::ReaderMachine bed;
};

} // namespace qv::test
