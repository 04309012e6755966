// lf-rendezvous: the rendezvous service the engines register with. One UDP
// socket per served address, so that every answer leaves from the address
// the engine sent to (a NAT drops answers from any other address).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "lf_version.h"
#include "tools/lf-rendezvous/RendezvousHandler.h"

namespace {

volatile sig_atomic_t g_stop = 0;

void OnSignal(int) {
    g_stop = 1;
}

void Usage(FILE* to) {
    std::fprintf(to,
                 "Usage: lf-rendezvous --listen ADDRESS[:PORT] [--listen ...] [options]\n"
                 "Serves the rendezvous service of Lanternfish engines on UDP (port 82 unless\n"
                 "given), answering from the address each datagram was sent to.\n"
                 "\n"
                 "Options:\n"
                 "  --listen ADDRESS[:PORT]  an IPv4 address to serve (repeatable)\n"
                 "  --max-entries N          registered engines kept (default 100000)\n"
                 "  --rate N                 datagrams per second of one sender address\n"
                 "                           (default 32, bursts of twice that)\n"
                 "  --verbose                one line per registration and query on stdout\n"
                 "  --version                print the version\n"
                 "  --help                   print this help\n");
}

uint64_t NowMs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000 + static_cast<uint64_t>(ts.tv_nsec) / 1000000;
}

int OpenSocket(const std::string& text) {
    std::string host = text;
    int port = 82;
    const size_t colon = text.rfind(':');
    if (colon != std::string::npos) {
        host = text.substr(0, colon);
        char* end = nullptr;
        const long p = std::strtol(text.c_str() + colon + 1, &end, 10);
        if (*end != '\0' || p < 1 || p > 65535) return -1;
        port = static_cast<int>(p);
    }
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<uint16_t>(port));
    if (inet_pton(AF_INET, host.c_str(), &sa.sin_addr) != 1) return -1;
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return -1;
    if (bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> listen;
    lf::RendezvousLimits limits;
    bool verbose = false;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto value = [&]() -> const char* {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "lf-rendezvous: %s needs a value\n", a.c_str());
                std::exit(2);
            }
            return argv[++i];
        };
        if (a == "--help") {
            Usage(stdout);
            return 0;
        } else if (a == "--version") {
            std::printf("lf-rendezvous %s\n", LF_VERSION_TEXT);
            return 0;
        } else if (a == "--listen") {
            listen.push_back(value());
        } else if (a == "--max-entries") {
            limits.maxEntries = std::strtoul(value(), nullptr, 10);
        } else if (a == "--rate") {
            const unsigned long r = std::strtoul(value(), nullptr, 10);
            limits.senderPerSecond = static_cast<uint32_t>(r);
            limits.senderBurst = static_cast<uint32_t>(2 * r);
        } else if (a == "--verbose") {
            verbose = true;
        } else {
            std::fprintf(stderr, "lf-rendezvous: unknown option %s\n", a.c_str());
            Usage(stderr);
            return 2;
        }
    }
    if (listen.empty()) {
        Usage(stderr);
        return 2;
    }
    std::vector<pollfd> fds;
    for (const std::string& l : listen) {
        const int fd = OpenSocket(l);
        if (fd < 0) {
            std::fprintf(stderr, "lf-rendezvous: cannot serve %s: %s\n", l.c_str(),
                         std::strerror(errno));
            return 1;
        }
        fds.push_back({fd, POLLIN, 0});
    }
    struct sigaction sa {};
    sa.sa_handler = OnSignal;
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    if (verbose) {
        std::printf("serving %zu address(es)\n", fds.size());
        std::fflush(stdout);
    }

    lf::RendezvousHandler handler(limits);
    std::vector<lf::RendezvousOutgoing> out;
    std::string note;
    uint8_t buffer[8192];
    while (!g_stop) {
        const int ready = poll(fds.data(), fds.size(), 1000);
        if (ready < 0 && errno != EINTR) break;
        // Quiet second: forget expired engines (busy ones are swept by Handle).
        if (ready == 0) handler.Expire(NowMs());
        for (size_t s = 0; s < fds.size(); ++s) {
            if ((fds[s].revents & POLLIN) == 0) continue;
            for (int burst = 0; burst < 64; ++burst) {
                sockaddr_in from{};
                socklen_t len = sizeof(from);
                const ssize_t n = recvfrom(fds[s].fd, buffer, sizeof(buffer), 0,
                                           reinterpret_cast<sockaddr*>(&from), &len);
                if (n < 0) break;
                out.clear();
                handler.Handle(buffer, static_cast<size_t>(n), s, from.sin_addr.s_addr,
                               ntohs(from.sin_port), NowMs(), out, verbose ? &note : nullptr);
                if (verbose && !note.empty()) {
                    std::printf("%s\n", note.c_str());
                    std::fflush(stdout);
                }
                for (const lf::RendezvousOutgoing& o : out) {
                    sockaddr_in to{};
                    to.sin_family = AF_INET;
                    to.sin_addr.s_addr = o.addressNet;
                    to.sin_port = htons(o.port);
                    const int fd = fds[o.socket < fds.size() ? o.socket : s].fd;
                    sendto(fd, o.bytes.data(), o.bytes.size(), 0, reinterpret_cast<sockaddr*>(&to),
                           sizeof(to));
                }
            }
        }
    }
    for (const pollfd& p : fds) close(p.fd);
    return 0;
}
