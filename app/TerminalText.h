// Columns a UTF-8 text takes on a terminal, and cutting a text to a width:
// the terminal front end keeps its live block inside the terminal's width.
#pragma once

#include <string>
#include <string_view>

namespace lfapp {

// Wide (East Asian) characters take two columns, others one; a malformed
// byte counts as one column.
int DisplayWidth(std::string_view text);
// The longest prefix of text (whole characters) that takes at most
// `columns` columns.
std::string FitToColumns(std::string_view text, int columns);

}  // namespace lfapp
