// Writes small zip archives in memory (stored or deflated entries, UTF-8 names), for the demo
// data and for tests.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace zelvo::server {

struct TZipEntry {
  std::string FName; // "/" between parts; a name ending in "/" is a folder entry
  std::string FData;
  bool FDeflate = true;
};

std::string MakeZip(const std::vector<TZipEntry>& aEntries);

} // namespace zelvo::server
