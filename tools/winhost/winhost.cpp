// qvwinhost: the simulated readers for the Windows image's run under Wine.
// The stand-in USB bus inside Wine connects here over TCP on the loopback
// address and carries every USB request of the driver to the readers of
// sim/, the same model the emulated build uses, in real time; the console
// program's card, fault, plug and unplug commands reach it through the bus.
//
//   qvwinhost --port-file FILE [--seed N] [--model QV-38N|QV-39N] [--card NAME | --no-card]
//
// It listens on an ephemeral port, writes the port number to FILE and
// serves until it is terminated (SIGTERM or SIGINT).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "cards/card_catalogue.h"
#include "host_link.h"
#include "winhost/host_readers.h"

namespace {

using namespace qv;
using namespace qv::hostlink;

volatile std::sig_atomic_t stopRequested = 0;

void OnStopSignal(int) { stopRequested = 1; }

class Clock {
  public:
    // Real time since the host started, in the simulator's 100 ns units.
    usb::Time Now() const {
        const auto elapsed = std::chrono::steady_clock::now() - start_;
        return static_cast<usb::Time>(std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed).count() / 100);
    }

  private:
    std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
};

struct Message {
    Type type = kList;
    std::uint8_t reader = 0;
    std::uint32_t tag = 0;
    std::vector<std::uint8_t> payload;
};

void PutU32(std::vector<std::uint8_t>& out, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

std::uint32_t GetU32(std::span<const std::uint8_t> bytes) {
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < 4 && i < bytes.size(); ++i) value |= std::uint32_t{bytes[i]} << (8 * i);
    return value;
}

// One connection from the bus: its bytes in and out.
class Connection {
  public:
    explicit Connection(int socket) : socket_(socket) {}
    ~Connection() { ::close(socket_); }
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    int Socket() const { return socket_; }

    // Reads what the socket has; false once the peer has gone.
    bool Receive() {
        std::uint8_t chunk[4096];
        const ssize_t got = ::recv(socket_, chunk, sizeof chunk, 0);
        if (got <= 0) return false;
        in_.insert(in_.end(), chunk, chunk + got);
        return true;
    }

    // The next whole message, if one has arrived; a malformed one ends the
    // connection (nothing when it should be dropped, via `broken`).
    std::optional<Message> Next(bool& broken) {
        if (in_.size() < kHeaderSize) return std::nullopt;
        const std::uint32_t length = GetU32(in_);
        if (length < kHeaderSize - kLengthFieldSize || length > kHeaderSize + kMaximumPayload) {
            broken = true;
            return std::nullopt;
        }
        if (in_.size() < kLengthFieldSize + length) return std::nullopt;
        Message message;
        message.type = static_cast<Type>(in_[4]);
        message.reader = in_[5];
        message.tag = GetU32(std::span(in_).subspan(8));
        message.payload.assign(in_.begin() + kHeaderSize, in_.begin() + kLengthFieldSize + length);
        in_.erase(in_.begin(), in_.begin() + kLengthFieldSize + length);
        return message;
    }

    void Send(const Message& request, std::span<const std::uint8_t> payload) {
        std::vector<std::uint8_t> out;
        PutU32(out, static_cast<std::uint32_t>(kHeaderSize - kLengthFieldSize + payload.size()));
        out.push_back(static_cast<std::uint8_t>(request.type | kAnswer));
        out.push_back(request.reader);
        out.push_back(0);
        out.push_back(0);
        PutU32(out, request.tag);
        out.insert(out.end(), payload.begin(), payload.end());
        std::size_t sent = 0;
        while (sent < out.size()) {
            const ssize_t done = ::send(socket_, out.data() + sent, out.size() - sent, MSG_NOSIGNAL);
            if (done <= 0) return; // the peer has gone; its socket is closed on the next poll
            sent += static_cast<std::size_t>(done);
        }
    }

  private:
    int socket_;
    std::vector<std::uint8_t> in_;
};

// A bulk IN the reader had nothing for yet: asked again when its time
// comes or when something the host sent may have given the reader an
// answer.
struct ParkedIn {
    Connection* connection = nullptr;
    Message request;
    std::uint8_t endpoint = 0;
    std::uint32_t length = 0;
    std::optional<usb::Time> retryAt;
};

class Host {
  public:
    Host(winhost::HostReaders& readers, int listener) : readers_(readers), listener_(listener) {}

    void Run() {
        while (stopRequested == 0) {
            std::vector<pollfd> fds;
            fds.push_back({listener_, POLLIN, 0});
            for (const auto& connection : connections_) fds.push_back({connection->Socket(), POLLIN, 0});
            const int ready = ::poll(fds.data(), fds.size(), Timeout());
            if (ready < 0 && errno != EINTR) break;
            if (ready > 0) {
                if ((fds[0].revents & POLLIN) != 0) Accept();
                for (std::size_t i = 1; i < fds.size(); ++i) {
                    if (fds[i].revents == 0) continue;
                    Serve(fds[i].fd);
                }
                Collect();
            }
            RetryParked(std::nullopt);
        }
    }

  private:
    int Timeout() const {
        std::optional<usb::Time> earliest;
        for (const ParkedIn& parked : parked_) {
            if (parked.retryAt && (!earliest || *parked.retryAt < *earliest)) earliest = parked.retryAt;
        }
        if (!earliest) return 1000;
        const usb::Time now = clock_.Now();
        if (*earliest <= now) return 0;
        // Rounded up to the next millisecond, so that the reader is never
        // asked before its time.
        return static_cast<int>(std::min<usb::Time>((*earliest - now + 9'999) / 10'000, 1000));
    }

    void Accept() {
        const int socket = ::accept(listener_, nullptr, nullptr);
        if (socket < 0) return;
        const int on = 1;
        ::setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        connections_.push_back(std::make_unique<Connection>(socket));
    }

    void Serve(int socket) {
        auto found = std::find_if(connections_.begin(), connections_.end(),
                                  [&](const auto& c) { return c->Socket() == socket; });
        if (found == connections_.end()) return;
        Connection& connection = **found;
        bool broken = !connection.Receive();
        while (!broken) {
            std::optional<Message> message = connection.Next(broken);
            if (!message) break;
            Handle(connection, *message);
        }
        if (broken) closing_.push_back(&connection);
    }

    void Collect() {
        for (Connection* gone : closing_) {
            std::erase_if(parked_, [&](const ParkedIn& parked) { return parked.connection == gone; });
            std::erase_if(connections_, [&](const auto& c) { return c.get() == gone; });
        }
        closing_.clear();
    }

    static Status Convert(usb::TransferStatus status) {
        switch (status) {
        case usb::TransferStatus::Ok: return kOk;
        case usb::TransferStatus::Stall: return kStall;
        case usb::TransferStatus::Error: return kBusError;
        case usb::TransferStatus::DeviceGone: return kDeviceGone;
        }
        return kBusError;
    }

    void Answer(Connection& connection, const Message& request, Status status,
                std::span<const std::uint8_t> data = {}) {
        std::vector<std::uint8_t> payload{status};
        payload.insert(payload.end(), data.begin(), data.end());
        connection.Send(request, payload);
    }

    void Handle(Connection& connection, const Message& message) {
        const std::span<const std::uint8_t> payload(message.payload);
        if (message.type == kList) {
            connection.Send(message, readers_.List());
            return;
        }
        if (message.type == kCommand) {
            const std::string text(payload.begin(), payload.end());
            const winhost::CommandAnswer answer = readers_.Command(message.reader, text);
            std::vector<std::uint8_t> out(answer.text.begin(), answer.text.end());
            Answer(connection, message, answer.ok ? kOk : kRefused, out);
            RetryParked(message.reader);
            return;
        }
        if (message.type == kCancel) {
            if (payload.size() < 4) return;
            const std::uint32_t tag = GetU32(payload);
            auto found = std::find_if(parked_.begin(), parked_.end(), [&](const ParkedIn& parked) {
                return parked.connection == &connection && parked.request.tag == tag;
            });
            if (found == parked_.end()) return; // answered already
            Answer(connection, found->request, kCancelled);
            parked_.erase(found);
            return;
        }
        sim::UsbReader* reader = readers_.Find(message.reader);
        if (reader == nullptr) return Answer(connection, message, kDeviceGone);
        switch (message.type) {
        case kDescriptor: {
            if (payload.size() < 3) return Answer(connection, message, kRefused);
            const std::size_t length = payload[1] | (std::size_t{payload[2]} << 8);
            std::span<const std::uint8_t> descriptor;
            if (payload[0] == kDeviceDescriptor) {
                descriptor = reader->DeviceDescriptor();
            } else if (payload[0] == kConfigurationDescriptor) {
                descriptor = reader->ConfigurationDescriptor();
            } else {
                return Answer(connection, message, kStall);
            }
            if (!reader->Attached()) return Answer(connection, message, kDeviceGone);
            return Answer(connection, message, kOk, descriptor.first(std::min(length, descriptor.size())));
        }
        case kSetConfiguration:
            if (payload.empty()) return Answer(connection, message, kRefused);
            if (!reader->Attached()) return Answer(connection, message, kDeviceGone);
            return Answer(connection, message, reader->SetConfiguration(payload[0]) ? kOk : kStall);
        case kBulkOut: {
            if (payload.empty()) return Answer(connection, message, kRefused);
            const usb::OutResult result = reader->BulkOut(payload[0], payload.subspan(1), clock_.Now());
            std::vector<std::uint8_t> accepted;
            PutU32(accepted, static_cast<std::uint32_t>(result.accepted));
            Answer(connection, message, Convert(result.status), accepted);
            RetryParked(message.reader);
            return;
        }
        case kBulkIn: {
            if (payload.size() < 5) return Answer(connection, message, kRefused);
            ParkedIn in{&connection, message, payload[0], std::min<std::uint32_t>(GetU32(payload.subspan(1)), kMaximumPayload), std::nullopt};
            if (!TryIn(in)) parked_.push_back(std::move(in));
            return;
        }
        case kResetPipe:
            if (payload.empty()) return Answer(connection, message, kRefused);
            reader->ResetEndpoint(payload[0]);
            Answer(connection, message, kOk);
            RetryParked(message.reader);
            return;
        case kPower:
            if (payload.empty()) return Answer(connection, message, kRefused);
            if (payload[0] != 0) {
                reader->Suspend();
            } else {
                reader->Resume();
            }
            Answer(connection, message, kOk);
            RetryParked(message.reader);
            return;
        default:
            return Answer(connection, message, kRefused);
        }
    }

    // Asks the reader for the parked IN; true when it was answered.
    bool TryIn(ParkedIn& in) {
        sim::UsbReader* reader = readers_.Find(in.request.reader);
        if (reader == nullptr) {
            Answer(*in.connection, in.request, kDeviceGone);
            return true;
        }
        std::vector<std::uint8_t> buffer(in.length);
        const usb::InResult result = reader->BulkIn(in.endpoint, buffer, clock_.Now());
        if (result.status == usb::TransferStatus::Ok && !result.ready) {
            in.retryAt = result.retryAt;
            return false;
        }
        // More bytes than asked for is babble; the bus halts the pipe.
        if (result.length > buffer.size()) {
            Answer(*in.connection, in.request, kBusError);
            return true;
        }
        buffer.resize(result.status == usb::TransferStatus::Ok ? result.length : 0);
        Answer(*in.connection, in.request, Convert(result.status), buffer);
        return true;
    }

    // Asks again the parked INs that are due, or every one of a reader
    // that something happened to.
    void RetryParked(std::optional<std::uint8_t> reader) {
        const usb::Time now = clock_.Now();
        std::vector<ParkedIn> still;
        std::vector<ParkedIn> due;
        for (ParkedIn& parked : parked_) {
            const bool woken = reader && parked.request.reader == *reader;
            const bool timeUp = parked.retryAt && *parked.retryAt <= now;
            (woken || timeUp ? due : still).push_back(std::move(parked));
        }
        parked_ = std::move(still);
        for (ParkedIn& parked : due) {
            if (!TryIn(parked)) parked_.push_back(std::move(parked));
        }
    }

    winhost::HostReaders& readers_;
    int listener_;
    Clock clock_;
    std::vector<std::unique_ptr<Connection>> connections_;
    std::vector<Connection*> closing_;
    std::vector<ParkedIn> parked_;
};

int Listen(std::uint16_t& port) {
    const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    if (listener < 0) return -1;
    const int on = 1;
    ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    socklen_t size = sizeof address;
    if (::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(listener, 4) != 0 ||
        ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
        ::close(listener);
        return -1;
    }
    port = ntohs(address.sin_port);
    return listener;
}

} // namespace

int main(int argc, char** argv) {
    CLI::App app{"qvwinhost: the simulated readers behind the stand-in USB bus under Wine"};
    std::string portFile;
    winhost::HostOptions options;
    std::string model = "QV-38N";
    app.add_option("--port-file", portFile, "where to write the port number")->required();
    app.add_option("--seed", options.seed, "the simulator's seed (challenge bytes, faults)");
    app.add_option("--model", model, "the first reader's model")->check(CLI::IsMember({"QV-38N", "QV-39N"}));
    app.add_option("--card", options.card, "the card in the first reader's slot");
    app.add_flag("--no-card", options.noCard, "the first reader's slot is empty");
    CLI11_PARSE(app, argc, argv);
    options.model = sim::ModelByName(model).value_or(sim::ReaderModel::Qv38N);
    if (!sim::FindCard(options.card)) {
        std::fprintf(stderr, "qvwinhost: no card named '%s'\n", options.card.c_str());
        return 2;
    }

    std::uint16_t port = 0;
    const int listener = Listen(port);
    if (listener < 0) {
        std::perror("qvwinhost: listen");
        return 1;
    }
    std::signal(SIGTERM, OnStopSignal);
    std::signal(SIGINT, OnStopSignal);
    winhost::HostReaders readers(options);
    {
        std::ofstream out(portFile + ".tmp");
        out << port << "\n";
    }
    std::rename((portFile + ".tmp").c_str(), portFile.c_str());
    Host host(readers, listener);
    host.Run();
    ::close(listener);
    return 0;
}
