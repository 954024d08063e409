// A capture of the emulated bus's USB traffic in the format of Linux's
// usbmon (LINKTYPE_USB_LINUX_MMAPPED), written through libpcap, so that
// Wireshark and tshark decode it as USB: every request as a submission
// record and a completion record, stamped with the machine's virtual time,
// bus 1, the device's address as the bus gave it.
//
//   auto capture = harness::PcapWriter::Open("run.pcap", error);
//   bus.AddWatcher([&](const usb::TransferEvent& e) { capture->Add(e); });
//   ...
//   capture->Close(); // the records, in time order, go to the file
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "usb/usb_bus.h"

namespace qv::harness {

class PcapWriter {
  public:
    // Nothing (and why in error) when the file cannot be written.
    static std::unique_ptr<PcapWriter> Open(const std::string& path, std::string& error);
    ~PcapWriter();
    PcapWriter(const PcapWriter&) = delete;
    PcapWriter& operator=(const PcapWriter&) = delete;

    // Takes one completed request: its submission and its completion.
    void Add(const usb::TransferEvent& event);
    // Writes what was added, ordered by time, and closes the file. Returns
    // the number of records written.
    std::size_t Close();

  private:
    struct Record {
        std::uint64_t time = 0; // virtual time, in the kernel's ticks
        std::uint64_t order = 0;
        std::vector<std::uint8_t> bytes; // the usbmon header and the data
    };
    PcapWriter(void* pcap, void* dumper);
    void AddRecord(std::uint64_t time, std::vector<std::uint8_t> bytes);

    void* pcap_;   // pcap_t
    void* dumper_; // pcap_dumper_t
    std::vector<Record> records_;
    std::uint64_t order_ = 0;
    bool closed_ = false;
};

} // namespace qv::harness
