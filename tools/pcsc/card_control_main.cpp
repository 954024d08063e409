// qvscr-card: sends commands to the PC/SC bridge's control socket (the path
// in QVSCR_CONTROL, or --socket PATH) and prints the answers. The commands
// are the words on the command line, or one per line from standard input
// when there are none. Exit status 0 when every command succeeded.
//
//   qvscr-card card insert t1
//   qvscr-card card remove
//   printf 'reader 0\nfault card-pulled-mid\n' | qvscr-card
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

namespace {

constexpr const char* kControlVariable = "QVSCR_CONTROL";

int Connect(const std::string& path) {
    sockaddr_un address{};
    if (path.empty() || path.size() >= sizeof(address.sun_path)) return -1;
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// Sends one line and prints the answer up to its "ok" or "error" line.
bool Exchange(int fd, const std::string& line, std::string& buffer) {
    const std::string out = line + "\n";
    if (::send(fd, out.data(), out.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(out.size())) return false;
    for (;;) {
        std::size_t newline = 0;
        while ((newline = buffer.find('\n')) != std::string::npos) {
            const std::string answer = buffer.substr(0, newline);
            buffer.erase(0, newline + 1);
            if (answer == "ok") return true;
            if (answer.starts_with("error")) {
                std::cerr << "qvscr-card: " << line << ": " << answer << "\n";
                return false;
            }
            std::cout << answer << "\n";
        }
        char chunk[512];
        const ssize_t got = ::recv(fd, chunk, sizeof chunk, 0);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) {
            std::cerr << "qvscr-card: the bridge closed the connection\n";
            return false;
        }
        buffer.append(chunk, static_cast<std::size_t>(got));
    }
}

} // namespace

int main(int argc, char** argv) {
    std::string path = std::getenv(kControlVariable) != nullptr ? std::getenv(kControlVariable) : "";
    std::vector<std::string> words;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--socket" && i + 1 < argc) {
            path = argv[++i];
        } else if (arg == "--help" || arg == "-h") {
            std::cout << "usage: qvscr-card [--socket PATH] [COMMAND...]\n"
                         "commands: readers | reader N | card insert [NAME | atr HEX] | card remove | card stats | card list |\n"
                         "          fault NAME [COUNT] | fault list | unplug\n"
                         "the socket is QVSCR_CONTROL's path unless --socket names one\n";
            return 0;
        } else {
            words.push_back(arg);
        }
    }
    const int fd = Connect(path);
    if (fd < 0) {
        std::cerr << "qvscr-card: cannot reach the bridge's control socket '" << path << "' (is QVSCR_CONTROL set?)\n";
        return 2;
    }
    std::string buffer;
    bool ok = true;
    if (!words.empty()) {
        std::string line;
        for (const std::string& word : words) line += (line.empty() ? "" : " ") + word;
        ok = Exchange(fd, line, buffer);
    } else {
        std::string line;
        while (std::getline(std::cin, line)) ok = Exchange(fd, line, buffer) && ok;
    }
    ::close(fd);
    return ok ? 0 : 1;
}
