// The head of an HTTP response (HTTP sources, proxy replies, trackers):
// finding where it ends, incrementally and under a size cap, and splitting
// it into the status line and the header lines. Nothing here touches a
// socket: callers feed the bytes they have received.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace lf {

namespace http {

// The most bytes a response head may take, its end included.
constexpr size_t kMaxHeadBytes = 64 * 1024;

// Finds the end of a head: the first LF followed by CR LF or by LF. Feed it
// the received bytes, always from the head's first byte, each time with
// what arrived since; it goes on where it stopped. A buffer of 2 bytes or
// less is not examined.
class HeadScanner {
public:
    enum State { kNeedMore, kComplete, kTooLong };

    explicit HeadScanner(size_t limit = kMaxHeadBytes) : m_limit(limit) {}
    // kTooLong once `limit` bytes are in and no end among them.
    State Scan(const char* data, size_t size);
    // Bytes of the head, its end included (once complete).
    size_t HeadBytes() const { return m_end; }
    size_t Limit() const { return m_limit; }
    void Reset() {
        m_next = 0;
        m_end = 0;
    }

private:
    size_t m_limit;
    size_t m_next = 0;  // first byte not yet looked at as a possible LF
    size_t m_end = 0;
};

struct ResponseHead {
    std::string version = "1.0";  // after "HTTP/" up to the first blank
    int status = 0;               // 0 when there was no status line
    std::string reason;
    std::vector<std::string> lines;  // header lines, status line removed
    size_t blockBytes = 0;           // bytes of the header block, end included

    // Value of the first header whose line starts with name (ignoring case)
    // followed only by blanks or control bytes and ':'; leading blanks of
    // the value are skipped. False when there is none.
    bool Find(std::string_view name, std::string* value) const;
    int StatusClass() const { return status / 100; }
};

// Splits a complete head of `bytes` bytes at data into status and lines.
void SplitResponseHead(const char* data, size_t bytes, ResponseHead* head);

// Looks for a complete head at the start of data (within kMaxHeadBytes) and
// splits it. Returns false while the head is incomplete or too long.
bool ParseResponseHead(const char* data, size_t size, ResponseHead* head);

// Reads a decimal 64-bit number at the start of text (after blanks); false
// when there is no digit or it does not fit.
bool ParseDecimal(std::string_view text, int64_t* value, size_t* used = nullptr);

inline bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

}  // namespace http

}  // namespace lf
