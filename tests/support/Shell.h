// Running commands and reading child processes for tests.
#pragma once

#include <chrono>
#include <string>

namespace zelvo::test {

// Runs a command line with /bin/sh; returns its exit status and, when asked, what it printed
// (standard output and error).
int Shell(const std::string& aCommand, std::string* aOutput = nullptr);

// Reads aFd until a line starting with aPrefix has arrived (returned), the writer closes or the
// deadline passes (then what arrived is returned).
std::string ReadLineWithin(int aFd, const std::string& aPrefix,
                           std::chrono::milliseconds aDeadline);

} // namespace zelvo::test
