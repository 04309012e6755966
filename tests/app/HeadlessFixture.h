// A small release served from loopback and the terminal program run on it as
// a user would: eight files behind nginx (plain HTTP, and HTTPS for the
// resource list), a release folder made by lf-make-release, and lanternfish
// --headless started with its own data home, save folder and installer
// command.
#pragma once

#include <sys/stat.h>

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "tests/app/ReleaseFiles.h"
#include "tests/support/Nginx.h"
#include "tests/support/TestDirs.h"

namespace lfapptest {

// A small release: about 6 MB in eight files.
inline const std::array<uint64_t, 8> kSmallRelease = {40000,   300000,  1000000, 1000000,
                                                      1000000, 1000000, 1000000, 999999};

struct RunResult {
    int exitCode = -1;
    std::string output;
};

// The front end's "本次下载字节数：" figure; UINT64_MAX when it is missing.
uint64_t SessionBytes(const std::string& output);

class HeadlessRelease {
public:
    // Makes the files (sizes in bytes) and the release, starts the servers.
    // `listXml` is served as /lanternfish/resources.xml over HTTPS.
    // `serverExtra` goes into nginx's server block (a "limit_rate 512k;").
    void Start(const std::array<uint64_t, 8>& sizes, const std::string& listXml,
               const std::string& serverExtra = "");
    // Rewrites the release's expected digest of entry i (a release whose
    // file can never pass).
    void BreakDigest(int i);
    void SetList(const std::string& listXml);
    void StopServers() { m_nginx.Stop(); }
    // "NAME=value" settings for later runs (they override the defaults).
    void SetEnvironment(std::vector<std::string> env) { m_env = std::move(env); }
    // Later runs print the progress line too (not only changes and messages).
    void SetQuiet(bool quiet) { m_quiet = quiet; }
    // Forgets the download: data folder and save folder removed.
    void Forget() const;

    std::vector<std::string> Command(const std::vector<std::string>& extra) const;
    // Runs the program to its end. The output holds stdout and stderr, where
    // the program's log lines go (LANTERNFISH_DEBUG is set).
    RunResult Run(const std::vector<std::string>& extra, int timeoutSeconds = 120) const;
    // Starts it in the background (output into `log`).
    bool Spawn(lftest::ChildProcess& child, const std::vector<std::string>& extra,
               const std::string& log) const;

    std::string Target(int i) const { return SaveFolder() + "/" + kReleaseFileNames[i]; }
    std::string SaveFolder() const { return m_dir / "save/qarrd160107"; }
    std::string Source(int i) const {
        return m_dir / (std::string("www/qarrd160107/") + kReleaseFileNames[i]);
    }
    std::string Md5(int i) const { return m_md5[i]; }
    uint64_t TotalSize() const;
    bool TargetMatches(int i) const;
    bool AllTargetsMatch() const;
    // The task INI.
    std::string TaskIni() const;
    // The task record's last size (its low word, enough for test releases).
    uint64_t LastSize() const;
    // Bytes nginx sent for requests whose path contains `pathPart`.
    uint64_t BytesServed(const std::string& pathPart) const;
    std::string AccessLog() const { return m_nginx.AccessLog(); }
    // What the statistics receiver got (one JSON line per batch).
    std::string Statistics() const { return lftest::ReadFile(m_dir / "stats.jsonl"); }
    std::string InstallerMarker() const { return m_dir / "installer-ran"; }
    const lftest::TempDir& Dir() const { return m_dir; }
    int HttpsPort() const { return m_httpsPort; }
    int HttpPort() const { return m_nginx.Port(); }

private:
    lftest::TempDir m_dir;
    lftest::NginxServer m_nginx;
    int m_httpsPort = 0;
    std::array<uint64_t, 8> m_sizes{};
    std::array<std::string, 8> m_md5;
    std::vector<std::string> m_env;
    bool m_quiet = true;
    lftest::ChildProcess m_stats;
    int m_statsPort = 0;
};

// A resource list: expiry text, P2P switch and, when mirrorPath is not empty,
// one mirror per entry at http://127.0.0.1:<port><mirrorPath><file>.
std::string ResourceList(const std::string& expired, int httpPort, const std::string& mirrorPath);

std::string Md5OfFile(const std::string& path);
// Count of non-overlapping occurrences.
size_t Count(const std::string& text, const std::string& what);

}  // namespace lfapptest
