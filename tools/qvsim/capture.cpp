#include "capture.h"

#include <iostream>

namespace qvsim {

std::unique_ptr<qv::harness::PcapWriter> AttachCapture(qv::harness::AppConsole& console, const std::string& path) {
    std::string error;
    auto writer = qv::harness::PcapWriter::Open(path, error);
    if (!writer) {
        std::cerr << "qvsim: " << error << "\n";
        return nullptr;
    }
    qv::harness::PcapWriter* target = writer.get();
    console.Machine().Bus().AddWatcher([target](const qv::usb::TransferEvent& event) { target->Add(event); });
    return writer;
}

} // namespace qvsim
