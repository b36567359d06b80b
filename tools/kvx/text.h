/* The header's texts are single bytes of the Windows Western code page
 * (Windows-1252); the tool reads and prints UTF-8.  These convert between
 * the two. */
#ifndef KVX_TOOL_TEXT_H
#define KVX_TOOL_TEXT_H

#include <stddef.h>
#include <string>

/* The Windows-1252 bytes of a UTF-8 text into *out; empty, or what does
 * not fit: invalid UTF-8, or the first character that has no byte (named
 * with its code point, "'日' (U+65E5)").  Control characters are refused
 * as well, and so is 'ÿ' (0xFF), the byte that ends a text in the header. */
std::string to_cp1252(const std::string &utf8, std::string *out);

/* The UTF-8 of Windows-1252 bytes.  The five bytes that the code page
 * leaves undefined (0x81, 0x8D, 0x8F, 0x90, 0x9D) and control characters
 * become U+FFFD, so that what is printed is always valid UTF-8. */
std::string from_cp1252(const std::string &bytes);

/* A header text field as UTF-8: its bytes up to the first NUL or 0xFF
 * (the two paddings the header uses), trailing spaces dropped. */
std::string header_text(const char *field, size_t size);

#endif
