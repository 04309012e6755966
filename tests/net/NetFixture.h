// Real servers for the connection tests, each started on a free loopback
// port in a temporary folder the first time a test asks for it and stopped
// when the test binary ends: nginx (the origin serving one file), dante
// (SOCKS4/SOCKS5), microsocks (SOCKS5 with user/password), tinyproxy (HTTP
// CONNECT, plain and with Basic credentials) and an OpenSSH dynamic forward
// (SOCKS4A). Plus tiny fake proxies and a helper that re-runs part of the
// test binary with a private /etc/hosts.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "engine/net/Connection.h"

namespace nettest {
using namespace lf;

constexpr const char* kMicrosocksUser = "mikey";
constexpr const char* kMicrosocksPassword = "m1ckey-pw";
constexpr const char* kTinyproxyUser = "tester";
constexpr const char* kTinyproxyPassword = "s3cret";

uint32_t Loopback();  // 127.0.0.1, network order

// Each accessor starts its server on first use; 0 when it could not start
// (the reason is printed).
int NginxPort();
const std::string& OriginFile();  // the bytes nginx serves as /file.bin
int DantePort();
int MicrosocksPort();
int TinyproxyPort();
int TinyproxyAuthPort();
int SshSocksPort();
// Stops every server (also done at exit).
void StopServers();

// "GET /file.bin" over a connection that was just connected (blocking or
// not): sends the request, reads until the server closes, and returns the
// body; `status` gets the status line. Gives up after `limitSeconds`.
std::string FetchFile(QConnection& c, std::string* status = nullptr, int limitSeconds = 20);

// A fake server on a free loopback port: runs `serve(fd)` for every accepted
// connection on its own thread (one at a time), closes the fd afterwards.
class FakeServer {
public:
    explicit FakeServer(std::function<void(int fd)> serve);
    ~FakeServer();
    int Port() const { return m_port; }
    int Accepted() const { return m_accepted.load(); }

private:
    int m_listen = -1;
    int m_port = 0;
    std::atomic<bool> m_stop{false};
    std::atomic<int> m_accepted{0};
    std::function<void(int)> m_serve;
    std::thread m_thread;
};
// Reads whatever arrives within `ms` milliseconds (at most `max` bytes).
std::string ReadFor(int fd, int ms, size_t max = 65536);
void WriteAll(int fd, const std::string& bytes);

// True inside the private hosts namespace made by RunInHostsNamespace.
bool InHostsNamespace();
// Re-runs this test binary with --gtest_filter=`filter` under
// `unshare --mount`, with `hosts` bind-mounted on /etc/hosts, `nsswitch` on
// /etc/nsswitch.conf (files only by default: no query is ever sent) and
// `resolv` on /etc/resolv.conf. Answers the exit status; the
// child's output is printed.
int RunInHostsNamespace(const std::string& filter, const std::string& hosts,
                        const std::string& resolv, const std::string& nsswitch = "hosts: files\n");

}  // namespace nettest
