// The resource list fetched over HTTPS from a real nginx on loopback with a
// self-signed certificate (certificate checks are off for this fetch).
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <future>

#include "app/HttpGet.h"
#include "app/ResourceList.h"
#include "engine/log/LogApi.h"
#include "tests/app/ResourceListDocs.h"
#include "tests/support/TestDirs.h"

using namespace lf;

using namespace lfapp;
using lfapptest::EightUrls;
using lfapptest::RecordingSink;

namespace {

const char kRetired[] =
    "<project><configs><expire-info><expired>true</expired>"
    "<message>该版本已停止下载</message><url>https://example.test/new</url>"
    "</expire-info><p2p-switch>off</p2p-switch></configs></project>";
const char kRetiredTitleCase[] =
    "<project><configs><expire-info><expired>True</expired><message>m</message>"
    "</expire-info></configs></project>";
const char kWrongRoot[] =
    "<list><configs><expire-info><expired>true</expired><message>old</message></expire-info>"
    "<p2p-switch>on</p2p-switch></configs><resources><resource id=\"r\" "
    "task=\"http://dl.test/qarrd160107/file1\"><cdn id=\"c\" name=\"n\" middle-dir=\"/d/\" "
    "file-name=\"f\" open=\"1\"><ip>1.1.1.1</ip></cdn></resource></resources></list>";
const char kNoId[] =
    "<project><configs><p2p-switch>off</p2p-switch></configs><resources><resource "
    "task=\"http://dl.test/qarrd160107/file1\"><cdn id=\"c\" name=\"n\" middle-dir=\"/d/\" "
    "file-name=\"f\" open=\"1\"><ip>1.1.1.1</ip></cdn></resource></resources></project>";

// nginx serving www/ over HTTPS and plain HTTP on two free loopback ports.
class NginxFixture : public testing::Test {
protected:
    static void SetUpTestSuite() {
        if (!lftest::HaveProgram("nginx") || !lftest::HaveProgram("openssl")) return;
        s_dir = new lftest::TempDir();
        const lftest::TempDir& d = *s_dir;
        chmod(d.Path().c_str(), 0755);
        ASSERT_EQ(lftest::Run("openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 "
                              "-nodes -days 2 -subj /CN=127.0.0.1 -keyout " +
                              d / "key.pem" + " -out " + d / "cert.pem" + " >" + d / "openssl.log" +
                              " 2>&1"),
                  0);
        mkdir((d / "www").c_str(), 0755);
        mkdir((d / "www/lists").c_str(), 0755);
        lftest::WriteFile(d / "www/lists/full.xml", lfapptest::kFullList);
        lftest::WriteFile(d / "www/lists/retired.xml", kRetired);
        lftest::WriteFile(d / "www/lists/titlecase.xml", kRetiredTitleCase);
        lftest::WriteFile(d / "www/lists/wrongroot.xml", kWrongRoot);
        lftest::WriteFile(d / "www/lists/noid.xml", kNoId);
        lftest::WriteFile(d / "www/lists/huge.xml", std::string(kHttpGetMaxBody + 1, ' '));
        s_https = lftest::FreeTcpPort();
        s_http = lftest::FreeTcpPort();
        std::string conf = "daemon off;\nworker_processes 1;\npid " + d / "nginx.pid" +
                           ";\nerror_log " + d / "error.log" +
                           " warn;\nevents { worker_connections 64; }\nhttp {\n"
                           "  access_log off;\n  client_body_temp_path " +
                           d / "body" + ";\n  proxy_temp_path " + d / "proxy" +
                           ";\n  fastcgi_temp_path " + d / "fastcgi" + ";\n  uwsgi_temp_path " +
                           d / "uwsgi" + ";\n  scgi_temp_path " + d / "scgi" +
                           ";\n"
                           "  server {\n"
                           "    listen 127.0.0.1:" +
                           std::to_string(s_https) +
                           " ssl;\n"
                           "    listen 127.0.0.1:" +
                           std::to_string(s_http) +
                           ";\n"
                           "    ssl_certificate " +
                           d / "cert.pem" + ";\n    ssl_certificate_key " + d / "key.pem" +
                           ";\n    root " + d / "www" +
                           ";\n"
                           "    location = /moved.xml { return 302 /lists/full.xml; }\n"
                           "    location = /broken.xml { return 500 '" +
                           std::string(kRetired) +
                           "'; }\n"
                           "  }\n}\n";
        lftest::WriteFile(d / "nginx.conf", conf);
        s_nginx = new lftest::ChildProcess();
        ASSERT_TRUE(s_nginx->Start(
            {"nginx", "-c", d / "nginx.conf", "-p", d.Path() + "/", "-e", d / "error.log"},
            d / "nginx.out"));
        ASSERT_TRUE(lftest::WaitForTcpPort(s_https)) << lftest::ReadFile(d / "error.log");
        ASSERT_TRUE(lftest::WaitForTcpPort(s_http));
    }
    static void TearDownTestSuite() {
        delete s_nginx;
        s_nginx = nullptr;
        delete s_dir;
        s_dir = nullptr;
    }
    void SetUp() override {
        if (!s_nginx) GTEST_SKIP() << "nginx or openssl missing";
    }
    static std::string Https(const std::string& path) {
        return "https://127.0.0.1:" + std::to_string(s_https) + path;
    }
    static std::string Http(const std::string& path) {
        return "http://127.0.0.1:" + std::to_string(s_http) + path;
    }

    static lftest::TempDir* s_dir;
    static lftest::ChildProcess* s_nginx;
    static int s_https, s_http;
};

lftest::TempDir* NginxFixture::s_dir = nullptr;
lftest::ChildProcess* NginxFixture::s_nginx = nullptr;
int NginxFixture::s_https = 0;
int NginxFixture::s_http = 0;

}  // namespace

TEST_F(NginxFixture, HttpGetOverHttpsAndHttp) {
    HttpResult r = HttpGet(Https("/lists/full.xml"), 5);
    EXPECT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.body, lfapptest::kFullList);
    EXPECT_EQ(r.error, "");

    r = HttpGet(Http("/lists/retired.xml"), 0);
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.body, kRetired);

    r = HttpGet(Https("/moved.xml"), 5);  // redirects are followed
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.body, lfapptest::kFullList);

    struct Failure {
        std::string url;
        long status;
    } failures[] = {{Https("/lists/missing.xml"), 404},
                    {Https("/broken.xml"), 500},
                    {Https("/lists/huge.xml"), 200},
                    {"https://127.0.0.1:" + std::to_string(lftest::FreeTcpPort()) + "/x.xml", 0}};
    for (const Failure& f : failures) {
        SCOPED_TRACE(f.url);
        HttpResult bad = HttpGet(f.url, 5);
        EXPECT_FALSE(bad.ok);
        EXPECT_EQ(bad.status, f.status);
        EXPECT_EQ(bad.error, "Failed to get " + f.url);
        EXPECT_EQ(bad.body, "");
    }
}

TEST_F(NginxFixture, ExpiryCheck) {
    ExpiryInfo info = CheckExpiry(Https("/lists/retired.xml"));
    EXPECT_TRUE(info.retired);
    EXPECT_EQ(info.message, "该版本已停止下载");
    EXPECT_EQ(info.url, "https://example.test/new");

    EXPECT_FALSE(CheckExpiry(Https("/lists/titlecase.xml")).retired);  // "True" is not "true"
    EXPECT_FALSE(CheckExpiry(Https("/lists/full.xml")).retired);
    EXPECT_TRUE(CheckExpiry(Https("/lists/wrongroot.xml")).retired);  // root name not tested
    EXPECT_FALSE(CheckExpiry(Https("/broken.xml")).retired);          // an error answer is no list
    EXPECT_FALSE(CheckExpiry(Https("/lists/missing.xml")).retired);
}

TEST_F(NginxFixture, UpdateSourcesHandsMirrorsToTheTasks) {
    RecordingSink sink;
    EXPECT_EQ(UpdateSources(Https("/lists/full.xml"), EightUrls(), sink), 0);
    EXPECT_EQ(sink.calls, (std::vector<std::string>{
                              "p2p 1", "clear 1", "add 1 http://10.0.0.1/dl/a.cab cdn.test",
                              "add 1 http://10.0.0.2:8080/dl/a.cab cdn.test", "clear 3",
                              "add 3 http://127.0.0.5/files/Qarrd21040Data02.cab null"}));

    RecordingSink moved;
    EXPECT_EQ(UpdateSources(Https("/moved.xml"), EightUrls(), moved), 0);
    EXPECT_EQ(moved.calls, sink.calls);

    struct Case {
        std::string url;
        int result;
        std::vector<std::string> calls;
    } cases[] = {
        {Https("/lists/wrongroot.xml"), -2, {}},    // neither switch nor sources
        {Https("/lists/noid.xml"), -2, {"p2p 0"}},  // switch applied, no source
        {Https("/lists/retired.xml"), -2, {"p2p 0"}},
        {Https("/lists/missing.xml"), -1, {}},  // fetch failed: nothing changes
        {Https("/broken.xml"), -1, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.url);
        RecordingSink s;
        EXPECT_EQ(UpdateSources(c.url, EightUrls(), s), c.result);
        EXPECT_EQ(s.calls, c.calls);
    }
}

TEST_F(NginxFixture, EngineSinkStoresTheSwitch) {
    std::atomic<int> p2p{1};
    std::array<TaskHandle, kReleaseEntryCount> handles{};  // no tasks: the engine rejects mirrors
    EngineSourceSink sink(&p2p, handles);
    EXPECT_EQ(UpdateSources(Https("/lists/noid.xml"), EightUrls(), sink), -2);
    EXPECT_EQ(p2p.load(), 0);
    EXPECT_EQ(UpdateSources(Https("/lists/full.xml"), EightUrls(), sink), 0);
    EXPECT_EQ(p2p.load(), 1);
}

TEST(HttpGetTimeout, ServerThatNeverAnswersEndsTheExpiryCheck) {
    // A listening socket nobody accepts on: the TLS handshake never completes.
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(fd, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(listen(fd, 4), 0);
    socklen_t len = sizeof addr;
    getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    std::string url = "https://127.0.0.1:" + std::to_string(ntohs(addr.sin_port)) + "/list.xml";
    HttpResult r = HttpGet(url, 1);
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.error, "Failed to get " + url);
    EXPECT_FALSE(CheckExpiry(url, 1).retired);
    close(fd);
}

TEST_F(NginxFixture, LogLinesOfTheSourceUpdate) {
    lftest::TempDir logs;
    std::string base = logs / "release";
    EngineLog::Open();
    EngineLog::SetBasePath(base.c_str());
    EngineLog::SetThresholds(1, 100);  // every channel to its file
    RecordingSink sink;
    EXPECT_EQ(UpdateSources(Https("/lists/missing.xml"), EightUrls(), sink), -1);
    EXPECT_EQ(UpdateSources(Https("/lists/noid.xml"), EightUrls(), sink), -2);
    EXPECT_EQ(UpdateSources(Https("/lists/full.xml"), EightUrls(), sink), 0);
    EngineLog::Close();
    auto fileOf = [&](int channel) {
        return base + CLanternfishLogApi::kSuffixes[CLanternfishLogApi::SlotForChannel(channel)];
    };
    std::string resourceLog = lftest::ReadFile(fileOf(38));
    std::string statusLog = lftest::ReadFile(fileOf(34));
    EXPECT_NE(resourceLog.find("Seek res FAILED with XML content failed"), std::string::npos);
    size_t off = statusLog.find("禁用P2P功能");
    ASSERT_NE(off, std::string::npos) << statusLog;
    EXPECT_NE(statusLog.find("启用P2P功能", off), std::string::npos);
}

TEST_F(NginxFixture, RefreshOnItsOwnThread) {
    auto sink = std::make_shared<RecordingSink>();
    auto finished = std::make_shared<std::promise<int>>();  // outlives this test if need be
    auto result = finished->get_future();
    ASSERT_TRUE(StartUpdateSources(Https("/lists/full.xml"), EightUrls(), sink,
                                   [finished](int r) { finished->set_value(r); }));
    ASSERT_EQ(result.wait_for(std::chrono::seconds(30)), std::future_status::ready);
    EXPECT_EQ(result.get(), 0);
    EXPECT_EQ(sink->calls.size(), 6u);
    EXPECT_FALSE(StartUpdateSources(Https("/lists/full.xml"), EightUrls(), nullptr));
}
