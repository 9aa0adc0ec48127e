// Reading a server's replies from a byte source: the framing of blocks, listings and change
// confirmations (WireFormat.h), and the bounds that keep a broken or hostile server from making
// the client store or hold more than the exchange can need.
//
// The bounds, and why:
// - a text reply (LOGIN, GLIST, ULIST, CHGPSW) is at most 1 MiB: the longest real one, a big
//   school's class list, is a few tens of kilobytes;
// - a listing is at most 1,000,000 records: beyond that no drive is usable anyway, and the records
//   alone would be 592 MB;
// - a download carries at most the size its listing gave plus 1 MiB (a file that grew a little
//   since it was listed is still read), and never more than 2 GiB, the largest count the protocol
//   can announce; "until close" carries at most the listed size, as nothing else can be checked;
// - a confirmation is one short text (16 KiB).
// An announced count over its bound fails at once, before anything of it is read or stored.
//
// Pure functions of the source: the socket is one source (TYunClient), a buffer in tests and fuzz
// targets another.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>

#include "common/Streams.h"
#include "platform/TcpSocket.h"
#include "protocol/WireFormat.h"

namespace zelvo {

class TByteSource {
public:
  virtual ~TByteSource() = default;
  // One piece: Data with aGot of at least 1, or how the source ended.
  virtual TReceiveStatus Receive(void* aBuffer, size_t aCapacity, size_t& aGot) = 0;
};

enum class TReplyFault {
  None,     // read whole
  Network,  // the source ended, failed or timed out before the reply was whole
  Oversized // the reply announced or carried more than its bound
};

struct TBlockBounds {
  int64_t FMaxCount;      // the largest count accepted
  int64_t FMaxUntilClose; // what a block "until close" may carry
};

inline constexpr int64_t kMaxTextReply = 1 << 20;
inline constexpr size_t kMaxConfirmationBytes = 16384;
inline constexpr int64_t kMaxListingRecords = 1'000'000;
inline constexpr int64_t kDownloadSlack = 1 << 20;
inline constexpr int64_t kMaxDownload = std::numeric_limits<int32_t>::max();

inline constexpr TBlockBounds kTextBounds{kMaxTextReply, kMaxTextReply};
// aListedSize below 0: nothing was listed (only the protocol's own limit holds).
TBlockBounds DownloadBounds(int64_t aListedSize);

// Exactly aCount bytes; false when the source ended first.
bool ReadExact(TByteSource& aSource, void* aBuffer, size_t aCount);
// A size-prefixed block into aStream at its position; afterwards the stream ends with the last
// byte received, whatever the outcome.
TReplyFault ReadBlock(TByteSource& aSource, TStream& aStream, const TBlockBounds& aBounds);
// A listing block into aRecords, whose PrepareSize hears the announced count first (a count of
// 0 or below carries nothing); a count over aMaxRecords records fails at once.
TReplyFault ReadListing(TByteSource& aSource, TStream& aRecords,
                        int64_t aMaxRecords = kMaxListingRecords);

// The outcome of a change command, from the exchange to whoever reports it.
enum class TCommandResult {
  Done,    // confirmed, or delivered to a server that sends no confirmation
  Refused, // the server answered with an error text
  Full,    // refused because the server's disk is full ("refused (disk full)")
  Failed   // not delivered: no connection, a send or read failure, a reset, a time-out, a
           // close without the confirmation a confirming server owes, the server busy
};

// What a server answered after a change command's last byte.
struct TConfirmationReply {
  enum class TKind {
    Silent, // an orderly close without a word
    Broken, // a reset, a time-out, a failure, a reply cut short or too long
    Text    // a text reply, in FLines
  } FKind = TKind::Broken;
  TStringList FLines;
};

TConfirmationReply ReadConfirmation(TByteSource& aSource);
// What the answer means. aConfirms: the server said at login that it confirms every change.
// aConfirmation receives an "OK" line, aRefusal an error text.
TCommandResult JudgeConfirmation(const TConfirmationReply& aReply, bool aConfirms,
                                 std::u16string& aConfirmation, std::u16string& aRefusal);

// A refusal that says "not now" (the server is busy, or this address has all its connections):
// the command may succeed later, so it counts as not delivered.
bool IsPassingRefusal(std::u16string_view aText);

} // namespace zelvo
