// qvsim's --pcap: a capture file fed by the emulated USB bus of a console.
#pragma once

#include <memory>
#include <string>

#include "qvsim/console/app_console.h"
#include "harness/pcap_writer.h"

namespace qvsim {

// Opens the capture and lets it watch the console's bus. Nothing (and the
// reason on standard error) when the file cannot be written. The writer
// must outlive the console's last run; its file is complete once it is
// closed or destroyed.
std::unique_ptr<qv::harness::PcapWriter> AttachCapture(qv::harness::AppConsole& console, const std::string& path);

} // namespace qvsim
