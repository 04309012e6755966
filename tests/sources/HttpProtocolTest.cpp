#include <gtest/gtest.h>

#include <string>

#include "engine/sources/HttpProtocol.h"

using namespace lf;

namespace {

TEST(HttpRequestTest, ByteForByte) {
    EXPECT_EQ(http::BuildRequest("/rel/data.cab", "dl.example.com", "http://dl.example.com/rel", 0),
              "GET /rel/data.cab HTTP/1.1\r\n"
              "Host:dl.example.com\r\n"
              "Accept:*/*\r\n"
              "Referer: http://dl.example.com/rel\r\n"
              "User-Agent:Mozilla/4.0 (compatible; MSIE 5.00; Windows 98) Lanternfish/1.0.3\r\n"
              "Connection:Keep-Alive\r\n"
              "Pragma: no-cache\r\n"
              "Cache-Control: no-cache\r\n"
              "\r\n");
    std::string ranged = http::BuildRequest("/a", "h:8080", "http://h:8080", 1048576);
    EXPECT_NE(ranged.find("Connection:Keep-Alive\r\nRange: bytes=1048576-\r\nPragma: no-cache\r\n"),
              std::string::npos);
    // With an end: the last byte asked for is the one before it, from 0 on
    // as well; an end not after the position asks for the rest.
    struct Case {
        int64_t position, end;
        const char* line;  // the Range line, "" for none
    } cases[] = {
        {1048576, 2097152, "Range: bytes=1048576-2097151\r\n"},
        {0, 262144, "Range: bytes=0-262143\r\n"},
        {1048576, 1048576, "Range: bytes=1048576-\r\n"},
        {0, -1, ""},
    };
    for (const auto& c : cases) {
        const std::string r = http::BuildRequest("/a", "h", "http://h", c.position, c.end);
        const size_t at = r.find("Range:");
        const std::string line =
            at == std::string::npos ? std::string() : r.substr(at, r.find("\r\n", at) + 2 - at);
        EXPECT_EQ(line, c.line) << c.position << "-" << c.end;
    }
}

struct HeadCase {
    const char* name;
    std::string bytes;
    size_t blockBytes;
    int status;
    const char* version;
    const char* reason;
    size_t lines;
};

// Every response is fed to one scanner as growing prefixes, one chunk size
// after another: an incomplete prefix never completes, and the complete
// result is the same whatever the chunking (and the same as parsing the
// whole buffer at once).
TEST(HttpResponseHeadTest, ParsesInChunksOfEverySize) {
    const HeadCase cases[] = {
        {"crlf",
         "HTTP/1.1 206 Partial Content\r\nContent-Range: bytes 0-9/100\r\nContent-Length: "
         "10\r\n\r\nBODY",
         82, 206, "1.1", "Partial Content", 2},
        {"lf only", "HTTP/1.0 200 OK\nServer: x\n\nrest", 27, 200, "1.0", "OK", 1},
        {"lf then crlf", "HTTP/1.1 404 Not Found\nA: b\n\r\n", 30, 404, "1.1", "Not Found", 1},
        {"no status line", "Content-Length: 5\r\n\r\nhello", 21, 0, "1.0", "", 1},
        {"reason with blanks", "HTTP/1.1 302 Moved  Temporarily\r\nLocation: /x\r\n\r\n", 49, 302,
         "1.1", "Moved  Temporarily", 1},
        {"status only", "HTTP/1.1 500 Oops\r\n\r\n", 21, 500, "1.1", "Oops", 0},
    };
    for (const auto& c : cases) {
        for (size_t chunk = 1; chunk <= c.bytes.size(); ++chunk) {
            http::HeadScanner scanner;
            size_t have = 0;
            bool done = false;
            while (!done && have < c.bytes.size()) {
                have = std::min(c.bytes.size(), have + chunk);
                const auto state = scanner.Scan(c.bytes.data(), have);
                ASSERT_NE(state, http::HeadScanner::kTooLong);
                done = state == http::HeadScanner::kComplete;
                if (!done) {
                    ASSERT_LT(have, c.blockBytes) << c.name << " chunk " << chunk;
                }
            }
            ASSERT_TRUE(done) << c.name;
            http::ResponseHead head;
            http::SplitResponseHead(c.bytes.data(), scanner.HeadBytes(), &head);
            http::ResponseHead whole;
            ASSERT_TRUE(http::ParseResponseHead(c.bytes.data(), c.bytes.size(), &whole));
            EXPECT_EQ(whole.lines, head.lines) << c.name;
            EXPECT_EQ(head.blockBytes, c.blockBytes) << c.name;
            EXPECT_EQ(head.status, c.status) << c.name;
            EXPECT_EQ(head.version, c.version) << c.name;
            EXPECT_EQ(head.reason, c.reason) << c.name;
            EXPECT_EQ(head.lines.size(), c.lines) << c.name;
        }
    }
}

// The head may take `limit` bytes, its end included; a head that has not
// ended within them is too long, however the bytes arrive. The default cap
// is 64 KiB.
TEST(HttpResponseHeadTest, HeadIsCappedAtItsLimit) {
    const std::string status = "HTTP/1.1 200 OK\r\nX: ";
    auto filled = [&](size_t total, const std::string& end) {
        return status + std::string(total - status.size() - end.size(), 'a') + end;
    };
    struct Case {
        const char* name;
        std::string bytes;
        size_t limit;
        http::HeadScanner::State state;
    } cases[] = {
        {"ends at the limit", filled(64, "\r\n\r\n"), 64, http::HeadScanner::kComplete},
        {"ends one byte past it", filled(65, "\r\n\r\n"), 64, http::HeadScanner::kTooLong},
        {"lf lf at the limit", filled(64, "\n\n"), 64, http::HeadScanner::kComplete},
        {"never ends", filled(200, ""), 64, http::HeadScanner::kTooLong},
        {"below the limit, open", filled(63, ""), 64, http::HeadScanner::kNeedMore},
        {"64 KiB head", filled(http::kMaxHeadBytes, "\r\n\r\n"), http::kMaxHeadBytes,
         http::HeadScanner::kComplete},
        {"endless past 64 KiB", filled(http::kMaxHeadBytes + 1, ""), http::kMaxHeadBytes,
         http::HeadScanner::kTooLong},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const size_t step = c.bytes.size() > 1000 ? 997 : 1;
        for (size_t chunk = 1; chunk <= c.bytes.size(); chunk += step) {
            http::HeadScanner scanner(c.limit);
            auto state = http::HeadScanner::kNeedMore;
            for (size_t have = 0; have < c.bytes.size() && state == http::HeadScanner::kNeedMore;) {
                have = std::min(c.bytes.size(), have + chunk);
                state = scanner.Scan(c.bytes.data(), have);
            }
            ASSERT_EQ(state, c.state) << "chunk " << chunk;
            if (state == http::HeadScanner::kComplete) {
                EXPECT_EQ(scanner.HeadBytes(), c.bytes.size());
            }
        }
    }
    http::ResponseHead head;
    const std::string endless = filled(http::kMaxHeadBytes + 10, "\r\n\r\n");
    EXPECT_FALSE(http::ParseResponseHead(endless.data(), endless.size(), &head));
}

TEST(HttpResponseHeadTest, ShortOrOpenBuffersWait) {
    http::ResponseHead head;
    EXPECT_FALSE(http::ParseResponseHead("\n\n", 2, &head));  // 2 bytes are not examined
    EXPECT_TRUE(http::ParseResponseHead("\n\nx", 3, &head));
    EXPECT_FALSE(http::ParseResponseHead("HTTP/1.1 200 OK\r\n", 17, &head));
    EXPECT_FALSE(http::ParseResponseHead("HTTP/1.1 200 OK\r\n\r", 18, &head));
}

http::ResponseHead Head(const std::string& headers) {
    std::string bytes = "HTTP/1.1 200 OK\r\n" + headers + "\r\n";
    http::ResponseHead head;
    EXPECT_TRUE(http::ParseResponseHead(bytes.data(), bytes.size(), &head));
    return head;
}

TEST(HttpHeadersTest, LookupIgnoresCaseAndBlanksBeforeColon) {
    auto head = Head("content-LENGTH \t: 42\r\nContent-Lengthy: 7\r\nX:y\r\n");
    std::string v;
    ASSERT_TRUE(head.Find("Content-Length", &v));
    EXPECT_EQ(v, "42");
    EXPECT_FALSE(head.Find("Missing", &v));
    ASSERT_TRUE(head.Find("x", &v));
    EXPECT_EQ(v, "y");
}

TEST(HttpHeadersTest, SizeTable) {
    struct {
        const char* headers;
        bool found;
        int64_t size;
        int64_t rangeStart;
    } cases[] = {
        {"Content-Length: 1000\r\n", true, 1000, -1},
        {"Content-Range: bytes 100-199/5000\r\nContent-Length: 100\r\n", true, 5000, 100},
        {"Content-Range: bytes 0-99/*\r\n", true, -1, 0},
        {"Content-Range: bytes 7-\r\n", true, -1, 7},
        {"Content-Range: bytes 5-9/99999999999999999999999\r\n", true, -1, 5},
        {"Content-Length: 8589934592\r\n", true, 8589934592LL, -1},
        {"Server: x\r\n", false, -1, -1},
    };
    for (const auto& c : cases) {
        auto head = Head(c.headers);
        int64_t size = 0;
        EXPECT_EQ(http::ResourceSize(head, &size), c.found) << c.headers;
        EXPECT_EQ(size, c.size) << c.headers;
        EXPECT_EQ(http::ContentRangeStart(head), c.rangeStart) << c.headers;
    }
}

TEST(HttpHeadersTest, FileNameTable) {
    struct {
        const char* headers;
        bool found;
        const char* name;
    } cases[] = {
        {"Content-Disposition: attachment; filename=\"x.zip\"\r\n", true, "x.zip"},
        {"Content-Disposition: attachment; filename=x.zip; size=3\r\n", true, "x.zip"},
        {"Content-Disposition: attachment; filename=\"a b.cab\";x=1\r\n", true, "a b.cab"},
        {"Content-Disposition: inline\r\n", true, ""},
        {"Server: x\r\n", false, ""},
    };
    for (const auto& c : cases) {
        std::string name;
        EXPECT_EQ(http::DispositionFileName(Head(c.headers), &name), c.found) << c.headers;
        EXPECT_EQ(name, c.name) << c.headers;
    }
}

TEST(HttpRedirectTest, AbsoluteLocationTable) {
    struct {
        const char* location;
        const char* host;
        int port;
        const char* expected;
    } cases[] = {
        {"a/b.cab", "h", 8080, "http://h:8080/a/b.cab"},  {"/a/b.cab", "h", 80, "http://h/a/b.cab"},
        {"HTTP://other/x", "h", 80, "HTTP://other/x"},    {"ftp://f/x", "h", 80, "ftp://f/x"},
        {"https://s/x", "h", 80, "http://h/https://s/x"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(http::AbsoluteLocation(c.location, c.host, c.port), c.expected) << c.location;
    }
}

}  // namespace
