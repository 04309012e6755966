// Pure parts of the statistics upload: delta figures, the event body, form
// encoding, machine identity, the configuration reader and the hardware
// parsers, each on small tables.
#include <gtest/gtest.h>
#include <json/json.h>

#include <tuple>

#include "stats/DataStatistics.h"
#include "stats/MachineIdentity.h"
#include "stats/StatsConfig.h"
#include "stats/StatsFormat.h"
#include "stats/SystemInventory.h"
#include "tests/stats/StatsFixture.h"

using namespace lfstats;

namespace {

// Members of a body fragment in their order, parsed by hand so the order is kept.
std::vector<std::pair<std::string, std::string>> Members(const std::string& body) {
    std::vector<std::pair<std::string, std::string>> out;
    bool ok = false;
    Json::Value v = statstest::ParseJson("{" + body.substr(1) + "}", &ok);
    EXPECT_TRUE(ok) << body;
    size_t pos = 0;
    while ((pos = body.find(",\"", pos)) != std::string::npos) {
        size_t end = body.find("\":\"", pos + 2);
        if (end == std::string::npos) break;
        std::string key = body.substr(pos + 2, end - pos - 2);
        if (v.isMember(key) && (out.empty() || out.back().first != key))
            out.emplace_back(key, v[key].asString());
        pos = end;
    }
    return out;
}

}  // namespace

TEST(StatsDelta, RulesForRunningFigures) {
    // Each row: the values reported one after another and the deltas sent.
    const std::vector<std::pair<std::vector<uint64_t>, std::vector<uint64_t>>> table = {
        {{1000, 1500, 1200}, {1000, 500, 0}},
        {{1000, 1500, 1200, 1300}, {1000, 500, 0, 100}},  // 1200 became the previous value
        {{0, 0}, {0, 0}},
        {{700, 0, 900}, {700, 0, 200}},  // zero keeps the previous value
        {{500, 500}, {500, 0}},
        {{UINT64_MAX, 1, UINT64_MAX}, {UINT64_MAX, 0, UINT64_MAX - 1}},
    };
    for (const auto& [values, deltas] : table) {
        DeltaCounter counter;
        for (size_t i = 0; i < values.size(); ++i) {
            EXPECT_EQ(counter.Next(values[i]), deltas[i])
                << "row starting " << values[0] << " #" << i;
        }
    }
}

TEST(StatsBody, TwentyThreeMembersInOrderWithDeltas) {
    UploadIdentity id{"1", "1.0.3", "V2.1.0.40", "1"};
    UploadDeltaState state;
    UploadFigures f;
    f.serverAddress = "10.0.0.1";
    f.httpResult = "200";
    f.totalTime = 60;
    f.totalBytes = 1000;
    f.averageSpeed = 16;
    f.progress = "12.50%";
    f.httpTotalBytes = 600;
    f.httpAverageSpeed = 10;
    f.p2pTotalBytes = 400;
    f.p2pAverageSpeed = 6;
    f.corruptPackageId = 3;
    f.fileName = "data.cab";
    f.url = "http://h/x";
    f.errorMessage = "msg";
    std::string first = BuildUploadBody(id, f, state.Next(f));
    f.totalTime = 0;
    f.totalBytes = 1500;
    f.httpTotalBytes = 900;
    f.p2pTotalBytes = 300;
    std::string second = BuildUploadBody(id, f, state.Next(f));

    const std::vector<std::pair<std::string, std::string>> expected = {
        {"DVersion", "1.8"},        {"GameID", "1"},           {"AppVersion", "1.0.3"},
        {"GVersion", "V2.1.0.40"},  {"Dchannel", "1"},         {"Serverip", "10.0.0.1"},
        {"Httpresult", "200"},      {"Totaltime", "60"},       {"Intime", "60"},
        {"Totalbytes", "1000"},     {"Intotalbytes", "1000"},  {"Averagespeed", "16"},
        {"Progress", "12.50%"},     {"Httptotalbytes", "600"}, {"Inhttptotalbytes", "600"},
        {"Httpaveragespeed", "10"}, {"P2ptotalbytes", "400"},  {"Inp2ptotalbytes", "400"},
        {"P2paveragespeed", "6"},   {"Corruptpakid", "3"},     {"Filename", "data.cab"},
        {"Url", "http://h/x"},      {"Errormsg", "msg"}};
    EXPECT_EQ(Members(first), expected);
    EXPECT_EQ(first.substr(0, 18), ",\"DVersion\":\"1.8\",");
    EXPECT_EQ(first.find(' '), std::string::npos);

    auto m = Members(second);
    ASSERT_EQ(m.size(), 23u);
    EXPECT_EQ(m[7], (std::pair<std::string, std::string>{"Totaltime", "0"}));
    EXPECT_EQ(m[8], (std::pair<std::string, std::string>{"Intime", "0"}));
    EXPECT_EQ(m[10].second, "500");
    EXPECT_EQ(m[14].second, "300");
    EXPECT_EQ(m[17].second, "0");
}

TEST(StatsBody, SimpleEventHasZeroNumbersAndOnlyTheMessage) {
    UploadDeltaState state;
    UploadFigures f;
    f.errorMessage = "引擎启动失败";
    auto m = Members(BuildUploadBody({"1", "1.0.3", "V2.1.0.40", "1"}, f, state.Next(f)));
    ASSERT_EQ(m.size(), 23u);
    for (size_t i = 5; i < m.size(); ++i) {
        const std::string& key = m[i].first;
        if (key == "Errormsg")
            EXPECT_EQ(m[i].second, "引擎启动失败");
        else if (key == "Serverip" || key == "Httpresult" || key == "Progress" ||
                 key == "Filename" || key == "Url")
            EXPECT_EQ(m[i].second, "") << key;
        else
            EXPECT_EQ(m[i].second, "0") << key;
    }
}

TEST(StatsBody, ValuesWithQuotesAndBackslashesStayValidJson) {
    const std::vector<std::string> texts = {
        "a\"b",         "C:\\dir\\file.cab", "line\nbreak\ttab", std::string("nul\0x", 5),
        "\x01\x1f\x7f", "\"}],{\""};
    for (const std::string& text : texts) {
        UploadDeltaState state;
        UploadFigures f;
        f.fileName = text;
        f.errorMessage = text;
        std::string body = BuildUploadBody({"1", "2", "3", "4"}, f, state.Next(f));
        bool ok = false;
        Json::Value v = statstest::ParseJson("{" + body.substr(1) + "}", &ok);
        ASSERT_TRUE(ok) << body;
        EXPECT_EQ(v["Filename"].asString(), text);
        EXPECT_EQ(v["Errormsg"].asString(), text);
        EXPECT_EQ(v.size(), 23u);
    }
}

TEST(StatsFormEncoding, Table) {
    const std::vector<std::pair<std::string, std::string>> table = {
        {"a b/c", "a_b%2Fc"},
        {"", ""},
        {"AZaz09", "AZaz09"},
        {"_", "%5F"},
        {"%", "%25"},
        {"{\"a\":1}\n", "%7B%22a%22%3A1%7D%0A"},
        {"中", "%E4%B8%AD"},
        {std::string("\0\xff", 2), "%00%FF"},
        {"a+b=c&d", "a%2Bb%3Dc%26d"},
    };
    for (const auto& [in, out] : table) EXPECT_EQ(FormEncode(in), out) << in;
}

TEST(StatsIdentity, MachIdAndMachineCode) {
    struct Row {
        MacAddress mac;
        uint32_t serial;
        const char* machId;
        const char* code;
    };
    const Row table[] = {
        {{0x00, 0x11, 0x22, 0x33, 0x44, 0x55},
         0x12345678,
         "341134AB44897856",
         "0x341134AB, 0x44897856"},
        {{0, 0, 0, 0, 0, 0}, 0, "0000000000000000", "0x00000000, 0x00000000"},
        // sums wrap modulo 256
        {{0xff, 0xfe, 0xfd, 0xfc, 0xfb, 0xfa},
         0x02030405,
         "02FEFF01FBFD0504",
         "0x02FEFF01, 0xFBFD0504"},
        {{0x02, 0xfc, 0x00, 0x00, 0x00, 0x01},
         0xFFFFFFFF,
         "01FCFFFF0000FFFF",
         "0x01FCFFFF, 0x0000FFFF"},
    };
    for (const Row& r : table) {
        EXPECT_EQ(ComputeMachId(r.mac, r.serial), r.machId);
        EXPECT_EQ(FormatMachineCode(r.machId), r.code);
    }
    EXPECT_EQ(FormatMachineCode("341134AB4489785"), "");
    EXPECT_EQ(FormatMachineCode(""), "");
}

TEST(StatsIdentity, MacListOsCodeAndTextGetter) {
    EXPECT_EQ(FormatMacList({}), "");
    EXPECT_EQ(FormatMacList({{0x00, 0x11, 0x22, 0x33, 0x44, 0x55}}), "00-11-22-33-44-55");
    EXPECT_EQ(
        FormatMacList({{0x00, 0x11, 0x22, 0x33, 0x44, 0x55}, {0xaa, 0xbb, 0xcc, 0xdd, 0xee, 0xff}}),
        "00-11-22-33-44-55;aa-bb-cc-dd-ee-ff");

    const std::vector<std::tuple<std::string, unsigned, bool, unsigned, std::string>> os = {
        {"6.1.7601", 1, true, 936, "611640"},  {"5.1.2600", 3, false, 1252, "513321"},
        {"6.3.9600", 0, true, 1251, "630642"}, {"", 0, true, 65001, "999642"},
        {"10", 0, false, 950, "100320"},
    };
    for (const auto& [version, sp, wide, cp, expected] : os)
        EXPECT_EQ(FormatOsCode(version, sp, wide, cp), expected) << version;
    for (unsigned cp : {936u, 950u, 10002u, 10008u, 20000u, 20002u, 20936u, 50227u, 50229u, 50935u,
                        50936u, 51936u, 51950u, 52936u, 54936u})
        EXPECT_EQ(LanguageDigit(cp), '0') << cp;
    EXPECT_EQ(LanguageDigit(1252), '1');
    EXPECT_EQ(LanguageDigit(65001), '2');

    MacAddress mac{};
    EXPECT_TRUE(ParseMacAddress("02:fc:00:00:00:01\n", &mac));
    EXPECT_EQ(mac, (MacAddress{0x02, 0xfc, 0, 0, 0, 1}));
    for (const char* bad :
         {"", "02:fc:00:00:00", "02-fc-00-00-00-01", "02:fc:00:00:00:0g", "02:fc:00:00:00:01:02"})
        EXPECT_FALSE(ParseMacAddress(bad, &mac)) << bad;

    char buf[8];
    EXPECT_EQ(CopyText("abc", nullptr, 0), 3);
    EXPECT_EQ(CopyText("abc", buf, 3), 0);
    EXPECT_EQ(CopyText("abc", buf, 4), 3);
    EXPECT_STREQ(buf, "abc");
}

TEST(StatsConfig, ProfileSemantics) {
    const std::string text =
        "\xEF\xBB\xBF; comment\r\n[SubmitEventDownloadSeveral]\r\n"
        "  SubmitUrl = http://a/1  \r\n"
        "submiturl1=\"http://a/2\"\r\n"
        "SubmitUrl2=http://a/3\n"
        "SubmitUrl3=\n"
        "SubmitUrl4=http://a/never\n"
        "SubmitUrl=http://ignored\n"
        "novalue\n"
        "[other]\rSubmitUrl=http://other\r"
        "[SUBMITEVENTDOWNLOADSEVERAL]\nExtra=yes\n";
    IniDocument ini = IniDocument::Parse(text);
    EXPECT_EQ(ini.Get("submiteventdownloadseveral", "SUBMITURL"), "http://a/1");
    // Like every INI file here, a later section of the same name is never read:
    // the profile functions the configuration is read with stop at the first.
    EXPECT_EQ(ini.Get("SubmitEventDownloadSeveral", "Extra", "unread"), "unread");
    EXPECT_EQ(ini.Get("other", "SubmitUrl"), "http://other");
    EXPECT_EQ(ini.Get("missing", "SubmitUrl", "dflt"), "dflt");
    EXPECT_EQ(ini.Get("other", "missing"), "");
    EXPECT_EQ(ReadSubmitUrls(ini, kSectionSeveral),
              (std::vector<std::string>{"http://a/1", "http://a/2", "http://a/3"}));

    EXPECT_EQ(SplitKeywords("DVersion;GameID;GVersion;AppVersion"),
              (std::vector<std::string>{"DVersion", "GameID", "GVersion", "AppVersion"}));
    EXPECT_EQ(SplitKeywords(";a;;b;"), (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(SplitKeywords(std::string(250, 'x') + ";abcdefgh").back(), "abcd");

    IniDocument shipped = IniDocument::Parse(BuildConfigurationText("http://stats.example:8080"));
    EXPECT_EQ(
        ReadSubmitUrls(shipped, kSectionSeveral),
        (std::vector<std::string>{"http://stats.example:8080/launchersubmit/eventListSubmit"}));
    EXPECT_EQ(shipped.Get(kSectionSingle, kKeySubmitUrl),
              "http://stats.example:8080/launchersubmit/eventInfoSubmit");
    EXPECT_EQ(shipped.Get(kSectionSingle, kKeyInputKeywords),
              "DVersion;GameID;GVersion;AppVersion");
    EXPECT_EQ(shipped.Get(kSectionSeveral, kKeySubmitKeywords), "MachId;Mac;OS");
    EXPECT_EQ(shipped.Get("OsTypeCode", "WIN_8.1_SP0"), "630");

    ::unsetenv(kServerEnvironment);
    EXPECT_EQ(StatisticsServer("http://built.in:8080"), "http://built.in:8080");
    ::setenv(kServerEnvironment, "http://127.0.0.1:9", 1);
    EXPECT_EQ(StatisticsServer("http://built.in:8080"), "http://127.0.0.1:9");
    ::unsetenv(kServerEnvironment);

    // What the controller writes into its data folder reads back the same.
    lftest::TempDir dir;
    const std::string path = dir / kConfigurationFileName;
    ASSERT_TRUE(WriteConfigurationFile(path, BuildConfigurationText("http://s:1")));
    IniDocument loaded;
    ASSERT_TRUE(IniDocument::Load(path, &loaded));
    EXPECT_EQ(loaded.Get(kSectionSeveral, kKeySubmitUrl),
              "http://s:1/launchersubmit/eventListSubmit");
    EXPECT_FALSE(IniDocument::Load(dir / "missing", &loaded));
    EXPECT_FALSE(WriteConfigurationFile(dir / "no/such/folder/x", "x"));
}

TEST(StatsConfig, AcceptedAnswers) {
    const std::vector<std::pair<std::string, bool>> table = {
        {"{\"error\":0,\"msg\":\"ok\"}", true},
        {"{\"error\":1}", false},
        {"{\"error\": 0}", false},
        {"", false},
        {"xx\"error\":0", true},
    };
    for (const auto& [text, accepted] : table)
        EXPECT_EQ(IsAcceptedResponse(text), accepted) << text;
}

TEST(StatsHardware, CpuInfoMeminfoAndSmbios) {
    auto cpus = ParseCpuInfo(
        "processor : 0\nvendor_id : AuthenticAMD\nmodel name : A\nphysical id : 0\n\n"
        "processor : 1\nvendor_id : AuthenticAMD\nmodel name : A\nphysical id : 0\n\n"
        "processor : 2\nvendor_id : AuthenticAMD\nmodel name : B\nphysical id : 1\n",
        "x86_64");
    ASSERT_EQ(cpus.size(), 2u);
    EXPECT_EQ(cpus[0].name, "A");
    EXPECT_EQ(cpus[1].name, "B");
    EXPECT_EQ(cpus[0].manufacturer, "AuthenticAMD");
    EXPECT_EQ(ArchitectureText(cpus[0].architecture), std::string("x64"));
    EXPECT_EQ(
        ParseCpuInfo("processor : 0\nmodel name : V\n\nprocessor : 1\nmodel name : V\n", "i686")
            .size(),
        1u);
    EXPECT_TRUE(ParseCpuInfo("", "x86_64").empty());

    const std::vector<std::pair<std::string, const char*>> arch = {
        {"x86_64", "x64"},   {"i686", "x86"},        {"mips64", "MIPS"},
        {"alpha", "Alpha"},  {"ppc64le", "PowerPC"}, {"ia64", "Itanium-based systems"},
        {"aarch64", "Error"}};
    for (const auto& [m, text] : arch)
        EXPECT_STREQ(ArchitectureText(ArchitectureCode(m)), text) << m;
    for (int t = 0; t <= 7; ++t) {
        static const char* texts[] = {
            "Error",          "Other",         "Unknown",         "Central Processor",
            "Math Processor", "DSP Processor", "Video Processor", "Error"};
        EXPECT_STREQ(ProcessorTypeText(t), texts[t]);
    }

    EXPECT_EQ(ParseMemTotal("MemFree: 3 kB\nMemTotal:   16 kB\n"), 16384u);
    EXPECT_FALSE(ParseMemTotal("MemFree: 3 kB\n").has_value());
    EXPECT_FALSE(ParseMemTotal("MemTotal: kB\n").has_value());

    using statstest::FakeSystem;
    struct Row {
        std::string raw;
        bool present;
        int type;
        uint64_t capacity;
        uint32_t speed;
    };
    const std::vector<Row> smbios = {
        {FakeSystem::Smbios17(0x2000, 0x18, 1600), true, 24, 8ull << 30, 1600},
        {FakeSystem::Smbios17(0x7FFF, 0x1A, 3200, 32768), true, 0, 32ull << 30, 3200},
        {FakeSystem::Smbios17(0x8000 | 512, 0x12, 400), true, 20, 512ull << 10, 400},
        {FakeSystem::Smbios17(0x400, 0x13, 800), true, 21, 1ull << 30, 800},
        {FakeSystem::Smbios17(0, 0x18, 0), false, 0, 0, 0},
        {FakeSystem::Smbios17(0xFFFF, 0x18, 0), false, 0, 0, 0},
        {FakeSystem::Smbios17(0x2000, 0x18, 1600).substr(0, 0x14), false, 0, 0, 0},
        {std::string("\x10\x28") + std::string(0x26, '\0'), false, 0, 0, 0},
    };
    for (size_t i = 0; i < smbios.size(); ++i) {
        auto m = ParseSmbiosMemoryDevice(smbios[i].raw);
        ASSERT_EQ(m.has_value(), smbios[i].present) << i;
        if (!m) continue;
        EXPECT_EQ(m->memoryType, smbios[i].type) << i;
        EXPECT_EQ(m->capacity, smbios[i].capacity) << i;
        EXPECT_EQ(m->speed, smbios[i].speed) << i;
    }
    EXPECT_STREQ(MemoryTypeText(20), "DDR");
    EXPECT_STREQ(MemoryTypeText(21), "DDR-2");
    EXPECT_STREQ(MemoryTypeText(24), "DDR-3");
    EXPECT_STREQ(MemoryTypeText(0), "DDR-3");

    // Modules of the old DRAM families (codes 2..19) are left out.
    Json::Value mem = DescribeMemoryModules(
        {{24, 1, 2}, {17, 1, 2}, {2, 1, 2}, {19, 1, 2}, {20, 5, 6}, {1, 7, 8}});
    ASSERT_EQ(mem.size(), 3u);
    EXPECT_EQ(mem[1]["Memory_Type"].asString(), "DDR");
    EXPECT_EQ(mem[2]["Memory_Capacity"].asUInt64(), 7u);
}

TEST(StatsHardware, ReadersOnPreparedTree) {
    lftest::TempDir dir;
    statstest::FakeSystem sys(dir);
    std::vector<MacAddress> macs;
    ASSERT_TRUE(ReadAdapterMacs(sys.sources, &macs));
    EXPECT_EQ(FormatMacList(macs),
              "00-11-22-33-44-55;66-77-88-99-aa-bb;02-42-ac-11-00-01");  // devices first, by index;
                                                                         // no lo, no tunnel
    EXPECT_EQ(ReadProcessors(sys.sources).size(), 2u);
    EXPECT_EQ(ReadTotalMemory(sys.sources), 8ull << 30);
    auto modules = ReadMemoryModules(sys.sources);
    ASSERT_EQ(modules.size(), 2u);
    auto video = ReadVideoAdapters(sys.sources);
    ASSERT_EQ(video.size(), 1u);
    EXPECT_EQ(video[0].name, "amdgpu (1002:73BF)");
    EXPECT_EQ(video[0].memory, 1073741824u);
    EXPECT_EQ(video[0].driverVersion, "6.1.0-test");

    lfstats::SystemSources missing;
    missing.root = dir / "nothing";
    EXPECT_FALSE(ReadAdapterMacs(missing, &macs));
    EXPECT_TRUE(ReadProcessors(missing).empty());
    EXPECT_EQ(ReadTotalMemory(missing), 0u);

    CDataStatisticsImp component;
    component.SetSystemSources(missing);
    EXPECT_EQ(component.MacList(), "0");
    component.SetSystemSources(sys.sources);
    EXPECT_EQ(component.MacList(), "00-11-22-33-44-55;66-77-88-99-aa-bb;02-42-ac-11-00-01");
    EXPECT_EQ(component.MachId(),
              ComputeMachId({0x00, 0x11, 0x22, 0x33, 0x44, 0x55}, ReadVolumeSerial(sys.sources)));
    char code[64];
    EXPECT_EQ(component.GetMachineCode(nullptr, 0), 22);
    EXPECT_EQ(component.GetMachineCode(code, sizeof code), 22);
    EXPECT_EQ(std::string(code), FormatMachineCode(component.MachId()));
    EXPECT_EQ(component.OsCode(), "999642");
    EXPECT_EQ(CDataStatisticsImp::CreateInstance("{91095a15-3c46-43B5-ba5f-462064037e59}"),
              CDataStatisticsImp::CreateInstance(CDataStatisticsImp::kClassId));
    EXPECT_NE(CDataStatisticsImp::CreateInstance(CDataStatisticsImp::kClassId), nullptr);
    EXPECT_EQ(CDataStatisticsImp::CreateInstance("{00000000-3C46-43b5-BA5F-462064037E59}"),
              nullptr);
    EXPECT_EQ(CDataStatisticsImp::CreateInstance(nullptr), nullptr);
    EXPECT_EQ(component.RunId().size(), 8u);
}
