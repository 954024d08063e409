#include "harness/pcap_writer.h"

#include <pcap/pcap.h>
#include <pcap/usb.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "kernel/kernel.h"

namespace qv::harness {

namespace {

constexpr int kSnapLength = 65535;
constexpr std::uint16_t kBusNumber = 1;
constexpr std::uint8_t kSubmission = 'S';
constexpr std::uint8_t kCompletion = 'C';
// usbmon's transfer types.
constexpr std::uint8_t kTransferControl = 2;
constexpr std::uint8_t kTransferBulk = 3;
constexpr std::uint8_t kDirectionIn = 0x80;
// usbmon's flags: 0 means "present"; these characters say why not.
constexpr char kPresent = 0;
constexpr char kNoSetup = '-';
constexpr char kNoDataIn = '<';  // an IN submission carries no data yet
constexpr char kNoDataOut = '>'; // an OUT completion carries none back
constexpr std::size_t kSetupLength = 8;
constexpr std::uint64_t kTicksPerMicrosecond = kTicksPerMillisecond / 1000;
constexpr std::uint64_t kMicrosecondsPerSecond = 1'000'000;

// The status a Linux host controller reports for a URB, as negative errno
// values, from the USBD status the bus completed the request with.
std::int32_t LinuxStatus(USBD_STATUS status) {
    switch (status) {
    case USBD_STATUS_SUCCESS: return 0;
    case USBD_STATUS_STALL_PID: return -EPIPE;
    case USBD_STATUS_XACT_ERROR: return -EPROTO;
    case USBD_STATUS_CANCELED: return -ENOENT;
    case USBD_STATUS_DEVICE_GONE: return -ESHUTDOWN;
    case USBD_STATUS_ERROR_SHORT_TRANSFER: return -EREMOTEIO;
    case USBD_STATUS_ENDPOINT_HALTED: return -EPIPE;
    default: return -EIO;
    }
}

std::vector<std::uint8_t> Serialise(const pcap_usb_header_mmapped& header, const std::vector<std::uint8_t>& data) {
    std::vector<std::uint8_t> bytes(sizeof header + data.size());
    std::memcpy(bytes.data(), &header, sizeof header);
    if (!data.empty()) std::memcpy(bytes.data() + sizeof header, data.data(), data.size());
    return bytes;
}

void Stamp(pcap_usb_header_mmapped& header, std::uint64_t time) {
    const std::uint64_t us = time / kTicksPerMicrosecond;
    header.ts_sec = static_cast<std::int64_t>(us / kMicrosecondsPerSecond);
    header.ts_usec = static_cast<std::int32_t>(us % kMicrosecondsPerSecond);
}

} // namespace

std::unique_ptr<PcapWriter> PcapWriter::Open(const std::string& path, std::string& error) {
    pcap_t* pcap = pcap_open_dead(DLT_USB_LINUX_MMAPPED, kSnapLength);
    if (pcap == nullptr) {
        error = "libpcap could not make a capture";
        return nullptr;
    }
    pcap_dumper_t* dumper = pcap_dump_open(pcap, path.c_str());
    if (dumper == nullptr) {
        error = "cannot write the capture " + path + ": " + pcap_geterr(pcap);
        pcap_close(pcap);
        return nullptr;
    }
    return std::unique_ptr<PcapWriter>(new PcapWriter(pcap, dumper));
}

PcapWriter::PcapWriter(void* pcap, void* dumper) : pcap_(pcap), dumper_(dumper) {}

PcapWriter::~PcapWriter() { Close(); }

void PcapWriter::AddRecord(std::uint64_t time, std::vector<std::uint8_t> bytes) {
    records_.push_back(Record{time, order_++, std::move(bytes)});
}

void PcapWriter::Add(const usb::TransferEvent& event) {
    if (closed_) return;
    const bool control = event.kind == usb::TransferKind::Control || event.kind == usb::TransferKind::ResetPipe;
    const bool in = control ? (!event.setup.empty() && (event.setup[0] & kDirectionIn) != 0)
                            : event.kind == usb::TransferKind::In;
    pcap_usb_header_mmapped header{};
    header.id = event.id;
    header.transfer_type = control ? kTransferControl : kTransferBulk;
    // Control requests go to endpoint 0; the direction bit follows the data.
    header.endpoint_number = static_cast<std::uint8_t>((control ? 0 : event.endpoint & ~kDirectionIn) | (in ? kDirectionIn : 0));
    header.device_address = event.address;
    header.bus_id = kBusNumber;
    header.urb_len = event.requested;

    // The submission: the setup packet of a control request, the data of an
    // OUT transfer.
    pcap_usb_header_mmapped submit = header;
    submit.event_type = kSubmission;
    submit.status = -EINPROGRESS;
    std::vector<std::uint8_t> submitted;
    if (control && event.setup.size() == kSetupLength) {
        submit.setup_flag = kPresent;
        std::memcpy(&submit.s.setup, event.setup.data(), kSetupLength);
    } else {
        submit.setup_flag = kNoSetup;
    }
    if (in || event.kind == usb::TransferKind::ResetPipe || (control && event.requested == 0)) {
        submit.data_flag = in ? kNoDataIn : kNoDataOut;
    } else {
        submitted = event.data;
        submit.data_flag = kPresent;
    }
    submit.data_len = static_cast<std::uint32_t>(submitted.size());
    Stamp(submit, event.submittedAt);
    AddRecord(event.submittedAt, Serialise(submit, submitted));

    // The completion: the bytes that moved in; for OUT, how many went.
    pcap_usb_header_mmapped complete = header;
    complete.event_type = kCompletion;
    complete.status = LinuxStatus(event.status);
    complete.setup_flag = kNoSetup;
    complete.urb_len = static_cast<std::uint32_t>(event.data.size());
    std::vector<std::uint8_t> received;
    if (in) {
        received = event.data;
        complete.data_flag = kPresent;
    } else {
        complete.data_flag = kNoDataOut;
    }
    complete.data_len = static_cast<std::uint32_t>(received.size());
    Stamp(complete, event.time);
    AddRecord(event.time, Serialise(complete, received));
}

std::size_t PcapWriter::Close() {
    if (closed_) return 0;
    closed_ = true;
    // Requests are reported when they complete; the file lists them in the
    // order things happened on the bus.
    std::stable_sort(records_.begin(), records_.end(),
                     [](const Record& a, const Record& b) { return a.time != b.time ? a.time < b.time : a.order < b.order; });
    auto* dumper = static_cast<pcap_dumper_t*>(dumper_);
    for (const Record& record : records_) {
        pcap_pkthdr header{};
        const std::uint64_t us = record.time / kTicksPerMicrosecond;
        header.ts.tv_sec = static_cast<time_t>(us / kMicrosecondsPerSecond);
        header.ts.tv_usec = static_cast<suseconds_t>(us % kMicrosecondsPerSecond);
        header.caplen = static_cast<bpf_u_int32>(record.bytes.size());
        header.len = header.caplen;
        pcap_dump(reinterpret_cast<u_char*>(dumper), &header, record.bytes.data());
    }
    pcap_dump_close(dumper);
    pcap_close(static_cast<pcap_t*>(pcap_));
    return records_.size();
}

} // namespace qv::harness
