#include "tests/app/HeadlessFixture.h"

#include <openssl/evp.h>
#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace lfapptest {

using lftest::ReadFile;
using lftest::WriteFile;

std::string Md5OfFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return "";
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    EVP_DigestInit_ex(ctx, EVP_md5(), nullptr);
    std::vector<char> buffer(1 << 20);
    while (in) {
        in.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
        EVP_DigestUpdate(ctx, buffer.data(), static_cast<size_t>(in.gcount()));
    }
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int n = 0;
    EVP_DigestFinal_ex(ctx, md, &n);
    EVP_MD_CTX_free(ctx);
    std::string hex;
    char two[3];
    for (unsigned int i = 0; i < n; ++i) {
        std::snprintf(two, sizeof two, "%02x", md[i]);
        hex += two;
    }
    return hex;
}

size_t Count(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos;
         at = text.find(what, at + what.size())) {
        ++n;
    }
    return n;
}

std::string ResourceList(const std::string& expired, int httpPort, const std::string& mirrorPath) {
    std::string port = std::to_string(httpPort);
    std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<project>\n  <configs>\n";
    xml += "    <expire-info><expired>" + expired +
           "</expired><message>这个版本已经停止下载</message><url>http://127.0.0.1:" + port +
           "/retired.html</url></expire-info>\n";
    xml += "    <p2p-switch>on</p2p-switch>\n  </configs>\n  <resources>\n";
    if (!mirrorPath.empty()) {
        for (int i = 0; i < 8; ++i) {
            std::string n = std::to_string(i);
            xml += "    <resource id=\"r" + n + "\" task=\"http://127.0.0.1:" + port +
                   "/qarrd160107/" + kReleaseFileNames[i] + "\">\n";
            xml += "      <cdn id=\"c" + n + "\" name=\"m\" middle-dir=\"" + mirrorPath +
                   "\" file-name=\"" + kReleaseFileNames[i] +
                   "\" open=\"1\"><ip>127.0.0.1:" + port + "</ip></cdn>\n    </resource>\n";
        }
    }
    xml += "  </resources>\n</project>\n";
    return xml;
}

void HeadlessRelease::Start(const std::array<uint64_t, 8>& sizes, const std::string& listXml,
                            const std::string& serverExtra) {
    m_sizes = sizes;
    const std::string www = m_dir / "www";
    std::filesystem::create_directories(www + "/qarrd160107");
    std::filesystem::create_directories(www + "/lanternfish");
    std::filesystem::create_directories(m_dir / "save");
    std::vector<std::string> paths;
    for (int i = 0; i < 8; ++i) {
        WriteFile(Source(i), lftest::PseudoRandomBytes(sizes[i], 1000 + i));
        m_md5[i] = Md5OfFile(Source(i));
        paths.push_back(Source(i));
    }
    SetList(listXml);
    const std::string cert = m_dir / "cert.pem", key = m_dir / "key.pem";
    lftest::Run("openssl req -x509 -newkey rsa:2048 -nodes -days 30 -subj /CN=127.0.0.1 -keyout " +
                key + " -out " + cert + " 2>/dev/null");
    m_httpsPort = lftest::FreeTcpPort();
    std::string extra = "    listen 127.0.0.1:" + std::to_string(m_httpsPort) + " ssl;\n" +
                        "    ssl_certificate " + cert + ";\n    ssl_certificate_key " + key +
                        ";\n    location /mirror/ { alias " + www + "/qarrd160107/; }\n" +
                        serverExtra + "\n";
    if (!m_nginx.Start(www, extra)) throw std::runtime_error("nginx did not start");
    lftest::WaitForTcpPort(m_httpsPort);

    // Statistics go to a receiver of the test's own.
    m_statsPort = lftest::FreeTcpPort();
    std::string stats =
        ReadFile(std::string(LF_SOURCE_DIR) + "/tools/make-release/demo-dataupload.lfconf");
    for (size_t at; (at = stats.find("127.0.0.1:8083")) != std::string::npos;) {
        stats.replace(at, 14, "127.0.0.1:" + std::to_string(m_statsPort));
    }
    WriteFile(m_dir / "dataupload.lfconf", stats);
    m_stats.Start(
        {"python3", std::string(LF_SOURCE_DIR) + "/tools/stats-receiver/stats_receiver.py",
         "--port", std::to_string(m_statsPort), "--out", m_dir / "stats.jsonl"},
        m_dir / "stats.log");
    // Events sent before the receiver listens are lost; python may take a
    // while to start on a busy machine.
    if (!lftest::WaitForTcpPort(m_statsPort, std::chrono::seconds(60))) {
        throw std::runtime_error("statistics receiver did not start");
    }

    std::string cmd = std::string(LF_BINARY_DIR) + "/tools/make-release/lf-make-release --out " +
                      (m_dir / "release") + " --base-url " + m_nginx.Url("/qarrd160107/") +
                      " --list-url https://127.0.0.1:" + std::to_string(m_httpsPort) +
                      "/lanternfish/resources.xml --statistics-config " +
                      (m_dir / "dataupload.lfconf") + " --piece-length 65536";
    for (const std::string& p : paths) cmd += " " + p;
    if (lftest::Run(cmd + " >/dev/null") != 0) throw std::runtime_error("lf-make-release failed");
    WriteFile(m_dir / "installer.sh", "#!/bin/sh\necho \"$1\" >> " + InstallerMarker() + "\n");
    lftest::Run("chmod +x " + (m_dir / "installer.sh"));
}

void HeadlessRelease::SetList(const std::string& listXml) {
    WriteFile(m_dir / "www/lanternfish/resources.xml", listXml);
}

void HeadlessRelease::BreakDigest(int i) {
    const std::string table = m_dir / "release/release-table.ini";
    std::string text = ReadFile(table);
    std::string key = "Md5" + std::to_string(i) + "=";
    size_t at = text.find(key);
    if (at == std::string::npos) throw std::runtime_error("no digest key");
    text.replace(at + key.size(), 32, std::string(32, '0'));
    WriteFile(table, text);
}

std::vector<std::string> HeadlessRelease::Command(const std::vector<std::string>& extra) const {
    std::vector<std::string> argv = {"env",
                                     "LANTERNFISH_DATA_HOME=" + (m_dir / "data"),
                                     "LANTERNFISH_OPEN_COMMAND=" + (m_dir / "installer.sh"),
                                     "LANTERNFISH_SHUTDOWN_COMMAND=true",
                                     "LANTERNFISH_DEBUG=1",
                                     "LANTERNFISH_RESUME_SAVE_SECONDS=1",
                                     std::string(LF_BINARY_DIR) + "/app/lanternfish",
                                     "--headless",
                                     "--no-port-mapping",
                                     "--release",
                                     m_dir / "release",
                                     "--save",
                                     SaveFolder()};
    if (m_quiet) argv.insert(argv.begin() + 7, "--quiet");
    argv.insert(argv.begin() + 6, m_env.begin(), m_env.end());
    argv.insert(argv.end(), extra.begin(), extra.end());
    return argv;
}

RunResult HeadlessRelease::Run(const std::vector<std::string>& extra, int timeoutSeconds) const {
    std::string cmd = "timeout -s KILL " + std::to_string(timeoutSeconds);
    for (const std::string& a : Command(extra)) cmd += " '" + a + "'";
    cmd += " 2>&1";
    RunResult result;
    FILE* pipe = ::popen(cmd.c_str(), "r");
    if (pipe == nullptr) return result;
    char buffer[4096];
    size_t got;
    while ((got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0)
        result.output.append(buffer, got);
    int status = ::pclose(pipe);
    result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

bool HeadlessRelease::Spawn(lftest::ChildProcess& child, const std::vector<std::string>& extra,
                            const std::string& log) const {
    return child.Start(Command(extra), log);
}

void HeadlessRelease::Forget() const {
    std::filesystem::remove_all(m_dir / "data");
    std::filesystem::remove_all(SaveFolder());
}

uint64_t HeadlessRelease::TotalSize() const {
    uint64_t total = 0;
    for (uint64_t s : m_sizes) total += s;
    return total;
}

bool HeadlessRelease::TargetMatches(int i) const {
    return Md5OfFile(Target(i)) == m_md5[i];
}

bool HeadlessRelease::AllTargetsMatch() const {
    for (int i = 0; i < 8; ++i) {
        if (!TargetMatches(i)) return false;
    }
    return true;
}

std::string HeadlessRelease::TaskIni() const {
    std::error_code ec;
    for (auto& e : std::filesystem::recursive_directory_iterator(m_dir / "data", ec)) {
        const std::string name = e.path().filename().string();
        if (e.path().extension() == ".lfconf" && name != "dataupload.lfconf") {
            return ReadFile(e.path().string());
        }
    }
    return "";
}

uint64_t HeadlessRelease::BytesServed(const std::string& pathPart) const {
    std::istringstream in(m_nginx.AccessLog());
    uint64_t total = 0;
    for (std::string line; std::getline(in, line);) {
        size_t q1 = line.find('"');
        size_t q2 = q1 == std::string::npos ? q1 : line.find('"', q1 + 1);
        if (q2 == std::string::npos) continue;
        if (line.substr(q1, q2 - q1).find(pathPart) == std::string::npos) continue;
        int status = 0;
        unsigned long long bytes = 0;
        if (std::sscanf(line.c_str() + q2 + 1, " %d %llu", &status, &bytes) == 2) total += bytes;
    }
    return total;
}

uint64_t HeadlessRelease::LastSize() const {
    std::string ini = TaskIni();
    size_t at = ini.find("LanternfishTaskLastSizeLow=");
    if (at == std::string::npos) return 0;
    return std::strtoull(ini.c_str() + at + 27, nullptr, 10);
}

uint64_t SessionBytes(const std::string& output) {
    size_t at = output.find("本次下载字节数：");
    if (at == std::string::npos) return UINT64_MAX;
    return std::strtoull(output.c_str() + at + std::string("本次下载字节数：").size(), nullptr, 10);
}

}  // namespace lfapptest
