// Shared text helpers used by every subsystem.
//
// Pure functions on UTF-16 texts; no state, no locks, callable from any thread.
#pragma once

#include <string>
#include <string_view>
#include <utility>

namespace zelvo {

// The text before the first occurrence of aChar; the whole text when aChar does not occur.
std::u16string TextBefore(std::u16string_view aText, char16_t aChar);

// Splits at the first occurrence of aChar: (before, after). When aChar does not occur the
// left text is the whole text and the right text is empty. Later occurrences stay on the right.
std::pair<std::u16string, std::u16string> SplitText(std::u16string_view aText, char16_t aChar);

} // namespace zelvo
