// The HTTP source driven pass by pass through a fake host, against scripted
// servers on loopback: what it asks, what it reports to its task and what
// it hands to the piece map for each kind of answer.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "engine/sources/HttpPeer.h"
#include "tests/net/NetFixture.h"
#include "tests/sources/FakeHost.h"
#include "tests/support/TestDirs.h"

using namespace lf;

namespace {

constexpr size_t kSize = 600 * 1024 + 123;  // three pieces of 256 KiB

// Reads one request head (empty when the client closed or sent nothing).
std::string ReadHead(int fd) {
    std::string in;
    while (in.find("\r\n\r\n") == std::string::npos) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 5000) <= 0) return std::string();
        char buf[4096];
        const ssize_t n = recv(fd, buf, sizeof(buf), 0);
        if (n <= 0) return std::string();
        in.append(buf, static_cast<size_t>(n));
    }
    return in;
}

int64_t RangeStart(const std::string& request) {
    const size_t at = request.find("Range: bytes=");
    return at == std::string::npos ? 0 : std::atoll(request.c_str() + at + 13);
}

// Sends `bytes` in pieces of `chunk` bytes (all at once when 0).
void WriteInChunks(int fd, const std::string& bytes, size_t chunk) {
    if (chunk == 0) chunk = bytes.size();
    for (size_t off = 0; off < bytes.size(); off += chunk)
        nettest::WriteAll(fd, bytes.substr(off, chunk));
}

// Answers every request of a connection with 206 from the asked offset
// (or 200 with everything when `ignoreRange`), the head in `chunk`-byte
// pieces and the body in `bodyChunk`-byte pieces.
std::function<void(int)> RangeServer(const std::string& content, bool ignoreRange, size_t chunk,
                                     size_t bodyChunk = 0) {
    return [content, ignoreRange, chunk, bodyChunk](int fd) {
        for (;;) {
            const std::string request = ReadHead(fd);
            if (request.empty()) return;
            const int64_t from = ignoreRange ? 0 : RangeStart(request);
            std::string head;
            if (from > 0) {
                head = "HTTP/1.1 206 Partial Content\r\nContent-Range: bytes " +
                       std::to_string(from) + "-" + std::to_string(content.size() - 1) + "/" +
                       std::to_string(content.size()) + "\r\n";
            } else {
                head = "HTTP/1.1 200 OK\r\n";
            }
            head += "Content-Length: " + std::to_string(content.size() - from) + "\r\n\r\n";
            WriteInChunks(fd, head, chunk);
            WriteInChunks(fd, content.substr(static_cast<size_t>(from)), bodyChunk);
        }
    };
}

std::function<void(int)> Answer(const std::string& reply) {
    return [reply](int fd) {
        ReadHead(fd);
        nettest::WriteAll(fd, reply);
        ReadHead(fd);  // until the source closes
    };
}

std::string Url(int port, const char* path = "/f.bin") {
    return "http://127.0.0.1:" + std::to_string(port) + path;
}

// Downloads: the body arrives whole whether the server honours ranges or
// not and however the head and the body are cut (the body is received
// straight into the piece buffers, with the part of a block that arrived
// kept until the rest of it comes).
TEST(HttpPeerTest, DownloadsThroughTheHost) {
    const std::string content = lftest::PseudoRandomBytes(kSize, 5);
    struct Case {
        const char* name;
        bool ignoreRange;
        size_t chunk;
        size_t bodyChunk;
    } cases[] = {
        {"ranges", false, 0, 0},
        {"head byte by byte", false, 1, 0},
        {"head in 7-byte pieces", false, 7, 0},
        {"server ignores ranges", true, 0, 0},
        {"body in 3-byte pieces", false, 0, 3},
        {"body in 1000-byte pieces", false, 0, 1000},
        {"body in 16385-byte pieces", false, 0, 16385},
        {"body in 70001-byte pieces", false, 0, 70001},
        {"whole body in 16383-byte pieces", true, 5, 16383},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        lftest::TempDir dir;
        nettest::FakeServer server(RangeServer(content, c.ignoreRange, c.chunk, c.bodyChunk));
        sourcetest::FakeHost host(dir.Path());
        TPeerId* source = host.AddSource(Url(server.Port()));
        ASSERT_NE(source, nullptr);
        auto* peer = new THttpPeer(&host);
        ASSERT_TRUE(peer->Connect(source));
        host.Drive(peer);
        EXPECT_TRUE(host.IsDownloadComplete());
        EXPECT_EQ(host.serverSizes, std::vector<int64_t>{static_cast<int64_t>(kSize)});
        EXPECT_EQ(host.payload, static_cast<int64_t>(kSize));
        EXPECT_EQ(host.removed, 0);
        peer->Reset();
        peer->Release();
        EXPECT_TRUE(host.Written() == content);
    }
}

// Ranges of one piece each, from a server that answers exactly the bytes
// asked for and keeps the connection: every request ends where its range
// ends, the next one goes out on the same connection, and nothing is
// fetched twice. From a server that closes after each answer, the source
// connects again.
TEST(HttpPeerTest, RequestsEndWithTheirRange) {
    const std::string content = lftest::PseudoRandomBytes(kSize, 9);
    for (const bool keep : {true, false}) {
        SCOPED_TRACE(keep ? "kept connection" : "closed after each answer");
        std::mutex lock;
        std::vector<std::string> asked;
        auto serve = [&](int fd) {
            for (;;) {
                const std::string request = ReadHead(fd);
                if (request.empty()) return;
                const size_t at = request.find("Range: bytes=");
                const std::string wanted =
                    at == std::string::npos
                        ? std::string()
                        : request.substr(at + 13, request.find("\r\n", at) - at - 13);
                {
                    std::lock_guard<std::mutex> guard(lock);
                    asked.push_back(wanted);
                }
                const int64_t from = std::atoll(wanted.c_str());
                const size_t dash = wanted.find('-');
                int64_t to = static_cast<int64_t>(content.size()) - 1;
                if (dash != std::string::npos && dash + 1 < wanted.size())
                    to = std::min(to, static_cast<int64_t>(std::atoll(wanted.c_str() + dash + 1)));
                const std::string body =
                    content.substr(static_cast<size_t>(from), static_cast<size_t>(to - from + 1));
                nettest::WriteAll(fd, "HTTP/1.1 206 Partial Content\r\nContent-Range: bytes " +
                                          std::to_string(from) + "-" + std::to_string(to) + "/" +
                                          std::to_string(content.size()) +
                                          "\r\nContent-Length: " + std::to_string(body.size()) +
                                          (keep ? "" : "\r\nConnection: close") + "\r\n\r\n" +
                                          body);
                if (!keep) return;
            }
        };
        lftest::TempDir dir;
        nettest::FakeServer server(serve);
        sourcetest::FakeHost host(dir.Path());
        ASSERT_TRUE(host.MakePieces(static_cast<int64_t>(kSize)));
        host.rangePieces = 1;
        TPeerId* source = host.AddSource(Url(server.Port()));
        ASSERT_NE(source, nullptr);
        source->details->reportedSize = static_cast<int64_t>(kSize);
        auto* peer = new THttpPeer(&host);
        ASSERT_TRUE(peer->Connect(source));
        for (int round = 0; round < 5 && !host.IsDownloadComplete(); ++round) {
            // A source that the server left is connected again, as the task does.
            if (!peer->IsConnected()) {
                peer->Reset();
                ASSERT_TRUE(peer->Connect(source));
            }
            host.Drive(peer);
        }
        EXPECT_TRUE(host.IsDownloadComplete());
        EXPECT_EQ(host.payload, static_cast<int64_t>(kSize));
        {
            std::lock_guard<std::mutex> guard(lock);
            EXPECT_EQ(asked, (std::vector<std::string>{"0-262143", "262144-524287",
                                                       "524288-" + std::to_string(kSize - 1)}));
        }
        EXPECT_EQ(server.Accepted(), keep ? 1 : 3);
        peer->Reset();
        peer->Release();
        EXPECT_TRUE(host.Written() == content);
    }
}

// Answers that end the source: what the task is told.
TEST(HttpPeerTest, AnswersThatEndTheSource) {
    struct Case {
        const char* name;
        std::string reply;
        int removed;
        std::vector<std::string> redirects;  // "*": the relative target on the same server
        int penalty;
    } cases[] = {
        {"not found", "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n", 1, {}, 0},
        {"server error", "HTTP/1.1 503 Busy\r\nContent-Length: 0\r\n\r\n", 0, {}, 60},
        {"redirect",
         "HTTP/1.1 302 Found\r\nLocation: http://127.0.0.1:9/g.bin\r\n\r\n",
         0,
         {"http://127.0.0.1:9/g.bin"},
         0},
        {"relative redirect", "HTTP/1.1 301 Moved\r\nLocation: /h.bin\r\n\r\n", 0, {"*"}, 0},
        // The name is looked up by the task later, never on this path.
        {"redirect to a name",
         "HTTP/1.1 302 Found\r\nLocation: http://no-such-host.invalid/g.bin\r\n\r\n",
         0,
         {"http://no-such-host.invalid/g.bin"},
         0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        lftest::TempDir dir;
        nettest::FakeServer server(Answer(c.reply));
        sourcetest::FakeHost host(dir.Path());
        TPeerId* source = host.AddSource(Url(server.Port()));
        ASSERT_NE(source, nullptr);
        auto* peer = new THttpPeer(&host);
        ASSERT_TRUE(peer->Connect(source));
        EXPECT_FALSE(host.Drive(peer, 10));
        EXPECT_EQ(host.removed, c.removed);
        if (c.redirects.size() == 1 && c.redirects[0] == "*") {
            ASSERT_EQ(host.redirects.size(), 1u);
            EXPECT_EQ(host.redirects[0], Url(server.Port(), "/h.bin"));
        } else {
            EXPECT_EQ(host.redirects, c.redirects);
        }
        EXPECT_EQ(source->waitingSeconds, c.penalty);
        EXPECT_TRUE(host.serverSizes.empty());
        peer->Reset();
        peer->Release();
    }
}

TEST(HttpPeerTest, EndlessHeadEndsTheSourceAtTheCap) {
    std::atomic<int64_t> sent{0};
    nettest::FakeServer server([&sent](int fd) {
        ReadHead(fd);
        std::string line = "HTTP/1.1 200 OK\r\nX-Endless: ";
        const std::string filler(4096, 'a');
        for (;;) {
            const ssize_t n = send(fd, line.data(), line.size(), MSG_NOSIGNAL);
            if (n <= 0) return;
            sent += n;
            line = filler;
        }
    });
    lftest::TempDir dir;
    sourcetest::FakeHost host(dir.Path());
    TPeerId* source = host.AddSource(Url(server.Port()));
    ASSERT_NE(source, nullptr);
    auto* peer = new THttpPeer(&host);
    ASSERT_TRUE(peer->Connect(source));
    size_t most = 0;
    bool ok = true;
    for (int i = 0; i < 20000 && ok; ++i) {
        ok = peer->RunCycle();
        if (peer->m_connection) most = std::max(most, peer->m_connection->ReceivedSize());
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    EXPECT_FALSE(ok);
    EXPECT_EQ(host.removed, 1);
    EXPECT_TRUE(host.serverSizes.empty());
    EXPECT_FALSE(peer->HeadersReceived());
    EXPECT_LE(most, http::kMaxHeadBytes);
    EXPECT_GE(sent.load(), static_cast<int64_t>(http::kMaxHeadBytes));
    peer->Reset();
    peer->Release();
}

}  // namespace
