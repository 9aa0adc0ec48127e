#include "protocol/ExchangeGroup.h"

#include <cstdint>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

namespace zelvo {

TExchangeGroup::TExchangeGroup() : FFd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

TExchangeGroup::~TExchangeGroup() {
  if (FFd >= 0) ::close(FFd);
}

void TExchangeGroup::Cancel() {
  const uint64_t FOne = 1;
  if (FFd >= 0) (void)!::write(FFd, &FOne, sizeof FOne); // readable from now on, never read
}

bool TExchangeGroup::Cancelled() const {
  pollfd FPoll{FFd, POLLIN, 0};
  return FFd >= 0 && ::poll(&FPoll, 1, 0) > 0;
}

} // namespace zelvo
