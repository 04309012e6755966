#include "tests/net/NetFixture.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <memory>

#include "tests/support/TestDirs.h"

namespace nettest {
namespace {

using lftest::ChildProcess;
using lftest::TempDir;
using lftest::WaitForTcpPort;
using lftest::WriteFile;

struct Servers {
    TempDir dir;
    std::string origin;
    ChildProcess nginx, dante, microsocks, tinyproxy, tinyproxyAuth, sshd, ssh;
    int nginxPort = -1, dantePort = -1, microsocksPort = -1, tinyproxyPort = -1,
        tinyproxyAuthPort = -1, sshSocksPort = -1;

    Servers() {
        chmod(dir.Path().c_str(), 0755);
        origin = lftest::PseudoRandomBytes(300000, 7);
    }
};

Servers& S() {
    static std::unique_ptr<Servers> servers;
    if (!servers) {
        servers = std::make_unique<Servers>();
        std::atexit([] { StopServers(); });
    }
    return *servers;
}

bool Started(ChildProcess& child, const std::vector<std::string>& argv, const std::string& log,
             int port, const char* what) {
    if (!child.Start(argv, log) || !WaitForTcpPort(port, std::chrono::seconds(15))) {
        std::cerr << what << " did not start; log:\n" << lftest::ReadFile(log) << "\n";
        child.Stop();
        return false;
    }
    return true;
}

std::string Sub(const std::string& name) {
    std::string p = S().dir / name;
    std::filesystem::create_directories(p);
    chmod(p.c_str(), 0777);
    return p;
}

}  // namespace

uint32_t Loopback() {
    return htonl(INADDR_LOOPBACK);
}

const std::string& OriginFile() {
    return S().origin;
}

int NginxPort() {
    Servers& s = S();
    if (s.nginxPort >= 0) return s.nginxPort;
    s.nginxPort = 0;
    std::string d = Sub("nginx");
    std::string www = Sub("www");
    WriteFile(www + "/file.bin", s.origin);
    chmod((www + "/file.bin").c_str(), 0644);
    int port = lftest::FreeTcpPort();
    WriteFile(d + "/nginx.conf",
              "daemon off;\nworker_processes 1;\npid " + d + "/nginx.pid;\nerror_log " + d +
                  "/error.log warn;\nevents { worker_connections 64; }\nhttp {\n  access_log " + d +
                  "/access.log;\n  client_body_temp_path " + d + "/body;\n  proxy_temp_path " + d +
                  "/proxy;\n  fastcgi_temp_path " + d + "/fastcgi;\n  uwsgi_temp_path " + d +
                  "/uwsgi;\n  scgi_temp_path " + d +
                  "/scgi;\n  types { application/octet-stream bin; }\n  server {\n    listen "
                  "127.0.0.1:" +
                  std::to_string(port) + ";\n    root " + www + ";\n  }\n}\n");
    if (Started(s.nginx, {"nginx", "-c", d + "/nginx.conf", "-p", d + "/", "-e", d + "/error.log"},
                d + "/stderr.log", port, "nginx"))
        s.nginxPort = port;
    return s.nginxPort;
}

int DantePort() {
    Servers& s = S();
    if (s.dantePort >= 0) return s.dantePort;
    s.dantePort = 0;
    std::string d = Sub("dante");
    int port = lftest::FreeTcpPort();
    WriteFile(d + "/danted.conf", "logoutput: " + d + "/danted.log\ninternal: 127.0.0.1 port = " +
                                      std::to_string(port) +
                                      "\nexternal: 127.0.0.1\n"
                                      "clientmethod: none\n"
                                      "socksmethod: none\n"
                                      "user.privileged: root\n"
                                      "user.unprivileged: nobody\n"
                                      "client pass {\n"
                                      "  from: 127.0.0.0/8 to: 0.0.0.0/0\n"
                                      "  log: error\n"
                                      "}\n"
                                      "socks pass {\n"
                                      "  from: 127.0.0.0/8 to: 127.0.0.0/8\n"
                                      "  command: connect\n"
                                      "  log: error connect\n"
                                      "}\n"
                                      "socks block {\n"
                                      "  from: 0.0.0.0/0 to: 0.0.0.0/0\n"
                                      "  log: error connect\n"
                                      "}\n");
    if (Started(s.dante, {"danted", "-f", d + "/danted.conf", "-p", d + "/pid", "-N", "1"},
                d + "/stderr.log", port, "danted"))
        s.dantePort = port;
    return s.dantePort;
}

int MicrosocksPort() {
    Servers& s = S();
    if (s.microsocksPort >= 0) return s.microsocksPort;
    s.microsocksPort = 0;
    std::string d = Sub("microsocks");
    int port = lftest::FreeTcpPort();
    if (Started(s.microsocks,
                {"microsocks", "-i", "127.0.0.1", "-p", std::to_string(port), "-u", kMicrosocksUser,
                 "-P", kMicrosocksPassword},
                d + "/stderr.log", port, "microsocks"))
        s.microsocksPort = port;
    return s.microsocksPort;
}

namespace {
int StartTinyproxy(ChildProcess& child, const std::string& name, bool auth) {
    int origin = NginxPort();
    std::string d = Sub(name);
    int port = lftest::FreeTcpPort();
    std::string conf = "User nobody\nGroup nogroup\nPort " + std::to_string(port) +
                       "\nListen 127.0.0.1\nTimeout 60\nLogLevel Info\nLogFile \"" + d +
                       "/tinyproxy.log\"\nMaxClients 20\nAllow 127.0.0.1\nConnectPort " +
                       std::to_string(origin) + "\nDisableViaHeader Yes\n";
    if (auth) conf += std::string("BasicAuth ") + kTinyproxyUser + " " + kTinyproxyPassword + "\n";
    WriteFile(d + "/tinyproxy.conf", conf);
    if (!Started(child, {"tinyproxy", "-d", "-c", d + "/tinyproxy.conf"}, d + "/stderr.log", port,
                 "tinyproxy"))
        return 0;
    return port;
}
}  // namespace

int TinyproxyPort() {
    Servers& s = S();
    if (s.tinyproxyPort < 0) s.tinyproxyPort = StartTinyproxy(s.tinyproxy, "tinyproxy", false);
    return s.tinyproxyPort;
}

int TinyproxyAuthPort() {
    Servers& s = S();
    if (s.tinyproxyAuthPort < 0)
        s.tinyproxyAuthPort = StartTinyproxy(s.tinyproxyAuth, "tinyproxy-auth", true);
    return s.tinyproxyAuthPort;
}

int SshSocksPort() {
    Servers& s = S();
    if (s.sshSocksPort >= 0) return s.sshSocksPort;
    s.sshSocksPort = 0;
    if (!lftest::FileExists("/usr/sbin/sshd")) {
        std::cerr << "sshd is not installed\n";
        return 0;
    }
    std::string d = Sub("ssh");
    chmod(d.c_str(), 0700);
    // sshd refuses to start without its privilege separation folder.
    std::filesystem::create_directories("/run/sshd");
    if (lftest::Run("ssh-keygen -q -t ed25519 -N '' -f " + d +
                    "/host_key && ssh-keygen -q -t "
                    "ed25519 -N '' -f " +
                    d + "/client_key && cp " + d + "/client_key.pub " + d + "/authorized_keys") !=
        0)
        return 0;
    int sshdPort = lftest::FreeTcpPort();
    WriteFile(d + "/sshd_config",
              "Port " + std::to_string(sshdPort) + "\nListenAddress 127.0.0.1\nHostKey " + d +
                  "/host_key\nPidFile " + d + "/sshd.pid\nAuthorizedKeysFile " + d +
                  "/authorized_keys\nStrictModes no\nUsePAM no\n"
                  "PasswordAuthentication no\n"
                  "KbdInteractiveAuthentication no\n"
                  "PermitRootLogin prohibit-password\n"
                  "AllowTcpForwarding yes\nLogLevel ERROR\n");
    if (!Started(s.sshd, {"/usr/sbin/sshd", "-D", "-e", "-f", d + "/sshd_config"}, d + "/sshd.log",
                 sshdPort, "sshd"))
        return 0;
    int socksPort = lftest::FreeTcpPort();
    std::string user = std::getenv("USER") ? std::getenv("USER") : "root";
    if (!Started(s.ssh,
                 {"ssh",
                  "-F",
                  "/dev/null",
                  "-N",
                  "-D",
                  "127.0.0.1:" + std::to_string(socksPort),
                  "-p",
                  std::to_string(sshdPort),
                  "-i",
                  d + "/client_key",
                  "-o",
                  "StrictHostKeyChecking=no",
                  "-o",
                  "UserKnownHostsFile=/dev/null",
                  "-o",
                  "BatchMode=yes",
                  "-o",
                  "ExitOnForwardFailure=yes",
                  "-o",
                  "LogLevel=ERROR",
                  user + "@127.0.0.1"},
                 d + "/ssh.log", socksPort, "ssh -D"))
        return 0;
    s.sshSocksPort = socksPort;
    return socksPort;
}

void StopServers() {
    Servers& s = S();
    s.ssh.Stop();
    s.sshd.Stop();
    s.tinyproxyAuth.Stop();
    s.tinyproxy.Stop();
    s.microsocks.Stop();
    s.dante.Stop();
    s.nginx.Stop();
}

std::string FetchFile(QConnection& c, std::string* status, int limitSeconds) {
    std::string request = "GET /file.bin HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n";
    if (!c.Queue(request.data(), request.size())) return {};
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(limitSeconds);
    while (std::chrono::steady_clock::now() < end) {
        if (c.Flush() < 0) break;
        c.WaitReadable(1);
        if (c.ReceiveData() < 0) break;
    }
    std::string all(reinterpret_cast<const char*>(c.ReceivedData()), c.ReceivedSize());
    size_t head = all.find("\r\n\r\n");
    if (head == std::string::npos) return {};
    if (status) *status = all.substr(0, all.find("\r\n"));
    return all.substr(head + 4);
}

FakeServer::FakeServer(std::function<void(int)> serve) : m_serve(std::move(serve)) {
    m_listen = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(m_listen, reinterpret_cast<sockaddr*>(&sa), sizeof(sa));
    listen(m_listen, 16);
    socklen_t len = sizeof(sa);
    getsockname(m_listen, reinterpret_cast<sockaddr*>(&sa), &len);
    m_port = ntohs(sa.sin_port);
    m_thread = std::thread([this] {
        while (!m_stop.load()) {
            pollfd p{m_listen, POLLIN, 0};
            if (poll(&p, 1, 50) <= 0) continue;
            int fd = accept(m_listen, nullptr, nullptr);
            if (fd < 0) continue;
            ++m_accepted;
            m_serve(fd);
            close(fd);
        }
    });
}

FakeServer::~FakeServer() {
    m_stop = true;
    m_thread.join();
    close(m_listen);
}

std::string ReadFor(int fd, int ms, size_t max) {
    std::string out;
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (out.size() < max) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                        end - std::chrono::steady_clock::now())
                        .count();
        if (left <= 0) break;
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left)) <= 0) break;
        char buf[4096];
        ssize_t n = recv(fd, buf, sizeof(buf), 0);
        if (n <= 0) break;
        out.append(buf, static_cast<size_t>(n));
    }
    return out;
}

void WriteAll(int fd, const std::string& bytes) {
    size_t off = 0;
    while (off < bytes.size()) {
        ssize_t n = send(fd, bytes.data() + off, bytes.size() - off, MSG_NOSIGNAL);
        if (n <= 0) return;
        off += static_cast<size_t>(n);
    }
}

bool InHostsNamespace() {
    return std::getenv("LF_NET_HOSTS_NS") != nullptr;
}

int RunInHostsNamespace(const std::string& filter, const std::string& hosts,
                        const std::string& resolv, const std::string& nsswitch) {
    TempDir dir;
    WriteFile(dir / "hosts", hosts);
    WriteFile(dir / "nsswitch.conf", nsswitch);
    WriteFile(dir / "resolv.conf", resolv);
    std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
    std::string cmd = "unshare --mount -- sh -c 'mount --bind " + (dir / "hosts") +
                      " /etc/hosts && mount --bind " + (dir / "nsswitch.conf") +
                      " /etc/nsswitch.conf && mount --bind " + (dir / "resolv.conf") +
                      " /etc/resolv.conf && exec env LF_NET_HOSTS_NS=1 " + self +
                      " --gtest_filter=" + filter + "' > " + (dir / "out.log") + " 2>&1";
    int rc = lftest::Run(cmd);
    std::cout << "---- in the private hosts namespace ----\n"
              << lftest::ReadFile(dir / "out.log") << "---- end ----\n";
    return rc;
}

}  // namespace nettest
