// What a mount asks of its server, each exchange one call that returns its outcome: the one
// interface between the drives and the network, so that a test can hand in a server that
// refuses, stalls or answers on demand.
//
// Threads: any; each call makes its own connection (a server answers one exchange per
// connection), so calls run side by side. A call may take up to the mount's time-out per wait;
// nobody calls one while holding the tree's lock.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "common/Streams.h"
#include "protocol/RangedRead.h"
#include "protocol/ServerVersion.h"
#include "protocol/YunClientUnit.h"
#include "tree/MountConfig.h"

namespace zelvo {

// The outcome of a GET.
enum class TGetResult {
  Done,
  Failed,   // no answer, or not all of it
  Disagreed // the reply broke the bounds of the listed size: the listing is out of date or wrong
};

// What a server said besides the outcome of a change.
struct TChangeAnswer {
  std::optional<TServerVersion> FStored; // after a PUT: the version it now holds, when it says
  std::u16string FRefusal;               // its error text, when it refused
};

class TRemote {
public:
  virtual ~TRemote() = default;
  // LIST of a folder; its records are written to aRecords as they arrive.
  virtual bool List(const std::u16string& aFolder, TStream& aRecords) = 0;
  // GET of a file into aContent; aListedSize (the size its listing gave, -1 when none) bounds
  // what is taken (a reply that disagrees with it fails).
  virtual TGetResult Get(const std::u16string& aFile, int64_t aListedSize, TStream& aContent) = 0;
  // Whether GetRange may be asked (the server announced ranged reads).
  virtual bool ServesRanges() const { return false; }
  // Part of a file, its bytes handed to aTarget as they arrive (RangedRead.h).
  virtual TRangeResult GetRange(const TRangeAsk& /*aAsk*/, const TRangeTarget& /*aTarget*/,
                                TRangeReply& /*aReply*/) {
    return TRangeResult::Failed;
  }
  // PUT of aContent under aFile.
  virtual TCommandResult Put(TStream& aContent, const std::u16string& aFile,
                             TChangeAnswer& aAnswer) = 0;
  // A change command (MKDIR, DELETE, MOVE) as its request text.
  virtual TCommandResult Command(const std::u16string& aCommand, TChangeAnswer& aAnswer) = 0;
  // The server's entry of one file (none when it has no such file); false when not answered.
  virtual bool AskVersion(const std::u16string& aFile, std::optional<TServerVersion>& aVersion) = 0;
  // Ends every exchange under way at once, as a failure, and fails every later one (the mount
  // is going); final.
  virtual void CancelAll() {}
};

// The mount's server, one TYunClient per call, all of one exchange group.
std::shared_ptr<TRemote> ServerRemote(const TMountConfig& aConfig);

} // namespace zelvo
