// Seekable byte streams: the content of a transfer or of a cache file.
//
// A stream has a size and a position; reads and writes start at the position and advance it.
// Writing past the end extends the stream (a gap reads as zero bytes). Read and Write return the
// number of bytes moved, which is short only at the end of the data or on an I/O error; SetSize
// returns false when the storage refused. A stream belongs to one thread at a time.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace zelvo {

class TStream {
public:
  TStream() = default;
  TStream(const TStream&) = delete;
  TStream& operator=(const TStream&) = delete;
  virtual ~TStream() = default;

  virtual int64_t GetSize() const = 0;
  virtual bool SetSize(int64_t aSize) = 0;
  virtual int64_t Read(void* aBuffer, int64_t aCount) = 0;
  virtual int64_t Write(const void* aBuffer, int64_t aCount) = 0;

  // Called before a transfer of known length ends at aSize. A file stream takes its final size
  // at once; a memory stream grows only as bytes arrive, so an announced length that never
  // comes costs nothing.
  virtual bool PrepareSize(int64_t aSize) = 0;

  int64_t GetPosition() const { return FPosition; }
  void SetPosition(int64_t aPosition) { FPosition = aPosition < 0 ? 0 : aPosition; }

protected:
  int64_t FPosition = 0;
};

// Writes aCount bytes of aBuffer to aFd at aOffset (pwrite until done, again after EINTR); the
// count written, fewer when the file could take no more (a full disk) or failed.
int64_t WriteAt(int aFd, const void* aBuffer, int64_t aCount, int64_t aOffset);

class TMemoryStream final : public TStream {
public:
  TMemoryStream() = default;
  explicit TMemoryStream(std::vector<uint8_t> aData) : FData(std::move(aData)) {}

  int64_t GetSize() const override { return static_cast<int64_t>(FData.size()); }
  bool SetSize(int64_t aSize) override;
  int64_t Read(void* aBuffer, int64_t aCount) override;
  int64_t Write(const void* aBuffer, int64_t aCount) override;
  bool PrepareSize(int64_t) override { return true; }

  const std::vector<uint8_t>& Data() const { return FData; }
  std::string Text() const { return std::string(FData.begin(), FData.end()); }

private:
  std::vector<uint8_t> FData;
};

// Raised when a file stream cannot be made: "Cannot create file "%s". %s" or
// "Cannot open file "%s". %s", the second placeholder being the system's reason.
class EFileStreamError : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

class TFileStream final : public TStream {
public:
  enum class TMode {
    Create,   // create or empty, read and write
    OpenRead, // existing file, read only
    OpenReadWrite
  };
  // aFileName is a local path (UTF-16, "/" separators). Throws EFileStreamError.
  TFileStream(const std::u16string& aFileName, TMode aMode);
  ~TFileStream() override;

  int64_t GetSize() const override;
  bool SetSize(int64_t aSize) override;
  int64_t Read(void* aBuffer, int64_t aCount) override;
  int64_t Write(const void* aBuffer, int64_t aCount) override;
  bool PrepareSize(int64_t aSize) override { return SetSize(aSize); }
  // Reads at aOffset without the stream's position: safe from several threads at once.
  int64_t ReadAt(void* aBuffer, int64_t aCount, int64_t aOffset) const;

private:
  int FFd = -1;
};

} // namespace zelvo
