#include "server/ZipWriter.h"

#include <stdexcept>
#include <zlib.h>

namespace zelvo::server {
namespace {

constexpr uint16_t kUtf8NamesFlag = 0x0800;
constexpr uint16_t kDataDescriptorFlag = 0x0008;
constexpr uint32_t kMarker32 = 0xFFFFFFFF;

void Put16(std::string& aOut, uint32_t aValue) {
  aOut += static_cast<char>(aValue & 0xFF);
  aOut += static_cast<char>((aValue >> 8) & 0xFF);
}

void Put32(std::string& aOut, uint32_t aValue) {
  Put16(aOut, aValue & 0xFFFF);
  Put16(aOut, aValue >> 16);
}

void Put64(std::string& aOut, uint64_t aValue) {
  Put32(aOut, static_cast<uint32_t>(aValue));
  Put32(aOut, static_cast<uint32_t>(aValue >> 32));
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

struct TSizes {
  uint32_t FCrc;
  uint64_t FCompressed;
  uint64_t FUncompressed;
};

// The fields a local and a central header share, from the version needed on.
std::string CommonFields(const TZipEntry& aEntry, const TSizes& aSizes, bool aZip64, bool aLocal) {
  const bool FDeflate = aEntry.FDeflate && !aEntry.FData.empty();
  const bool FHideSizes = aLocal && aEntry.FDataDescriptor;
  uint16_t FFlags = aEntry.FExtraFlags;
  if (aEntry.FUtf8Flag) FFlags |= kUtf8NamesFlag;
  if (aEntry.FDataDescriptor) FFlags |= kDataDescriptorFlag;
  std::string FOut;
  Put16(FOut, aZip64 ? 45 : 20);
  Put16(FOut, FFlags);
  Put16(FOut, aEntry.FMethod >= 0 ? aEntry.FMethod : (FDeflate ? 8 : 0));
  Put16(FOut, 0);    // time
  Put16(FOut, 0x21); // date: 1980-01-01
  Put32(FOut, FHideSizes ? 0 : aSizes.FCrc);
  Put32(FOut, FHideSizes ? 0 : aZip64 ? kMarker32 : static_cast<uint32_t>(aSizes.FCompressed));
  Put32(FOut, FHideSizes ? 0 : aZip64 ? kMarker32 : static_cast<uint32_t>(aSizes.FUncompressed));
  Put16(FOut, static_cast<uint32_t>(aEntry.FName.size()));
  return FOut;
}

std::string Zip64Extra(const std::vector<uint64_t>& aValues) {
  std::string FOut;
  Put16(FOut, 0x0001);
  Put16(FOut, static_cast<uint32_t>(8 * aValues.size()));
  for (const uint64_t FValue : aValues)
    Put64(FOut, FValue);
  return FOut;
}

void PutEndRecords(std::string& aArchive, uint64_t aCount, uint64_t aDirectorySize,
                   uint64_t aDirectoryOffset, bool aZip64) {
  if (aZip64) {
    const uint64_t FZip64EndOffset = aArchive.size();
    Put32(aArchive, 0x06064b50);
    Put64(aArchive, 44);
    Put16(aArchive, 45);
    Put16(aArchive, 45);
    Put32(aArchive, 0);
    Put32(aArchive, 0);
    Put64(aArchive, aCount);
    Put64(aArchive, aCount);
    Put64(aArchive, aDirectorySize);
    Put64(aArchive, aDirectoryOffset);
    Put32(aArchive, 0x07064b50);
    Put32(aArchive, 0);
    Put64(aArchive, FZip64EndOffset);
    Put32(aArchive, 1);
  }
  Put32(aArchive, 0x06054b50);
  Put16(aArchive, 0);
  Put16(aArchive, 0);
  Put16(aArchive, aZip64 ? 0xFFFF : static_cast<uint32_t>(aCount));
  Put16(aArchive, aZip64 ? 0xFFFF : static_cast<uint32_t>(aCount));
  Put32(aArchive, aZip64 ? kMarker32 : static_cast<uint32_t>(aDirectorySize));
  Put32(aArchive, aZip64 ? kMarker32 : static_cast<uint32_t>(aDirectoryOffset));
  Put16(aArchive, 0);
}

} // namespace

std::string MakeZip(const std::vector<TZipEntry>& aEntries, bool aZip64) {
  std::string FArchive;
  std::string FDirectory;
  for (const auto& FEntry : aEntries) {
    const bool FDeflate = FEntry.FDeflate && !FEntry.FData.empty();
    const std::string FStored = FDeflate ? RawDeflate(FEntry.FData) : FEntry.FData;
    const TSizes FSizes{
        static_cast<uint32_t>(
            crc32(0, reinterpret_cast<const Bytef*>(FEntry.FData.data()), FEntry.FData.size())),
        FStored.size(), FEntry.FData.size()};
    const uint64_t FOffset = FArchive.size();
    const std::string FLocalExtra =
        aZip64 ? Zip64Extra({FSizes.FUncompressed, FSizes.FCompressed}) : std::string();
    Put32(FArchive, 0x04034b50);
    FArchive += CommonFields(FEntry, FSizes, aZip64, true);
    Put16(FArchive, static_cast<uint32_t>(FLocalExtra.size()));
    FArchive += FEntry.FName + FLocalExtra + FStored;
    if (FEntry.FDataDescriptor) {
      Put32(FArchive, 0x08074b50);
      Put32(FArchive, FSizes.FCrc);
      Put32(FArchive, static_cast<uint32_t>(FSizes.FCompressed));
      Put32(FArchive, static_cast<uint32_t>(FSizes.FUncompressed));
    }
    const std::string FCentralExtra =
        aZip64 ? Zip64Extra({FSizes.FUncompressed, FSizes.FCompressed, FOffset}) : std::string();
    Put32(FDirectory, 0x02014b50);
    Put16(FDirectory, 45); // version made by
    FDirectory += CommonFields(FEntry, FSizes, aZip64, false);
    Put16(FDirectory, static_cast<uint32_t>(FCentralExtra.size()));
    Put16(FDirectory, 0); // comment length
    Put16(FDirectory, 0); // disk
    Put16(FDirectory, 0); // internal attributes
    Put32(FDirectory, FEntry.FName.ends_with('/') ? 0x10 : 0);
    Put32(FDirectory, aZip64 ? kMarker32 : static_cast<uint32_t>(FOffset));
    FDirectory += FEntry.FName + FCentralExtra;
  }
  const uint64_t FDirectoryOffset = FArchive.size();
  FArchive += FDirectory;
  PutEndRecords(FArchive, aEntries.size(), FDirectory.size(), FDirectoryOffset, aZip64);
  return FArchive;
}

} // namespace zelvo::server
