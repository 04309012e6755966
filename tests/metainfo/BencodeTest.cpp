// The bencode element model: parsing (including hostile input), lookups,
// building and writing, code-page text, and the task's info file.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "engine/metainfo/Bencode.h"
#include "engine/metainfo/CodePage.h"
#include "engine/metainfo/InfoFile.h"
#include "tests/metainfo/BencodeText.h"
#include "tests/support/TestDirs.h"

using namespace lf;

namespace {

// The parse result of bytes: the encoded length on success, else the failure code.
int64_t ParseResult(std::string_view bytes) {
    BencodeFailure why;
    std::unique_ptr<QElement> e = ParseElement(bytes, &why);
    if (e) return e->EncodedLength();
    EXPECT_LE(why.code, 0);
    EXPECT_FALSE(why.what.empty()) << "no reason given for " << bytes.substr(0, 40);
    return why.code;
}

std::string Write(const QElement* e) {
    std::string out;
    EXPECT_TRUE(Serialize(e, out));
    return out;
}

TEST(Bencode, FlatDictionaryCarriesIntegersOnKeys) {
    const std::string input = "d8:announce3:abc4:infod6:lengthi5eee";
    std::unique_ptr<QElement> root = ParseElement(input);
    ASSERT_TRUE(root);
    EXPECT_TRUE(root->IsDictionary());
    EXPECT_EQ(root->EncodedLength(), static_cast<int64_t>(input.size()));
    EXPECT_EQ(root->SourcePosition(), input.data());
    ASSERT_EQ(root->Count(), 4);
    EXPECT_EQ(root->ElementAt(0)->Bytes(), "announce");
    EXPECT_EQ(root->ElementAt(1)->Bytes(), "abc");
    EXPECT_EQ(root->ElementAt(2)->Bytes(), "info");
    QElement* info = root->ElementAt(3);
    ASSERT_TRUE(info->IsDictionary());
    ASSERT_EQ(info->Count(), 1);
    EXPECT_EQ(info->Parent(), root.get());
    // The info dictionary remembers where it stood in the input.
    EXPECT_EQ(std::string_view(info->SourcePosition(), info->EncodedLength()), "d6:lengthi5ee");

    QElement* length = info->FindValue("length");
    ASSERT_TRUE(length);
    EXPECT_EQ(length, info->ElementAt(0));
    EXPECT_EQ(length->Integer(), 5);
    EXPECT_TRUE(length->HasInteger());
    EXPECT_EQ(root->FindValue("announce"), root->ElementAt(1));
    EXPECT_EQ(root->FindValue("info"), info);
    EXPECT_EQ(root->FindValue("abc"), nullptr) << "a value is never taken for a key";
    EXPECT_EQ(root->FindValue("ANNOUNCE"), nullptr) << "FindValue is case-sensitive";
    EXPECT_EQ(root->FindElement("ABC"), root->ElementAt(1)) << "FindElement matches any child";
    EXPECT_EQ(root->NextSibling(root->ElementAt(2)), info);
    EXPECT_EQ(root->PreviousSibling(info), root->ElementAt(2));
    EXPECT_EQ(root->NextSibling(info), nullptr);
    EXPECT_EQ(root->ElementAt(4), nullptr);
    EXPECT_EQ(root->ElementAt(-1), nullptr);
}

TEST(Bencode, FindValueSkipsValuesAndStopsAtIntegerKeys) {
    // "size" has an integer; "name" is followed by another key that carries an integer.
    std::unique_ptr<QElement> d =
        ParseElement(bt::D({{"a", bt::S("size")}, {"size", bt::I(7)}, {"zero", bt::I(0)}}));
    ASSERT_TRUE(d);
    EXPECT_EQ(d->FindValue("size")->Integer(), 7);
    EXPECT_EQ(d->FindValue("a")->Bytes(), "size");
    QElement* zero = d->FindValue("zero");
    ASSERT_TRUE(zero);
    EXPECT_TRUE(zero->HasInteger()) << "a parsed i0e counts as an integer";
    EXPECT_EQ(zero->Integer(), 0);
    std::unique_ptr<QElement> odd = ParseElement("d4:name3:agei3ee");
    ASSERT_TRUE(odd);
    EXPECT_EQ(odd->FindValue("name"), nullptr);
}

struct ParseCase {
    const char* name;
    std::string input;
    int64_t expected;  // encoded length, or the failure code
};

class ParseTable : public ::testing::TestWithParam<ParseCase> {};

TEST_P(ParseTable, Result) {
    const ParseCase& c = GetParam();
    EXPECT_EQ(ParseResult(c.input), c.expected) << c.name;
}

const ParseCase kParseCases[] = {
    {"empty dictionary", "de", 2},
    {"empty list", "le", 2},
    {"upper-case brackets", "D1:a1:bE", 8},
    {"string", "3:abc", 5},
    {"empty string", "0:", 2},
    {"string with integer", "l4:spami5ee", 11},
    {"upper-case I", "3:abcI7e", 8},
    {"largest integer", "3:abci9223372036854775807e", 26},
    {"smallest integer", "3:abci-9223372036854775808e", 27},
    {"trailing bytes are not examined", "dexyz", 2},
    {"lone d", "d", kParseNothing},
    {"no input", "", kParseNothing},
    {"top-level integer", "i5e", kParseNothing},
    {"negative length", "-3:abc", kParseNothing},
    {"list of integers", "li1ee", kParseSyntax},
    {"upper-case integer end", "3:abci7E", kParseSyntax},
    {"length past the input", "4:abc", kParseLength},
    {"no colon", "4abcd", kParseSyntax},
    {"length ends the input", "1", kParseSyntax},
    {"leading-zero length", "03:abc", kParseSyntax},
    {"huge length", "99999999999999999999999:x", kParseLength},
    {"length beyond 64 bits", "18446744073709551617:x", kParseLength},
    {"integer without e", "3:abci12", kParseSyntax},
    {"integer then junk", "3:abci12x", kParseSyntax},
    {"integer beyond 64 bits", "3:abci9223372036854775808e", kParseSyntax},
    {"integer far beyond 64 bits", "3:abci99999999999999999999999999999999e", kParseSyntax},
    {"negative zero", "3:abci-0e", kParseSyntax},
    {"leading-zero integer", "3:abci03e", kParseSyntax},
    {"integer without digits", "3:abcie", kParseSyntax},
    {"lone minus", "3:abci-e", kParseSyntax},
    {"blank in integer", "3:abci 5e", kParseSyntax},
    {"truncated dictionary", "d3:abc", kParseSyntax},
    {"truncated list", "l1:a", kParseSyntax},
    {"bad child", "lxe", kParseSyntax},
    {"zero byte child", std::string("l\0e", 3), kParseSyntax},
    {"child length past the input", "l9:abce", kParseLength},
    {"child with a leading-zero length", "l01:ae", kParseSyntax},
};
INSTANTIATE_TEST_SUITE_P(Cases, ParseTable, ::testing::ValuesIn(kParseCases));

TEST(Bencode, NestingIsBounded) {
    auto nested = [](int depth) { return std::string(depth, 'l') + std::string(depth, 'e'); };
    EXPECT_EQ(ParseResult(nested(kBencodeMaxDepth)), 2 * kBencodeMaxDepth);
    EXPECT_EQ(ParseResult(nested(kBencodeMaxDepth + 1)), kParseTooDeep);
    // Deep enough to exhaust the stack of a parser that recursed without bound.
    EXPECT_EQ(ParseResult(nested(1000000)), kParseTooDeep);
    std::string dicts;
    for (int i = 0; i < 200000; ++i) dicts += "d1:a";
    EXPECT_EQ(ParseResult(dicts), kParseTooDeep);
}

TEST(Bencode, EveryTruncationIsRefused) {
    const std::string input =
        bt::D({{"a", bt::L({bt::S("x") + bt::I(-12), bt::D({{"k", bt::S("")}})})},
               {"b", bt::I(3)},
               {"c", bt::S("hello")}});
    ASSERT_EQ(ParseResult(input), static_cast<int64_t>(input.size()));
    for (size_t n = 0; n < input.size(); ++n) {
        EXPECT_EQ(ParseElement(input.substr(0, n)), nullptr) << "prefix " << n;
    }
}

TEST(Bencode, ParsedTreesWriteBackUnchanged) {
    const std::string input = bt::D({{"announce", bt::S("http://t/a")},
                                     {"info", bt::D({{"length", bt::I(1234567890123)},
                                                     {"name", bt::S(std::string("\0\xff", 2))},
                                                     {"neg", bt::I(-5)}})},
                                     {"list", bt::L({bt::L({}), bt::D({}), bt::S("")})}});
    std::unique_ptr<QElement> root = ParseElement(input);
    ASSERT_TRUE(root);
    EXPECT_EQ(Write(root.get()), input);
    std::unique_ptr<QElement> upper = ParseElement("D1:aL1:b1:cI3eEE");
    ASSERT_TRUE(upper);
    EXPECT_EQ(Write(upper.get()), "d1:al1:b1:ci3eee") << "markers are written in lower case";
}

TEST(Bencode, BuildingAndWriting) {
    std::unique_ptr<QElement> d = NewDictionary();
    ASSERT_TRUE(d && d->IsDictionary());
    EXPECT_EQ(d->EncodedLength(), 2);
    ASSERT_TRUE(d->AppendString("Index", 0, false));
    ASSERT_TRUE(d->AppendString("Part", 0, true));
    ASSERT_TRUE(d->AppendString("Size", -1));
    ASSERT_TRUE(d->AppendString("Status"));
    ASSERT_TRUE(d->AppendString(std::string("\0a", 2)));
    EXPECT_EQ(d->AppendString("", 5), nullptr) << "an empty string cannot carry an integer";
    EXPECT_EQ(d->AppendString("", 0, true), nullptr);
    QElement* list = d->Append(NewList().release());
    ASSERT_TRUE(list);
    ASSERT_TRUE(list->AppendString("x"));
    ASSERT_TRUE(d->InsertStringAt(0, "first", 42));
    const std::string expected =
        "d5:firsti42e5:Index4:Parti0e4:Sizei-1e6:Status2:" + std::string("\0a", 2) + "l1:xee";
    EXPECT_EQ(Write(d.get()), expected);
    EXPECT_EQ(d->EncodedLength(), static_cast<int64_t>(expected.size()))
        << "encoded lengths follow every change";
    std::unique_ptr<QElement> back = ParseElement(expected);
    ASSERT_TRUE(back);
    // A bare key reads as integer 0; readers of such data go by position.
    EXPECT_EQ(back->ElementAt(1)->Bytes(), "Index");
    EXPECT_FALSE(back->ElementAt(1)->HasInteger());
    EXPECT_EQ(back->ElementAt(1)->Integer(), 0);
    EXPECT_TRUE(back->ElementAt(2)->HasInteger());
    EXPECT_EQ(back->FindValue("Size")->Integer(), -1);
}

TEST(Bencode, MovingRemovingAndOwnership) {
    std::unique_ptr<QElement> a = ParseElement("l1:x1:y1:ze");
    std::unique_ptr<QElement> b = NewList();
    ASSERT_TRUE(a && b);
    QElement* y = a->ElementAt(1);
    ASSERT_EQ(b->Append(y), y);
    EXPECT_EQ(a->Count(), 2);
    EXPECT_EQ(a->EncodedLength(), 8);
    EXPECT_EQ(b->Count(), 1);
    EXPECT_EQ(b->EncodedLength(), 5);
    EXPECT_EQ(y->Parent(), b.get());
    EXPECT_EQ(a->SourcePosition(), nullptr) << "a changed container no longer stands as parsed";
    EXPECT_NE(a->ElementAt(0)->SourcePosition(), nullptr);
    EXPECT_EQ(Write(a.get()), "l1:x1:ze");

    // Moving within the same container.
    ASSERT_TRUE(a->InsertAt(0, a->ElementAt(1)));
    EXPECT_EQ(Write(a.get()), "l1:z1:xe");
    EXPECT_EQ(a->InsertAt(5, b.get()), nullptr) << "index out of range";

    // A container cannot be put inside itself or its own child.
    QElement* inner = b->Append(NewList().release());
    ASSERT_TRUE(inner);
    EXPECT_EQ(inner->Append(b.get()), nullptr);
    EXPECT_EQ(b->Append(b.get()), nullptr);

    // Detach hands the child to the caller; deleting a child unlinks it.
    QElement* x = a->ElementAt(1);
    EXPECT_TRUE(a->Detach(x));
    EXPECT_EQ(x->Parent(), nullptr);
    EXPECT_FALSE(a->Detach(x));
    delete x;
    EXPECT_EQ(a->Count(), 1);
    delete a->ElementAt(0);
    EXPECT_EQ(a->Count(), 0);
    EXPECT_EQ(a->EncodedLength(), 2);
    EXPECT_TRUE(b->RemoveAt(0));
    EXPECT_FALSE(b->RemoveAt(5));
    EXPECT_TRUE(b->Clear());
    EXPECT_EQ(Write(b.get()), "le");
    // String elements have no children.
    std::unique_ptr<QElement> s = ParseElement("1:a");
    EXPECT_EQ(s->Count(), 0);
    EXPECT_FALSE(s->Clear());
    EXPECT_EQ(s->Append(NewList().get()), nullptr);
}

TEST(Bencode, InvalidElementsAnswerEmpty) {
    std::unique_ptr<QElement> d = NewDictionary();
    d->Reset();
    EXPECT_FALSE(d->IsValid());
    EXPECT_EQ(d->Length(), -1);
    EXPECT_EQ(d->EncodedLength(), 0);
    EXPECT_EQ(d->Count(), 0);
    EXPECT_EQ(d->FindValue("a"), nullptr);
    EXPECT_EQ(d->AppendString("a"), nullptr);
    std::string out = "keep";
    EXPECT_FALSE(Serialize(d.get(), out));
    EXPECT_FALSE(Serialize(nullptr, out));
    EXPECT_EQ(out, "keep");
    // A failed Load leaves the element empty.
    EXPECT_LT(d->Load("d1:a", 4), 1);
    EXPECT_FALSE(d->IsValid());
    EXPECT_EQ(d->Load("d1:a1:be", -1), 8) << "a negative length means zero-terminated";
}

TEST(Bencode, ConvertedTextUsesTheCodePage) {
    const std::string gbk = "\xd6\xd0\xce\xc4";  // "中文" in GBK
    std::unique_ptr<QElement> list =
        ParseElement(bt::L({bt::S("plain"), bt::S(gbk), bt::L({bt::S(gbk)})}));
    ASSERT_TRUE(list);
    EXPECT_EQ(list->ElementAt(1)->ConvertedText(), gbk) << "no code page: bytes unchanged";
    EXPECT_EQ(list->SetCodePage(936), 3);
    EXPECT_EQ(list->ElementAt(0)->ConvertedText(), "plain");
    EXPECT_EQ(list->ElementAt(1)->ConvertedText(), "中文");
    EXPECT_EQ(list->ElementAt(2)->ElementAt(0)->ConvertedText(), "中文") << "recursively";
    std::unique_ptr<QElement> path = ParseElement(bt::L({bt::S(gbk), bt::S("a.txt")}));
    path->SetCodePage(936);
    EXPECT_EQ(path->Text("/"), "中文/a.txt");
}

struct CodePageCase {
    int codePage;
    std::string native;
    std::string utf8;
};

TEST(CodePage, ConvertsBothWays) {
    const CodePageCase cases[] = {
        {936, "\xd6\xd0\xce\xc4", "中文"}, {950, "\xa4\xa4\xa4\xe5", "中文"},
        {949, "\xc7\xd1\xb1\xb9", "한국"}, {932, "\x93\xfa\x96\x7b", "日本"},
        {65001, "中文", "中文"},           {936, "a b~", "a b~"},
    };
    for (const CodePageCase& c : cases) {
        EXPECT_EQ(ToAnsi(c.native, c.codePage), c.utf8) << c.codePage;
        EXPECT_EQ(FromAnsi(c.utf8, c.codePage), c.native) << c.codePage;
    }
    EXPECT_EQ(ToAnsi("", 936), "");
    EXPECT_EQ(ToAnsi("\xd6", 936), "") << "an incomplete character gives empty text";
    EXPECT_EQ(ToAnsi("\xff\xfe", 65001), "") << "invalid UTF-8";
    EXPECT_EQ(ToAnsi("\xd6\xd0", 12345), "") << "an unknown code page";
    EXPECT_EQ(ToAnsi("plain", 12345), "plain") << "printable ASCII passes unchanged";
    EXPECT_EQ(FromAnsi("\xe4\xb8", 936), "") << "invalid source text";
    EXPECT_EQ(FromAnsi("😀", 936), "") << "a character the code page lacks";
}

TEST(CodePage, Names) {
    const std::pair<const char*, int> names[] = {
        {"GBK", 936},       {"gbk", 936},       {"BIG5", 950}, {"big5", 950}, {"KOR", 949},
        {"shift-jis", 932}, {"Shift-JIS", 932}, {"UTF-8", 0},  {"GBK2", 0},   {"", 0}};
    for (const auto& [name, codePage] : names) EXPECT_EQ(CodePageFromName(name), codePage) << name;
}

TEST(InfoFile, EncodesInOrderAndSkipsEmptyValues) {
    InfoFileData data;
    data.torrent = "d4:infodee";
    data.bits = "abc";
    EXPECT_EQ(EncodeInfoFile(data), "d4:bits3:abc7:torrent10:d4:infodeee");
    EXPECT_EQ(EncodeInfoFile(InfoFileData{}), "de");

    InfoFileData read;
    read.part = "kept";
    ASSERT_TRUE(DecodeInfoFile("d4:bits3:abc4:part2:xy5:seeds4:seed7:torrent3:tore", read));
    EXPECT_EQ(read.bits, "abc");
    EXPECT_EQ(read.part, "kept") << "values of 2 bytes or less are not taken";
    EXPECT_EQ(read.seeds, "seed");
    EXPECT_EQ(read.torrent, "tor");
    EXPECT_FALSE(DecodeInfoFile("l4:bitse", read));
    EXPECT_FALSE(DecodeInfoFile("d4:bits", read));
}

TEST(InfoFile, SavesAndLoadsThroughTheFileSystem) {
    lftest::TempDir dir;
    const std::string path = dir / "entry.lfinfo";
    InfoFileData data;
    data.bits = lftest::PseudoRandomBytes(5000, 1);
    data.part = "l5:a.bin0:dee";
    data.seeds = "seed";
    data.torrent = lftest::PseudoRandomBytes(300, 2);
    ASSERT_TRUE(SaveInfoFile(path, data));
    EXPECT_FALSE(lftest::FileExists(path + ".tmp"));
    InfoFileData back;
    ASSERT_TRUE(LoadInfoFile(path, back));
    EXPECT_EQ(back.bits, data.bits);
    EXPECT_EQ(back.part, data.part);
    EXPECT_EQ(back.seeds, data.seeds);
    EXPECT_EQ(back.torrent, data.torrent);

    // A shorter save replaces the whole file.
    InfoFileData small;
    small.torrent = "d4:infodee";
    ASSERT_TRUE(SaveInfoFile(path, small));
    EXPECT_EQ(lftest::ReadFile(path), "d7:torrent10:d4:infodeee");

    InfoFileData none;
    EXPECT_FALSE(LoadInfoFile(dir / "missing.lfinfo", none));
    EXPECT_FALSE(LoadInfoFile("", none));
    lftest::WriteFile(dir / "bad.lfinfo", "d4:bits5:ab");
    EXPECT_FALSE(LoadInfoFile(dir / "bad.lfinfo", none));
    EXPECT_TRUE(none.bits.empty());
    EXPECT_FALSE(LoadInfoFile(dir.Path(), none)) << "a folder is not an info file";
    EXPECT_FALSE(SaveInfoFile(dir / "no/such/folder/x.lfinfo", data));
    EXPECT_FALSE(SaveInfoFile("", data));
}

}  // namespace
