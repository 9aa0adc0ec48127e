// Ranged reads: part of a file without fetching it whole.
//
// A server that serves them adds kRangesLine to its LOGIN reply (after kConfirmsLine); a client
// that did not see it never sends the command. "GETRANGE <offset> <length> <full name>" is
// answered like a GET, with one size-prefixed block, or a close when the file cannot be read.
// The block holds the file's version as a PUT's confirmation gives it ("OK <size> <time>",
// ServerVersion.h), CR LF, and then the file's bytes from the offset: the length asked for, or
// fewer at the file's end. A client that sees another version than it expected knows the file
// changed. At most kMaxRangeLength bytes are asked for or sent at once.
//
// The bytes go from the server's file to the client's target as they arrive (neither side holds
// a range in memory), and only once the version before them was the one expected.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "protocol/ServerVersion.h"
#include "protocol/YunClientUnit.h"

namespace zelvo {

inline constexpr std::u16string_view kRangesLine = u"RANGES 1";
inline constexpr int64_t kMaxRangeLength = int64_t{16} << 20;

// The server's block up to the bytes, for a file of aVersion.
std::string RangeReplyHead(const TServerVersion& aVersion);

struct TRangeAsk {
  std::u16string FFullName;
  int64_t FOffset = 0;
  int64_t FLength = 0;
  // The version the caller's other bytes of the file belong to; none: any version will do.
  std::optional<TServerVersion> FExpected;
};

// Takes the next bytes of a range, in order; false stops the exchange as a failure.
using TRangeTarget = std::function<bool(std::string_view aBytes)>;

enum class TRangeResult {
  Done,         // the bytes (fewer at the file's end) went to the target
  OtherVersion, // the server holds another version than expected: no byte went to the target
  Failed        // not answered, not a range reply, more than asked for, or the target refused
};

struct TRangeReply {
  std::optional<TServerVersion> FVersion; // as the server gave it, once its line arrived
  int64_t FLength = 0;                    // the bytes that went to the target
};

// One GETRANGE on aClient.
TRangeResult GetRange(TYunClient& aClient, const TRangeAsk& aAsk, const TRangeTarget& aTarget,
                      TRangeReply& aReply);

} // namespace zelvo
