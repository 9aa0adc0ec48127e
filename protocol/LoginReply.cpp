#include "protocol/LoginReply.h"

#include "protocol/ServerVersion.h"

namespace zelvo {

std::optional<TLoginReply> ParseLoginReply(const TStringList& aLines) {
  if (aLines.size() < 5) return std::nullopt;
  return TLoginReply{aLines[0], aLines[1], aLines[2],
                     aLines[3], aLines[4], aLines.size() > 5 && aLines[5] == kConfirmsLine};
}

} // namespace zelvo
