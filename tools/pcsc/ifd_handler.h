// The IFD handler's state behind pcsc-lite's entry points: the bridge
// (made when the first channel opens, gone with the last) and the control
// socket (where QVSCR_CONTROL names it). pcscd calls the entry points from
// several threads; each call takes its own reference to the bridge.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <set>
#include <string>

#include "pcsc/bridge.h"
#include "pcsc/control_server.h"

namespace qv::pcsc {

class IfdHandler {
  public:
    // The one instance pcscd's calls reach (the interface is a set of free
    // functions, so the handler lives as long as the library).
    static IfdHandler& Instance();

    Outcome OpenChannel(std::uint32_t lun, const ChannelOptions& options);
    Outcome CloseChannel(std::uint32_t lun);
    // The bridge, if the channel is open.
    std::shared_ptr<Bridge> For(std::uint32_t lun);

    ~IfdHandler();

  private:
    std::mutex mutex_;
    std::shared_ptr<Bridge> bridge_;
    std::unique_ptr<ControlServer> control_;
    std::set<std::uint32_t> open_;
};

} // namespace qv::pcsc
