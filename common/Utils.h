// Shared text helpers used by every subsystem.
//
// Pure functions on UTF-16 texts; no state, no locks, callable from any thread.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace zelvo {

// The text before the first occurrence of aChar; the whole text when aChar does not occur.
std::u16string TextBefore(std::u16string_view aText, char16_t aChar);

// Splits at the first occurrence of aChar: (before, after). When aChar does not occur the
// left text is the whole text and the right text is empty. Later occurrences stay on the right.
std::pair<std::u16string, std::u16string> SplitText(std::u16string_view aText, char16_t aChar);

// Splits a list at every aDelimiter, as the host list "a|b|c" is read: blanks stay part of a
// piece, empty pieces count (a trailing delimiter gives an empty last piece), an empty text gives
// no piece, and a piece that begins with a double quote is a quoted text in which two double
// quotes stand for one (text after its closing quote starts a new piece).
std::vector<std::u16string> SplitDelimited(std::u16string_view aText, char16_t aDelimiter);

} // namespace zelvo
