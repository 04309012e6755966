// FTP pieces of the FTP source that touch no socket: reading replies off
// the control connection's bytes, the command texts, and the values taken
// from the "227" (passive address) and "213" (size) replies. The source
// feeds whatever bytes it has received; nothing here blocks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace lf {

namespace ftp {

// Longest reply accepted (all lines of a multi-line reply together); a
// server that sends more without finishing its reply is not an FTP server.
constexpr size_t kMaxReplyBytes = 65536;

struct Reply {
    int code = 0;      // the three digits, 100..599
    std::string text;  // the first line after the code and its separator
    size_t bytes = 0;  // bytes of the whole reply, its last line end included
};

enum class ReplyStatus { kIncomplete, kComplete, kMalformed };

// Looks for one complete reply at the start of data. A single-line reply is
// "ddd text" ended by LF (CR optional); a multi-line reply starts "ddd-" and
// ends with the first later line that starts with the same code and a
// blank (or ends right after the code). Bytes after the reply are left for
// the next call. kMalformed when the first line does not start with a code
// of 100..599 followed by a blank, '-' or the line end, when a multi-line
// reply has no end within kMaxReplyBytes, or when a line is longer than that.
ReplyStatus ParseReply(const char* data, size_t size, Reply* reply);

// "host,port" of a "227" reply: the text between '(' and ')' (without
// parentheses: from the first digit on) split at commas and blanks into
// exactly six numbers of 0..255. Host a.b.c.d in network order, port =
// fifth * 256 + sixth (1..65535).
bool ParsePassive(std::string_view text, uint32_t* addressNet, uint16_t* port);

// The size of a "213" reply's text: a decimal number (blanks before it and
// nothing but blanks after it); false when it is missing, negative or does
// not fit in 63 bits.
bool ParseSize(std::string_view text, int64_t* size);

// The directory of a path: the text before its last '/', "/" when that '/'
// is the first character (or there is none).
std::string DirectoryOf(std::string_view path);
// The file name of a path: the text after its last '/'.
std::string NameOf(std::string_view path);

// A command line: verb, a blank and the argument when there is one, CR LF.
std::string Command(std::string_view verb, std::string_view argument = {});
// The decimal text of a 64-bit offset ("rest " argument).
std::string OffsetText(int64_t offset);

// True when text may go into a command line (no CR, LF or NUL byte).
bool SafeArgument(std::string_view text);

}  // namespace ftp

}  // namespace lf
