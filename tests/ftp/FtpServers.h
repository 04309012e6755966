// FTP servers for the FTP source tests, each on a free loopback port in a
// temporary folder: proftpd with an anonymous area and one virtual user
// with a password, and a small scripted server (python3) that misbehaves
// on purpose. Both log every command they receive.
#pragma once

#include <string>

#include "tests/support/TestDirs.h"

namespace ftptest {

constexpr const char* kUser = "lfuser";
constexpr const char* kPassword = "pw-9!x";

class Proftpd {
public:
    // Serves `root` (made readable for the server's unprivileged users) to
    // anonymous users and to kUser / kPassword.
    bool Start(const std::string& root);
    void Stop() { m_process.Stop(); }
    int Port() const { return m_port; }
    // "ftp://[user:password@]127.0.0.1:port" + path.
    std::string Url(const std::string& path, bool withUser = false,
                    const std::string& password = kPassword) const;
    // Commands received, one "user command" a line (passwords hidden).
    std::string CommandLog() const;
    // Files sent, one "client-address command" a line.
    std::string ReadLog() const;

private:
    lftest::TempDir m_dir;
    lftest::ChildProcess m_process;
    int m_port = 0;
};

// A scripted server (no login check) serving one file. Modes:
//   "good"          a plain server
//   "refuse-rest"   answers "rest" with 502
//   "pasv-refused"  announces a passive port nothing listens on
//   "cut-data"      ends every data stream after 300000 bytes with 426
class FakeFtp {
public:
    bool Start(const std::string& file, const std::string& mode);
    int Port() const { return m_port; }
    std::string Url(const std::string& path) const;
    // Commands received, one a line as sent.
    std::string CommandLog() const;

private:
    lftest::TempDir m_dir;
    lftest::ChildProcess m_process;
    int m_port = 0;
};

// How often `needle` starts a line of `log`.
int CountLines(const std::string& log, const std::string& needle);

}  // namespace ftptest
