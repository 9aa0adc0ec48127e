#include "server/ZipWriter.h"

#include <stdexcept>
#include <zlib.h>

namespace zelvo::server {
namespace {

constexpr uint16_t kUtf8NamesFlag = 0x0800;

void Put16(std::string& aOut, uint32_t aValue) {
  aOut += static_cast<char>(aValue & 0xFF);
  aOut += static_cast<char>((aValue >> 8) & 0xFF);
}

void Put32(std::string& aOut, uint32_t aValue) {
  Put16(aOut, aValue & 0xFFFF);
  Put16(aOut, aValue >> 16);
}

std::string RawDeflate(const std::string& aData) {
  z_stream FStream{};
  if (deflateInit2(&FStream, Z_BEST_COMPRESSION, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK)
    throw std::runtime_error("deflate unavailable");
  std::string FOut(deflateBound(&FStream, aData.size()), '\0');
  FStream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(aData.data()));
  FStream.avail_in = static_cast<uInt>(aData.size());
  FStream.next_out = reinterpret_cast<Bytef*>(FOut.data());
  FStream.avail_out = static_cast<uInt>(FOut.size());
  const int FResult = deflate(&FStream, Z_FINISH);
  FOut.resize(FStream.total_out);
  deflateEnd(&FStream);
  if (FResult != Z_STREAM_END) throw std::runtime_error("deflate failed");
  return FOut;
}

} // namespace

std::string MakeZip(const std::vector<TZipEntry>& aEntries) {
  std::string FArchive;
  std::string FDirectory;
  for (const auto& FEntry : aEntries) {
    const bool FDeflate = FEntry.FDeflate && !FEntry.FData.empty();
    const std::string FStored = FDeflate ? RawDeflate(FEntry.FData) : FEntry.FData;
    const auto FCrc = static_cast<uint32_t>(
        crc32(0, reinterpret_cast<const Bytef*>(FEntry.FData.data()), FEntry.FData.size()));
    const auto FOffset = static_cast<uint32_t>(FArchive.size());
    std::string FCommon;
    Put16(FCommon, 20);               // version needed
    Put16(FCommon, kUtf8NamesFlag);   // flags
    Put16(FCommon, FDeflate ? 8 : 0); // method
    Put16(FCommon, 0);                // time
    Put16(FCommon, 0x21);             // date: 1980-01-01
    Put32(FCommon, FCrc);
    Put32(FCommon, static_cast<uint32_t>(FStored.size()));
    Put32(FCommon, static_cast<uint32_t>(FEntry.FData.size()));
    Put16(FCommon, static_cast<uint32_t>(FEntry.FName.size()));
    Put16(FCommon, 0); // extra length

    Put32(FArchive, 0x04034b50);
    FArchive += FCommon + FEntry.FName + FStored;

    Put32(FDirectory, 0x02014b50);
    Put16(FDirectory, 20); // version made by
    FDirectory += FCommon;
    Put16(FDirectory, 0); // comment length
    Put16(FDirectory, 0); // disk
    Put16(FDirectory, 0); // internal attributes
    Put32(FDirectory, FEntry.FName.ends_with('/') ? 0x10 : 0);
    Put32(FDirectory, FOffset);
    FDirectory += FEntry.FName;
  }
  const auto FDirectoryOffset = static_cast<uint32_t>(FArchive.size());
  FArchive += FDirectory;
  Put32(FArchive, 0x06054b50);
  Put16(FArchive, 0);
  Put16(FArchive, 0);
  Put16(FArchive, static_cast<uint32_t>(aEntries.size()));
  Put16(FArchive, static_cast<uint32_t>(aEntries.size()));
  Put32(FArchive, static_cast<uint32_t>(FDirectory.size()));
  Put32(FArchive, FDirectoryOffset);
  Put16(FArchive, 0);
  return FArchive;
}

} // namespace zelvo::server
