// HTTP/1.1 pieces of the HTTP source that touch no socket: the request
// text, the response header block and the values taken from its headers.
// The source feeds whatever bytes it has received; nothing here blocks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "engine/net/HttpHead.h"

namespace lf {

namespace http {

// The request, byte for byte. A Range line is sent only when position > 0
// or an end is given: "bytes=position-" asks for the rest of the resource,
// "bytes=position-(end - 1)" for the bytes before `end` (end > position).
std::string BuildRequest(std::string_view path, std::string_view host, std::string_view referer,
                         int64_t position, int64_t end = -1);

// The size of the whole resource: Content-Range's number after '/'
// (-1 when there is no '/'), else Content-Length. Returns false when the
// response has neither (the "no length" case).
bool ResourceSize(const ResponseHead& head, int64_t* size);

// The first byte position of a Content-Range "bytes a-b/c" value; -1 when
// the header is missing or malformed.
int64_t ContentRangeStart(const ResponseHead& head);

// The length of the body from Content-Length; -1 when it is missing or
// malformed.
int64_t BodyLength(const ResponseHead& head);

// File name from Content-Disposition (after "filename=", quotes dropped,
// ends at ';'). Returns false when the header is missing.
bool DispositionFileName(const ResponseHead& head, std::string* name);

// Makes a Location value absolute: values not starting with "http://" or
// "ftp://" (any case) become "http://" host [":" port unless 80] ["/" unless
// the value starts with '/'] value.
std::string AbsoluteLocation(std::string_view location, std::string_view host, int port);

}  // namespace http

}  // namespace lf
