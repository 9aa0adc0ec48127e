// Ranged reads: part of a file without fetching it whole.
//
// A server that serves them adds kRangesLine to its LOGIN reply (after kConfirmsLine); a client
// that did not see it never sends the command. "GETRANGE <offset> <length> <full name>" is
// answered like a GET, with one size-prefixed block, or a close when the file cannot be read.
// The block holds the file's version as a PUT's confirmation gives it ("OK <size> <time>",
// ServerVersion.h), CR LF, and then the file's bytes from the offset: the length asked for, or
// fewer at the file's end. A client that sees another version than it expected knows the file
// changed. At most kMaxRangeLength bytes are asked for or sent at once.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "protocol/ServerVersion.h"
#include "protocol/YunClientUnit.h"

namespace zelvo {

inline constexpr std::u16string_view kRangesLine = u"RANGES 1";
inline constexpr int64_t kMaxRangeLength = int64_t{16} << 20;

struct TRangeReply {
  TServerVersion FVersion;
  std::string FBytes;
};

// The server's block for aBytes of a file of aVersion.
std::string RangeReplyText(const TServerVersion& aVersion, std::string_view aBytes);
// None when aBlock is not a range reply.
std::optional<TRangeReply> ParseRangeReply(std::string_view aBlock);

// One GETRANGE on aClient; false when the exchange failed or the reply was not a range reply
// (or carried more than asked for).
bool GetRange(TYunClient& aClient, const std::u16string& aFullName, int64_t aOffset,
              int64_t aLength, TRangeReply& aReply);

} // namespace zelvo
