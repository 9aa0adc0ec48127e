// make-zip OUT ENTRIES ENTRY_KIB: a zip archive of ENTRIES stored entries of ENTRY_KIB random
// kibibytes each (in the folder "课件/"), for the benchmarks of zip folders.
#include <cstdlib>
#include <fstream>
#include <random>

#include "server/ZipWriter.h"

int main(int argc, char** argv) {
  if (argc != 4) return 2;
  const int FEntries = std::atoi(argv[2]);
  const size_t FSize = std::strtoul(argv[3], nullptr, 10) * 1024;
  std::mt19937 FRandom(1);
  std::vector<zelvo::server::TZipEntry> FZip;
  for (int i = 0; i < FEntries; ++i) {
    std::string FData(FSize, '\0');
    for (auto& FByte : FData)
      FByte = static_cast<char>(FRandom());
    FZip.push_back({"课件/" + std::to_string(i) + ".bin", std::move(FData), false});
  }
  std::ofstream(argv[1], std::ios::binary) << zelvo::server::MakeZip(FZip, true);
  return 0;
}
