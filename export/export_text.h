// Text for output: log messages and strings from files carry the message
// list's in-band bytes and whatever character set the scanner wrote; what
// kema prints and the writers store is plain, valid UTF-8.
#pragma once

#include <string>
#include <string_view>

namespace kema {

// Removes the message list's in-band bytes (0xF0 and 0xF1 next to a control
// byte or at an end of the text, C0 controls except tab and newline when
// kept) and repairs the rest into valid UTF-8: a byte that does not start a
// valid sequence is read as Latin-1 (0x80..0x9F become U+FFFD).
std::string Output_Text(std::string_view text, bool keep_tab_newline);
// Output_Text with tabs and newlines removed and blanks trimmed at both ends.
std::string Output_Line(std::string_view text);

}  // namespace kema
