#include "pcsc/control_server.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>

#include "harness/console_words.h"

namespace qv::pcsc {

namespace {

using harness::NextWord;
using harness::ParseNumber;

constexpr int kBacklog = 4;
constexpr std::size_t kMaxLine = 4096;
constexpr unsigned kMaxFaultCount = 1000;

std::string Failure(std::string_view why) { return "error: " + std::string(why) + "\n"; }

bool WriteAll(int fd, std::string_view text) {
    while (!text.empty()) {
        const ssize_t written = ::send(fd, text.data(), text.size(), MSG_NOSIGNAL);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return false;
        text.remove_prefix(static_cast<std::size_t>(written));
    }
    return true;
}

// "card busy 1234.567 ms, commands 40, chained 2, get-response 5, extended 0".
std::string ActivityLine(const CardActivity& activity) {
    constexpr std::uint64_t kPerMillisecond = 1000;
    char busy[32];
    std::snprintf(busy, sizeof busy, "%llu.%03llu", static_cast<unsigned long long>(activity.busyMicroseconds / kPerMillisecond),
                  static_cast<unsigned long long>(activity.busyMicroseconds % kPerMillisecond));
    return "card busy " + std::string(busy) + " ms, commands " + std::to_string(activity.commands) + ", chained " +
           std::to_string(activity.chained) + ", get-response " + std::to_string(activity.getResponses) +
           ", extended " + std::to_string(activity.extended) + "\n";
}

} // namespace

std::string ControlCommand(Bridge& bridge, std::string_view line, std::size_t& current) {
    std::string_view rest = line;
    const std::string_view verb = NextWord(rest);
    if (verb.empty() || verb.starts_with("#")) return "ok\n";
    const std::vector<ChannelInfo> channels = bridge.Channels();
    if (verb == "readers") {
        std::string out;
        for (std::size_t i = 0; i < channels.size(); ++i) {
            const ChannelInfo& info = channels[i];
            out += "reader " + std::to_string(i) + ": " + info.model + ", " +
                   (info.gone ? std::string("gone") : info.cardInserted ? "card " + info.card : "no card") + "\n";
        }
        return out + "ok\n";
    }
    if (verb == "reader") {
        unsigned index = 0;
        if (!ParseNumber(NextWord(rest), index) || index >= channels.size()) return Failure("no such reader");
        current = index;
        return "ok\n";
    }
    if (verb == "card" || verb == "fault") {
        const std::string_view what = NextWord(rest);
        if (verb == "card" && what == "list") return Bridge::CardList() + "ok\n";
        if (verb == "fault" && what == "list") return Bridge::FaultList() + "ok\n";
        if (current >= channels.size()) return Failure("no reader");
        const std::uint32_t id = channels[current].id;
        std::string error;
        Outcome outcome = Outcome::Failed;
        if (verb == "fault") {
            unsigned count = 1;
            const std::string_view countText = NextWord(rest);
            if (!countText.empty() && (!ParseNumber(countText, count) || count == 0 || count > kMaxFaultCount))
                return Failure("the count is a whole number from 1 to 1000");
            outcome = bridge.ArmFault(id, what, count, error);
        } else if (what == "stats") {
            CardActivity activity;
            outcome = bridge.Activity(id, activity);
            if (outcome == Outcome::Ok) return ActivityLine(activity) + "ok\n";
        } else if (what == "remove") {
            outcome = bridge.RemoveCard(id);
        } else if (what == "insert") {
            std::string name(NextWord(rest));
            if (name == "atr") name = "atr:" + std::string(NextWord(rest));
            outcome = bridge.InsertCard(id, name, error);
        } else {
            return Failure("card insert [NAME | atr HEX], card remove, card stats or card list");
        }
        if (outcome != Outcome::Ok) return Failure(error.empty() ? std::string(OutcomeName(outcome)) : error);
        return "ok\n";
    }
    if (verb == "unplug") {
        if (current >= channels.size()) return Failure("no reader");
        const Outcome outcome = bridge.Unplug(channels[current].id);
        return outcome == Outcome::Ok ? "ok\n" : Failure(OutcomeName(outcome));
    }
    return Failure("unknown command '" + std::string(verb) + "'");
}

ControlServer::ControlServer(Bridge& bridge, std::string path) : bridge_(bridge), path_(std::move(path)) {
    sockaddr_un address{};
    if (path_.empty() || path_.size() >= sizeof(address.sun_path)) {
        error_ = "the control socket's path is empty or too long";
        return;
    }
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path_.c_str(), path_.size() + 1);
    const int listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listener < 0 || ::pipe2(stopPipe_, O_CLOEXEC) != 0) {
        error_ = std::string("socket: ") + std::strerror(errno);
        if (listener >= 0) ::close(listener);
        return;
    }
    ::unlink(path_.c_str());
    if (::bind(listener, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener, kBacklog) != 0) {
        error_ = "cannot listen on " + path_ + ": " + std::strerror(errno);
        ::close(listener);
        return;
    }
    listener_ = listener;
    thread_ = std::thread([this] { Serve(); });
}

ControlServer::~ControlServer() {
    if (stopPipe_[1] >= 0) {
        const char stop = 's';
        (void)!::write(stopPipe_[1], &stop, 1);
    }
    if (thread_.joinable()) thread_.join();
    if (listener_ >= 0) {
        ::close(listener_);
        ::unlink(path_.c_str());
    }
    for (int fd : stopPipe_)
        if (fd >= 0) ::close(fd);
}

void ControlServer::Serve() {
    for (;;) {
        pollfd waits[2] = {{listener_, POLLIN, 0}, {stopPipe_[0], POLLIN, 0}};
        if (::poll(waits, 2, -1) < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if (waits[1].revents != 0) return;
        if ((waits[0].revents & POLLIN) == 0) continue;
        const int connection = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (connection < 0) continue;
        Converse(connection);
        ::close(connection);
    }
}

void ControlServer::Converse(int connection) {
    std::size_t current = 0;
    std::string pending;
    char buffer[512];
    for (;;) {
        pollfd waits[2] = {{connection, POLLIN, 0}, {stopPipe_[0], POLLIN, 0}};
        if (::poll(waits, 2, -1) < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if (waits[1].revents != 0) return;
        const ssize_t got = ::recv(connection, buffer, sizeof buffer, 0);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return;
        pending.append(buffer, static_cast<std::size_t>(got));
        std::size_t newline = 0;
        while ((newline = pending.find('\n')) != std::string::npos) {
            const std::string line = pending.substr(0, newline);
            pending.erase(0, newline + 1);
            if (!WriteAll(connection, ControlCommand(bridge_, line, current))) return;
        }
        if (pending.size() > kMaxLine) {
            (void)WriteAll(connection, Failure("line too long"));
            return;
        }
    }
}

} // namespace qv::pcsc
