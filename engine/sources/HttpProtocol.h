// HTTP/1.1 pieces of the HTTP source that touch no socket: the request
// text, the response header block and the values taken from its headers.
// The source feeds whatever bytes it has received; nothing here blocks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace lf {

namespace http {

// The request, byte for byte. A Range line is sent only when position > 0.
std::string BuildRequest(std::string_view path, std::string_view host, std::string_view referer,
                         int64_t position);

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

// Looks for a complete header block at the start of data: it ends at the
// first LF followed by CR LF or by LF. Returns false while the block is
// incomplete (a buffer of 2 bytes or less is not examined).
bool ParseResponseHead(const char* data, size_t size, ResponseHead* head);

// The size of the whole resource: Content-Range's number after '/'
// (-1 when there is no '/'), else Content-Length. Returns false when the
// response has neither (the "no length" case).
bool ResourceSize(const ResponseHead& head, int64_t* size);

// The first byte position of a Content-Range "bytes a-b/c" value; -1 when
// the header is missing or malformed.
int64_t ContentRangeStart(const ResponseHead& head);

// File name from Content-Disposition (after "filename=", quotes dropped,
// ends at ';'). Returns false when the header is missing.
bool DispositionFileName(const ResponseHead& head, std::string* name);

// Makes a Location value absolute: values not starting with "http://" or
// "ftp://" (any case) become "http://" host [":" port unless 80] ["/" unless
// the value starts with '/'] value.
std::string AbsoluteLocation(std::string_view location, std::string_view host, int port);

// Reads a decimal 64-bit number at the start of text (after blanks); false
// when there is no digit or it does not fit.
bool ParseDecimal(std::string_view text, int64_t* value, size_t* used = nullptr);

}  // namespace http

}  // namespace lf
