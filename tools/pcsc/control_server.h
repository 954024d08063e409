// The control channel: a Unix socket through which a person or a test drives
// the simulated world while pcscd runs (a card in or out, a card from the
// catalogue, a fault armed, the reader pulled). One command per line; every
// answer ends with a line "ok" or "error: ...", after any lines of output.
//
//   readers                        the readers, numbered from 0
//   reader N                       the reader the next commands go to (0 at first)
//   card insert [NAME | atr HEX]   put a card in (the slot's own card when no name)
//   card remove | card list
//   fault NAME [COUNT] | fault list
//   unplug                         pull the reader out
#pragma once

#include <string>
#include <string_view>
#include <thread>

#include "pcsc/bridge.h"

namespace qv::pcsc {

// Carries out one command for one connection; `current` is the reader the
// connection chose. Returns the whole answer, its last line included.
std::string ControlCommand(Bridge& bridge, std::string_view line, std::size_t& current);

class ControlServer {
  public:
    // Listens on path (an existing socket file there is replaced); serves
    // one connection at a time on a thread of its own. Bind failures are
    // reported by Listening() and in error.
    ControlServer(Bridge& bridge, std::string path);
    ~ControlServer();
    ControlServer(const ControlServer&) = delete;
    ControlServer& operator=(const ControlServer&) = delete;

    bool Listening() const { return listener_ >= 0; }
    const std::string& Error() const { return error_; }

  private:
    void Serve();
    void Converse(int connection);

    Bridge& bridge_;
    std::string path_;
    std::string error_;
    int listener_ = -1;
    int stopPipe_[2] = {-1, -1};
    std::thread thread_;
};

} // namespace qv::pcsc
