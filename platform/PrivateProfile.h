// Initialisation files (the stand-in for GetPrivateProfileStringW / WritePrivateProfileStringW).
//
// Format: "[section]" lines, then "key=value" lines. Section and key names compare without
// regard to case. A value loses its surrounding blanks, then one pair of matching surrounding
// quotes (' or "). The file is UTF-8 (a leading byte-order mark is skipped); lines may end in LF
// or CR LF. The first matching section and key win. Stateless and thread-safe; concurrent
// writers to one file are not coordinated (the last rename wins).
#pragma once

#include <cstdint>
#include <string>

namespace zelvo {

// Copies the value of aKeyName (or aDefault, without trailing blanks, when the key or the file
// is absent) into aReturned, cut to aSize - 1 characters. Returns the number of characters
// copied.
uint32_t GetPrivateProfileStringW(const std::u16string& aAppName, const std::u16string& aKeyName,
                                  const std::u16string& aDefault, std::u16string& aReturned,
                                  uint32_t aSize, const std::u16string& aFileName);

// Sets aKeyName to aString, creating the file, the section or the key as needed and keeping
// every other line. The file is replaced atomically. Returns false when it cannot be written.
bool WritePrivateProfileStringW(const std::u16string& aAppName, const std::u16string& aKeyName,
                                const std::u16string& aString, const std::u16string& aFileName);

} // namespace zelvo
