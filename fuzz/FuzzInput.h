// Helpers shared by the fuzz targets: the input as bytes or as UTF-16 units.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace zelvo::fuzz {

inline std::string_view Bytes(const uint8_t* aData, size_t aSize) {
  return {reinterpret_cast<const char*>(aData), aSize};
}

// The input as UTF-16 code units, two bytes each (any unit, unpaired surrogates included).
inline std::u16string Units(std::string_view aBytes) {
  std::u16string FText;
  for (size_t i = 0; i + 1 < aBytes.size(); i += 2)
    FText.push_back(static_cast<char16_t>(static_cast<uint8_t>(aBytes[i]) |
                                          static_cast<uint8_t>(aBytes[i + 1]) << 8));
  return FText;
}

} // namespace zelvo::fuzz
