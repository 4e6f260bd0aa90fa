// Text conversions of the packer and cabsfx-tool: UTF-8 and the two ANSI code pages that
// cabinet names and header texts are written in (1252 Western, 932 Japanese).
#pragma once
#include <cstdint>
#include <string>
#include <vector>

enum class CodePage { Western1252, Japanese932 };

// "1252" or "932".
bool parse_codepage(const std::string& text, CodePage& out);
int codepage_number(CodePage page);

// Decodes strict UTF-8 (no overlong forms, no surrogates) into code points.
bool utf8_to_utf32(const std::string& utf8, std::u32string& out);
std::string utf32_to_utf8(const std::u32string& text);

// UTF-8 → bytes of the code page; false when a character has no mapping.
bool utf8_to_codepage(const std::string& utf8, CodePage page, std::string& out);
// Bytes of the code page → UTF-8; false on a byte sequence the page lacks.
bool codepage_to_utf8(const std::string& bytes, CodePage page, std::string& out);

// A stored name as text: UTF-8 when attribute bit 0x80 says so, otherwise in
// the code page. False when the bytes are not valid in that encoding.
bool decode_stored_name(const std::string& bytes, uint16_t attribs, CodePage page,
                        std::string& utf8);

// Printable form of bytes that could not be decoded: \xNN for non-ASCII.
std::string escape_bytes(const std::string& bytes);

// UTF-8 text made safe for a terminal or a line-oriented reader: C0 and C1
// controls, DEL, line and paragraph separators and bidirectional overrides
// become \xNN or \u{NNNN}, bytes that are not UTF-8 become \xNN; the rest
// is kept.
std::string printable(const std::string& text);

// The record that tells readers which code page a cabinet's names (those not
// marked UTF-8) are in. It fills the cabinet header's reserve area: the bytes
// "CSFX", then entries of a 16-bit tag, a 16-bit length and that many bytes;
// tag 1 holds the code page number (16 bits). Readers that do not know it skip
// the reserve area as the format asks.
std::vector<uint8_t> codepage_record(CodePage page);
// False when the area holds no such record or an unknown code page.
bool codepage_from_record(const uint8_t* area, size_t size, CodePage& out);
