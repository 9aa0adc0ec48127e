// Wildcard masks for folder listings: "*" matches any run of characters (also none), "?"
// exactly one, "[...]" one character of a set ("a-z" a range, a leading "!" the complement);
// every other character matches itself, ASCII letters regardless of case.
// A mask with more than 30 "*", a set without "]" or a range without a first character is
// invalid: the constructor raises EMaskException "'<mask>' is an invalid mask at (<pos>)".
#pragma once

#include <cstddef>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace zelvo {

class EMaskException : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

class TMask {
public:
  explicit TMask(std::u16string_view aMask);
  bool Matches(std::u16string_view aName) const;

private:
  struct TToken {
    enum class TKind { Literal, AnyOne, AnyRun, Set } FKind;
    char16_t FChar = 0;
    bool FNegate = false;
    std::vector<std::pair<char16_t, char16_t>> FRanges;
    bool MatchesOne(char16_t aChar) const;
  };
  std::vector<TToken> FTokens;
};

// ASCII-only lower-casing: "A" to "Z" become "a" to "z", nothing else changes.
char16_t AsciiLower(char16_t aChar);
bool SameNameAscii(std::u16string_view aLeft, std::u16string_view aRight);
// The name with ASCII letters lower-cased: names that SameNameAscii calls equal fold alike.
std::u16string FoldNameAscii(std::u16string_view aName);
// A hash of the folded name, made without folding a copy: names that SameNameAscii calls equal
// hash alike.
size_t FoldedNameHash(std::u16string_view aName);

} // namespace zelvo
