// The statistics component and the data upload against the statistics
// receiver over real HTTP on loopback.
#include <gtest/gtest.h>
#include <json/json.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <set>

#include "engine/log/LogApi.h"
#include "stats/DataStatistics.h"
#include "stats/DataUpload.h"
#include "stats/MachineIdentity.h"
#include "stats/StatsConfig.h"
#include "tests/stats/StatsFixture.h"

using namespace lf;

using statstest::Receiver;

namespace {

// Names of this process's threads.
std::vector<std::string> ThreadNames() {
    std::vector<std::string> names;
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
        std::string comm = lftest::ReadFile(task.path().string() + "/comm");
        while (!comm.empty() && comm.back() == '\n') comm.pop_back();
        names.push_back(comm);
    }
    return names;
}

const char kGoodBody[] =
    ",\"DVersion\":\"1.8\",\"GameID\":\"1\",\"AppVersion\":\"1.0.3\",\"GVersion\":\"V2.1.0.40\"";

class StatsReceiverTest : public ::testing::Test {
protected:
    void SetUp() override {
        for (const char* v :
             {"http_proxy", "HTTP_PROXY", "https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"})
            ::unsetenv(v);
        config = dir / "dataupload.lfconf";
        component = std::make_unique<CDataStatisticsImp>();
        component->SetSystemSources(sys.sources);
        component->SetConfigurationPath(config.c_str());
        component->SetSubmitTimeout(std::chrono::seconds(1));
    }

    Receiver& StartReceiver(const std::string& answer) {
        receivers.push_back(std::make_unique<Receiver>(dir, answer));
        EXPECT_TRUE(receivers.back()->started);
        return *receivers.back();
    }
    void UseReceivers(const std::vector<Receiver*>& list) {
        std::vector<std::string> urls;
        for (Receiver* r : list) urls.push_back(r->Url());
        statstest::WriteFileAt(config, statstest::ConfigWithUrls(urls));
    }
    // Every element of every batch a receiver stored.
    static std::vector<Json::Value> Elements(const Receiver& r) {
        std::vector<Json::Value> out;
        for (const Json::Value& request : r.Requests()) {
            for (const Json::Value& e : request["batch"]) out.push_back(e);
        }
        return out;
    }

    lftest::TempDir dir;
    statstest::FakeSystem sys{dir};
    std::string config;
    std::unique_ptr<CDataStatisticsImp> component;
    std::vector<std::unique_ptr<Receiver>> receivers;
};

TEST_F(StatsReceiverTest, BeginEventWithHardwareReachesTheServerWithEveryKey) {
    Receiver& r = StartReceiver("ok");
    UseReceivers({&r});
    DataUpload upload(component.get());
    ASSERT_TRUE(upload.Start(config.c_str(), "1", "1.0.3", "V2.1.0.40", "1"));
    lfstats::UploadFigures f;
    f.errorMessage = "say \"hi\" in C:\\tmp_dir 100%";
    upload.Report("11010000", f, 7);
    ASSERT_TRUE(r.WaitForRequests(1));
    upload.Stop();

    auto requests = r.Requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0]["path"].asString(), "/launchersubmit/eventListSubmit");
    EXPECT_EQ(requests[0]["body"].asString().substr(0, 5), "data=");
    const Json::Value& batch = requests[0]["batch"];
    ASSERT_TRUE(batch.isArray());
    ASSERT_EQ(batch.size(), 1u);
    EXPECT_EQ(batch[0]["code"].asString(), "11010000");
    const std::string info = batch[0]["info"].asString();
    EXPECT_EQ(info.substr(0, 2), "{{");
    statstest::InfoParts parts = statstest::SplitInfo(info);
    ASSERT_TRUE(parts.ok) << info;

    const Json::Value& id = parts.identity;
    std::vector<std::string> keys = id.getMemberNames();
    EXPECT_EQ(keys,
              (std::vector<std::string>{"CPU", "Mac", "MachId", "Memory", "Memory_Total_Capacity",
                                        "OS", "Sequence", "Sessionid", "Video_Card"}));
    // members in ascending key order in the text itself
    EXPECT_LT(info.find("\"CPU\""), info.find("\"Mac\""));
    EXPECT_LT(info.find("\"Sessionid\""), info.find("\"Video_Card\""));

    ASSERT_EQ(id["CPU"].size(), 2u);
    EXPECT_EQ(id["CPU"][0]["CPU_Name"].asString(), "Test CPU @ 3.00GHz");
    EXPECT_EQ(id["CPU"][0]["CPU_Manufacturer"].asString(), "GenuineIntel");
    EXPECT_EQ(id["CPU"][0]["CPU_Type"].asString(), "Central Processor");
    EXPECT_EQ(id["CPU"][0]["CPU_Architecture"].asString(), "x64");
    EXPECT_TRUE(id["Memory_Total_Capacity"].isIntegral());
    EXPECT_EQ(id["Memory_Total_Capacity"].asUInt64(), 8ull << 30);
    ASSERT_EQ(id["Memory"].size(), 2u);
    EXPECT_EQ(id["Memory"][0]["Memory_Type"].asString(), "DDR-3");
    EXPECT_EQ(id["Memory"][0]["Memory_Capacity"].asUInt64(), 8ull << 30);
    EXPECT_EQ(id["Memory"][0]["Memory_Frequency"].asUInt(), 1600u);
    EXPECT_EQ(id["Memory"][1]["Memory_Capacity"].asUInt64(), 32ull << 30);
    ASSERT_EQ(id["Video_Card"].size(), 1u);
    EXPECT_EQ(id["Video_Card"][0]["Video_Card_Name"].asString(), "amdgpu (1002:73BF)");
    EXPECT_EQ(id["Video_Card"][0]["Video_Card_Memory_Capacity"].asUInt(), 1073741824u);
    EXPECT_EQ(id["Video_Card"][0]["Video_Card_Driver_Version"].asString(), "6.1.0-test");
    EXPECT_EQ(id["MachId"].asString(),
              lfstats::ComputeMachId({0x00, 0x11, 0x22, 0x33, 0x44, 0x55},
                                     lfstats::ReadVolumeSerial(sys.sources)));
    EXPECT_EQ(id["Mac"].asString(), "00-11-22-33-44-55;66-77-88-99-aa-bb;02-42-ac-11-00-01");
    EXPECT_EQ(id["OS"].asString(), "999642");
    EXPECT_EQ(id["Sessionid"].asString(), component->RunId());
    EXPECT_TRUE(id["Sequence"].isIntegral());
    EXPECT_EQ(id["Sequence"].asUInt64(), 0u);

    const Json::Value& body = parts.body;
    EXPECT_EQ(body.size(), 23u);
    for (const char* key : {"DVersion",         "GameID",
                            "AppVersion",       "GVersion",
                            "Dchannel",         "Serverip",
                            "Httpresult",       "Totaltime",
                            "Intime",           "Totalbytes",
                            "Intotalbytes",     "Averagespeed",
                            "Progress",         "Httptotalbytes",
                            "Inhttptotalbytes", "Httpaveragespeed",
                            "P2ptotalbytes",    "Inp2ptotalbytes",
                            "P2paveragespeed",  "Corruptpakid",
                            "Filename",         "Url",
                            "Errormsg"})
        EXPECT_TRUE(body.isMember(key)) << key;
    EXPECT_EQ(body["DVersion"].asString(), "1.8");
    EXPECT_EQ(body["GVersion"].asString(), "V2.1.0.40");
    EXPECT_EQ(body["AppVersion"].asString(), "1.0.3");
    EXPECT_EQ(body["Errormsg"].asString(), "say \"hi\" in C:\\tmp_dir 100%");
    EXPECT_EQ(body["Totalbytes"].asString(), "0");
}

TEST_F(StatsReceiverTest, TwentyEventsPerFlushThenQueueingWorksAgain) {
    Receiver& r = StartReceiver("ok");
    UseReceivers({&r});
    for (int i = 0; i < 20; ++i) {
        std::string code = "1105" + std::to_string(1000 + i);
        EXPECT_EQ(component->QueueEvent(code.c_str(), kGoodBody, 0), 1) << i;
    }
    EXPECT_EQ(component->QueueEvent("11990501", kGoodBody, 0), 18);
    EXPECT_EQ(component->QueueEvent("11990501", kGoodBody, 0), 18);
    EXPECT_EQ(component->FlushEvents(), 1);
    EXPECT_EQ(component->FlushEvents(), 0);  // nothing queued
    EXPECT_EQ(component->QueueEvent("11030000", kGoodBody, 0), 1);
    EXPECT_EQ(component->FlushEvents(), 1);

    auto requests = r.Requests();
    ASSERT_EQ(requests.size(), 2u);
    ASSERT_EQ(requests[0]["batch"].size(), 20u);
    ASSERT_EQ(requests[1]["batch"].size(), 1u);
    std::vector<std::string> codes;
    for (const Json::Value& e : Elements(r)) {
        statstest::InfoParts parts = statstest::SplitInfo(e["info"].asString());
        ASSERT_TRUE(parts.ok);
        EXPECT_EQ(parts.identity["Sequence"].asUInt64(), codes.size());
        EXPECT_FALSE(parts.identity.isMember("CPU"));  // flags 0: no hardware
        codes.push_back(e["code"].asString());
    }
    EXPECT_EQ(codes.front(), "11051000");
    EXPECT_EQ(codes[19], "11051019");
    EXPECT_EQ(codes.back(), "11030000");
}

TEST_F(StatsReceiverTest, RefusedEventsAreNeverSent) {
    Receiver& r = StartReceiver("ok");
    UseReceivers({&r});
    // Lacks "GVersion" (a plain substring test on the body).
    EXPECT_EQ(component->QueueEvent(
                  "11010000", ",\"DVersion\":\"1.8\",\"GameID\":\"1\",\"AppVersion\":\"1\"", 7),
              11);
    EXPECT_EQ(component->QueueEvent("", kGoodBody, 0), 0);
    EXPECT_EQ(component->QueueEvent("11010000", "", 0), 0);
    EXPECT_EQ(component->QueueEvent(nullptr, kGoodBody, 0), 0);
    EXPECT_EQ(component->FlushEvents(), 0);

    // No configuration file: refused with 20.
    CDataStatisticsImp unconfigured;
    unconfigured.SetConfigurationPath((dir / "missing.lfconf").c_str());
    EXPECT_EQ(unconfigured.QueueEvent("11010000", kGoodBody, 0), 20);
    EXPECT_EQ(unconfigured.FlushEvents(), 0);

    // One good event shows the receiver was reachable all along.
    EXPECT_EQ(component->QueueEvent("11030000", kGoodBody, 0), 1);
    EXPECT_EQ(component->FlushEvents(), 1);
    auto elements = Elements(r);
    ASSERT_EQ(elements.size(), 1u);
    EXPECT_EQ(elements[0]["code"].asString(), "11030000");
}

TEST_F(StatsReceiverTest, ElementLackingASubmitKeywordIsSentAsNull) {
    Receiver& r = StartReceiver("ok");
    statstest::WriteFileAt(
        config, statstest::ConfigWithUrls({r.Url()}, "DVersion;GameID;GVersion;AppVersion",
                                          "MachId;Mac;OS;Errormsg"));
    EXPECT_EQ(component->QueueEvent("11030000", kGoodBody, 0), 1);
    EXPECT_EQ(component->QueueEvent("11400101",
                                    (std::string(kGoodBody) + ",\"Errormsg\":\"x\"").c_str(), 0),
              1);
    EXPECT_EQ(component->FlushEvents(), 1);
    auto requests = r.Requests();
    ASSERT_EQ(requests.size(), 1u);
    const Json::Value& batch = requests[0]["batch"];
    ASSERT_EQ(batch.size(), 2u);
    EXPECT_TRUE(batch[0].isNull());
    EXPECT_EQ(batch[1]["code"].asString(), "11400101");
    // Both elements used a sequence number.
    EXPECT_EQ(statstest::SplitInfo(batch[1]["info"].asString()).identity["Sequence"].asUInt64(),
              1u);
}

TEST_F(StatsReceiverTest, SubmitWalkOverAddresses) {
    struct Row {
        std::vector<std::string> answers;
        int result;
        std::vector<size_t> requestsPerAddress;
    };
    const std::vector<Row> table = {
        {{"ok"}, 1, {1}},
        {{"error"}, 0, {1}},
        {{"error", "ok"}, 1, {1, 1}},
        {{"ok", "error"}, 1, {1, 0}},
        {{"error", "error", "ok"}, 1, {1, 1, 1}},
        {{"silent", "ok"}, 1, {1, 1}},
        {{"silent", "error"}, 0, {1, 1}},
        {{"closed", "ok"}, 1, {1, 1}},  // a refused connection is one attempt
    };
    // One receiver per kind of answer, shared by the rows; a closed port
    // stands for a server that is not there at all.
    std::map<std::string, Receiver*> byAnswer;
    for (const char* answer : {"ok", "error", "silent"}) byAnswer[answer] = &StartReceiver(answer);
    const std::string closedUrl =
        "http://127.0.0.1:" + std::to_string(lftest::FreeTcpPort()) + "/x";
    for (const Row& row : table) {
        std::vector<std::string> urls;
        std::map<std::string, size_t> before, expected;
        for (const auto& [answer, r] : byAnswer) before[answer] = r->Requests().size();
        for (size_t i = 0; i < row.answers.size(); ++i) {
            const std::string& answer = row.answers[i];
            urls.push_back(answer == "closed" ? closedUrl : byAnswer[answer]->Url());
            expected[answer] += row.requestsPerAddress[i];
        }
        statstest::WriteFileAt(config, statstest::ConfigWithUrls(urls));
        const uint64_t attemptsBefore = component->SubmitAttempts();
        ASSERT_EQ(component->QueueEvent("11050000", kGoodBody, 0), 1);
        EXPECT_EQ(component->FlushEvents(), row.result) << row.answers[0];
        size_t attempts = expected["closed"];
        for (const auto& [answer, r] : byAnswer) {
            const size_t got = r->Requests().size() - before[answer];
            EXPECT_EQ(got, expected[answer]) << row.answers[0] << "..., receiver " << answer;
            attempts += got;
        }
        EXPECT_EQ(component->SubmitAttempts() - attemptsBefore, attempts);
    }
}

TEST_F(StatsReceiverTest, SilentServerNeverBlocksTheReporter) {
    Receiver& silent = StartReceiver("silent");
    UseReceivers({&silent});
    component->SetSubmitTimeout(std::chrono::seconds(2));
    DataUpload upload(component.get());
    ASSERT_TRUE(upload.Start(config.c_str(), "1", "1.0.3", "V2.1.0.40", "1"));
    lfstats::UploadFigures f;
    upload.Report("11050000", f, 0);
    // The upload thread is now inside its submit attempt.
    ASSERT_TRUE(silent.WaitForRequests(1));
    for (int i = 0; i < 5; ++i) upload.Report("11020000", f, 0);
    // The reports returned while the attempt was still waiting for an answer.
    EXPECT_EQ(component->SubmitAttempts(), 0u);
    // The attempt gives up after the timeout and the next batch goes out.
    ASSERT_TRUE(silent.WaitForRequests(2));
    EXPECT_GE(component->SubmitAttempts(), 1u);
    upload.Stop();
    auto requests = silent.Requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[1]["batch"].size(), 5u);
}

TEST_F(StatsReceiverTest, StatisticsOffDropsEverything) {
    Receiver& r = StartReceiver("ok");
    UseReceivers({&r});
    struct Row {
        CDataStatisticsImp* component;
        std::string configPath;
        const char* gameVersion;
    };
    const std::vector<Row> table = {
        {nullptr, config, "V2.1.0.40"},      // no statistics component
        {component.get(), "", "V2.1.0.40"},  // no configuration
        {component.get(), config, nullptr},  // an identity string missing
        {component.get(), config, ""},       // an identity string empty
    };
    for (const Row& row : table) {
        DataUpload upload(row.component);
        ASSERT_TRUE(upload.Start(row.configPath.c_str(), "1", "1.0.3", row.gameVersion, "1"));
        EXPECT_TRUE(upload.IsRunning());
        lfstats::UploadFigures f;
        upload.Report("11010000", f, 7);
        upload.Stop();  // a last pass hands over whatever was queued
        if (row.component == nullptr || row.configPath.empty()) {
            EXPECT_EQ(upload.MachineCode(), "");
        }
    }
    EXPECT_TRUE(r.Requests().empty());
}

TEST_F(StatsReceiverTest, ProcessWideFunctionsDeltasAndLogLines) {
    Receiver& r = StartReceiver("ok");
    UseReceivers({&r});
    EngineLog::Open();
    const std::string logBase = dir / "release";
    EngineLog::SetBasePath(logBase.c_str());
    EngineLog::SetThresholds(0, 100);  // every channel to its file, none to the debugger

    // Reports before the upload starts go nowhere.
    ReportEvent("11400101", "too early", 0);
    EXPECT_EQ(DataUploadMachineCode(), "");

    CollectDataUploadWith(component.get(), config.c_str(), "1", "1.0.3", "V2.1.0.40", "1");
    EXPECT_EQ(DataUploadMachineCode(), component->MachineCode());
    EXPECT_FALSE(DataUploadMachineCode().empty());
    auto names = ThreadNames();
    EXPECT_NE(std::find(names.begin(), names.end(), "CollectDataUplo"), names.end());
    ReportData("11050000", "", "", 10, 1000, 100, "10%", 600, 60, 400, 40, 0, "", "", "", 0);
    ReportData("11050000", "", "", 20, 1500, 75, "15%", 900, 45, 600, 30, 0, "", "", "", 0);
    ReportData("11050000", "", "", 30, 1200, 40, "12%", 700, 23, 500, 16, 0, "", "", "", 0);
    ReportEvent("11400101", "引擎启动失败", 0);
    ReportFileEvent("11080000", "Moonvale.cab", "");
    ReportEvent("", "no code", 0);  // dropped by the component, logged
    StopDataUpload();
    EXPECT_EQ(DataUploadMachineCode(), "");
    ReportEvent("11400101", "too late", 0);
    EngineLog::Close();

    auto elements = Elements(r);
    ASSERT_EQ(elements.size(), 5u);
    std::vector<std::string> intotal, inhttp, intime, messages;
    for (const Json::Value& e : elements) {
        statstest::InfoParts parts = statstest::SplitInfo(e["info"].asString());
        ASSERT_TRUE(parts.ok);
        intotal.push_back(parts.body["Intotalbytes"].asString());
        inhttp.push_back(parts.body["Inhttptotalbytes"].asString());
        intime.push_back(parts.body["Intime"].asString());
        messages.push_back(parts.body["Errormsg"].asString());
    }
    EXPECT_EQ(intotal, (std::vector<std::string>{"1000", "500", "0", "0", "0"}));
    EXPECT_EQ(inhttp, (std::vector<std::string>{"600", "300", "0", "0", "0"}));
    EXPECT_EQ(intime, (std::vector<std::string>{"10", "10", "10", "0", "0"}));
    EXPECT_EQ(messages[3], "引擎启动失败");
    statstest::InfoParts file = statstest::SplitInfo(elements[4]["info"].asString());
    EXPECT_EQ(file.body["Filename"].asString(), "Moonvale.cab");
    EXPECT_EQ(elements[4]["code"].asString(), "11080000");

    const std::string log = lftest::ReadFile(logBase + ".dataupload.log");
    EXPECT_NE(log.find("[11050000]"), std::string::npos) << log;
    EXPECT_NE(log.find("[11080000]"), std::string::npos);
    EXPECT_NE(log.find("] [Data Upload Failed with Empty Code Or Body]"), std::string::npos) << log;
    EXPECT_NE(log.find("[TID : "), std::string::npos);
    EXPECT_EQ(log.find("too"), std::string::npos);
}

}  // namespace
