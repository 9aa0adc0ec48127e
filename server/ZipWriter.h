// Writes small zip archives in memory (stored or deflated entries), for the demo data and for
// tests, which also use the options that make unusual archives.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace zelvo::server {

struct TZipEntry {
  std::string FName; // name bytes, "/" between parts; a name ending in "/" is a folder entry
  std::string FData;
  bool FDeflate = true;
  bool FUtf8Flag = true;        // the language-encoding flag (bit 11)
  bool FDataDescriptor = false; // bit 3: zero sizes in the local header, a trailing descriptor
  uint16_t FExtraFlags = 0;     // more flag bits, as they are
  int FMethod = -1;             // a method number to write instead of the real one
};

// aZip64: every size and offset goes into ZIP64 extra fields and end records.
std::string MakeZip(const std::vector<TZipEntry>& aEntries, bool aZip64 = false);

} // namespace zelvo::server
