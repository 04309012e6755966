#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/sources/FtpProtocol.h"

using namespace lf;

namespace {

struct Parsed {
    std::vector<ftp::Reply> replies;
    bool malformed = false;
    size_t leftover = 0;
};

// Feeds `bytes` in chunks of `chunk` bytes into a buffer, taking every
// complete reply off its front as soon as it is there.
Parsed Feed(const std::string& bytes, size_t chunk) {
    Parsed p;
    std::string buffer;
    for (size_t at = 0; at < bytes.size(); at += chunk) {
        buffer.append(bytes, at, chunk);
        for (;;) {
            ftp::Reply r;
            auto s = ftp::ParseReply(buffer.data(), buffer.size(), &r);
            if (s == ftp::ReplyStatus::kMalformed) {
                p.malformed = true;
                return p;
            }
            if (s == ftp::ReplyStatus::kIncomplete) break;
            EXPECT_GT(r.bytes, 0u);
            EXPECT_LE(r.bytes, buffer.size());
            buffer.erase(0, r.bytes);
            p.replies.push_back(r);
        }
    }
    p.leftover = buffer.size();
    return p;
}

TEST(FtpReply, RepliesInChunksOfEverySize) {
    struct Case {
        const char* name;
        std::string bytes;
        std::vector<std::pair<int, std::string>> want;
        size_t leftover;
    } cases[] = {
        {"single", "220 ProFTPD Server ready.\r\n", {{220, "ProFTPD Server ready."}}, 0},
        {"bare LF", "331 Password required\n", {{331, "Password required"}}, 0},
        {"code alone", "200\r\n", {{200, ""}}, 0},
        {"multi-line greeting",
         "220-Welcome\r\n220-to the mirror\r\n 220 not the end\r\n220 ready\r\n",
         {{220, "Welcome"}},
         0},
        {"multi-line with other codes inside",
         "211-Features:\r\n SIZE\r\n211-REST STREAM\r\n200 not it\r\n211 End\r\n",
         {{211, "Features:"}},
         0},
        {"two replies in one read (150 then 226)",
         "150 Opening BINARY mode data connection\r\n226 Transfer complete\r\n",
         {{150, "Opening BINARY mode data connection"}, {226, "Transfer complete"}},
         0},
        {"a reply and the start of the next",
         "350 Restarting at 3221225472\r\n150 Open",
         {{350, "Restarting at 3221225472"}},
         8},
        {"unfinished multi-line", "220-Welcome\r\n220-more\r\n220 rea", {}, 30},
        {"last line without its end", "230 Logged in", {}, 13},
    };
    for (const auto& c : cases) {
        for (size_t chunk = 1; chunk <= c.bytes.size(); ++chunk) {
            SCOPED_TRACE(std::string(c.name) + " chunk " + std::to_string(chunk));
            Parsed p = Feed(c.bytes, chunk);
            ASSERT_FALSE(p.malformed);
            ASSERT_EQ(p.replies.size(), c.want.size());
            for (size_t i = 0; i < c.want.size(); ++i) {
                EXPECT_EQ(p.replies[i].code, c.want[i].first);
                EXPECT_EQ(p.replies[i].text, c.want[i].second);
            }
            EXPECT_EQ(p.leftover, c.leftover);
        }
    }
}

TEST(FtpReply, MalformedReplies) {
    const std::string cases[] = {
        "HTTP/1.1 200 OK\r\n",  // not an FTP server
        "22 short code\r\n",
        "2200 four digits\r\n",
        "099 below 100\r\n",
        "600 above 599\r\n",
        "220x\r\n",
        "\r\n",
    };
    for (const auto& bytes : cases) {
        SCOPED_TRACE(bytes);
        bool malformed = false;
        for (size_t chunk = 1; chunk <= bytes.size(); ++chunk) {
            Parsed p = Feed(bytes, chunk);
            EXPECT_TRUE(p.malformed) << "chunk " << chunk;
            malformed = p.malformed;
        }
        EXPECT_TRUE(malformed);
    }
    // A reply that never ends is refused once it passes the limit.
    std::string endless = "220-hello\r\n";
    while (endless.size() <= ftp::kMaxReplyBytes) endless += "220-still here\r\n";
    ftp::Reply r;
    EXPECT_EQ(ftp::ParseReply(endless.data(), endless.size(), &r), ftp::ReplyStatus::kMalformed);
    std::string longLine = "220 " + std::string(ftp::kMaxReplyBytes, 'x');
    EXPECT_EQ(ftp::ParseReply(longLine.data(), longLine.size(), &r), ftp::ReplyStatus::kMalformed);
}

TEST(FtpPassive, Addresses) {
    struct Case {
        const char* text;
        bool ok;
        const char* host;
        int port;
    } cases[] = {
        {"Entering Passive Mode (10,0,0,5,19,137).", true, "10.0.0.5", 5001},
        {"Entering Passive Mode (127,0,0,1,255,255)", true, "127.0.0.1", 65535},
        {"=( 192, 168, 1, 2, 0, 21 )", true, "192.168.1.2", 21},
        {"Entering Passive Mode 127,0,0,1,4,1", true, "127.0.0.1", 1025},
        {"(1,2,3,4,5)", false, "", 0},
        {"(1,2,3,4,5,6,7)", false, "", 0},
        {"(256,0,0,1,1,1)", false, "", 0},
        {"(1,2,3,4,0,0)", false, "", 0},
        {"(1,2,3,x,5,6)", false, "", 0},
        {"(1,2,3,4,5,6", false, "", 0},
        {"(0001,2,3,4,5,6)", false, "", 0},
        {"no numbers at all", false, "", 0},
        {"", false, "", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        uint32_t address = 0;
        uint16_t port = 0;
        ASSERT_EQ(ftp::ParsePassive(c.text, &address, &port), c.ok);
        if (!c.ok) continue;
        char text[INET_ADDRSTRLEN];
        in_addr a{};
        a.s_addr = address;
        inet_ntop(AF_INET, &a, text, sizeof(text));
        EXPECT_STREQ(text, c.host);
        EXPECT_EQ(port, c.port);
    }
}

TEST(FtpSize, Values) {
    struct Case {
        const char* text;
        bool ok;
        int64_t size;
    } cases[] = {
        {"209715200", true, 209715200},
        {" 3221225472 ", true, 3221225472LL},
        {"0", true, 0},
        {"9223372036854775807", true, INT64_MAX},
        {"9223372036854775808", false, 0},
        {"-5", false, 0},
        {"12 bytes", false, 0},
        {"", false, 0},
        {"File not found", false, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        int64_t size = -1;
        ASSERT_EQ(ftp::ParseSize(c.text, &size), c.ok);
        if (c.ok) {
            EXPECT_EQ(size, c.size);
        }
    }
}

TEST(FtpCommand, TextsAndPaths) {
    EXPECT_EQ(ftp::Command("rest", ftp::OffsetText(3221225472LL)), "rest 3221225472\r\n");
    EXPECT_EQ(ftp::Command("pasv"), "pasv\r\n");
    EXPECT_EQ(ftp::Command("type", "i"), "type i\r\n");
    struct Case {
        const char* path;
        const char* dir;
        const char* name;
    } cases[] = {
        {"/file.bin", "/", "file.bin"},
        {"/pub/game/data.cab", "/pub/game", "data.cab"},
        {"/", "/", ""},
        {"name", "/", "name"},
        {"/dir/", "/dir", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        EXPECT_EQ(ftp::DirectoryOf(c.path), c.dir);
        EXPECT_EQ(ftp::NameOf(c.path), c.name);
    }
    EXPECT_TRUE(ftp::SafeArgument("a b/c.bin"));
    EXPECT_FALSE(ftp::SafeArgument("x\r\ndele y"));
    EXPECT_FALSE(ftp::SafeArgument("x\ny"));
    EXPECT_FALSE(ftp::SafeArgument(std::string("x\0y", 3)));
}

}  // namespace
