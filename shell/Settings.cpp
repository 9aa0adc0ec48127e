#include "shell/Settings.h"

#include <charconv>

#include "common/Globals.h"
#include "common/LocalFolders.h"
#include "common/TextCodec.h"
#include "platform/PrivateProfile.h"

namespace zelvo {
namespace {

constexpr uint32_t kValueBufferSize = 2048;

} // namespace

std::u16string TIniFile::ReadString(const std::u16string& aSection, const std::u16string& aIdent,
                                    const std::u16string& aDefault) const {
  std::u16string FValue;
  GetPrivateProfileStringW(aSection, aIdent, aDefault, FValue, kValueBufferSize, FFileName);
  return FValue;
}

int32_t TIniFile::ReadInteger(const std::u16string& aSection, const std::u16string& aIdent,
                              int32_t aDefault) const {
  return ParseIniInteger(ReadString(aSection, aIdent, u""), aDefault);
}

bool TIniFile::ReadBool(const std::u16string& aSection, const std::u16string& aIdent,
                        bool aDefault) const {
  return ReadInteger(aSection, aIdent, aDefault ? 1 : 0) != 0;
}

void TIniFile::WriteString(const std::u16string& aSection, const std::u16string& aIdent,
                           const std::u16string& aValue) {
  if (!WritePrivateProfileStringW(aSection, aIdent, aValue, FFileName))
    throw EIniFileException("Unable to write to " + Utf16ToUtf8(FFileName));
}

void TIniFile::WriteBool(const std::u16string& aSection, const std::u16string& aIdent,
                         bool aValue) {
  WriteString(aSection, aIdent, aValue ? u"1" : u"0");
}

int32_t ParseIniInteger(std::u16string_view aText, int32_t aDefault) {
  const std::string FText = Utf16ToUtf8(aText);
  std::string_view FDigits = FText;
  const bool FHex = FDigits.size() > 2 && FDigits[0] == '0' && (FDigits[1] | 0x20) == 'x';
  if (FHex) {
    FDigits.remove_prefix(2);
    uint32_t FValue = 0;
    const auto [FEnd, FError] =
        std::from_chars(FDigits.data(), FDigits.data() + FDigits.size(), FValue, 16);
    if (FError != std::errc{} || FEnd != FDigits.data() + FDigits.size()) return aDefault;
    return static_cast<int32_t>(FValue);
  }
  if (FDigits.starts_with('+')) FDigits.remove_prefix(1);
  int32_t FValue = 0;
  const auto [FEnd, FError] =
      std::from_chars(FDigits.data(), FDigits.data() + FDigits.size(), FValue);
  if (FDigits.empty() || FError != std::errc{} || FEnd != FDigits.data() + FDigits.size())
    return aDefault;
  return FValue;
}

TSetupHooks& SetupHooks() {
  static TSetupHooks FHooks;
  return FHooks;
}

void LoadSetup() {
  {
    TIniFile FIni(HomeDir + u"setup.ini");
    ServerHost = FIni.ReadString(kSetupSection, u"ServerHost", u"127.0.0.1");
    ServerPort = FIni.ReadInteger(kSetupSection, u"ServerPort", kDefaultServerPort);
    ClientTimeOut = FIni.ReadInteger(kSetupSection, u"ClientTimeOut", kDefaultClientTimeOut);
    ListRefreshSeconds = std::max<int32_t>(
        0, FIni.ReadInteger(kSetupSection, u"ListRefreshSeconds", kDefaultListRefreshSeconds));
    if (!FIni.ReadBool(kSetupSection, u"SysInited", false) && SetupHooks().FirstRunSetup)
      SetupHooks().FirstRunSetup(FIni);
  }
  if (SetupHooks().StartDriverService) SetupHooks().StartDriverService();
  CacheDir = LocalCacheDir.empty() ? HomeDir + u"Cache/" : LocalCacheDir;
  MakePrivateFolder(Utf16ToUtf8(CacheDir)); // the folder's failure shows at the first cache file
}

} // namespace zelvo
