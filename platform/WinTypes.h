// Windows data types as the program and its server exchange them.
//
// Texts are UTF-16 (char16_t: wchar_t is 32-bit on Linux). WIN32_FIND_DATAW travels as a packed
// 592-byte little-endian record, the element of a LIST reply and of a folder listing.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace zelvo {

struct FILETIME {
  uint32_t dwLowDateTime = 0;
  uint32_t dwHighDateTime = 0;
  bool operator==(const FILETIME&) const = default;
};

inline constexpr uint32_t FILE_ATTRIBUTE_READONLY = 0x1;
inline constexpr uint32_t FILE_ATTRIBUTE_HIDDEN = 0x2;
inline constexpr uint32_t FILE_ATTRIBUTE_SYSTEM = 0x4;
inline constexpr uint32_t FILE_ATTRIBUTE_DIRECTORY = 0x10;
inline constexpr uint32_t FILE_ATTRIBUTE_ARCHIVE = 0x20;
inline constexpr uint32_t FILE_ATTRIBUTE_NORMAL = 0x80;
inline constexpr uint32_t INVALID_FILE_ATTRIBUTES = 0xFFFFFFFF;

inline constexpr size_t MAX_PATH = 260;

struct WIN32_FIND_DATAW {
  uint32_t dwFileAttributes = 0;
  FILETIME ftCreationTime;
  FILETIME ftLastAccessTime;
  FILETIME ftLastWriteTime;
  uint32_t nFileSizeHigh = 0;
  uint32_t nFileSizeLow = 0;
  uint32_t dwReserved0 = 0;
  uint32_t dwReserved1 = 0;
  std::array<char16_t, MAX_PATH> cFileName{};
  std::array<char16_t, 14> cAlternateFileName{};
};

inline constexpr size_t kFindDataSize = 592;
using TFindDataBytes = std::array<uint8_t, kFindDataSize>;

TFindDataBytes EncodeFindData(const WIN32_FIND_DATAW& aData);
// aBytes must hold at least kFindDataSize bytes.
WIN32_FIND_DATAW DecodeFindData(const uint8_t* aBytes);

// The text of a fixed name field up to its first NUL (the whole field when it has none).
template <size_t N>
std::u16string FieldText(const std::array<char16_t, N>& aField) {
  const std::u16string_view FView(aField.data(), N);
  return std::u16string(FView.substr(0, FView.find(u'\0')));
}
// Copies aText into a name field, cut to N - 1 units and ended by NUL.
template <size_t N>
void SetFieldText(std::array<char16_t, N>& aField, std::u16string_view aText) {
  aField.fill(u'\0');
  aText.copy(aField.data(), N - 1);
}

// FILETIME counts 100 ns since 1601-01-01.
inline constexpr int64_t kFileTimeUnixEpoch = 116444736000000000LL;
inline FILETIME FileTimeFromInt(int64_t aValue) {
  const auto FValue = static_cast<uint64_t>(aValue);
  return {static_cast<uint32_t>(FValue), static_cast<uint32_t>(FValue >> 32)};
}
inline int64_t FileTimeToInt(FILETIME aTime) {
  return static_cast<int64_t>(uint64_t{aTime.dwHighDateTime} << 32 | aTime.dwLowDateTime);
}

} // namespace zelvo

namespace zelvo {

// A local calendar time as the clock functions take it.
struct SYSTEMTIME {
  uint16_t wYear = 0;
  uint16_t wMonth = 0;
  uint16_t wDayOfWeek = 0; // 0 = Sunday
  uint16_t wDay = 0;
  uint16_t wHour = 0;
  uint16_t wMinute = 0;
  uint16_t wSecond = 0;
  uint16_t wMilliseconds = 0;
  bool operator==(const SYSTEMTIME&) const = default;
};

} // namespace zelvo
