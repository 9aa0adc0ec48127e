// The wire units of the command protocol, as pure functions (no sockets):
// - request line: the command text in UTF-8, then CR LF;
// - size-prefixed block: a signed 32-bit big-endian count, then the data (a negative count
//   means "until the server closes");
// - listing block: a 32-bit little-endian count, then the data (a count of 0 or below,
//   taken as signed, carries no data);
// - text reply: a size-prefixed block decoded by its byte-order mark (UTF-8, UTF-16 LE/BE),
//   else in the ANSI code page, cut at the first NUL and split into lines.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace zelvo {

using TStringList = std::vector<std::u16string>;

std::string EncodeRequestLine(std::u16string_view aCommand);
std::array<uint8_t, 4> EncodeBlockCount(int32_t aCount);
int32_t DecodeBlockCount(const std::array<uint8_t, 4>& aBytes);
std::array<uint8_t, 4> EncodeListingCount(uint32_t aCount);
int32_t DecodeListingCount(const std::array<uint8_t, 4>& aBytes);

std::u16string DecodeTextReply(std::string_view aData);
// Splits at CR LF, lone CR and lone LF. A terminator at the very end adds no empty line.
TStringList SplitTextLines(std::u16string_view aText);

} // namespace zelvo
