// The client side of the command protocol.
//
// TYunClient carries exactly one exchange on its own TCP connection: create it with the host,
// the port and the time-out, call one operation, destroy it. Every operation connects first,
// sends one request line, reads at most one reply and returns false on any failure (empty host,
// port 0, resolution, connect, send, time-out, early close); nothing raises, nothing is retried,
// nothing is reported. Destruction ends the sending direction and closes the socket.
//
// Commands without a reply (DoCommand(Cmd), PutFile) wait, after the last byte, for the server
// to close the connection (at most the read time-out), which it does once it has carried the
// command out. Their result is unchanged — true once delivered — but commands sent one after
// another on separate connections then take effect in that order (a PUT before the MOVE of the
// same file, a MOVE before a DELETE).
// An object belongs to the thread that made it; it has no locks.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "common/Streams.h"
#include "platform/TcpSocket.h"
#include "protocol/WireFormat.h"

namespace zelvo {

class TYunClient {
public:
  // Keeps the low 16 bits of aServerPort; aTimeOut (ms) is both the connect and the read
  // time-out, 0 or -1 meaning no limit of our own. Makes no connection.
  TYunClient(std::u16string aServerHost, int32_t aServerPort, int32_t aTimeOut);
  TYunClient(const TYunClient&) = delete;
  TYunClient& operator=(const TYunClient&) = delete;
  ~TYunClient() = default;

  // Sends the request line; reads nothing.
  bool DoCommand(const std::u16string& aCmd);
  // Reads a listing block; its data is copied to the start of aBuf, which is enlarged to the
  // count when shorter and never shortened. A count of 0 or below leaves aBuf as it was.
  bool DoCommand(const std::u16string& aCmd, std::vector<uint8_t>& aBuf);
  // Reads a size-prefixed block into aStream at its position; afterwards the stream ends with
  // the last byte received, whether the read succeeded or not.
  bool DoCommand(const std::u16string& aCmd, TStream& aStream);
  // Reads a text reply; on success aList holds its lines, on failure it is untouched.
  bool DoCommand(const std::u16string& aCmd, TStringList& aList);
  // Reads one CR LF terminated UTF-8 line (at most 16,384 bytes). A read time-out gives true
  // with an empty text.
  bool DoCommand(const std::u16string& aCmd, std::u16string& aBuf);

  // "PUT " + aFileName, then the whole stream as a size-prefixed block.
  bool PutFile(TStream& aStream, const std::u16string& aFileName);
  // "GET " + aFileName; aStream ends up holding exactly the received content.
  bool GetFile(TStream& aStream, const std::u16string& aFileName);

  static constexpr int64_t kPieceSize = 32768;
  static constexpr size_t kMaxLineBytes = 16384;

private:
  bool ConnectAndSend(const std::u16string& aCmd);
  void AwaitServerClose();
  bool ReceiveExact(void* aBuffer, size_t aCount);
  bool ReceiveBlock(TStream& aStream);
  bool ReceiveCounted(TStream& aStream, int64_t aCount);
  bool ReceiveUntilClose(TStream& aStream);

  std::u16string FHost;
  uint16_t FPort;
  int32_t FConnectTimeOut;
  int32_t FReadTimeOut;
  TTcpSocket FSocket;
};

} // namespace zelvo
