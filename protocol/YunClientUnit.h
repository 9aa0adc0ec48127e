// The client side of the command protocol.
//
// TYunClient carries exactly one exchange on its own TCP connection: create it with the host,
// the port and the time-out, call one operation, destroy it. Every operation connects first,
// sends one request line, reads at most one reply and returns false on any failure (empty host,
// port 0, resolution, connect, send, time-out, early close); nothing raises, nothing is retried,
// nothing is reported. Destruction ends the sending direction and closes the socket.
//
// Change commands (PUT, MKDIR, DELETE, MOVE, CHGPSW) read the server's confirmation after the
// last byte: a text reply whose first line is "OK" (done; after a PUT it may carry the stored
// version, ServerVersion.h) or a short error text (refused; "refused (busy)" and the like, which
// say "not now" rather than "never", count as not delivered). What a close without a reply means
// depends on the server: one that announced at login that it confirms changes
// (aConfirms) has not carried the command out, so it is a failure; for an older server,
// an orderly close after the whole request was sent counts as delivered. A reset is a failure
// either way (the server died, or refused the connection unread). No answer within the read
// time-out is a failure. Waiting for the answer also makes commands sent one after another take
// effect in that order (a PUT before the MOVE of the same file). Sending has the same time-out
// as reading, so a server that stops reading fails the exchange instead of holding it forever.
// A command text holding CR or LF is never sent (the server would read another request): the
// exchange fails at once.
//
// Beyond each wait's time-out, a whole exchange is held to a pace: once a grace of 10 s has
// passed, it fails as soon as its average rate (bytes sent and received since the connect) falls
// below 4 KiB/s, so a server dribbling a byte now and then cannot hold a reader, a listing or the
// mount for ever; a real transfer on a slow campus link (64 KiB/s is normal there) is far above
// it. A text reply or listing (LOGIN, GLIST, ULIST, LIST) also ends within three read time-outs.
// What a reply may carry is bounded (ReplyReader.h). A client given an exchange group ends at
// once when the group is cancelled.
// An object belongs to the thread that made it; it has no locks.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "common/Streams.h"
#include "platform/TcpSocket.h"
#include "protocol/ExchangeGroup.h"
#include "protocol/ReplyReader.h"
#include "protocol/WireFormat.h"

namespace zelvo {

class TYunClient final : private TByteSource {
public:
  // Keeps the low 16 bits of aServerPort; aTimeOut (ms) is both the connect and the read
  // time-out, 0 or -1 meaning no limit of our own. aConfirms: the server confirms every change
  // it carried out (it said so at login). Makes no connection.
  TYunClient(std::u16string aServerHost, int32_t aServerPort, int32_t aTimeOut,
             bool aConfirms = false, std::shared_ptr<TExchangeGroup> aGroup = {});
  TYunClient(const TYunClient&) = delete;
  TYunClient& operator=(const TYunClient&) = delete;
  ~TYunClient() override = default;

  // The local IPv4 address the connection leaves from (a machine with several; load tools that
  // play many campus computers); empty, the default, lets the system choose.
  void LeaveFrom(const std::string& aAddress) { FSocket.LeaveFrom(aAddress); }

  // Sends the request line and reads the confirmation; true when done.
  bool DoCommand(const std::u16string& aCmd);
  TCommandResult Command(const std::u16string& aCmd);
  // Reads a listing block; its data is copied to the start of aBuf, which is enlarged to the
  // count when shorter and never shortened. A count of 0 or below leaves aBuf as it was.
  bool DoCommand(const std::u16string& aCmd, std::vector<uint8_t>& aBuf);
  // The same listing block written to aRecords as it arrives (nothing written for a count of 0
  // or below), so a big folder never needs its whole reply in memory.
  bool ReceiveListing(const std::u16string& aCmd, TStream& aRecords);
  // Reads a size-prefixed block into aStream at its position, within aBounds; afterwards the
  // stream ends with the last byte received, whether the read succeeded or not.
  bool DoCommand(const std::u16string& aCmd, TStream& aStream,
                 const TBlockBounds& aBounds = DownloadBounds(-1));
  // Reads a text reply (at most kMaxTextReply bytes); on success aList holds its lines, on
  // failure it is untouched.
  bool DoCommand(const std::u16string& aCmd, TStringList& aList);
  // Reads one CR LF terminated UTF-8 line (at most 16,384 bytes). A read time-out gives true
  // with an empty text.
  bool DoCommand(const std::u16string& aCmd, std::u16string& aBuf);

  // "PUT " + aFileName, then the whole stream as a size-prefixed block; true when done.
  bool PutFile(TStream& aStream, const std::u16string& aFileName);
  TCommandResult Put(TStream& aStream, const std::u16string& aFileName);
  // The server's error text after a refusal.
  const std::u16string& RefusalText() const { return FRefusal; }
  // The first line of the server's "OK" after a confirmed change (empty when none came).
  const std::u16string& ConfirmationLine() const { return FConfirmation; }
  // "GET " + aFileName; aStream ends up holding exactly the received content. aListedSize: the
  // size the file's listing gave (-1 when none), which bounds what is read (ReplyReader.h).
  bool GetFile(TStream& aStream, const std::u16string& aFileName, int64_t aListedSize = -1);
  // After a failed exchange: the reply broke its bounds (the server's answer is invalid, not
  // missing).
  bool InvalidReply() const { return FFault == TReplyFault::Oversized; }

  static constexpr int64_t kPieceSize = 32768; // what one send carries
  static constexpr size_t kMaxLineBytes = 16384;
  // The pace every exchange keeps (see above).
  static constexpr int64_t kRateFloor = 4096; // bytes per second
  static constexpr std::chrono::seconds kRateGrace{10};
  static constexpr int kWholeReplyTimeOuts = 3;

private:
  using TClock = std::chrono::steady_clock;

  bool ConnectAndSend(const std::u16string& aCmd);
  // The reply must be whole within kWholeReplyTimeOuts time-outs of now.
  void LimitWholeReply();
  TReceiveStatus Receive(void* aBuffer, size_t aCapacity, size_t& aGot) override;
  bool Send(const void* aData, size_t aCount);
  // When the exchange would fall below its pace with aMoved bytes moved, or pass its deadline.
  TClock::time_point PaceLimit(int64_t aMoved) const;
  bool Failed(TReplyFault aFault);

  std::u16string FHost;
  uint16_t FPort;
  int32_t FConnectTimeOut;
  int32_t FReadTimeOut;
  TTcpSocket FSocket;
  std::u16string FRefusal;
  std::u16string FConfirmation;
  bool FConfirms = false;
  std::shared_ptr<TExchangeGroup> FGroup;
  TClock::time_point FStarted{};
  TClock::time_point FDeadline = TClock::time_point::max();
  int64_t FMoved = 0; // bytes sent and received
  TReplyFault FFault = TReplyFault::None;
};

} // namespace zelvo
