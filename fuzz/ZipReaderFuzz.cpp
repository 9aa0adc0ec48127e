// libFuzzer target for the zip reader: any bytes as an archive, every entry extracted.
// Entries that claim more than 1 MiB are skipped to keep each run small; the reader's own
// limits are what is under test.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "tree/ZipArchive.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* aData, size_t aSize) {
  using namespace zelvo;
  try {
    TZipArchive FArchive(
        std::make_unique<TMemoryStream>(std::vector<uint8_t>(aData, aData + aSize)));
    for (size_t i = 0; i < FArchive.Entries().size(); ++i) {
      if (FArchive.Entries()[i].FUncompressedSize > (1u << 20)) continue;
      TMemoryStream FOut;
      try {
        FArchive.Extract(i, FOut);
      } catch (const EZipError&) {
      }
    }
  } catch (const EZipError&) {
  }
  return 0;
}
