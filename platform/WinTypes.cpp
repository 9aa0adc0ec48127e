#include "platform/WinTypes.h"

namespace zelvo {
namespace {

class TWriter {
public:
  explicit TWriter(TFindDataBytes& aBytes) : FBytes(aBytes) {}
  void U32(uint32_t aValue) {
    for (int i = 0; i < 4; ++i)
      FBytes[FAt++] = static_cast<uint8_t>(aValue >> (8 * i));
  }
  void Time(FILETIME aTime) {
    U32(aTime.dwLowDateTime);
    U32(aTime.dwHighDateTime);
  }
  template <size_t N>
  void Text(const std::array<char16_t, N>& aText) {
    for (const char16_t FUnit : aText) {
      FBytes[FAt++] = static_cast<uint8_t>(FUnit);
      FBytes[FAt++] = static_cast<uint8_t>(FUnit >> 8);
    }
  }

private:
  TFindDataBytes& FBytes;
  size_t FAt = 0;
};

class TReader {
public:
  explicit TReader(const uint8_t* aBytes) : FBytes(aBytes) {}
  uint32_t U32() {
    uint32_t FValue = 0;
    for (int i = 0; i < 4; ++i)
      FValue |= uint32_t{FBytes[FAt++]} << (8 * i);
    return FValue;
  }
  FILETIME Time() {
    const uint32_t FLow = U32();
    return {FLow, U32()};
  }
  template <size_t N>
  void Text(std::array<char16_t, N>& aText) {
    for (auto& FUnit : aText) {
      FUnit = static_cast<char16_t>(FBytes[FAt] | FBytes[FAt + 1] << 8);
      FAt += 2;
    }
  }

private:
  const uint8_t* FBytes;
  size_t FAt = 0;
};

} // namespace

TFindDataBytes EncodeFindData(const WIN32_FIND_DATAW& aData) {
  TFindDataBytes FBytes{};
  TWriter FWriter(FBytes);
  FWriter.U32(aData.dwFileAttributes);
  FWriter.Time(aData.ftCreationTime);
  FWriter.Time(aData.ftLastAccessTime);
  FWriter.Time(aData.ftLastWriteTime);
  FWriter.U32(aData.nFileSizeHigh);
  FWriter.U32(aData.nFileSizeLow);
  FWriter.U32(aData.dwReserved0);
  FWriter.U32(aData.dwReserved1);
  FWriter.Text(aData.cFileName);
  FWriter.Text(aData.cAlternateFileName);
  return FBytes;
}

WIN32_FIND_DATAW DecodeFindData(const uint8_t* aBytes) {
  WIN32_FIND_DATAW FData;
  TReader FReader(aBytes);
  FData.dwFileAttributes = FReader.U32();
  FData.ftCreationTime = FReader.Time();
  FData.ftLastAccessTime = FReader.Time();
  FData.ftLastWriteTime = FReader.Time();
  FData.nFileSizeHigh = FReader.U32();
  FData.nFileSizeLow = FReader.U32();
  FData.dwReserved0 = FReader.U32();
  FData.dwReserved1 = FReader.U32();
  FReader.Text(FData.cFileName);
  FReader.Text(FData.cAlternateFileName);
  return FData;
}

} // namespace zelvo
