// The link against a reader that misbehaves: answers late, slowly, out of
// turn, without end, in broken packets, or comes with the wrong pipes. The
// simulated reader shows each case through an armed fault; where the exact
// bytes matter a scripted reader does. Every scenario runs under the seeds
// of QV_SEEDS, with the bus completing requests at once, later, and mixed,
// and with eager and lazy thread switching; after each misbehaviour the next ordinary command succeeds, and
// the shutdown's unload audit finds nothing left behind.
#include <gtest/gtest.h>

#include <atomic>

#include <functional>
#include <new>
#include <string>

#include "harness/reader_machine.h"
#include "io/io_manager.h"
#include "link.h"
#include "link/link_fixture.h"
#include "harness/seeds.h"
#include "usb_config.h"
#include "usb_reader.h"

namespace qv::test {
namespace {

// Scheduling modes: the bus's share of requests completed later from a DPC
// (none, half, all), and how eagerly the kernel switches threads at each
// kernel call.
struct SchedulingMode {
    unsigned asyncPercent;
    unsigned switchPercent;
};
constexpr SchedulingMode kSchedulingModes[] = {{0, 50}, {50, 50}, {100, 50}, {50, 10}, {50, 90}};

// Long enough for a command's full wait and its recovery RESYNCH; a link
// that loops for ever is reported as hung instead of holding the test.
constexpr VirtualTime kRunLimit = 10ull * 60 * kTicksPerSecond;

constexpr UCHAR kStatusOk = 0x00;
constexpr UCHAR kCardPresent = 0x08;
constexpr std::size_t kCardStatusReplyLength = 6;

using SimBody = std::function<void(sim::UsbReader&, harness::ReaderMachine&)>;

// Runs body on a configured simulated reader whose link has been reset,
// once per seed and completion mode.
void ForEachRun(const SimBody& body, const sim::ReaderOptions& options = {}) {
    for (std::uint64_t seed : harness::RunSeeds()) {
        for (const SchedulingMode& mode : kSchedulingModes) {
            SCOPED_TRACE("seed " + std::to_string(seed) + ", " + std::to_string(mode.asyncPercent) +
                         "% completed later, " + std::to_string(mode.switchPercent) + "% switches");
            sim::UsbReader reader(options);
            harness::HeldReader config = harness::HeldReader::ForSeed(seed);
            config.bus.asyncPercent = mode.asyncPercent;
            config.machine.switchPercent = mode.switchPercent;
            config.machine.timeLimit = kRunLimit;
            harness::ReaderMachine bed(reader, config);
            RunResult run = bed.Run([&] {
                ASSERT_EQ(bed.Configure(0), STATUS_SUCCESS);
                ASSERT_EQ(bed.SendCommand(0, READER_COMMAND_LINK_RESET).status, STATUS_SUCCESS);
                bed.Reader(0).LinkSynchronized = 1;
                body(reader, bed);
            });
            EXPECT_TRUE(run.Ok()) << "seed " << seed << "\n" << run.report;
            RunResult end = bed.Shutdown();
            EXPECT_TRUE(end.Ok()) << "seed " << seed << "\n" << end.report;
        }
    }
}

// The link is in step again: an ordinary command gets its own answer.
void ExpectLinkRecovered(harness::ReaderMachine& bed) {
    for (int i = 0; i < 2; ++i) {
        const harness::CommandResult status = bed.SendCommand(0, READER_COMMAND_CARD_STATUS);
        EXPECT_EQ(status.status, STATUS_SUCCESS);
        ASSERT_EQ(status.reply.size(), kCardStatusReplyLength);
        EXPECT_EQ(status.reply[READER_REPLY_STATUS_OFFSET], kStatusOk);
        EXPECT_NE(status.reply[READER_REPLY_DATA_OFFSET] & kCardPresent, 0);
    }
    const harness::CommandResult info = bed.SendCommand(0, READER_COMMAND_READER_INFO);
    EXPECT_EQ(info.status, STATUS_SUCCESS);
    ASSERT_GT(info.reply.size(), READER_REPLY_DATA_OFFSET + 6);
    EXPECT_EQ(std::string(info.reply.begin() + READER_REPLY_DATA_OFFSET,
                          info.reply.begin() + READER_REPLY_DATA_OFFSET + 6),
              "QV-38N");
    EXPECT_EQ(KeReadStateEvent(&bed.Reader(0).LinkIdle), 1);
}

// ---- Late and slow answers --------------------------------------------------

// The answer comes only after the driver has given up on it and sent the
// recovery RESYNCH; it arrives ahead of the RESYNCH response, which must not
// be left in the pipe for the next command to read.
TEST(MisbehavingReader, LateAnswerIsDroppedAndTheLinkRecovers) {
    ForEachRun([](sim::UsbReader& reader, harness::ReaderMachine& bed) {
        reader.Arm(sim::Fault::LateAnswer);
        const VirtualTime start = K().Now();
        EXPECT_EQ(bed.SendCommand(0, READER_COMMAND_READER_INFO).status, STATUS_IO_TIMEOUT);
        const VirtualTime waited = K().Now() - start;
        EXPECT_GE(waited, USB_READER_WAIT_MS * kTicksPerMillisecond);
        EXPECT_LT(waited, (USB_READER_WAIT_MS + 1000) * kTicksPerMillisecond)
            << "the late answer and the response come at once after the RESYNCH";
        EXPECT_EQ(KeReadStateEvent(&bed.Reader(0).LinkIdle), 1);
        EXPECT_EQ(reader.Faults().Fired(sim::Fault::LateAnswer), 1u);
        EXPECT_EQ(reader.QueuedAnswers(), 0u) << "nothing stale left in the reader's queue";
        ExpectLinkRecovered(bed);
    });
}

// Two threads share the link while one command's answer comes late: that
// one command fails, and every other command, on either thread, gets its
// own answer (the reader echoes the instruction byte in reply byte 1),
// never the one before it.
TEST(MisbehavingReader, LateAnswerNeverReachesAnotherThreadsCommand) {
    constexpr int kCommandsPerThread = 4;
    constexpr std::size_t kEchoedInstruction = 1;
    ForEachRun([](sim::UsbReader& reader, harness::ReaderMachine& bed) {
        reader.Arm(sim::Fault::LateAnswer);
        // Shared by the two simulated threads: counted atomically.
        std::atomic<int> failed = 0;
        std::atomic<int> ownAnswers = 0;
        struct Worker {
            const char* name;
            ULONG command;
            UCHAR instruction;
        };
        const Worker workers[] = {{"poller", READER_COMMAND_CARD_STATUS, 0x31},
                                  {"requests", READER_COMMAND_READER_INFO, 0xC0}};
        KEVENT done[2];
        for (std::size_t w = 0; w < 2; ++w) {
            KeInitializeEvent(&done[w], NotificationEvent, FALSE);
            K().Spawn(workers[w].name, [&bed, &failed, &ownAnswers, &done, &workers, w] {
                for (int i = 0; i < kCommandsPerThread; ++i) {
                    const harness::CommandResult result = bed.SendCommand(0, workers[w].command);
                    if (result.status != STATUS_SUCCESS) {
                        ++failed;
                        continue;
                    }
                    ownAnswers += result.reply.size() > kEchoedInstruction &&
                                  result.reply[kEchoedInstruction] == workers[w].instruction;
                }
                KeSetEvent(&done[w], IO_NO_INCREMENT, FALSE);
            });
        }
        for (KEVENT& event : done) KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        EXPECT_EQ(failed.load(), 1) << "only the command whose answer came late";
        EXPECT_EQ(ownAnswers.load(), 2 * kCommandsPerThread - 1);
        ExpectLinkRecovered(bed);
    });
}

// A card operation that takes 20 s without a WTX request from the reader
// is still the reader at work: its answer is taken.
TEST(MisbehavingReader, SlowReaderWithoutWtxIsWaitedFor) {
    ForEachRun([](sim::UsbReader& reader, harness::ReaderMachine& bed) {
        reader.Arm(sim::Fault::SlowNoWtx);
        const VirtualTime start = K().Now();
        const harness::CommandResult status = bed.SendCommand(0, READER_COMMAND_CARD_STATUS);
        EXPECT_GE(K().Now() - start, sim::kSlowAnswerTime);
        EXPECT_EQ(status.status, STATUS_SUCCESS);
        EXPECT_EQ(status.reply.size(), kCardStatusReplyLength);
        ExpectLinkRecovered(bed);
    });
}

// A reader that never answers holds ReaderMutex and LinkIdle for one wait
// on the command and one on the recovery RESYNCH, and then lets go, so that
// stop and power-down, which wait for LinkIdle, are not held for ever.
TEST(MisbehavingReader, SilentReaderLetsGoAfterTwoWaits) {
    ForEachSeed([](LinkBed& t) {
        t.Run([&] {
            t.Reader().LinkSynchronized = 1;
            const VirtualTime start = K().Now();
            EXPECT_EQ(t.bed.SendCommand(0, READER_COMMAND_CARD_STATUS).status, STATUS_IO_TIMEOUT);
            const VirtualTime waited = K().Now() - start;
            EXPECT_GE(waited, 2 * USB_READER_WAIT_MS * kTicksPerMillisecond);
            EXPECT_LT(waited, (2 * USB_READER_WAIT_MS + 1000) * kTicksPerMillisecond);
            EXPECT_EQ(KeReadStateEvent(&t.Reader().LinkIdle), 1);
        });
        EXPECT_EQ(t.reader.Blocks(), (Transfers{DriverBlock(0x00, {0xD0, 0x31}), kResynch}));
    });
}

// Work that takes longer than the bound on one wait, announced by a WTX
// request every 10 s: each request starts a new wait, and the answer is
// taken.
TEST(MisbehavingReader, SlowReaderThatKeepsAskingForTimeIsWaitedFor) {
    ForEachRun([](sim::UsbReader& reader, harness::ReaderMachine& bed) {
        reader.Arm(sim::Fault::SlowWtx);
        const VirtualTime start = K().Now();
        const harness::CommandResult status = bed.SendCommand(0, READER_COMMAND_CARD_STATUS);
        EXPECT_GE(K().Now() - start, sim::kVerySlowAnswerTime);
        EXPECT_EQ(status.status, STATUS_SUCCESS);
        EXPECT_EQ(status.reply.size(), kCardStatusReplyLength);
        ExpectLinkRecovered(bed);
    });
}

// ---- Answers that are not I-blocks --------------------------------------------

// An R-block in place of the answer while ReceiveSequence is 0, and an
// S-block with one INF byte while it is 0x40: both pass the reply table, but
// neither holds a status byte, so neither is a reader verdict.
TEST(MisbehavingReader, NonIBlockAnswerIsNoVerdict) {
    ForEachRun([](sim::UsbReader& reader, harness::ReaderMachine& bed) {
        reader.Arm(sim::Fault::AnswerRBlock);
        EXPECT_EQ(bed.SendCommand(0, READER_COMMAND_CARD_STATUS).status, STATUS_INVALID_DEVICE_STATE);
        ExpectLinkRecovered(bed);

        ASSERT_EQ(bed.Reader(0).ReceiveSequence, LINK_PCB_SEQUENCE) << "an odd number of answers since the reset";
        reader.Arm(sim::Fault::AnswerSBlock);
        EXPECT_EQ(bed.SendCommand(0, READER_COMMAND_CARD_STATUS).status, STATUS_INVALID_DEVICE_STATE);
        UCHAR status = 0;
        EXPECT_FALSE(ReaderReplyStatus(&bed.Reader(0), &status));
        ExpectLinkRecovered(bed);
    });
}

// The reply table itself is unchanged: a bare R-block still ends a command
// with success. For commands whose reply nobody reads that stands; for a
// command whose status byte is read it fails, and one RESYNCH follows.
TEST(MisbehavingReader, ReplyTooShortForAStatusByteFailsOnlyCommandsThatAreRead) {
    ForEachSeed([](LinkBed& t) {
        t.reader.AnswerBlock(ReaderBlock(0x80)); // command 9
        t.reader.AnswerBlock(ReaderBlock(0x90)); // command 2; its recovery RESYNCH:
        t.reader.AnswerBlock(kResynchAnswer);
        t.reader.AnswerBlock(ReaderBlock(0x00, {0xD0, 0x31, 0x00})); // three bytes: still no status byte
        t.reader.AnswerBlock(kResynchAnswer);
        t.Run([&] {
            t.Reader().LinkSynchronized = 1;
            EXPECT_EQ(t.bed.SendCommand(0, READER_COMMAND_SETUP).status, STATUS_SUCCESS);
            EXPECT_EQ(t.Reader().ReplyLength, 0u);
            UCHAR status = 0xEE;
            EXPECT_FALSE(ReaderReplyStatus(&t.Reader(), &status));
            EXPECT_EQ(status, 0xEE);

            EXPECT_EQ(t.bed.SendCommand(0, READER_COMMAND_CARD_STATUS).status, STATUS_INVALID_DEVICE_STATE);
            EXPECT_EQ(t.Reader().ReplyLength, 0u);
            EXPECT_EQ(t.bed.SendCommand(0, READER_COMMAND_CARD_STATUS).status, STATUS_INVALID_DEVICE_STATE);
        });
        EXPECT_EQ(t.reader.Blocks(),
                  (Transfers{DriverBlock(0x00, {0xD0, 0xE4, 0x00, 0x08}), DriverBlock(0x00, {0xD0, 0x31}), kResynch,
                             DriverBlock(0x00, {0xD0, 0x31}), kResynch}));
    });
}

// ---- Answers without end ----------------------------------------------------------

// Empty chained I-blocks carry no information bytes, so the 270-byte cap
// never stops them: the bound on blocks per exchange does.
TEST(MisbehavingReader, EndlessEmptyChainIsCutOff) {
    ForEachRun([](sim::UsbReader& reader, harness::ReaderMachine& bed) {
        reader.Arm(sim::Fault::EndlessEmptyChain);
        const std::uint64_t before = bed.Bus().Counters().outTransfers;
        EXPECT_EQ(bed.SendCommand(0, READER_COMMAND_CARD_STATUS).status, STATUS_INVALID_DEVICE_STATE);
        const std::uint64_t blocksSent = bed.Bus().Counters().outTransfers - before;
        // Every block is one packet: one block for each reply up to the one
        // past the bound, then the recovery RESYNCH.
        EXPECT_EQ(blocksSent, LINK_MAX_EXCHANGE_REPLIES + 2);
        ExpectLinkRecovered(bed);
    });
}

// A stream of "more follows" packets fails with an error-severity status.
TEST(MisbehavingReader, EndlessInputStreamFailsWithAnError) {
    ForEachRun([](sim::UsbReader& reader, harness::ReaderMachine& bed) {
        reader.Arm(sim::Fault::InEndless);
        EXPECT_EQ(bed.SendCommand(0, READER_COMMAND_CARD_STATUS).status, STATUS_DEVICE_DATA_ERROR);
        ExpectLinkRecovered(bed);
    });
}

// ---- Broken packets ------------------------------------------------------------------

TEST(MisbehavingReader, ShortPacketInTheMiddleOfAnAnswerFailsTheCommand) {
    ForEachRun([](sim::UsbReader& reader, harness::ReaderMachine& bed) {
        reader.Arm(sim::Fault::ShortMiddlePacket);
        EXPECT_EQ(bed.SendCommand(0, READER_COMMAND_READER_INFO).status, STATUS_DEVICE_DATA_ERROR);
        ExpectLinkRecovered(bed);
    });
}

// Joined in 63-byte steps, a short first packet would put the second
// packet's header byte into the block: here the result would even be a
// well-formed block with the card status byte moved (card absent).
TEST(MisbehavingReader, ShortPacketThatAnnouncesMoreIsADamagedTransfer) {
    ForEachSeed([](LinkBed& t) {
        // 21 00 07 | D0 31 04 00 00 08 00 as it would be misjoined.
        Bytes misjoined = ReaderBlock(0x00, {0xD0, 0x31, 0x04, 0x00, 0x00, 0x08, 0x00});
        Bytes first{kPacketMore};
        first.insert(first.end(), misjoined.begin(), misjoined.begin() + 5);
        Bytes second{kPacketLast};
        second.insert(second.end(), misjoined.begin() + 6, misjoined.end());
        t.reader.Answer({first, second});
        t.Run([&] {
            t.SetCommandBlock(DriverBlock(0x00, {0xD0, 0x31}));
            t.Reader().ReplyLength = 0;
            EXPECT_EQ(UsbExchange(t.Extension()), STATUS_DEVICE_DATA_ERROR);
            EXPECT_EQ(t.Reader().ReplyLength, 0u) << "nothing of the damaged transfer is handed on";
        });
        EXPECT_EQ(t.reader.ResetsOf(kInEndpoint), 1u);
    });
}

// ---- Wrong pipes ------------------------------------------------------------------------

void ExpectRefusedPipes(sim::PipeLayout layout) {
    sim::ReaderOptions options;
    options.pipes = layout;
    for (std::uint64_t seed : harness::RunSeeds()) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        sim::UsbReader reader(options);
        harness::ReaderMachine bed(reader, harness::HeldReader::ForSeed(seed));
        RunResult run = bed.Run([&] {
            EXPECT_EQ(bed.Configure(0), STATUS_DEVICE_CONFIGURATION_ERROR);
            ASSERT_NE(bed.Reader(0).UsbConfig, nullptr);
            EXPECT_EQ(bed.Reader(0).UsbConfig->PipeSlots, nullptr) << "no slot for a pipe the link cannot use";
            EXPECT_EQ(bed.SendCommand(0, READER_COMMAND_CARD_STATUS).status, STATUS_INVALID_HANDLE);
        });
        EXPECT_TRUE(run.Ok()) << "seed " << seed << "\n" << run.report;
        EXPECT_EQ(bed.Bus().Counters().outTransfers + bed.Bus().Counters().inTransfers, 0u)
            << "nothing was sent on the wrong pipes";
        RunResult end = bed.Shutdown();
        EXPECT_TRUE(end.Ok()) << "seed " << seed << "\n" << end.report;
    }
}

TEST(MisbehavingReader, SwappedPipesFailTheConfiguration) { ExpectRefusedPipes(sim::PipeLayout::Swapped); }

TEST(MisbehavingReader, SmallPipesFailTheConfiguration) { ExpectRefusedPipes(sim::PipeLayout::Small); }

TEST(MisbehavingReader, InterruptOutputPipeOrAMissingPipeFailsTheConfiguration) {
    const std::vector<InterfaceSpec> layouts = {
        {.endpoints = {{.address = kInEndpoint},
                       {.address = kOutEndpoint, .attributes = USB_ENDPOINT_TYPE_INTERRUPT, .interval = 1}}},
        {.endpoints = {{.address = kInEndpoint}}},
    };
    for (const InterfaceSpec& layout : layouts) {
        ForEachSeed([&](LinkBed& t) {
            t.reader.SetDescriptors(Bytes(t.reader.DeviceDescriptor().begin(), t.reader.DeviceDescriptor().end()),
                                    MakeConfigurationDescriptor({layout}));
            RunResult run = t.bed.Run([&] { EXPECT_EQ(t.bed.Configure(0), STATUS_DEVICE_CONFIGURATION_ERROR); });
            EXPECT_TRUE(run.Ok()) << run.report;
            RunResult end = t.bed.Shutdown();
            EXPECT_TRUE(end.Ok()) << end.report;
        });
    }
}

// ---- A cancelled transfer that fails for another reason ------------------------------

// A lower device that never completes a request by itself and, when the
// request is cancelled, completes it with CancelStatus: the device went
// away while the driver was giving up on it.
struct HoldingDevice {
    NTSTATUS CancelStatus = STATUS_CANCELLED;
};

VOID NTAPI CancelHeld(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    IoReleaseCancelSpinLock(Irp->CancelIrql);
    Irp->IoStatus.Status = static_cast<HoldingDevice*>(DeviceObject->DeviceExtension)->CancelStatus;
    Irp->IoStatus.Information = 0;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
}

NTSTATUS NTAPI HoldRequest(PDEVICE_OBJECT, PIRP Irp) {
    IoMarkIrpPending(Irp);
    IoSetCancelRoutine(Irp, &CancelHeld);
    return STATUS_PENDING;
}

NTSTATUS NTAPI HoldingEntry(PDRIVER_OBJECT Driver, PUNICODE_STRING) {
    Driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = &HoldRequest;
    return STATUS_SUCCESS;
}

TEST(SubmitUrb, CancelledRequestKeepsAFailureOtherThanTheCancel) {
    for (std::uint64_t seed : harness::RunSeeds()) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        LinkBed t(seed);
        t.Run([&] {
            NTSTATUS loaded = STATUS_UNSUCCESSFUL;
            PDRIVER_OBJECT driver = Io().LoadDriver(u"holding", &HoldingEntry, &loaded);
            ASSERT_EQ(loaded, STATUS_SUCCESS);
            PDEVICE_OBJECT device = nullptr;
            ASSERT_EQ(IoCreateDevice(driver, sizeof(HoldingDevice), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device),
                      STATUS_SUCCESS);
            HoldingDevice& holding = *new (device->DeviceExtension) HoldingDevice{};
            PDEVICE_OBJECT usbStack = t.Reader().LowerDevice;
            t.Reader().LowerDevice = device;

            constexpr ULONG kWaitMs = 100;
            URB urb{};
            holding.CancelStatus = STATUS_CANCELLED;
            EXPECT_EQ(SubmitUrbWithTimeout(t.bed.Device(0), &urb, kWaitMs), STATUS_IO_TIMEOUT);
            holding.CancelStatus = STATUS_DEVICE_NOT_CONNECTED;
            EXPECT_EQ(SubmitUrbWithTimeout(t.bed.Device(0), &urb, kWaitMs), STATUS_DEVICE_NOT_CONNECTED);

            t.Reader().LowerDevice = usbStack;
            // The driver object stays loaded: its unload audit would count the
            // reader's blocks, which are still in use, as its own.
            IoDeleteDevice(device);
        });
    }
}

} // namespace
} // namespace qv::test
