// Names as the programs show them on a terminal or in a line of text.
#pragma once

#include <string>
#include <string_view>

// The bytes of text with those below 0x20, 0x7f and the backslash written
// C-style ("\n", "\\", "\x1b"), and so the bytes of C1 controls in UTF-8
// (U+0080 to U+009F), of the controls of the text's direction (U+061C,
// U+200E, U+200F, U+202A to U+202E, U+2066 to U+2069) and of invalid UTF-8,
// so that no name can break or forge a line, drive the terminal or show
// itself reversed. Printable UTF-8 stays as it is.
std::string escaped(std::string_view text);

// Whether text is UTF-8 throughout: no stray byte, no sequence cut short,
// overlong, a surrogate or past U+10FFFF.
bool is_utf8(std::string_view text);

// A count of files as a summary says it: "1 file", "2 files".
std::string files_text(std::size_t files);
