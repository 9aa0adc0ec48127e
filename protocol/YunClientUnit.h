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
// An object belongs to the thread that made it; it has no locks.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "common/Streams.h"
#include "platform/TcpSocket.h"
#include "protocol/WireFormat.h"

namespace zelvo {

// The outcome of a change command, from the exchange to whoever reports it.
enum class TCommandResult {
  Done,    // confirmed, or delivered to a server that sends no confirmation
  Refused, // the server answered with an error text
  Full,    // refused because the server's disk is full ("refused (disk full)")
  Failed   // not delivered: no connection, a send or read failure, a reset, a time-out, a
           // close without the confirmation a confirming server owes, the server busy
};

class TYunClient {
public:
  // Keeps the low 16 bits of aServerPort; aTimeOut (ms) is both the connect and the read
  // time-out, 0 or -1 meaning no limit of our own. aConfirms: the server confirms every change
  // it carried out (it said so at login). Makes no connection.
  TYunClient(std::u16string aServerHost, int32_t aServerPort, int32_t aTimeOut,
             bool aConfirms = false);
  TYunClient(const TYunClient&) = delete;
  TYunClient& operator=(const TYunClient&) = delete;
  ~TYunClient() = default;

  // Sends the request line and reads the confirmation; true when done.
  bool DoCommand(const std::u16string& aCmd);
  TCommandResult Command(const std::u16string& aCmd);
  // Reads a listing block; its data is copied to the start of aBuf, which is enlarged to the
  // count when shorter and never shortened. A count of 0 or below leaves aBuf as it was.
  bool DoCommand(const std::u16string& aCmd, std::vector<uint8_t>& aBuf);
  // The same listing block written to aRecords as it arrives (nothing written for a count of 0
  // or below), so a big folder never needs its whole reply in memory.
  bool ReceiveListing(const std::u16string& aCmd, TStream& aRecords);
  // Reads a size-prefixed block into aStream at its position; afterwards the stream ends with
  // the last byte received, whether the read succeeded or not.
  bool DoCommand(const std::u16string& aCmd, TStream& aStream);
  // Reads a text reply; on success aList holds its lines, on failure it is untouched.
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
  // "GET " + aFileName; aStream ends up holding exactly the received content.
  bool GetFile(TStream& aStream, const std::u16string& aFileName);

  static constexpr int64_t kPieceSize = 32768;      // what one send carries
  static constexpr int64_t kReceivePiece = 1 << 20; // what one receive may take
  static constexpr size_t kMaxLineBytes = 16384;

private:
  bool ConnectAndSend(const std::u16string& aCmd);
  TCommandResult ReadConfirmation();
  bool ReceiveExact(void* aBuffer, size_t aCount);
  bool ReceiveBlock(TStream& aStream);
  bool ReceiveCounted(TStream& aStream, int64_t aCount);
  bool ReceiveUntilClose(TStream& aStream);

  std::u16string FHost;
  uint16_t FPort;
  int32_t FConnectTimeOut;
  int32_t FReadTimeOut;
  TTcpSocket FSocket;
  std::u16string FRefusal;
  std::u16string FConfirmation;
  bool FConfirms = false;
};

// A refusal that says "not now" (the server is busy, or this address has all its connections):
// the command may succeed later, so it counts as not delivered.
bool IsPassingRefusal(std::u16string_view aText);

} // namespace zelvo
