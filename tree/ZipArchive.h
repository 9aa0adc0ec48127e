// Reading zip archives: the end-of-central-directory record (with its ZIP64 forms), the central
// directory and the entries' data, inflated with zlib (method 8) or copied (method 0).
//
// Every offset and length read from the archive is checked against the source's size before it
// is used, so a damaged or hostile archive gives an error, never a crash or a read outside the
// source. An extraction writes at most the entry's uncompressed size recorded in the central
// directory and checks the data against the recorded CRC-32.
// The central directory is read at construction; Extract may be called from several threads at
// once (FReading serialises them: they share the source's position). A source read by range
// (Remote) is read without the tree's lock.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/Streams.h"

namespace zelvo {

class EZipError : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

struct TZipEntryInfo {
  std::u16string FName; // as stored, "/" between parts; a folder entry ends in "/"
  uint16_t FFlags = 0;
  uint16_t FMethod = 0;
  uint32_t FCrc32 = 0;
  uint64_t FCompressedSize = 0;
  uint64_t FUncompressedSize = 0;
  uint64_t FLocalHeaderOffset = 0;
  bool IsFolder() const { return !FName.empty() && FName.back() == u'/'; }
  bool IsEncrypted() const { return (FFlags & 1) != 0; }
};

class TEntryWriter;

class TZipArchive {
public:
  // Reads the central directory of aSource, which the archive keeps. Raises EZipError when
  // aSource is not a readable zip archive.
  explicit TZipArchive(std::unique_ptr<TStream> aSource, bool aRemote = false);
  // Read from the server by range (its entries are extracted without the tree's lock).
  bool Remote() const { return FRemote; }

  const std::vector<TZipEntryInfo>& Entries() const { return FEntries; }
  // Writes the content of entry aIndex into aOut from its position. Raises EZipError:
  // "Invalid Zip Local Header signature", encrypted entries, methods other than 0 and 8,
  // damaged data (too short, too long or a wrong CRC-32).
  void Extract(size_t aIndex, TStream& aOut);

private:
  bool CopyStored(uint64_t aAt, uint64_t aSize, TEntryWriter& aWriter);
  bool Inflate(uint64_t aAt, uint64_t aSize, TEntryWriter& aWriter);
  void ReadCentralDirectory(uint64_t aOffset, uint64_t aSize, uint64_t aCount);
  std::vector<uint8_t> ReadAt(uint64_t aOffset, uint64_t aCount);

  std::unique_ptr<TStream> FSource;
  const bool FRemote;
  std::mutex FReading; // held by each Extract
  uint64_t FSourceSize = 0;
  std::vector<TZipEntryInfo> FEntries;
};

} // namespace zelvo
