// Text that came from a board, a file or the system, made safe to show: valid
// UTF-8 with its control characters visible, then escaped for HTML.
#pragma once

#include <string>

// Valid UTF-8: every stray byte becomes U+FFFD, and every control character
// (C0, DEL) its visible picture (U+2400 to U+2421), so that nothing in it can
// end a line, a string or a tag.
std::string cleanText(const std::string& text);

// For HTML text and attribute values: & < > " ' as character references.
std::string htmlEscape(const std::string& text);
