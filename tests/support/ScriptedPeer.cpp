#include "tests/support/ScriptedPeer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace lftest {

namespace wire {

std::string Be32(uint32_t v) {
    std::string s(4, '\0');
    s[0] = static_cast<char>(v >> 24);
    s[1] = static_cast<char>(v >> 16);
    s[2] = static_cast<char>(v >> 8);
    s[3] = static_cast<char>(v);
    return s;
}

uint32_t ReadBe32(const std::string& b, size_t at) {
    return (uint32_t{static_cast<uint8_t>(b[at])} << 24) |
           (uint32_t{static_cast<uint8_t>(b[at + 1])} << 16) |
           (uint32_t{static_cast<uint8_t>(b[at + 2])} << 8) |
           uint32_t{static_cast<uint8_t>(b[at + 3])};
}

std::string Handshake(const std::string& infoHash20, const std::string& peerId20) {
    std::string s(1, '\x13');
    s += "BitTorrent protocol";
    s += std::string(8, '\0');
    s += infoHash20;
    s += peerId20;
    return s;
}

std::string Message(uint8_t id, const std::string& payload) {
    return Be32(static_cast<uint32_t>(payload.size() + 1)) + static_cast<char>(id) + payload;
}

std::string Have(uint32_t index) {
    return Message(4, Be32(index));
}

std::string Request(uint32_t index, uint32_t begin, uint32_t length) {
    return Message(6, Be32(index) + Be32(begin) + Be32(length));
}

std::string Piece(uint32_t index, uint32_t begin, const std::string& block) {
    return Message(7, Be32(index) + Be32(begin) + block);
}

std::string FullBitfield(uint32_t pieces, size_t bytes) {
    std::string bits(bytes, '\0');
    for (uint32_t i = 0; i < pieces && i / 8 < bytes; ++i)
        bits[i / 8] = static_cast<char>(static_cast<uint8_t>(bits[i / 8]) | (0x80u >> (i % 8)));
    return Message(5, bits);
}

std::string FromHex(const std::string& hex) {
    std::string out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        out += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
    return out;
}

std::string UrlEscape(const std::string& bytes) {
    static const char kHex[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) {
        out += '%';
        out += kHex[c >> 4];
        out += kHex[c & 15];
    }
    return out;
}

}  // namespace wire

namespace {

sockaddr_in SocketAddress(const std::string& address, int port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET, address.c_str(), &a.sin_addr);
    return a;
}

}  // namespace

PeerConnection::~PeerConnection() {
    Close();
}

void PeerConnection::Close() {
    if (m_fd >= 0) ::close(m_fd);
    m_fd = -1;
}

bool PeerConnection::Send(const std::string& bytes) {
    size_t at = 0;
    while (at < bytes.size()) {
        if (m_fd < 0 || m_stop->load()) return false;
        pollfd p{m_fd, POLLOUT, 0};
        if (::poll(&p, 1, 100) <= 0) continue;
        const ssize_t n = ::send(m_fd, bytes.data() + at, bytes.size() - at, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EAGAIN || errno == EINTR) continue;
            m_closed = true;
            return false;
        }
        at += static_cast<size_t>(n);
    }
    return true;
}

bool PeerConnection::Read(size_t n, std::string* out, std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (m_pending.size() < n) {
        if (m_fd < 0 || m_closed || m_stop->load()) return false;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            end - std::chrono::steady_clock::now());
        if (left.count() <= 0) return false;
        pollfd p{m_fd, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(std::min<int64_t>(left.count(), 100))) <= 0) continue;
        char buffer[65536];
        const ssize_t got = ::recv(m_fd, buffer, sizeof(buffer), 0);
        if (got < 0 && (errno == EAGAIN || errno == EINTR)) continue;
        if (got <= 0) {
            m_closed = true;
            return false;
        }
        m_pending.append(buffer, static_cast<size_t>(got));
    }
    out->assign(m_pending, 0, n);
    m_pending.erase(0, n);
    return true;
}

bool PeerConnection::ReadHandshake(std::string* handshake, std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    auto left = [&] {
        return std::chrono::duration_cast<std::chrono::milliseconds>(
            end - std::chrono::steady_clock::now());
    };
    std::string first;
    if (!Read(1, &first, limit)) return false;
    if (first[0] == 19) {
        std::string rest;
        if (!Read(67, &rest, left())) return false;
        *handshake = first + rest;
        return true;
    }
    // An HTTP-looking request: drop it up to its blank line. Anything else
    // (an encrypted handshake, say) is not spoken here: the connection ends
    // at once, and a client that can falls back to the plain handshake.
    std::string head = first;
    std::string word;
    if (!Read(2, &word, left())) return false;
    head += word;
    if (head != "GET" && head != "HTT" && head != "POS") {
        Close();
        return false;
    }
    while (head.find("\r\n\r\n") == std::string::npos && head.find("\n\n") == std::string::npos) {
        std::string c;
        if (head.size() > 4096 || !Read(1, &c, left())) return false;
        head += c;
    }
    return Read(68, handshake, left());
}

bool PeerConnection::ReadMessage(int* id, std::string* payload, std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    std::string length;
    if (!Read(4, &length, limit)) return false;
    const uint32_t n = wire::ReadBe32(length, 0);
    if (n == 0) {
        *id = -1;
        payload->clear();
        return true;
    }
    std::string body;
    if (!Read(n, &body,
              std::chrono::duration_cast<std::chrono::milliseconds>(
                  end - std::chrono::steady_clock::now()) +
                  std::chrono::milliseconds(1)))
        return false;
    *id = static_cast<uint8_t>(body[0]);
    payload->assign(body, 1, std::string::npos);
    return true;
}

bool PeerConnection::WaitClosed(std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    std::string dropped;
    while (std::chrono::steady_clock::now() < end) {
        if (m_closed) return true;
        if (m_fd < 0 || m_stop->load()) return false;
        m_pending.clear();
        Read(1, &dropped, std::chrono::milliseconds(100));
    }
    return m_closed;
}

bool ScriptedPeer::Start(const std::string& address, Script script) {
    m_address = address;
    m_script = std::move(script);
    m_listen = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (m_listen < 0) return false;
    const int one = 1;
    ::setsockopt(m_listen, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
    sockaddr_in a = SocketAddress(address, 0);
    if (::bind(m_listen, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0 ||
        ::listen(m_listen, 8) != 0)
        return false;
    socklen_t len = sizeof(a);
    ::getsockname(m_listen, reinterpret_cast<sockaddr*>(&a), &len);
    m_port = ntohs(a.sin_port);
    m_stop = false;
    m_thread = std::thread([this] { Run(); });
    return true;
}

void ScriptedPeer::Stop() {
    m_stop = true;
    if (m_thread.joinable()) m_thread.join();
    if (m_listen >= 0) ::close(m_listen);
    m_listen = -1;
}

void ScriptedPeer::Run() {
    while (!m_stop.load()) {
        pollfd p{m_listen, POLLIN, 0};
        if (::poll(&p, 1, 100) <= 0) continue;
        const int fd = ::accept4(m_listen, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        // Messages leave as the script writes them, without waiting for acknowledgements.
        const int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
        ++m_accepted;
        m_connections.emplace_back([this, fd] {
            PeerConnection c(fd, &m_stop);
            m_script(c);
        });
    }
    for (std::thread& t : m_connections) t.join();
    m_connections.clear();
}

bool AnnounceAsPeer(const std::string& trackerAddress, int trackerPort,
                    const std::string& localAddress, const std::string& infoHash20,
                    const std::string& peerId20, int port, uint64_t left, const char* event) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    std::atomic<bool> stop{false};
    PeerConnection c(fd, &stop);
    sockaddr_in local = SocketAddress(localAddress, 0);
    sockaddr_in remote = SocketAddress(trackerAddress, trackerPort);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof(local)) != 0 ||
        ::connect(fd, reinterpret_cast<sockaddr*>(&remote), sizeof(remote)) != 0)
        return false;
    const std::string request =
        "GET /announce?info_hash=" + wire::UrlEscape(infoHash20) +
        "&peer_id=" + wire::UrlEscape(peerId20) + "&port=" + std::to_string(port) +
        "&uploaded=0&downloaded=0&left=" + std::to_string(left) + "&event=" + event +
        "&compact=1&numwant=50 HTTP/1.0\r\nHost: " + trackerAddress + "\r\n\r\n";
    if (!c.Send(request)) return false;
    std::string answer, byte;
    while (c.Read(1, &byte, std::chrono::seconds(5))) answer += byte;
    const size_t body = answer.find("\r\n\r\n");
    return answer.compare(0, 7, "HTTP/1.") == 0 && answer.compare(9, 3, "200") == 0 &&
           body != std::string::npos && answer.compare(body + 4, 1, "d") == 0 &&
           answer.find("failure reason") == std::string::npos;
}

}  // namespace lftest
