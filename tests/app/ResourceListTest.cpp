// The resource-list parser on documents held in memory: expiry, the P2P
// switch, which resources and cdns give mirrors, and how they are applied.
#include <gtest/gtest.h>

#include "app/ResourceList.h"
#include "tests/app/ResourceListDocs.h"

using namespace lfapp;
using lfapptest::EightUrls;
using lfapptest::kFullList;
using lfapptest::RecordingSink;

namespace {

std::string Doc(const std::string& configs, const std::string& resources,
                const std::string& root = "project") {
    return "<" + root + "><configs>" + configs + "</configs><resources>" + resources +
           "</resources></" + root + ">";
}

std::string Cdn(const std::string& attrs, const std::string& ips) {
    return "<cdn " + attrs + ">" + ips + "</cdn>";
}

const std::string kGoodCdn =
    "id=\"c\" name=\"n\" middle-dir=\"/dl/\" file-name=\"a.cab\" open=\"1\"";

}  // namespace

TEST(Expiry, OnlyExactTrueRetires) {
    struct Case {
        const char* name;
        std::string xml;
        bool retired;
        std::string message, url;
    } cases[] = {
        {"true",
         "<project><configs><expire-info><expired>true</expired><message>旧版本已停用</message>"
         "<url>https://example.test/new</url></expire-info></configs></project>",
         true, "旧版本已停用", "https://example.test/new"},
        {"True",
         "<project><configs><expire-info><expired>True</expired></expire-info></configs></project>",
         false, "", ""},
        {"blanks",
         "<project><configs><expire-info><expired> "
         "true</expired></expire-info></configs></project>",
         false, "", ""},
        {"false",
         "<project><configs><expire-info><expired>false</expired></expire-info></configs></"
         "project>",
         false, "", ""},
        {"no message or url",
         "<project><configs><expire-info><expired>true</expired></expire-info></configs></project>",
         true, "", ""},
        {"other root still read",
         "<list><configs><expire-info><expired>true</expired><url>x</url>"
         "</expire-info></configs></list>",
         true, "", "x"},
        {"not XML", "true", false, "", ""},
        {"truncated", "<project><configs><expire-info><expired>true</expired>", false, "", ""},
        {"empty", "", false, "", ""},
        {"full list", kFullList, false, "", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ExpiryInfo info = ParseExpiry(c.xml);
        EXPECT_EQ(info.retired, c.retired);
        EXPECT_EQ(info.message, c.message);
        EXPECT_EQ(info.url, c.url);
    }
    std::string longText(5000, 'm');
    ExpiryInfo info = ParseExpiry("<p><configs><expire-info><expired>true</expired><message>" +
                                  longText + "</message></expire-info></configs></p>");
    EXPECT_EQ(info.message.size(), kExpiryTextMax);
}

TEST(SourceList, FullListGivesMirrorsInDocumentOrder) {
    ResourceListUpdate u = ParseResourceList(kFullList, EightUrls());
    EXPECT_EQ(u.result, 0);
    EXPECT_TRUE(u.hasP2PSwitch);
    EXPECT_EQ(u.p2pSwitch, 1);
    RecordingSink sink;
    EXPECT_EQ(ApplyResourceList(u, sink), 0);
    EXPECT_EQ(sink.calls, (std::vector<std::string>{
                              "p2p 1",
                              "clear 1",
                              "add 1 http://10.0.0.1/dl/a.cab cdn.test",
                              "add 1 http://10.0.0.2:8080/dl/a.cab cdn.test",
                              "clear 3",
                              "add 3 http://127.0.0.5/files/Qarrd21040Data02.cab null",
                          }));
}

TEST(SourceList, DocumentCases) {
    const std::string on = "<p2p-switch>on</p2p-switch>";
    const std::string res1 = "<resource id=\"r\" task=\"http://dl.test/qarrd160107/file1\">";
    struct Case {
        const char* name;
        std::string xml;
        int result;
        bool hasSwitch;
        int p2p;
        std::vector<std::string> urls;
    } cases[] = {
        {"root not project",
         Doc(on, res1 + Cdn(kGoodCdn, "<ip>1.1.1.1</ip>") + "</resource>", "list"),
         -2,
         false,
         0,
         {}},
        {"no p2p-switch",
         Doc("", res1 + Cdn(kGoodCdn, "<ip>1.1.1.1</ip>") + "</resource>"),
         -2,
         false,
         0,
         {}},
        {"switch off, no resources", Doc("<p2p-switch>off</p2p-switch>", ""), -2, true, 0, {}},
        {"switch On is off", Doc("<p2p-switch>On</p2p-switch>", ""), -2, true, 0, {}},
        {"first resource lacks id",
         Doc(on, "<resource task=\"http://dl.test/qarrd160107/file1\">" +
                     Cdn(kGoodCdn, "<ip>1.1.1.1</ip>") + "</resource>" + res1 +
                     Cdn(kGoodCdn, "<ip>2.2.2.2</ip>") + "</resource>"),
         -2,
         true,
         1,
         {}},
        {"empty id stops the walk",
         Doc(on, res1 + Cdn(kGoodCdn, "<ip>1.1.1.1</ip>") +
                     "</resource><resource id=\"\" task=\"http://dl.test/qarrd160107/file2\">" +
                     Cdn(kGoodCdn, "<ip>2.2.2.2</ip>") + "</resource>"),
         0,
         true,
         1,
         {"http://1.1.1.1/dl/a.cab"}},
        {"walk stops at another element",
         Doc(on, res1 + Cdn(kGoodCdn, "<ip>1.1.1.1</ip>") + "</resource><other/>" + res1 +
                     Cdn(kGoodCdn, "<ip>2.2.2.2</ip>") + "</resource>"),
         0,
         true,
         1,
         {"http://1.1.1.1/dl/a.cab"}},
        {"task compared exactly",
         Doc(on, "<resource id=\"r\" task=\"HTTP://dl.test/qarrd160107/file1\">" +
                     Cdn(kGoodCdn, "<ip>1.1.1.1</ip>") + "</resource>"),
         -2,
         true,
         1,
         {}},
        {"no task attribute",
         Doc(on, "<resource id=\"r\">" + Cdn(kGoodCdn, "<ip>1.1.1.1</ip>") + "</resource>"),
         -2,
         true,
         1,
         {}},
        {"open missing",
         Doc(on,
             res1 +
                 Cdn("id=\"c\" name=\"n\" middle-dir=\"/d/\" file-name=\"f\"", "<ip>1.1.1.1</ip>") +
                 "</resource>"),
         -2,
         true,
         1,
         {}},
        {"open not a number",
         Doc(on, res1 +
                     Cdn("id=\"c\" name=\"n\" middle-dir=\"/d/\" file-name=\"f\" open=\"yes\"",
                         "<ip>1.1.1.1</ip>") +
                     "</resource>"),
         -2,
         true,
         1,
         {}},
        {"empty name",
         Doc(on, res1 +
                     Cdn("id=\"c\" name=\"\" middle-dir=\"/d/\" file-name=\"f\" open=\"1\"",
                         "<ip>1.1.1.1</ip>") +
                     "</resource>"),
         -2,
         true,
         1,
         {}},
        {"no id on cdn",
         Doc(on, res1 +
                     Cdn("name=\"n\" middle-dir=\"/d/\" file-name=\"f\" open=\"1\"",
                         "<ip>1.1.1.1</ip>") +
                     "</resource>"),
         -2,
         true,
         1,
         {}},
        {"no file-name",
         Doc(on, res1 +
                     Cdn("id=\"c\" name=\"n\" middle-dir=\"/d/\" open=\"1\"", "<ip>1.1.1.1</ip>") +
                     "</resource>"),
         -2,
         true,
         1,
         {}},
        {"concatenated as they stand",
         Doc(on, res1 +
                     Cdn("id=\"c\" name=\"n\" middle-dir=\"dl\" file-name=\"a.cab\" open=\"-1\"",
                         "<ip>1.1.1.1</ip>") +
                     "</resource>"),
         0,
         true,
         1,
         {"http://1.1.1.1dla.cab"}},
        {"ip walk stops at another element",
         Doc(on, res1 + Cdn(kGoodCdn, "<ip>1.1.1.1</ip><note/><ip>2.2.2.2</ip>") + "</resource>"),
         0,
         true,
         1,
         {"http://1.1.1.1/dl/a.cab"}},
        {"cdn walk stops at another element",
         Doc(on, res1 + Cdn(kGoodCdn, "<ip>1.1.1.1</ip>") + "<x/>" +
                     Cdn(kGoodCdn, "<ip>2.2.2.2</ip>") + "</resource>"),
         0,
         true,
         1,
         {"http://1.1.1.1/dl/a.cab"}},
        {"empty and multi-line ips skipped",
         Doc(on,
             res1 +
                 Cdn(kGoodCdn, "<ip></ip><ip>1.1.1.1\nhttp://evil.test/</ip><ip> 3.3.3.3 </ip>") +
                 "</resource>"),
         0,
         true,
         1,
         {"http://3.3.3.3/dl/a.cab"}},
        {"not XML", "<project><configs>", -2, false, 0, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ResourceListUpdate u = ParseResourceList(c.xml, EightUrls());
        EXPECT_EQ(u.result, c.result);
        EXPECT_EQ(u.hasP2PSwitch, c.hasSwitch);
        EXPECT_EQ(u.p2pSwitch, c.p2p);
        std::vector<std::string> urls;
        for (const MirrorSource& m : u.mirrors) urls.push_back(m.url);
        EXPECT_EQ(urls, c.urls);
    }
}

TEST(SourceList, CompleteEntriesAreSkippedUnlessUnderRepair) {
    SourceSelection s = EightUrls();
    s.complete[1] = true;
    ResourceListUpdate u = ParseResourceList(kFullList, s);
    ASSERT_EQ(u.mirrors.size(), 1u);
    EXPECT_EQ(u.mirrors[0].entry, 3);

    s.repairIndex = 1;
    u = ParseResourceList(kFullList, s);
    ASSERT_EQ(u.mirrors.size(), 3u);
    EXPECT_EQ(u.mirrors[0].entry, 1);

    s.complete[3] = true;
    s.repairIndex = -1;
    u = ParseResourceList(kFullList, s);
    EXPECT_EQ(u.result, -2);
    EXPECT_EQ(u.p2pSwitch, 1);
}

TEST(SourceList, EachTaskIsClearedOnceBeforeItsMirrors) {
    // Entry 2 appears twice; its mirrors from both resources are kept.
    const std::string res2 = "<resource id=\"r\" task=\"http://dl.test/qarrd160107/file2\">";
    const std::string res5 = "<resource id=\"r\" task=\"http://dl.test/qarrd160107/file5\">";
    std::string xml = Doc("<p2p-switch>off</p2p-switch>",
                          res2 + Cdn(kGoodCdn, "<ip>1.1.1.1</ip>") + "</resource>" + res5 +
                              Cdn(kGoodCdn, "<ip>5.5.5.5</ip>") + "</resource>" + res2 +
                              Cdn(kGoodCdn, "<ip>2.2.2.2</ip>") + "</resource>");
    RecordingSink sink;
    EXPECT_EQ(ApplyResourceList(ParseResourceList(xml, EightUrls()), sink), 0);
    EXPECT_EQ(sink.calls,
              (std::vector<std::string>{"p2p 0", "clear 2", "add 2 http://1.1.1.1/dl/a.cab null",
                                        "clear 5", "add 5 http://5.5.5.5/dl/a.cab null",
                                        "add 2 http://2.2.2.2/dl/a.cab null"}));

    // Nothing usable: the switch alone is applied.
    RecordingSink none;
    EXPECT_EQ(ApplyResourceList(
                  ParseResourceList(Doc("<p2p-switch>on</p2p-switch>", ""), EightUrls()), none),
              -2);
    EXPECT_EQ(none.calls, (std::vector<std::string>{"p2p 1"}));
    RecordingSink nothing;
    EXPECT_EQ(ApplyResourceList(ParseResourceList("<list/>", EightUrls()), nothing), -2);
    EXPECT_TRUE(nothing.calls.empty());
}
