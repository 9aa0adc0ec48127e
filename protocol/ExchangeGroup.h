// Exchanges that can be ended together: a mount's, when its drives go.
//
// Every TYunClient given a group watches the group's cancel descriptor; Cancel makes each wait of
// those exchanges (connect, send, receive) end at once as a failure, and every exchange begun
// afterwards fails before it connects. Sockets are never touched from another thread: the
// descriptor wakes their own waits. Cancel is final.
//
// Threads: any; the descriptor is an eventfd, written once.
#pragma once

namespace zelvo {

class TExchangeGroup {
public:
  TExchangeGroup();
  TExchangeGroup(const TExchangeGroup&) = delete;
  TExchangeGroup& operator=(const TExchangeGroup&) = delete;
  ~TExchangeGroup();

  void Cancel();
  bool Cancelled() const;
  // What a socket of the group watches (-1 when no descriptor could be made: nothing cancels).
  int CancelFd() const { return FFd; }

private:
  int FFd = -1;
};

} // namespace zelvo
