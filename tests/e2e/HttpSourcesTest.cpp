// HTTP sources end to end, through the engine interface: connection limits,
// mirrors of different speeds, a second kind of server, servers that stall
// or close mid-body, and a download killed and continued in a new process.
// Every result is compared with the served file by MD5.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "engine/core/EngineApi.h"
#include "engine/core/EngineSettings.h"
#include "engine/log/LogApi.h"
#include "tests/e2e/EngineTask.h"
#include "tests/support/Nginx.h"
#include "tests/support/TestDirs.h"

using namespace lf;

namespace {

constexpr int64_t kMiB = 1024 * 1024;

std::string Md5(const std::string& path) {
    return lftest::Capture("md5sum < '" + path + "' | cut -d' ' -f1");
}

// Random content of `bytes` bytes in a file.
void MakeFile(const std::string& path, int64_t bytes) {
    ASSERT_EQ(lftest::Run("head -c " + std::to_string(bytes) + " /dev/urandom > '" + path + "'"),
              0);
}

// The most TCP connections seen established at once on a local port, by
// polling the kernel's socket table through ss (one consistent dump per
// poll) while the object lives.
class ConnectionWatch {
public:
    explicit ConnectionWatch(int port) : m_port(port), m_thread([this] { Run(); }) {}
    ~ConnectionWatch() {
        m_stop = true;
        m_thread.join();
    }
    int Max() const { return m_max.load(); }

private:
    // Counts the client's ends: a connection the engine has closed leaves
    // ESTABLISHED at once on its side, while the server's end may linger
    // there until nginx reads the close.
    void Run() {
        const std::string command =
            "ss -Htn state established '( dport = :" + std::to_string(m_port) + " )' 2>/dev/null";
        while (!m_stop) {
            FILE* p = popen(command.c_str(), "r");
            if (p == nullptr) return;
            int n = 0;
            char line[512];
            while (std::fgets(line, sizeof line, p) != nullptr) ++n;
            pclose(p);
            if (n > m_max) m_max = n;
        }
    }
    int m_port;
    std::atomic<bool> m_stop{false};
    std::atomic<int> m_max{0};
    std::thread m_thread;
};

// A small HTTP server in python: answers "Range: bytes=N-" from one file;
// in mode "shift" a range answer starts 64 KiB after the requested offset
// (and says so in its Content-Range), in mode "othersize" it serves a file one
// byte longer (and names that total);
// in mode "stall" the first answer to a range request that is longer than
// 1 MiB stops after 1 MiB and never continues, in mode "close" every response ends after 1 MiB
// with the connection closed; in mode "mute" a request is never answered, in
// mode "headonly" it gets a full 206 head and then nothing, in mode "trickle"
// a 206 head and then 2 bytes a second. One line per request ("asked N") and
// one per response go to the log.
constexpr const char* kFakeServer = R"PY(
import socket, sys, threading, time
port, path, mode, log = int(sys.argv[1]), sys.argv[2], sys.argv[3], sys.argv[4]
data = open(path, 'rb').read()
size = len(data)
lock = threading.Lock()
state = {'stalled': False}
def note(text):
    with lock:
        with open(log, 'a') as f:
            f.write(text + '\n')
def serve(c):
    try:
        buf = b''
        while True:
            while b'\r\n\r\n' not in buf:
                d = c.recv(65536)
                if not d:
                    return
                buf += d
            head, buf = buf.split(b'\r\n\r\n', 1)
            start = 0
            for line in head.split(b'\r\n'):
                if line.lower().startswith(b'range:'):
                    start = int(line.split(b'=', 1)[1].split(b'-')[0])
            note('asked %d' % start)
            if mode == 'mute':
                note('mute %d' % start)
                time.sleep(3600)
                return
            if mode in ('headonly', 'trickle'):
                note('%s %d' % (mode, start))
                c.sendall(b'HTTP/1.1 206 Partial Content\r\nContent-Range: bytes %d-%d/%d\r\nContent-Length: %d\r\n\r\n' % (start, size - 1, size, size - start))
                for i in range(start, size if mode == 'trickle' else start, 2):
                    c.sendall(data[i:i + 2])
                    time.sleep(1)
                time.sleep(3600)
                return
            if mode == 'endless':
                note('endless')
                c.sendall(b'HTTP/1.1 200 OK\r\nX-Endless: ')
                try:
                    while True:
                        c.sendall(b'a' * 65536)
                except OSError:
                    note('given up')
                    return
            named, total = start, size
            if start > 0 and mode == 'shift':
                named = start = start + 65536
            body = memoryview(data)[start:]
            if start > 0 and mode == 'othersize':
                total = size + 1
                body = memoryview(b'\0' + data)[start:start + size - start]
            if start > 0:
                h = 'HTTP/1.1 206 Partial Content\r\nContent-Range: bytes %d-%d/%d\r\nContent-Length: %d\r\n\r\n' % (named, size - 1, total, len(body))
            else:
                h = 'HTTP/1.1 200 OK\r\nContent-Length: %d\r\n\r\n' % size
            c.sendall(h.encode())
            if mode == 'close':
                c.sendall(body[:1 << 20])
                note('closed %d' % start)
                return
            if mode == 'stall':
                with lock:
                    stall = not state['stalled'] and start > 0 and len(body) > (1 << 20)
                    state['stalled'] = state['stalled'] or stall
                if stall:
                    c.sendall(body[:1 << 20])
                    note('stalled %d' % start)
                    time.sleep(3600)
                    return
            c.sendall(body)
            note('served %d' % start)
    except OSError:
        pass
    finally:
        c.close()
s = socket.socket()
s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
s.bind(('127.0.0.1', port))
s.listen(128)
while True:
    c, _ = s.accept()
    threading.Thread(target=serve, args=(c,), daemon=True).start()
)PY";

int CountLines(const std::string& text, const std::string& prefix) {
    int n = 0;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) n += line.rfind(prefix, 0) == 0 ? 1 : 0;
    return n;
}

// Sum of the body bytes of the requests in an nginx access log (combined
// format: the number after the status).
int64_t BodyBytes(const std::string& log) {
    int64_t sum = 0;
    std::istringstream in(log);
    std::string line;
    while (std::getline(in, line)) {
        size_t q = line.find("\" ", line.find("\"GET "));
        if (q == std::string::npos) continue;
        std::istringstream f(line.substr(q + 2));
        int status = 0;
        int64_t bytes = 0;
        if (f >> status >> bytes) sum += bytes;
    }
    return sum;
}

class HttpSourcesTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(lftest::HaveProgram("nginx"));
        ASSERT_TRUE(lftest::HaveProgram("mktorrent"));
        www = dir / "www";
        ASSERT_EQ(lftest::Run("mkdir -p '" + www + "' '" + dir / "out" + "'"), 0);
        ASSERT_EQ(EngineStartup(dir.Path().c_str()), 0);
        OpenEngineLog();
        EngineLog::SetBasePath((dir / "engine").c_str());
        savedTimings = GetEngineTimings();
    }
    void TearDown() override {
        EngineShutdown();
        CloseEngineLog();
        SetEngineTimings(savedTimings);
    }

    std::string MakeTorrent(const std::string& name, int log2) {
        return lfe2e::MakeTorrent(www + "/" + name, dir / (name + ".torrent"), log2);
    }

    TaskDescription Describe(const std::string& sources, const std::string& target,
                             const std::string& torrent) {
        return lfe2e::DescribeTask(sources, target, torrent, &keepSources);
    }

    // Polls until the task reports a final status; stops it.
    TaskInfo Finish(TaskDescription& d, int seconds) {
        TaskInfo info{};
        auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
        while (std::chrono::steady_clock::now() < end) {
            EXPECT_EQ(QueryTask(d.handle, &info), 0);
            if (info.status != 0) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        int32_t results[1];
        StopTasks(&d.handle, 1, 0, results);
        return info;
    }

    int StartFakeServer(lftest::ChildProcess* child, const std::string& file,
                        const std::string& mode, const std::string& log) {
        const std::string script = dir / "fake_server.py";
        lftest::WriteFile(script, kFakeServer);
        const int port = lftest::FreeTcpPort();
        EXPECT_TRUE(
            child->Start({"/usr/bin/python3", script, std::to_string(port), file, mode, log},
                         dir / ("fake-" + mode + ".out")));
        EXPECT_TRUE(lftest::WaitForTcpPort(port));
        return port;
    }

    // Downloads a 16 MiB file (plus `extra` bytes) from the scripted server in
    // `mode` over 4 connections; checks the bytes and returns the server's log.
    std::string FromScriptedServer(const std::string& mode, int64_t extra, int seconds) {
        const std::string name = mode + ".bin";
        MakeFile(www + "/" + name, 16 * kMiB + extra);
        const std::string torrent = MakeTorrent(name, 18);
        lftest::ChildProcess server;
        const std::string log = dir / (mode + ".log");
        const int port = StartFakeServer(&server, www + "/" + name, mode, log);
        const std::string target = dir / ("out/" + name);
        auto d = Describe("http://127.0.0.1:" + std::to_string(port) + "/" + name, target, torrent);
        EXPECT_EQ(CreateAndStartTask(&d), 0);
        SetTaskConnectionLimits(d.handle, 4, 0);
        TaskInfo info = Finish(d, seconds);
        EXPECT_EQ(info.status, 20206);
        EXPECT_EQ(Md5(target), Md5(www + "/" + name));
        return lftest::ReadFile(log);
    }

    lftest::TempDir dir;
    std::string www;
    std::string keepSources;
    EngineTimings savedTimings;
};

// 200 MB through 1, 8 and 56 server connections: the file arrives intact,
// and no more connections than the limit are open at once.
TEST_F(HttpSourcesTest, ServerConnectionLimits) {
    MakeFile(www + "/big.bin", 200 * 1000 * 1000 + 4321);
    const std::string torrent = MakeTorrent("big.bin", 18);
    const std::string want = Md5(www + "/big.bin");
    lftest::NginxServer nginx;
    ASSERT_TRUE(nginx.Start(www));
    for (int limit : {1, 8, 56}) {
        SCOPED_TRACE("limit " + std::to_string(limit));
        const std::string target = dir / ("out/big" + std::to_string(limit) + ".bin");
        // A torrent file of its own: tasks with the same locator are duplicates.
        const std::string own = torrent + std::to_string(limit);
        ASSERT_EQ(lftest::Run("cp '" + torrent + "' '" + own + "'"), 0);
        auto d = Describe(nginx.Url("/big.bin?" + std::to_string(limit)), target, own);
        int most = 0;
        TaskInfo info{};
        {
            ConnectionWatch watch(nginx.Port());
            ASSERT_EQ(CreateAndStartTask(&d), 0);
            SetTaskConnectionLimits(d.handle, limit, 0);
            info = Finish(d, 240);
            most = watch.Max();
        }
        EXPECT_EQ(info.status, 20206);
        EXPECT_EQ(Md5(target), want);
        EXPECT_LE(most, limit);
        EXPECT_GE(most, limit == 1 ? 1 : limit / 2);
        // Fetched about once: ranges that were split are not fetched twice.
        EXPECT_LE(info.httpBytes, 200u * 1000 * 1000 + 4321 + static_cast<uint64_t>(limit) * kMiB);
        lftest::Run("rm -f '" + target + "'");
    }
}

// Two mirrors added by AddTaskMirrors, one throttled: the fast one takes
// over most of what the slow one was given.
TEST_F(HttpSourcesTest, MirrorsOfDifferentSpeeds) {
    const int64_t size = 16 * kMiB + 999;
    MakeFile(www + "/m.bin", size);
    const std::string torrent = MakeTorrent("m.bin", 18);
    lftest::NginxServer fast, slow;
    ASSERT_TRUE(fast.Start(www));
    ASSERT_TRUE(slow.Start(www, "location / { limit_rate 128k; }"));
    const std::string target = dir / "out/m.bin";
    auto d = Describe("", target, torrent);
    ASSERT_EQ(CreateAndStartTask(&d), 0);
    SetTaskConnectionLimits(d.handle, 4, 0);
    const std::string mirrors = slow.Url("/m.bin") + "\n" + fast.Url("/m.bin");
    ASSERT_EQ(AddTaskMirrors(d.handle, mirrors.c_str(), "null\nnull"), 0);
    TaskInfo info = Finish(d, 120);
    EXPECT_EQ(info.status, 20206);
    EXPECT_EQ(Md5(target), Md5(www + "/m.bin"));
    // Both mirrors were used; the slow one delivered a small part only.
    const int64_t slowBytes = BodyBytes(slow.AccessLog());
    const int64_t fastBytes = BodyBytes(fast.AccessLog());
    EXPECT_GT(CountLines(slow.AccessLog(), "127.0.0.1"), 0);
    EXPECT_LT(slowBytes, size / 4) << "slow " << slowBytes << ", fast " << fastBytes;
    EXPECT_GT(fastBytes, size / 2);
}

// nginx and lighttpd side by side: both serve their part of the file.
TEST_F(HttpSourcesTest, LighttpdBesideNginx) {
    ASSERT_TRUE(lftest::HaveProgram("lighttpd"));
    const int64_t size = 32 * kMiB + 77;
    MakeFile(www + "/l.bin", size);
    const std::string torrent = MakeTorrent("l.bin", 18);
    lftest::NginxServer nginx;
    ASSERT_TRUE(nginx.Start(www));
    const int port = lftest::FreeTcpPort();
    const std::string conf = dir / "lighttpd.conf";
    lftest::WriteFile(
        conf, "server.document-root = \"" + www + "\"\nserver.port = " + std::to_string(port) +
                  "\nserver.bind = \"127.0.0.1\"\nserver.errorlog = \"" + dir / "lighttpd.err" +
                  "\"\nserver.modules = (\"mod_accesslog\")\naccesslog.filename = \"" +
                  dir / "lighttpd.log" +
                  "\"\nmimetype.assign = (\".bin\" => \"application/octet-stream\")\n");
    lftest::ChildProcess lighttpd;
    ASSERT_TRUE(lighttpd.Start({"lighttpd", "-D", "-f", conf}, dir / "lighttpd.out"));
    ASSERT_TRUE(lftest::WaitForTcpPort(port));
    const std::string target = dir / "out/l.bin";
    auto d = Describe(nginx.Url("/l.bin") + "\nhttp://127.0.0.1:" + std::to_string(port) + "/l.bin",
                      target, torrent);
    ASSERT_EQ(CreateAndStartTask(&d), 0);
    SetTaskConnectionLimits(d.handle, 8, 0);
    TaskInfo info = Finish(d, 120);
    EXPECT_EQ(info.status, 20206);
    EXPECT_EQ(Md5(target), Md5(www + "/l.bin"));
    lighttpd.Stop();
    EXPECT_GT(CountLines(lftest::ReadFile(dir / "lighttpd.log"), "127.0.0.1"), 0);
    EXPECT_GT(CountLines(nginx.AccessLog(), "127.0.0.1"), 0);
    EXPECT_LE(info.httpBytes, static_cast<uint64_t>(size + 8 * kMiB));
}

// A server whose response head never ends, beside nginx, in a task without
// metainfo: the HTTP source gives up at the head's size cap, the server is
// dropped, and the task finishes from nginx alone.
TEST_F(HttpSourcesTest, EndlessHeadBesideNginx) {
    const int64_t size = 8 * kMiB + 17;
    MakeFile(www + "/e.bin", size);
    lftest::NginxServer nginx;
    ASSERT_TRUE(nginx.Start(www));
    lftest::ChildProcess endless;
    const std::string log = dir / "endless.log";
    const int port = StartFakeServer(&endless, www + "/e.bin", "endless", log);
    const std::string target = dir / "out/e.bin";
    auto d = Describe(nginx.Url("/e.bin") + "\nhttp://127.0.0.1:" + std::to_string(port) + "/e.bin",
                      target, "");
    ASSERT_EQ(CreateAndStartTask(&d), 0);
    SetTaskConnectionLimits(d.handle, 4, 0);
    // Every endless response is given up by the source while the task
    // still runs (not by the stop at its end).
    std::string served;
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (std::chrono::steady_clock::now() < end) {
        served = lftest::ReadFile(log);
        if (CountLines(served, "endless") >= 1 &&
            CountLines(served, "given up") == CountLines(served, "endless"))
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    TaskInfo running{};
    ASSERT_EQ(QueryTask(d.handle, &running), 0);
    EXPECT_GE(CountLines(served, "endless"), 1);
    EXPECT_EQ(CountLines(served, "given up"), CountLines(served, "endless")) << served;
    TaskInfo info = Finish(d, 60);
    EXPECT_EQ(info.status, 20206);
    EXPECT_EQ(Md5(target), Md5(www + "/e.bin"));
}

// Listeners that never accept, with no room in their accept queue: a
// connection attempt to them stays pending (SYN sent) until it times out.
class SilentListeners {
public:
    explicit SilentListeners(int n) {
        for (int i = 0; i < n; ++i) {
            const int fd = socket(AF_INET, SOCK_STREAM, 0);
            sockaddr_in sa{};
            sa.sin_family = AF_INET;
            sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)), 0);
            EXPECT_EQ(listen(fd, 0), 0);
            socklen_t len = sizeof(sa);
            getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len);
            m_fds.push_back(fd);
            m_ports.push_back(ntohs(sa.sin_port));
        }
    }
    ~SilentListeners() {
        for (int fd : m_fds) close(fd);
    }
    const std::vector<int>& Ports() const { return m_ports; }

private:
    std::vector<int> m_fds;
    std::vector<int> m_ports;
};

// The most connection attempts to `ports` seen pending at once (SYN sent),
// polled with ss for `seconds`.
int MostPendingConnects(const std::vector<int>& ports, int seconds) {
    std::string filter;
    for (int port : ports) {
        if (!filter.empty()) filter += " or ";
        filter += "dport = :" + std::to_string(port);
    }
    const std::string command = "ss -Htn state syn-sent '( " + filter + " )' 2>/dev/null";
    return lftest::MostOutputLines(command, std::chrono::seconds(seconds));
}

// With the half-open limit at 4, eight tasks of eight sources each, all
// silent, never have more than 4 connection attempts in flight together.
TEST_F(HttpSourcesTest, HalfOpenLimitAcrossTasks) {
    SilentListeners silent(8);
    SetHalfOpenLimit(4);
    std::vector<TaskDescription> tasks;
    std::vector<std::string> keep(8);
    for (int t = 0; t < 8; ++t) {
        const std::string name = "s" + std::to_string(t) + ".bin";
        std::string sources;  // a path of its own: tasks with the same sources are duplicates
        for (int port : silent.Ports())
            sources += "http://127.0.0.1:" + std::to_string(port) + "/" + name + "\n";
        tasks.push_back(lfe2e::DescribeTask(sources, dir / ("out/" + name), "", &keep[t]));
    }
    for (auto& d : tasks) {
        ASSERT_EQ(CreateAndStartTask(&d), 0);
        SetTaskConnectionLimits(d.handle, 8, 0);
    }
    const int most = MostPendingConnects(silent.Ports(), 4);
    std::vector<TaskHandle> handles;
    for (auto& d : tasks) handles.push_back(d.handle);
    StopTasks(handles.data(), static_cast<uint32_t>(handles.size()), 0, nullptr);
    SetHalfOpenLimit(0);
    EXPECT_LE(most, 4);
    EXPECT_GE(most, 2);  // attempts were made
}

// A server that stops sending in the middle of a body: the connection
// times out (after the shortened wait) and its range is fetched by another.
TEST_F(HttpSourcesTest, ServerStallingMidBody) {
    SetEngineTiming(&EngineTimings::httpBodySeconds, 2);
    EXPECT_EQ(CountLines(FromScriptedServer("stall", 5, 120), "stalled"), 1);
}

// Three servers that deliver nothing (no answer, a 206 head and then
// nothing, 2 bytes a second) beside nginx, with the HTTP waits far longer
// than the test: only taking their ranges (and, at the end, their queued
// pieces) over can finish the download in time. The file is right.
TEST_F(HttpSourcesTest, StalledServersAreTakenOver) {
    SetEngineTiming(&EngineTimings::httpHeadSeconds, 300);
    SetEngineTiming(&EngineTimings::httpBodySeconds, 300);
    const int64_t size = 24 * kMiB + 3;
    MakeFile(www + "/t.bin", size);
    const std::string torrent = MakeTorrent("t.bin", 18);
    lftest::NginxServer nginx;
    ASSERT_TRUE(nginx.Start(www));
    std::string sources;
    std::vector<std::unique_ptr<lftest::ChildProcess>> stalled;
    for (const char* mode : {"mute", "headonly", "trickle"}) {
        stalled.push_back(std::make_unique<lftest::ChildProcess>());
        const int port =
            StartFakeServer(stalled.back().get(), www + "/t.bin", mode, dir / "stalled.log");
        sources += "http://127.0.0.1:" + std::to_string(port) + "/t.bin\n";
    }
    sources += nginx.Url("/t.bin");
    const std::string target = dir / "out/t.bin";
    auto d = Describe(sources, target, torrent);
    ASSERT_EQ(CreateAndStartTask(&d), 0);
    SetTaskConnectionLimits(d.handle, 8, 0);
    TaskInfo info = Finish(d, 25);
    EXPECT_EQ(info.status, 20206);
    EXPECT_EQ(Md5(target), Md5(www + "/t.bin"));
    // Each stalled server was given work.
    const std::string log = lftest::ReadFile(dir / "stalled.log");
    for (const char* mode : {"mute", "headonly", "trickle"})
        EXPECT_GE(CountLines(log, mode), 1) << log;
}

// A server that closes the connection after every MiB: the download goes
// on over new connections and completes.
TEST_F(HttpSourcesTest, ServerClosingEveryMiB) {
    EXPECT_GE(CountLines(FromScriptedServer("close", 3, 180), "closed"), 16);
}

// A server that answers a range request from another offset than the one
// asked for, or names another total size, listed before nginx, without a
// torrent (no piece hashes to catch it): its answers are refused, the file
// comes from nginx and is right.
TEST_F(HttpSourcesTest, WrongContentRangeIsRefused) {
    for (const char* mode : {"shift", "othersize"}) {
        SCOPED_TRACE(mode);
        const std::string name = std::string(mode) + ".bin";
        MakeFile(www + "/" + name, 6 * kMiB + 777);
        lftest::ChildProcess liar;
        const std::string log = dir / (std::string(mode) + ".log");
        const int port = StartFakeServer(&liar, www + "/" + name, mode, log);
        lftest::NginxServer nginx;
        ASSERT_TRUE(nginx.Start(www));
        const std::string target = dir / ("out/" + name);
        auto d = Describe(
            "http://127.0.0.1:" + std::to_string(port) + "/" + name + "\n" + nginx.Url("/" + name),
            target, "");
        ASSERT_EQ(CreateAndStartTask(&d), 0);
        SetTaskConnectionLimits(d.handle, 4, 0);
        TaskInfo info = Finish(d, 120);
        EXPECT_EQ(info.status, 20206);
        EXPECT_EQ(Md5(target), Md5(www + "/" + name));
        // The liar was asked for ranges (and refused: the engine may close
        // before the whole answer is sent).
        EXPECT_GE(CountLines(lftest::ReadFile(log), "asked "), 1);
    }
}

// Beside a good server, a source with a malformed address (port 99999) or
// a host name that cannot be resolved: it is reported (20216) and left out,
// and lf-get still downloads the file from the good one.
TEST_F(HttpSourcesTest, BadSourceAddressEndsNothing) {
    const std::string lfget = std::string(LF_BINARY_DIR) + "/tools/lf-get/lf-get";
    MakeFile(www + "/b.bin", 3 * kMiB + 5);
    // Slow enough (one connection at 2 MB/s) for the bad address to be met
    // while the download runs.
    lftest::NginxServer nginx;
    ASSERT_TRUE(nginx.Start(www, "location /slow/ { alias " + www + "/; limit_rate 2m; }"));
    for (const char* bad : {"http://127.0.0.1:99999/b.bin", "http://no-such-host.invalid/b.bin"}) {
        SCOPED_TRACE(bad);
        const std::string target = dir / "out/b.bin";
        lftest::Run("rm -f '" + target + "'*");
        const std::string out =
            lftest::Capture("'" + lfget + "' --connections 1 '" + target + "' '" + bad + "' '" +
                            nginx.Url("/slow/b.bin") + "' 2>&1");
        EXPECT_NE(out.find("status=20206"), std::string::npos) << out;
        EXPECT_NE(out.find("malformed or unresolvable"), std::string::npos) << out;
        EXPECT_EQ(Md5(target), Md5(www + "/b.bin"));
    }
}

// A torrent the engine refuses (20211): the reason, naming the key or the
// limit, is on the engine's error channel and lf-get prints it.
TEST_F(HttpSourcesTest, RefusedTorrentSaysWhy) {
    const std::string lfget = std::string(LF_BINARY_DIR) + "/tools/lf-get/lf-get";
    struct Case {
        const char* bytes;
        const char* reason;
    };
    const Case cases[] = {
        {"hello", "does not hold a bencoded dictionary"},
        {"d4:infod6:lengthi5e4:name1:x6:pieces20:aaaaaaaaaaaaaaaaaaaaee", "piece length"},
        {"d4:infod6:lengthi5e4:name1:x12:piece lengthi16384e6:pieces7:aaaaaaaee", "pieces"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.reason);
        const std::string torrent = dir / "bad.torrent";
        lftest::WriteFile(torrent, c.bytes);
        const std::string out =
            lftest::Capture("'" + lfget + "' --torrent '" + torrent + "' '" + dir / "out/bad.bin" +
                            "' http://127.0.0.1:9/bad.bin 2>&1");
        EXPECT_NE(out.find("status=20211"), std::string::npos) << out;
        EXPECT_NE(out.find("Metainfo refused (20211)"), std::string::npos) << out;
        EXPECT_NE(out.find(c.reason), std::string::npos) << out;
    }
}

// lf-get is killed (SIGKILL) mid-download; a new process continues with
// RecoverAndContinueTask and finishes, refetching no more than what the
// write cache held plus one piece per connection.
TEST_F(HttpSourcesTest, KilledAndContinuedInANewProcess) {
    const std::string lfget = std::string(LF_BINARY_DIR) + "/tools/lf-get/lf-get";
    ASSERT_TRUE(lftest::FileExists(lfget));
    const int64_t size = 48 * kMiB + 12345;
    const int connections = 4;
    const int64_t pieceLength = 256 * 1024;
    MakeFile(www + "/k.bin", size);
    const std::string torrent = MakeTorrent("k.bin", 18);
    lftest::NginxServer nginx;
    ASSERT_TRUE(nginx.Start(www, "location /slow/ { alias " + www + "/; limit_rate 2m; }"));
    const std::string target = dir / "out/k.bin";
    const std::string url = nginx.Url("/slow/k.bin");
    const std::string trace = dir / "first.trace";

    // First run, watched through its progress trace, killed at about 40 %.
    int64_t published = 0;
    {
        lftest::ChildProcess first;
        setenv("LF_GET_TRACE", "1", 1);
        ASSERT_TRUE(first.Start({lfget, "--torrent", torrent, "--connections",
                                 std::to_string(connections), target, url},
                                trace));
        unsetenv("LF_GET_TRACE");
        auto end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (std::chrono::steady_clock::now() < end && published < size * 4 / 10) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            std::istringstream in(lftest::ReadFile(trace));
            std::string line;
            while (std::getline(in, line)) {
                size_t at = line.find(" http ");
                if (at != std::string::npos) published = std::stoll(line.substr(at + 6));
            }
        }
        ASSERT_GE(published, size * 4 / 10);
        ASSERT_LT(published, size);
        first.Signal(SIGKILL);
        first.Wait();
    }
    // Second run in a new process.
    const std::string out = lftest::Capture("'" + lfget + "' --recover --torrent '" + torrent +
                                            "' --connections " + std::to_string(connections) +
                                            " '" + target + "' '" + nginx.Url("/k.bin") + "'");
    ASSERT_NE(out.find("status=20206"), std::string::npos) << out;
    EXPECT_EQ(Md5(target), Md5(www + "/k.bin"));
    const size_t at = out.find("http=");
    ASSERT_NE(at, std::string::npos);
    const int64_t second = std::stoll(out.substr(at + 5));
    // What the first run had received is at least what it had published.
    const int64_t cacheLimit = 32 * 256 * 1024;
    EXPECT_LE(second, size - published + cacheLimit + connections * pieceLength)
        << "published " << published << ", second run " << second;
    EXPECT_GT(second, 0);
}

// Killed again and again (fixed seed) and continued each time: what is
// fetched again stays within the write cache plus one piece per connection
// for every kill, and the files come out right (the benchmark's loop, small).
TEST_F(HttpSourcesTest, KillLoopRefetchesWithinTheBound) {
    ASSERT_TRUE(lftest::HaveProgram("python3"));
    const std::string command = std::string("python3 '") + LF_SOURCE_DIR +
                                "/bench/resume/kill_loop.py' --lf-get '" + LF_BINARY_DIR +
                                "/tools/lf-get/lf-get' --kills 4 --seed 3 --files 2 --mib 6 "
                                "--rate 256k --connections 2 --min-run 1 --max-run 2";
    const std::string out = lftest::Capture(command + " 2>&1; echo rc=$?");
    EXPECT_NE(out.find("files right               yes"), std::string::npos) << out;
    EXPECT_NE(out.find("rc=0"), std::string::npos) << out;
}

}  // namespace
