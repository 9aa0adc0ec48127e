// The LOGIN reply: the own root, the share root, the owner's name, the share's volume name and
// the server's time, one per line; a server that confirms changes adds kConfirmsLine, one that
// serves ranged reads kRangesLine (RangedRead.h). Fewer than five lines is a refusal (wrong
// class, name or password).
#pragma once

#include <optional>
#include <string>

#include "protocol/WireFormat.h"

namespace zelvo {

struct TLoginReply {
  std::u16string FRoot0;
  std::u16string FRoot1;
  std::u16string FOwnerName;
  std::u16string FShareVolumeName;
  std::u16string FServerTime;
  bool FConfirms = false;
  bool FRanges = false;
};

// None for a refusal.
std::optional<TLoginReply> ParseLoginReply(const TStringList& aLines);

} // namespace zelvo
