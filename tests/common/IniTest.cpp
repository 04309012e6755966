// The common INI reader: both dialects on one table of texts, each text
// parsed whole and fed in chunks of every size.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "common/Ini.h"

using namespace lf;

namespace {

struct Lookup {
    const char* section;
    const char* key;
    std::optional<std::string> value;
};

struct Case {
    const char* name;
    std::string text;
    IniSyntax syntax;
    std::vector<Lookup> lookups;
};

const std::vector<Case>& Cases() {
    static const std::vector<Case> cases = {
        {"first section and key win",
         "[S]\nk=1\nk=2\n[T]\nk=t\n[s]\nk=3\nlate=x\n",
         kProfileSyntax,
         {{"S", "k", "1"}, {"s", "K", "1"}, {"T", "k", "t"}, {"S", "late", std::nullopt}}},
        {"same rule in the configuration dialect",
         "[A]\rk=1\r[a]\rk=2\rextra=yes\r",
         kConfigurationSyntax,
         {{"A", "k", "1"}, {"A", "extra", std::nullopt}}},
        {"blanks, quotes, empty values",
         "[ S ]\n  k =  v v  \nq=\"  x \"\ns='y'\nmixed=\"z'\ne=\n",
         kProfileSyntax,
         {{"S", "k", "v v"},
          {"S", "q", "  x "},
          {"S", "s", "y"},
          {"S", "mixed", "\"z'"},
          {"S", "e", ""}}},
        {"CRLF, BOM, last line without a break",
         "\xEF\xBB\xBF[A]\r\nk=v\r\n[B\r\nx=y\r\n[C]]\r\nz=1",
         kProfileSyntax,
         {{"A", "k", "v"}, {"B", "x", "y"}, {"C", "z", "1"}}},
        {"a lone CR is part of the line in the profile dialect",
         "[A]\rk=1\n[B]\nk=2\n",
         kProfileSyntax,
         {{"A", "k", std::nullopt}, {"B", "k", "2"}}},
        {"a lone CR ends a line in the configuration dialect",
         "[A]\rk=1\r\n[B]\nk=2\r",
         kConfigurationSyntax,
         {{"A", "k", "1"}, {"B", "k", "2"}}},
        {"'#' comments only in the configuration dialect",
         "[A]\n#k=1\n;j=2\nk=3\n",
         kConfigurationSyntax,
         {{"A", "k", "3"}, {"A", "#k", std::nullopt}, {"A", ";j", std::nullopt}}},
        {"'#' starts a key in the profile dialect",
         "[A]\n#k=1\n;j=2\n",
         kProfileSyntax,
         {{"A", "#k", "1"}, {"A", ";j", std::nullopt}}},
        {"odd lines never match",
         "k=before any section\n[A]\nno equals\n=empty key\n[]\nk=in empty name\n",
         kProfileSyntax,
         {{"A", "k", std::nullopt},
          {"A", "no equals", std::nullopt},
          {"A", "", std::nullopt},
          {"", "k", "in empty name"}}},
        {"empty text", "", kProfileSyntax, {{"A", "k", std::nullopt}}},
        {"only a BOM", "\xEF\xBB\xBF", kConfigurationSyntax, {{"A", "k", std::nullopt}}},
    };
    return cases;
}

}  // namespace

TEST(IniReader, LookupTableWholeAndInChunks) {
    for (const Case& c : Cases()) {
        IniDocument whole = IniDocument::Parse(c.text, c.syntax);
        for (const Lookup& l : c.lookups)
            EXPECT_EQ(whole.Find(l.section, l.key), l.value)
                << c.name << ": " << l.section << "/" << l.key;
        for (size_t chunk = 1; chunk <= c.text.size(); ++chunk) {
            IniParser parser(c.syntax);
            for (size_t at = 0; at < c.text.size(); at += chunk)
                parser.Feed(std::string_view(c.text).substr(at, chunk));
            IniDocument fed = parser.Finish();
            EXPECT_EQ(fed.Serialize(), whole.Serialize()) << c.name << ", chunk " << chunk;
            for (const Lookup& l : c.lookups)
                EXPECT_EQ(fed.Find(l.section, l.key), l.value)
                    << c.name << ", chunk " << chunk << ": " << l.section << "/" << l.key;
        }
    }
}

TEST(IniReader, SerializeKeepsLinesAndTheirEnding) {
    struct {
        const char* text;
        IniSyntax syntax;
        const char* serialized;
    } cases[] = {
        {"[A]\r\nk=v\r\n", kProfileSyntax, "[A]\r\nk=v\r\n"},
        {"[A]\nk=v", kProfileSyntax, "[A]\nk=v\n"},
        {"\xEF\xBB\xBF; c\n\n[A]\n", kProfileSyntax, "; c\n\n[A]\n"},
        {"[A]\rk=v\r", kConfigurationSyntax, "[A]\nk=v\n"},
        {"[A]\r\rk=v\r\n", kConfigurationSyntax, "[A]\r\n\r\nk=v\r\n"},
        {"", kProfileSyntax, ""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(IniDocument::Parse(c.text, c.syntax).Serialize(), c.serialized) << c.text;
}

TEST(IniReader, ParserIsReusableAfterFinish) {
    IniParser parser(kConfigurationSyntax);
    parser.Feed("[A]\nk=1\r");
    EXPECT_EQ(parser.Finish().Find("A", "k"), "1");
    parser.Feed("\n[B]\nk=2");
    IniDocument second = parser.Finish();
    EXPECT_EQ(second.Find("A", "k"), std::nullopt);
    EXPECT_EQ(second.Find("B", "k"), "2");
}
