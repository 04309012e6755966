// Text from the network (server messages, host names, file names) on its
// way to a terminal or a log: control characters are written as \xNN so
// that no escape sequence reaches the screen; printable ASCII and UTF-8
// bytes stay as they are.
#pragma once

#include <string>
#include <string_view>

namespace lf {

std::string SafeText(std::string_view text);

// The same, keeping line breaks ('\n'; "\r\n" becomes '\n') for texts of
// several lines.
std::string SafeLines(std::string_view text);

}  // namespace lf
