// Small helpers shared by the test fixtures: temporary folders, free
// loopback ports, child processes (servers and peers) and file contents.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

namespace lftest {

// A fresh folder under $TMPDIR (or /tmp), removed with its contents when the
// object goes away.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& Path() const { return m_path; }
    std::string operator/(const std::string& name) const { return m_path + "/" + name; }

private:
    std::string m_path;
};

// A TCP port on 127.0.0.1 that nothing listens on right now.
int FreeTcpPort();
// True once something accepts connections on 127.0.0.1:port.
bool WaitForTcpPort(int port, std::chrono::milliseconds limit = std::chrono::seconds(10));

// A child process started with execvp; killed (SIGTERM, then SIGKILL) and
// reaped when the object goes away.
class ChildProcess {
public:
    ChildProcess() = default;
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Starts argv[0] with the arguments; stdout and stderr go to logPath
    // when given. Returns false when fork fails.
    bool Start(const std::vector<std::string>& argv, const std::string& logPath = "");
    // Sends a signal.
    void Signal(int sig);
    // Waits for the child to end; returns its wait status or -1.
    int Wait();
    void Stop();
    pid_t Pid() const { return m_pid; }
    bool Running() const { return m_pid > 0; }

private:
    pid_t m_pid = -1;
};

// Runs a shell command and returns its exit status.
int Run(const std::string& command);
// Runs a shell command and returns its standard output.
std::string Capture(const std::string& command);
// Runs the shell command again and again for `duration` and answers the most
// lines one run printed (for example ss polled for connections).
int MostOutputLines(const std::string& command, std::chrono::milliseconds duration);

std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& bytes);
bool FileExists(const std::string& path);
// Deterministic pseudo-random bytes.
std::string PseudoRandomBytes(size_t size, unsigned seed);
// A program is available on PATH.
bool HaveProgram(const std::string& name);

}  // namespace lftest
