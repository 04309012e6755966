// Text conversion between the named code pages of metainfo and source
// addresses and the system's narrow encoding (UTF-8 on this platform).
//
//   std::string utf8 = ToAnsi(gbkBytes, 936);     // GBK -> UTF-8
//   std::string gbk  = FromAnsi(utf8Text, 936);   // UTF-8 -> GBK
//   int cp = CodePageFromName("gbk");             // 936; unknown names give 0
//
// Supported code pages: 936 (GBK), 950 (Big5), 949 (Korean), 932 (Shift-JIS),
// 65001 (UTF-8) and 0 (the system encoding itself). Text made only of
// printable ASCII (0x20..0x7E) is returned unchanged. Empty input, an unknown
// code page, or bytes that are not valid in the source encoding give an empty
// text.
#pragma once

#include <string>
#include <string_view>

namespace lf {

std::string ToAnsi(std::string_view bytes, int sourceCodePage);
std::string FromAnsi(std::string_view bytes, int targetCodePage);

// "GBK" 936, "BIG5" 950, "KOR" 949, "Shift-JIS" 932, compared ignoring case;
// any other name 0.
int CodePageFromName(std::string_view name);

}  // namespace lf
