// Conversions between the UTF-16 texts the program works with and the byte encodings it meets:
// UTF-8 (the wire, local file names, settings files) and the legacy ANSI code page of Chinese
// Windows machines, for which GB18030 (a superset of GBK / code page 936) stands in.
//
// Malformed input never fails a conversion: an unpaired surrogate in UTF-16, an invalid UTF-8
// sequence or an undecodable ANSI byte becomes U+FFFD, the way the Windows converters behave.
// Callers that must refuse such input test it first with IsValidUtf8 / IsWellFormedUtf16.
// Thread-safe: every call uses its own converter state.
#pragma once

#include <string>
#include <string_view>

namespace zelvo {

std::string Utf16ToUtf8(std::u16string_view aText);
std::u16string Utf8ToUtf16(std::string_view aBytes);
bool IsValidUtf8(std::string_view aBytes);
bool IsWellFormedUtf16(std::u16string_view aText);

// The ANSI code page (GB18030).
std::u16string AnsiToUtf16(std::string_view aBytes);
std::string Utf16ToAnsi(std::u16string_view aText);

} // namespace zelvo
