// libFuzzer target for the settings file reader: any bytes as setup.ini, its keys read as the
// program reads them; then a key written and read back, which must give what was written.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <unistd.h>

#include "common/TextCodec.h"
#include "fuzz/FuzzInput.h"
#include "shell/Settings.h"

namespace {

const std::string& IniPath() {
  static const std::string FPath = [] {
    char FName[] = "/tmp/zelvo-settings-fuzz-XXXXXX";
    const int FFd = ::mkstemp(FName);
    if (FFd >= 0) ::close(FFd);
    return std::string(FName);
  }();
  return FPath;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* aData, size_t aSize) {
  using namespace zelvo;
  {
    std::ofstream FFile(IniPath(), std::ios::binary | std::ios::trunc);
    FFile.write(reinterpret_cast<const char*>(aData), static_cast<std::streamsize>(aSize));
  }
  TIniFile FIni(Utf8ToUtf16(IniPath()));
  for (const char16_t* FKey : {u"ServerHost", u"ServerPort", u"ClientTimeOut", u"CacheDir"}) {
    FIni.ReadString(u"Setup", FKey, u"");
    FIni.ReadInteger(u"Setup", FKey, 0);
    FIni.ReadBool(u"Setup", FKey, false);
  }
  try {
    FIni.WriteString(u"Setup", u"ServerHost", u"10.0.0.1|10.0.0.2");
    if (FIni.ReadString(u"Setup", u"ServerHost", u"") != u"10.0.0.1|10.0.0.2") std::abort();
  } catch (const EIniFileException&) {
  }
  return 0;
}
