// Reading a date and time written year first, as the server sends its clock
// ("2019-05-21 08:30:00.000").
#pragma once

#include <stdexcept>
#include <string_view>

#include "platform/WinTypes.h"

namespace zelvo {

class EConvertError : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

// Rules: characters before the first digit are skipped; the date is two or three numbers joined
// by "-" (year, month, day; two numbers are month and day of aCurrentYear); a year of one or two
// digits falls in the 50-year window around aCurrentYear; a number ends once its value has
// reached 1000; blanks may stand before any number or separator; characters between the date and
// the time are skipped; the time is hours, then optionally ":" minutes, ":" seconds and "."
// milliseconds; an "AM"/"PM" marker ("上午"/"下午" too) before or after the time makes it a
// 12-hour time; whatever follows the time is ignored; no time means midnight.
// Raises EConvertError "'<text>' is not a valid date and time".
SYSTEMTIME ReadDateTimeText(std::u16string_view aText, int aCurrentYear);

} // namespace zelvo
