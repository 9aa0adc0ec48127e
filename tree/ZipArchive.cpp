#include "tree/ZipArchive.h"

#include <algorithm>
#include <array>
#include <zlib.h>

#include "common/TextCodec.h"

namespace zelvo {
namespace {

constexpr uint32_t kLocalHeaderSignature = 0x04034B50;
constexpr uint32_t kCentralHeaderSignature = 0x02014B50;
constexpr uint32_t kEndSignature = 0x06054B50;
constexpr uint32_t kZip64EndSignature = 0x06064B50;
constexpr uint32_t kZip64LocatorSignature = 0x07064B50;
constexpr uint16_t kZip64ExtraId = 0x0001;
constexpr uint16_t kUtf8NamesFlag = 0x0800;
constexpr size_t kEndSize = 22;
constexpr size_t kZip64LocatorSize = 20;
constexpr size_t kZip64EndSize = 56;
constexpr size_t kCentralHeaderSize = 46;
constexpr size_t kLocalHeaderSize = 30;
constexpr size_t kMaxCommentSize = 0xFFFF;
constexpr size_t kPieceSize = 64 * 1024;

// Little-endian fields of a byte block, every read checked against its end.
class TFields {
public:
  TFields(const std::vector<uint8_t>& aBytes, size_t aAt = 0) : FBytes(aBytes), FAt(aAt) {}
  uint64_t Get(size_t aWidth) {
    if (FAt + aWidth > FBytes.size()) throw EZipError("the zip archive is damaged");
    uint64_t FValue = 0;
    for (size_t i = 0; i < aWidth; ++i)
      FValue |= uint64_t{FBytes[FAt + i]} << (8 * i);
    FAt += aWidth;
    return FValue;
  }
  uint16_t U16() { return static_cast<uint16_t>(Get(2)); }
  uint32_t U32() { return static_cast<uint32_t>(Get(4)); }
  uint64_t U64() { return Get(8); }
  void Skip(size_t aCount) { FAt += aCount; }
  size_t At() const { return FAt; }

private:
  const std::vector<uint8_t>& FBytes;
  size_t FAt;
};

std::u16string DecodeName(const std::string& aBytes, uint16_t aFlags) {
  // Archives made on Chinese Windows carry GBK names without the UTF-8 flag.
  if ((aFlags & kUtf8NamesFlag) != 0 || IsValidUtf8(aBytes)) return Utf8ToUtf16(aBytes);
  return AnsiToUtf16(aBytes);
}

// Applies the ZIP64 extended information of a central header's extra field: each value that
// the fixed header marks 0xFFFFFFFF comes from it, in order.
void ApplyZip64Extra(const std::vector<uint8_t>& aExtra, TZipEntryInfo& aEntry) {
  TFields FExtra(aExtra);
  while (FExtra.At() + 4 <= aExtra.size()) {
    const uint16_t FId = FExtra.U16();
    const uint16_t FSize = FExtra.U16();
    if (FId != kZip64ExtraId) {
      FExtra.Skip(FSize);
      continue;
    }
    if (aEntry.FUncompressedSize == 0xFFFFFFFF) aEntry.FUncompressedSize = FExtra.U64();
    if (aEntry.FCompressedSize == 0xFFFFFFFF) aEntry.FCompressedSize = FExtra.U64();
    if (aEntry.FLocalHeaderOffset == 0xFFFFFFFF) aEntry.FLocalHeaderOffset = FExtra.U64();
    return;
  }
}

class TInflater {
public:
  TInflater() {
    if (inflateInit2(&FStream, -MAX_WBITS) != Z_OK) throw EZipError("inflate unavailable");
  }
  TInflater(const TInflater&) = delete;
  TInflater& operator=(const TInflater&) = delete;
  ~TInflater() { inflateEnd(&FStream); }
  z_stream FStream{};
};

} // namespace

// Feeds decompressed pieces to aOut, never more than aLimit bytes; returns the count written.
class TEntryWriter {
public:
  TEntryWriter(TStream& aOut, uint64_t aLimit) : FOut(aOut), FLimit(aLimit) {}
  void Put(const uint8_t* aData, size_t aCount) {
    if (FWritten + aCount > FLimit) throw EZipError("the zip entry's data is longer than recorded");
    if (FOut.Write(aData, static_cast<int64_t>(aCount)) != static_cast<int64_t>(aCount))
      throw EZipError("the zip entry cannot be written to the cache");
    FCrc = crc32(FCrc, aData, static_cast<uInt>(aCount));
    FWritten += aCount;
  }
  uint64_t Written() const { return FWritten; }
  uint32_t Crc() const { return static_cast<uint32_t>(FCrc); }

private:
  TStream& FOut;
  uint64_t FLimit;
  uint64_t FWritten = 0;
  uLong FCrc = crc32(0, nullptr, 0);
};

TZipArchive::TZipArchive(std::unique_ptr<TStream> aSource, bool aRemote)
    : FSource(std::move(aSource)), FRemote(aRemote) {
  FSourceSize = static_cast<uint64_t>(std::max<int64_t>(0, FSource->GetSize()));
  if (FSourceSize < kEndSize) throw EZipError("not a zip archive");
  const uint64_t FTailSize = std::min<uint64_t>(FSourceSize, kEndSize + kMaxCommentSize);
  const uint64_t FTailStart = FSourceSize - FTailSize;
  const auto FTail = ReadAt(FTailStart, FTailSize);
  for (size_t FAt = FTail.size() - kEndSize + 1; FAt-- > 0;) {
    TFields FEnd(FTail, FAt);
    if (FEnd.U32() != kEndSignature) continue;
    FEnd.Skip(6);
    uint64_t FCount = FEnd.U16();
    uint64_t FSize = FEnd.U32();
    uint64_t FOffset = FEnd.U32();
    const uint64_t FEndOffset = FTailStart + FAt;
    if (FEndOffset >= kZip64LocatorSize) {
      const auto FLocatorBytes = ReadAt(FEndOffset - kZip64LocatorSize, kZip64LocatorSize);
      TFields FLocator(FLocatorBytes);
      if (FLocator.U32() == kZip64LocatorSignature) {
        FLocator.Skip(4);
        const auto FZip64Bytes = ReadAt(FLocator.U64(), kZip64EndSize);
        TFields FZip64(FZip64Bytes);
        if (FZip64.U32() != kZip64EndSignature) throw EZipError("the zip archive is damaged");
        FZip64.Skip(28);
        FCount = FZip64.U64();
        FSize = FZip64.U64();
        FOffset = FZip64.U64();
      }
    }
    ReadCentralDirectory(FOffset, FSize, FCount);
    return;
  }
  throw EZipError("not a zip archive");
}

std::vector<uint8_t> TZipArchive::ReadAt(uint64_t aOffset, uint64_t aCount) {
  if (aOffset > FSourceSize || aCount > FSourceSize - aOffset)
    throw EZipError("the zip archive is damaged");
  std::vector<uint8_t> FBytes(aCount);
  FSource->SetPosition(static_cast<int64_t>(aOffset));
  if (FSource->Read(FBytes.data(), static_cast<int64_t>(aCount)) != static_cast<int64_t>(aCount))
    throw EZipError("the zip archive cannot be read");
  return FBytes;
}

void TZipArchive::ReadCentralDirectory(uint64_t aOffset, uint64_t aSize, uint64_t aCount) {
  const auto FDirectory = ReadAt(aOffset, aSize);
  TFields FFields(FDirectory);
  // Every entry takes at least a fixed header, so a hostile count cannot reserve much.
  FEntries.reserve(std::min<uint64_t>(aCount, aSize / kCentralHeaderSize));
  for (uint64_t i = 0; i < aCount; ++i) {
    if (FFields.U32() != kCentralHeaderSignature) throw EZipError("the zip archive is damaged");
    TZipEntryInfo FEntry;
    FFields.Skip(4);
    FEntry.FFlags = FFields.U16();
    FEntry.FMethod = FFields.U16();
    FFields.Skip(4);
    FEntry.FCrc32 = FFields.U32();
    FEntry.FCompressedSize = FFields.U32();
    FEntry.FUncompressedSize = FFields.U32();
    const size_t FNameSize = FFields.U16();
    const size_t FExtraSize = FFields.U16();
    const size_t FCommentSize = FFields.U16();
    FFields.Skip(8);
    FEntry.FLocalHeaderOffset = FFields.U32();
    const size_t FNameAt = FFields.At();
    if (FNameAt + FNameSize + FExtraSize + FCommentSize > FDirectory.size())
      throw EZipError("the zip archive is damaged");
    FEntry.FName = DecodeName(
        std::string(FDirectory.begin() + FNameAt, FDirectory.begin() + FNameAt + FNameSize),
        FEntry.FFlags);
    ApplyZip64Extra(std::vector<uint8_t>(FDirectory.begin() + FNameAt + FNameSize,
                                         FDirectory.begin() + FNameAt + FNameSize + FExtraSize),
                    FEntry);
    FFields.Skip(FNameSize + FExtraSize + FCommentSize);
    FEntries.push_back(std::move(FEntry));
  }
}

void TZipArchive::Extract(size_t aIndex, TStream& aOut) {
  std::lock_guard FGuard(FReading);
  const TZipEntryInfo& FEntry = FEntries.at(aIndex);
  const auto FHeaderBytes = ReadAt(FEntry.FLocalHeaderOffset, kLocalHeaderSize);
  TFields FHeader(FHeaderBytes);
  if (FHeader.U32() != kLocalHeaderSignature) throw EZipError("Invalid Zip Local Header signature");
  FHeader.Skip(22);
  const uint64_t FDataAt =
      FEntry.FLocalHeaderOffset + kLocalHeaderSize + FHeader.U16() + FHeader.U16();
  if (FEntry.IsEncrypted()) throw EZipError("the zip entry is encrypted and cannot be read");
  if (FEntry.FMethod != 0 && FEntry.FMethod != 8)
    throw EZipError("the zip entry uses compression method " + std::to_string(FEntry.FMethod) +
                    ", which cannot be read");
  if (FDataAt > FSourceSize || FEntry.FCompressedSize > FSourceSize - FDataAt)
    throw EZipError("the zip entry's data is damaged");

  TEntryWriter FWriter(aOut, FEntry.FUncompressedSize);
  const bool FComplete = FEntry.FMethod == 0 ? CopyStored(FDataAt, FEntry.FCompressedSize, FWriter)
                                             : Inflate(FDataAt, FEntry.FCompressedSize, FWriter);
  if (!FComplete || FWriter.Written() != FEntry.FUncompressedSize || FWriter.Crc() != FEntry.FCrc32)
    throw EZipError("the zip entry's data is damaged");
}

bool TZipArchive::CopyStored(uint64_t aAt, uint64_t aSize, TEntryWriter& aWriter) {
  for (uint64_t FDone = 0; FDone < aSize;) {
    const auto FIn = ReadAt(aAt + FDone, std::min<uint64_t>(kPieceSize, aSize - FDone));
    aWriter.Put(FIn.data(), FIn.size());
    FDone += FIn.size();
  }
  return true;
}

// True when the deflate stream ended (an entry without any data counts as ended).
bool TZipArchive::Inflate(uint64_t aAt, uint64_t aSize, TEntryWriter& aWriter) {
  TInflater FInflater;
  z_stream& FZ = FInflater.FStream;
  std::vector<uint8_t> FOut(kPieceSize);
  bool FEnded = aSize == 0;
  for (uint64_t FDone = 0; FDone < aSize && !FEnded;) {
    const auto FIn = ReadAt(aAt + FDone, std::min<uint64_t>(kPieceSize, aSize - FDone));
    FDone += FIn.size();
    FZ.next_in = const_cast<Bytef*>(FIn.data());
    FZ.avail_in = static_cast<uInt>(FIn.size());
    do {
      FZ.next_out = FOut.data();
      FZ.avail_out = static_cast<uInt>(FOut.size());
      const int FResult = inflate(&FZ, Z_NO_FLUSH);
      if (FResult != Z_OK && FResult != Z_STREAM_END && FResult != Z_BUF_ERROR)
        throw EZipError("the zip entry's data is damaged");
      aWriter.Put(FOut.data(), FOut.size() - FZ.avail_out);
      FEnded = FResult == Z_STREAM_END;
      if (FResult == Z_BUF_ERROR) break; // needs more input
    } while (!FEnded && (FZ.avail_in > 0 || FZ.avail_out == 0));
  }
  return FEnded;
}

} // namespace zelvo
