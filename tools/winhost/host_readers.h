// The readers qvwinhost serves: sim/'s USB readers, numbered in the order
// they were plugged in (a number is never reused), and the console
// commands that change their world.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "usb_reader.h"

namespace qv::winhost {

struct HostOptions {
    std::uint64_t seed = 1;
    sim::ReaderModel model = sim::ReaderModel::Qv38N;
    std::string card = "dual";
    bool noCard = false;
};

struct CommandAnswer {
    bool ok = false;
    std::string text; // the console's line(s), or what is wrong
};

class HostReaders {
  public:
    // The first reader is plugged in from the start, as in qvsim app.
    explicit HostReaders(HostOptions options);

    // The readers still attached: count, then each one's number and product id.
    std::vector<std::uint8_t> List() const;
    sim::UsbReader* Find(std::uint8_t number);

    // card insert [NAME | atr HEX], card remove, card list, fault NAME
    // [COUNT], fault list, plug [MODEL], unplug: for reader `number` where
    // it concerns one.
    CommandAnswer Command(std::uint8_t number, std::string_view line);

  private:
    HostOptions options_;
    std::vector<std::unique_ptr<sim::UsbReader>> readers_;
};

} // namespace qv::winhost
