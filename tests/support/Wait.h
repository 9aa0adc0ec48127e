// Waiting for a condition with a deadline: the only way tests wait for another process. The
// deadline is generous (a loaded machine under a sanitizer is slow); a condition that holds
// returns at once.
#pragma once

#include <chrono>
#include <thread>

namespace zelvo::test {

template <typename TCondition>
bool WaitUntil(TCondition aCondition,
               std::chrono::milliseconds aDeadline = std::chrono::seconds(30)) {
  const auto FEnd = std::chrono::steady_clock::now() + aDeadline;
  while (!aCondition()) {
    if (std::chrono::steady_clock::now() >= FEnd) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

} // namespace zelvo::test
