// The settings: four keys in the section "Setup" of HomeDir + "setup.ini", loaded once per
// start by LoadSetup on the window thread, before any server is contacted.
//
// Errors: reading never fails (absent file, key or number gives the default); a write that
// fails raises EIniFileException "Unable to write to <path>", which leaves LoadSetup at once.
#pragma once

#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace zelvo {

class EIniFileException : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

// An initialisation file read and written through the private-profile functions.
class TIniFile {
public:
  explicit TIniFile(std::u16string aFileName) : FFileName(std::move(aFileName)) {}

  // At most 2047 characters arrive; a present but empty value gives the empty text.
  std::u16string ReadString(const std::u16string& aSection, const std::u16string& aIdent,
                            const std::u16string& aDefault) const;
  int32_t ReadInteger(const std::u16string& aSection, const std::u16string& aIdent,
                      int32_t aDefault) const;
  bool ReadBool(const std::u16string& aSection, const std::u16string& aIdent, bool aDefault) const;
  void WriteString(const std::u16string& aSection, const std::u16string& aIdent,
                   const std::u16string& aValue);
  void WriteBool(const std::u16string& aSection, const std::u16string& aIdent, bool aValue);

  const std::u16string& FileName() const { return FFileName; }

private:
  std::u16string FFileName;
};

// "0x" + hexadecimal digits (longer than two characters) or a decimal whole number that fits
// 32 bits; anything else gives aDefault.
int32_t ParseIniInteger(std::u16string_view aText, int32_t aDefault);

// Steps of the load that belong to other subsystems. Empty hooks are skipped.
struct TSetupHooks {
  std::function<void(TIniFile&)> FirstRunSetup; // runs while "SysInited" is not set
  std::function<void()> StartDriverService;     // runs at every start
};
TSetupHooks& SetupHooks();

inline constexpr char16_t kSetupSection[] = u"Setup";

// Loads ServerHost, ServerPort, ClientTimeOut; runs the first-run setup when due, then the
// driver service start; sets CacheDir (LocalCacheDir) and creates the folder, private to its user
// (its success is not tested).
void LoadSetup();

} // namespace zelvo
