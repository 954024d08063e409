// The reader link: the reader's own command set, the block protocol that
// carries a command to the reader and its answer back, and the USB packet
// transport under both. All routines run at PASSIVE_LEVEL in the caller's
// thread (a request's thread, the polling thread or the Plug and Play start),
// one reader at a time under that reader's ReaderMutex; the start sequence
// sends its commands before any other user exists and takes no mutex.
#pragma once

#include "qvscr.h"

// ---------------------------------------------------------------------------
// Reader commands

// The numbers callers pass to SendReaderCommand. Number 1 and numbers above
// 9 do not exist.
constexpr ULONG READER_COMMAND_APDU = 0;        // D0 23 + APDU: passes a command APDU to the card
constexpr ULONG READER_COMMAND_CARD_STATUS = 2; // D0 31: card status bits in data byte 0
constexpr ULONG READER_COMMAND_READER_INFO = 3; // D0 C0: reader information (model id, version)
constexpr ULONG READER_COMMAND_COLD_RESET = 4;  // D0 E6 00 0F: cold reset; the data is the ATR
constexpr ULONG READER_COMMAND_WARM_RESET = 5;  // D0 E6 01 00: warm reset; the data is the ATR
constexpr ULONG READER_COMMAND_POWER_DOWN = 6;  // D0 E1: powers the card down
constexpr ULONG READER_COMMAND_LINK_RESET = 7;  // no command bytes: sequence bits to 0 and a RESYNCH
constexpr ULONG READER_COMMAND_PPS = 8;         // D0 E7 + PPS request
constexpr ULONG READER_COMMAND_SETUP = 9;       // D0 E4 00 08: sent at start; only the call's status counts
constexpr ULONG READER_COMMAND_LAST = READER_COMMAND_SETUP;

// Every command starts with this class byte.
constexpr UCHAR READER_COMMAND_CLASS = 0xD0;

// Longest payload of commands 0 and 8: a 2-byte header and the payload fill
// the 270-byte command buffer.
constexpr ULONG READER_MAX_PAYLOAD = READER_BUFFER_SIZE - 2;

// Layout of a reader's reply in ReplyData after a successful command: three
// bytes no user interprets, the reader's status byte, then the data.
constexpr ULONG READER_REPLY_STATUS_OFFSET = 3;
constexpr ULONG READER_REPLY_DATA_OFFSET = 4;

// The shortest reply that carries the reader's verdict: the three leading
// bytes and the status byte. SendReaderCommand fails every command whose
// reply its users read (0, 2, 3, 4, 5 and 8) when the reader's answer is
// shorter, so after STATUS_SUCCESS those users find the status byte inside
// ReplyLength; commands 6, 7 and 9 are judged by the call's status alone.
constexpr ULONG READER_REPLY_MIN_LENGTH = READER_REPLY_DATA_OFFSET;

// The reader's status byte in the reply of the last command, read only from
// within ReplyLength. FALSE, with *Status untouched, when the reply is too
// short to hold one.
inline BOOLEAN ReaderReplyStatus(const READER_EXTENSION* ReaderExtension, PUCHAR Status) {
    NT_ASSERT(ReaderExtension != NULL && Status != NULL);
    if (ReaderExtension->ReplyLength < READER_REPLY_MIN_LENGTH ||
        ReaderExtension->ReplyLength > sizeof(ReaderExtension->ReplyData)) {
        return FALSE;
    }
    *Status = ReaderExtension->ReplyData[READER_REPLY_STATUS_OFFSET];
    return TRUE;
}

// ---------------------------------------------------------------------------
// Link blocks: NAD, PCB, LEN, LEN bytes of INF, LRC (XOR of all before it)

typedef enum _LINK_BLOCK_KIND {
    KindInformation = 0, // I-block carrying the next piece of the command
    KindResynch = 1,     // S(RESYNCH request)
    KindAcknowledge = 2, // R-block without error, asking for the next chained piece
    KindWtxResponse = 3, // S(WTX response) granting the reader more time
    KindRepeat = 4,      // R-block with error, asking for a damaged block again
} LINK_BLOCK_KIND;

constexpr UCHAR LINK_NAD_DRIVER = 0x12; // node address on every block the driver sends
constexpr UCHAR LINK_NAD_READER = 0x21; // node addresses accepted from the reader
constexpr UCHAR LINK_NAD_ANY = 0x00;

constexpr ULONG LINK_NAD_OFFSET = 0;
constexpr ULONG LINK_PCB_OFFSET = 1;
constexpr ULONG LINK_LEN_OFFSET = 2;
constexpr ULONG LINK_INF_OFFSET = 3;
constexpr ULONG LINK_BLOCK_OVERHEAD = 4; // NAD, PCB, LEN and LRC
constexpr ULONG LINK_MAX_INF = 254;      // most INF bytes in one driver block
constexpr ULONG LINK_MAX_BLOCK = 259;    // the sender refuses any longer block

// Protocol control bytes and their bits.
constexpr UCHAR LINK_PCB_SEQUENCE = 0x40;        // N(S) of an I-block
constexpr UCHAR LINK_PCB_MORE = 0x20;            // I-block: another piece follows
constexpr UCHAR LINK_PCB_R_BLOCK = 0x80;         // R-block without error
constexpr UCHAR LINK_PCB_R_EDC_ERROR = 0x81;     // R-block reporting a check-byte error
constexpr UCHAR LINK_PCB_R_OTHER_ERROR = 0x82;   // R-block reporting another error; the driver's repeat request
constexpr UCHAR LINK_PCB_R_SEQUENCE = 0x10;      // N(R) of an R-block
constexpr UCHAR LINK_PCB_RESYNCH_REQUEST = 0xC0; // S(RESYNCH request)
constexpr UCHAR LINK_PCB_WTX_REQUEST = 0xC3;     // S(WTX request) from the reader
constexpr UCHAR LINK_PCB_WTX_RESPONSE = 0xE3;    // S(WTX response)
constexpr UCHAR LINK_WTX_GRANTED = 0x01;         // the one multiplier the driver grants

// N(R) of an R-block is the expected N(S) moved from bit 0x40 to bit 0x10.
constexpr UCHAR LINK_SEQUENCE_TO_NR_SHIFT = 2;

// Damaged replies answered with a repeat request in one exchange; the next
// damaged reply ends it.
constexpr ULONG LINK_MAX_REPEATS = 2;

// Pause before a WTX response, in milliseconds.
constexpr ULONG LINK_WTX_DELAY_MS = 10;

// Blocks the reader may send in one exchange, WTX requests, repeated and
// chained blocks included. The 270-byte cap on an answer counts only
// information bytes, so a reader that chains empty I-blocks, or asks for
// more time, without end would otherwise keep the exchange, and with it
// ReaderMutex, for ever. A 270-byte answer chained one byte at a time takes
// 270 blocks; the bound leaves room for that and for WTX requests and
// repeats on top.
constexpr ULONG LINK_MAX_EXCHANGE_REPLIES = 300;

// Well-formed blocks other than an S(RESYNCH response) that a RESYNCH
// exchange reads and drops before it gives up. They are answers the reader
// queued before it saw the RESYNCH: the late answer to a command whose wait
// was abandoned, or the rest of a chain. Taking one of them as the RESYNCH's
// answer would leave the real response in the pipe, and every later command
// would read the answer to the one before.
constexpr ULONG LINK_MAX_STALE_BLOCKS = 4;

// The one S-block that answers a RESYNCH request.
constexpr UCHAR LINK_PCB_RESYNCH_RESPONSE = 0xE0;

// ---------------------------------------------------------------------------
// USB reader packets: one header byte, then up to 63 bytes of the block

constexpr ULONG USB_PACKET_PAYLOAD = 63;
constexpr UCHAR USB_PACKET_MORE = 0x00; // another packet of the same block follows
constexpr UCHAR USB_PACKET_LAST = 0x04; // last packet of the block

// Longest block whose packet stream still fits UsbOutBuffer: 265 bytes in
// five packets make 270.
constexpr ULONG USB_MAX_OUT_BLOCK = 265;
static_assert(USB_MAX_OUT_BLOCK + (USB_MAX_OUT_BLOCK + USB_PACKET_PAYLOAD - 1) / USB_PACKET_PAYLOAD ==
                  READER_BUFFER_SIZE,
              "the longest block's packets fill UsbOutBuffer exactly");

// Zero-length input transfers skipped while one block is read; one more
// fails the read with STATUS_DEVICE_DATA_ERROR.
constexpr ULONG USB_MAX_EMPTY_TRANSFERS = 4;

// Bounds of the waits for bulk transfers, so that a reader that stops
// answering cannot hold its caller, and with it ReaderMutex and LinkIdle
// (which stop and power-down wait for), for good. A transfer that has not
// completed after USB_READER_WAIT_MS plus the card's block waiting time
// (CardCapabilities.T1.BWT times T1.Wtx, when set) is cancelled and
// reported as STATUS_IO_TIMEOUT.
//
// The fixed part must not cut off a reader that is still working. Under
// T=0 the reader cannot see how long the card will take: a card may keep
// asking for more time with NULL procedure bytes, and on-card key
// generation takes tens of seconds, while the reader need not send WTX
// requests meanwhile. A minute covers that with room to spare; a reader
// that never answers gives up ReaderMutex after one minute for the
// command and one more for the recovery RESYNCH, well within what the
// Plug and Play and power managers wait for a driver. A WTX request starts
// a new wait. The control requests of the configuration and the pipe
// resets are not bounded.
constexpr ULONG USB_READER_WAIT_MS = 60000;
constexpr ULONG USB_MAX_WAIT_MS = 3600000; // cap for a card's absurd BWT x WTX

// A wait on the bus that is never bounded (SubmitUrb's own waits).
constexpr ULONG USB_WAIT_FOREVER = 0;

// The READER_EXTENSION behind a reader's device object. Every reader's
// device object has one from add-device until its tear-down, and nothing
// reaches the link or the USB configuration outside that time.
inline PREADER_EXTENSION ReaderExtensionOfDevice(PDEVICE_OBJECT DeviceObject) {
    NT_ASSERT(DeviceObject != NULL && DeviceObject->DeviceExtension != NULL);
    PREADER_EXTENSION readerExtension =
        static_cast<PDEVICE_EXTENSION>(DeviceObject->DeviceExtension)->SmartcardExtension.ReaderExtension;
    NT_ASSERT(readerExtension != NULL);
    return readerExtension;
}

// ---------------------------------------------------------------------------
// Reader commands (reader_commands.cpp)

// Sends command Number to the reader behind Extension and waits for its
// whole answer, left in ReplyData/ReplyLength. For commands 0 and 8 the
// caller puts the payload in CommandBlock/CommandLength first. The caller
// holds ReaderMutex (the start sequence excepted). LinkIdle is not signalled
// while the command is on the link.
NTSTATUS SendReaderCommand(ULONG Number, PSMARTCARD_EXTENSION Extension);

// Copies HeaderLength header bytes and PayloadLength payload bytes one after
// the other into Destination and reports the total in *Length.
NTSTATUS BuildCommand(PUCHAR Destination, ULONG DestinationSize, const UCHAR* Header, ULONG HeaderLength,
                      const UCHAR* Payload, ULONG PayloadLength, PULONG Length);

// ---------------------------------------------------------------------------
// Block transport (block_transport.cpp)

// Carries Length command bytes at Data to the reader as I-blocks
// (KindInformation) or sends one RESYNCH request (KindResynch) and collects
// the reader's answer: after STATUS_SUCCESS ReplyData holds the information
// fields of the answer blocks joined in order.
NTSTATUS LinkExchange(const UCHAR* Data, ULONG Length, PSMARTCARD_EXTENSION Extension, LINK_BLOCK_KIND Kind);

// Checks one received block: length, node address, check byte, and that it
// is not an R-block reporting an error. STATUS_SUCCESS or
// STATUS_INVALID_DEVICE_STATE.
NTSTATUS CheckReplyBlock(const UCHAR* Block, const ULONG* Length);

// ---------------------------------------------------------------------------
// USB packet transport (usb_transport.cpp)

// Sends the block in CommandBlock/CommandLength and reads the reader's block
// back into ReplyData/ReplyLength, byte for byte. On failure ReplyData and
// ReplyLength are left as they were.
NTSTATUS UsbExchange(PSMARTCARD_EXTENSION Extension);

// CommandBlock/CommandLength cut into packets in UsbOutBuffer/UsbOutLength.
VOID BuildOutPackets(PREADER_EXTENSION ReaderExtension);

// Writes UsbOutBuffer on the output pipe (slot 1).
NTSTATUS UsbWriteBlock(PSMARTCARD_EXTENSION Extension);

// Reads the packets of one block from the input pipe (slot 0) into
// UsbInBuffer/UsbInLength.
NTSTATUS UsbReadReply(PSMARTCARD_EXTENSION Extension);

// Reads one more block from the input pipe into ReplyData/ReplyLength
// without sending anything: the second half of UsbExchange, for blocks the
// reader queued before it answered the last one. A failed read resets the
// input pipe and leaves ReplyData and ReplyLength as they were.
NTSTATUS UsbReceiveBlock(PSMARTCARD_EXTENSION Extension);

// The payloads of the packets in UsbInBuffer joined into ReplyData/ReplyLength.
VOID CollectInPackets(PREADER_EXTENSION ReaderExtension);

// Sends Urb to the LowerDevice of DeviceObject's reader and waits for it
// without a time-out.
NTSTATUS SubmitUrb(PDEVICE_OBJECT DeviceObject, PURB Urb);

// The same, but a request still running after TimeoutMs milliseconds
// (USB_WAIT_FOREVER: never) is cancelled, and STATUS_IO_TIMEOUT returned
// unless it completed successfully after all.
NTSTATUS SubmitUrbWithTimeout(PDEVICE_OBJECT DeviceObject, PURB Urb, ULONG TimeoutMs);

// Resets the pipe of pipe slot Slot (USB_INPUT_PIPE_SLOT or USB_OUTPUT_PIPE_SLOT).
NTSTATUS ResetUsbPipe(PDEVICE_OBJECT DeviceObject, ULONG Slot);

// Waits Milliseconds in the calling thread (kernel mode, not alertable).
NTSTATUS SleepMs(ULONG Milliseconds);
