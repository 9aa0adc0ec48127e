// A raw protocol connection for tests, from a chosen loopback source address (127.0.0.x), so a
// test can be several machines at once. It sends whatever bytes it is given: what the client
// never sends, too.
#pragma once

#include <cstdint>
#include <string>

namespace zelvo::test {

enum class TPeerEnd { Closed, TimedOut };

class TRawPeer {
public:
  explicit TRawPeer(uint16_t aPort, const std::string& aSource = "127.0.0.1");
  TRawPeer(const TRawPeer&) = delete;
  TRawPeer& operator=(const TRawPeer&) = delete;
  ~TRawPeer();

  bool Connected() const { return FConnected; }
  bool Send(const std::string& aBytes);
  // Up to aCount bytes (fewer when the server closes first or aTimeOutMs passes in one wait).
  std::string Receive(size_t aCount, int aTimeOutMs = 10000, TPeerEnd* aEnd = nullptr);
  // Everything until the server closes; aTimeOutMs bounds each wait.
  std::string ReceiveAll(int aTimeOutMs = 10000, TPeerEnd* aEnd = nullptr);

  // One request line (CR LF added) and aBody, then the whole reply.
  static std::string Exchange(uint16_t aPort, const std::string& aLine,
                              const std::string& aSource = "127.0.0.1",
                              const std::string& aBody = "");

private:
  int FFd = -1;
  bool FConnected = false;
};

// A size-prefixed block (big-endian count), as PUT sends it.
std::string CountedBlock(const std::string& aData);
// LOGIN from aSource; true when the server let the user in (and so opened a session there).
bool LogIn(uint16_t aPort, const std::string& aClass, const std::string& aUser,
           const std::string& aSource = "127.0.0.1", const std::string& aPassword = "zelvo123");

} // namespace zelvo::test
