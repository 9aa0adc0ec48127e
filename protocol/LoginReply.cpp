#include "protocol/LoginReply.h"

#include <algorithm>

#include "protocol/RangedRead.h"
#include "protocol/ServerVersion.h"

namespace zelvo {

std::optional<TLoginReply> ParseLoginReply(const TStringList& aLines) {
  if (aLines.size() < 5) return std::nullopt;
  TLoginReply FReply{aLines[0], aLines[1], aLines[2],
                     aLines[3], aLines[4], aLines.size() > 5 && aLines[5] == kConfirmsLine};
  FReply.FRanges = std::find(aLines.begin() + 5, aLines.end(), kRangesLine) != aLines.end();
  return FReply;
}

} // namespace zelvo
