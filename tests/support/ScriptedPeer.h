// A BitTorrent peer of a few lines for tests: it listens on one loopback
// address (127.0.0.2 and up), and runs a script on every connection it
// accepts, each on a thread of its own. The script speaks the wire byte by byte
// (its own handshake, well-formed or not, messages, silence) and writes
// down what the other side did: which messages came, whether it closed.
// The bytes are built here, independently of the engine's own wire code.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace lftest {

namespace wire {

// 19, "BitTorrent protocol", eight zero bytes, info hash, peer id.
std::string Handshake(const std::string& infoHash20, const std::string& peerId20);
// A message: 4-byte big-endian length (1 + payload), id, payload.
std::string Message(uint8_t id, const std::string& payload);
std::string Be32(uint32_t v);
uint32_t ReadBe32(const std::string& bytes, size_t at);
std::string Have(uint32_t index);
std::string Request(uint32_t index, uint32_t begin, uint32_t length);
std::string Piece(uint32_t index, uint32_t begin, const std::string& block);
// Every one of `pieces` bits set, in `bytes` bytes (spare bits zero).
std::string FullBitfield(uint32_t pieces, size_t bytes);
// 20 bytes from 40 hex digits.
std::string FromHex(const std::string& hex);
// Percent-escapes every byte (for tracker announces).
std::string UrlEscape(const std::string& bytes);

}  // namespace wire

// One accepted connection as the script sees it. Every wait is bounded.
class PeerConnection {
public:
    PeerConnection(int fd, const std::atomic<bool>* stop) : m_fd(fd), m_stop(stop) {}
    ~PeerConnection();
    PeerConnection(const PeerConnection&) = delete;
    PeerConnection& operator=(const PeerConnection&) = delete;

    bool Send(const std::string& bytes);
    // Exactly n bytes within the limit; false when the remote closed first,
    // the time ran out or the peer is stopping.
    bool Read(size_t n, std::string* out, std::chrono::milliseconds limit);
    // The remote's handshake, after an HTTP-looking request header when one
    // comes first (the remote may disguise its attempt). False when none
    // arrived in time.
    bool ReadHandshake(std::string* handshake68, std::chrono::milliseconds limit);
    // The next message: its id and payload (id -1 for a keep-alive).
    bool ReadMessage(int* id, std::string* payload, std::chrono::milliseconds limit);
    // Reads and drops whatever comes until the remote closes (true) or the
    // limit passes (false).
    bool WaitClosed(std::chrono::milliseconds limit);
    // Whether the remote closed (end of stream or reset) during a read.
    bool Closed() const { return m_closed; }
    // Drops the connection from this side.
    void Close();
    // The peer is being stopped: the script should return.
    bool Stopping() const { return m_stop->load(); }

private:
    int m_fd;
    const std::atomic<bool>* m_stop;
    std::string m_pending;  // read ahead, not yet taken
    bool m_closed = false;
};

class ScriptedPeer {
public:
    using Script = std::function<void(PeerConnection&)>;

    ScriptedPeer() = default;
    ~ScriptedPeer() { Stop(); }
    ScriptedPeer(const ScriptedPeer&) = delete;
    ScriptedPeer& operator=(const ScriptedPeer&) = delete;

    // Listens on address (port chosen by the system) and runs `script` on
    // each accepted connection, on a thread of the connection's own.
    bool Start(const std::string& address, Script script);
    // Unblocks the script and joins the thread.
    void Stop();
    const std::string& Address() const { return m_address; }
    int Port() const { return m_port; }
    int Accepted() const { return m_accepted.load(); }

private:
    void Run();

    std::string m_address;
    int m_port = 0;
    int m_listen = -1;
    Script m_script;
    std::atomic<bool> m_stop{false};
    std::atomic<int> m_accepted{0};
    std::thread m_thread;
    std::vector<std::thread> m_connections;  // used by m_thread only
};

// One HTTP announce to a tracker sent from `localAddress`, as a peer at
// localAddress:port with `left` bytes to go. True when the tracker answered
// with a bencoded dictionary that is not a failure.
bool AnnounceAsPeer(const std::string& trackerAddress, int trackerPort,
                    const std::string& localAddress, const std::string& infoHash20,
                    const std::string& peerId20, int port, uint64_t left, const char* event);

}  // namespace lftest
