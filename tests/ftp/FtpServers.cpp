#include "tests/ftp/FtpServers.h"

#include <sys/stat.h>

#include <sstream>

namespace ftptest {

namespace {

// Opens every folder from `path` up to the root for reading and traversal
// (the servers read files as unprivileged users).
void OpenPathForAll(const std::string& path) {
    std::string p = path;
    while (!p.empty() && p != "/") {
        struct stat st {};
        if (stat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) chmod(p.c_str(), st.st_mode | 0755);
        size_t slash = p.rfind('/');
        if (slash == std::string::npos) break;
        p = p.substr(0, slash);
    }
}

const char* kFakeServer = R"PY(
import socket, socketserver, sys, threading
port, path, mode, log = int(sys.argv[1]), sys.argv[2], sys.argv[3], sys.argv[4]
data = open(path, 'rb').read()
CUT = 300000
lock = threading.Lock()

def note(line):
    with lock:
        with open(log, 'a') as f:
            f.write(line + '\n')

class Handler(socketserver.StreamRequestHandler):
    def send(self, text):
        self.wfile.write((text + '\r\n').encode())
        self.wfile.flush()

    def handle(self):
        self.send('220 scripted server ready')
        rest, pasv = 0, None
        for raw in self.rfile:
            line = raw.decode('latin-1').rstrip('\r\n')
            note(line)
            verb, _, arg = line.partition(' ')
            verb = verb.lower()
            if verb == 'user':
                self.send('331 password please')
            elif verb == 'pass':
                self.send('230 logged in')
            elif verb == 'cwd':
                self.send('250 directory changed')
            elif verb == 'size':
                self.send('213 %d' % len(data))
            elif verb == 'type':
                self.send('200 type set')
            elif verb == 'pasv':
                if pasv is not None:
                    pasv.close()
                pasv = socket.socket()
                pasv.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
                pasv.bind(('127.0.0.1', 0))
                p = pasv.getsockname()[1]
                if mode == 'pasv-refused':
                    pasv.close()
                    pasv = None
                else:
                    pasv.listen(1)
                self.send('227 Entering Passive Mode (127,0,0,1,%d,%d)' % (p >> 8, p & 255))
            elif verb == 'rest':
                if mode == 'refuse-rest':
                    self.send('502 restart not implemented')
                else:
                    rest = int(arg)
                    self.send('350 restarting at %d' % rest)
            elif verb == 'retr':
                if pasv is None:
                    self.send('425 no data connection')
                    continue
                self.send('150 opening data connection')
                pasv.settimeout(10)
                try:
                    conn, _ = pasv.accept()
                except OSError:
                    self.send('425 no data connection')
                    pasv.close()
                    pasv = None
                    continue
                pasv.close()
                pasv = None
                end = len(data) if mode != 'cut-data' else min(len(data), rest + CUT)
                complete = False
                try:
                    conn.sendall(data[rest:end])
                    complete = end == len(data)
                except OSError:
                    pass
                conn.close()
                self.send('226 transfer complete' if complete else '426 transfer aborted')
                rest = 0
            elif verb == 'quit':
                self.send('221 bye')
                return
            else:
                self.send('502 not implemented')

class Server(socketserver.ThreadingTCPServer):
    allow_reuse_address = True
    daemon_threads = True

Server(('127.0.0.1', port), Handler).serve_forever()
)PY";

}  // namespace

bool Proftpd::Start(const std::string& root) {
    OpenPathForAll(root);
    lftest::Run("chmod -R a+rX '" + root + "'");
    m_port = lftest::FreeTcpPort();
    const std::string d = m_dir.Path();
    if (lftest::Run("echo '" + std::string(kPassword) + "' | ftpasswd --passwd --file='" + d +
                    "/ftpd.passwd' --name=" + kUser + " --uid=65534 --gid=65534 --home='" + root +
                    "' --shell=/bin/false --stdin >/dev/null 2>&1") != 0)
        return false;
    if (lftest::Run("ftpasswd --group --name=nogroup --gid=65534 --member=" + std::string(kUser) +
                    " --file='" + d + "/ftpd.group' >/dev/null 2>&1") != 0)
        return false;
    std::ostringstream conf;
    conf << "ServerName \"lf-test\"\nServerType standalone\nDefaultServer on\n"
         << "Port " << m_port << "\nDefaultAddress 127.0.0.1\nSocketBindTight on\nUseIPv6 off\n"
         << "User nobody\nGroup nogroup\n"
         << "PidFile " << d << "/proftpd.pid\nScoreboardFile " << d << "/scoreboard\n"
         << "DelayTable none\nWtmpLog off\nUseReverseDNS off\n"
         << "AuthOrder mod_auth_file.c mod_auth_unix.c\n"
         << "AuthUserFile " << d << "/ftpd.passwd\nAuthGroupFile " << d << "/ftpd.group\n"
         << "AuthPAM off\nRequireValidShell off\nDefaultRoot ~\n"
         << "SystemLog " << d << "/system.log\nTransferLog " << d << "/xfer.log\n"
         << "LogFormat commands \"%u %r\"\nExtendedLog " << d << "/commands.log ALL commands\n"
         << "LogFormat clients \"%a %r\"\nExtendedLog " << d << "/clients.log READ clients\n"
         << "<Limit WRITE>\n  DenyAll\n</Limit>\n"
         << "<Anonymous " << root << ">\n  User ftp\n  Group nogroup\n"
         << "  UserAlias anonymous ftp\n  RequireValidShell off\n"
         << "  <Limit WRITE>\n    DenyAll\n  </Limit>\n</Anonymous>\n";
    lftest::WriteFile(d + "/proftpd.conf", conf.str());
    if (!m_process.Start({"proftpd", "-n", "-c", d + "/proftpd.conf"}, d + "/out.log"))
        return false;
    return lftest::WaitForTcpPort(m_port);
}

std::string Proftpd::Url(const std::string& path, bool withUser,
                         const std::string& password) const {
    std::string url = "ftp://";
    if (withUser) url += std::string(kUser) + ":" + password + "@";
    return url + "127.0.0.1:" + std::to_string(m_port) + path;
}

std::string Proftpd::CommandLog() const {
    return lftest::ReadFile(m_dir / "commands.log");
}

bool FakeFtp::Start(const std::string& file, const std::string& mode) {
    lftest::WriteFile(m_dir / "server.py", kFakeServer);
    m_port = lftest::FreeTcpPort();
    if (!m_process.Start({"/usr/bin/python3", m_dir / "server.py", std::to_string(m_port), file,
                          mode, m_dir / "commands.log"},
                         m_dir / "out.log"))
        return false;
    return lftest::WaitForTcpPort(m_port);
}

std::string Proftpd::ReadLog() const {
    return lftest::ReadFile(m_dir / "clients.log");
}

std::string FakeFtp::Url(const std::string& path) const {
    return "ftp://127.0.0.1:" + std::to_string(m_port) + path;
}

std::string FakeFtp::CommandLog() const {
    return lftest::FileExists(m_dir / "commands.log") ? lftest::ReadFile(m_dir / "commands.log")
                                                      : std::string();
}

int CountLines(const std::string& log, const std::string& needle) {
    int n = 0;
    std::istringstream in(log);
    std::string line;
    while (std::getline(in, line))
        if (line.compare(0, needle.size(), needle) == 0) ++n;
    return n;
}

}  // namespace ftptest
