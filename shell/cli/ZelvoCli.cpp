// zelvo-cli: the headless front end of the client.
//
//   zelvo-cli classes [--port N] [--timeout MS] HOSTS      class items of every server in HOSTS
//   zelvo-cli users   [--port N] [--timeout MS] HOST CLASS  the students of a class
//
// Exit status 0 on a completed exchange, 1 with a one-line message on stderr otherwise.
#include <CLI/CLI.hpp>
#include <chrono>
#include <iostream>
#include <memory>

#include "common/Globals.h"
#include "common/TextCodec.h"
#include "common/Utils.h"
#include "common/WindowDispatcher.h"
#include "platform/Locale.h"
#include "protocol/Commands.h"
#include "protocol/GroupListThread.h"
#include "protocol/YunClientUnit.h"

namespace zelvo {
namespace {

struct TConnectionOptions {
  int32_t FPort = kDefaultServerPort;
  int32_t FTimeOut = kDefaultClientTimeOut;
};

void AddConnectionOptions(CLI::App& aCommand, TConnectionOptions& aOptions) {
  aCommand.add_option("--port", aOptions.FPort, "TCP port of the servers")->capture_default_str();
  aCommand.add_option("--timeout", aOptions.FTimeOut, "connect and read time-out, ms")
      ->capture_default_str();
}

void PrintLines(const TStringList& aLines) {
  for (const auto& FLine : aLines)
    std::cout << Utf16ToUtf8(FLine) << '\n';
}

// Collects the class lists as the login window does, with this thread as the window thread.
int RunClasses(const TConnectionOptions& aOptions, const std::string& aHosts) {
  ServerPort = aOptions.FPort;
  ClientTimeOut = aOptions.FTimeOut;
  const auto FHosts = SplitDelimited(Utf8ToUtf16(aHosts), u'|');
  if (FHosts.empty()) {
    std::cerr << "zelvo-cli: no server given\n";
    return 1;
  }
  auto FDispatcher = std::make_shared<TWindowDispatcher>();
  TStringListStrings FGroups;
  size_t FFinished = 0;
  size_t FAnswered = 0;
  for (const auto& FHost : FHosts) {
    TGroupListThread::Create(FHost, ServerPort, FGroups, FDispatcher, [&, FHost](bool aAnswered) {
      ++FFinished;
      if (aAnswered)
        ++FAnswered;
      else
        std::cerr << "zelvo-cli: server \"" << Utf16ToUtf8(FHost) << "\" could not be reached\n";
    });
  }
  while (FFinished < FHosts.size())
    FDispatcher->WaitAndRunPending(std::chrono::milliseconds(100));
  FDispatcher->Close();
  PrintLines(FGroups.FItems);
  return FAnswered > 0 ? 0 : 1;
}

int RunUsers(const TConnectionOptions& aOptions, const std::string& aHost,
             const std::string& aClass) {
  TStringList FNames;
  TYunClient FClient(Utf8ToUtf16(aHost), aOptions.FPort, aOptions.FTimeOut);
  if (!FClient.DoCommand(UlistRequest(Utf8ToUtf16(aClass)), FNames)) {
    std::cerr << "zelvo-cli: server \"" << aHost << "\" could not be reached\n";
    return 1;
  }
  SortTextLocale(FNames);
  PrintLines(FNames);
  return 0;
}

} // namespace
} // namespace zelvo

int main(int argc, char** argv) {
  using namespace zelvo;
  CLI::App FApp{"Zelvo cloud disk client, headless"};
  FApp.require_subcommand(1);

  TConnectionOptions FClassesOptions;
  std::string FHosts;
  auto* FClasses = FApp.add_subcommand("classes", "list the classes of every server");
  AddConnectionOptions(*FClasses, FClassesOptions);
  FClasses->add_option("HOSTS", FHosts, "servers separated by |")->required();

  TConnectionOptions FUsersOptions;
  std::string FHost;
  std::string FClass;
  auto* FUsers = FApp.add_subcommand("users", "list the students of a class");
  AddConnectionOptions(*FUsers, FUsersOptions);
  FUsers->add_option("HOST", FHost, "the class's server")->required();
  FUsers->add_option("CLASS", FClass, "the class name")->required();

  CLI11_PARSE(FApp, argc, argv);
  if (*FClasses) return RunClasses(FClassesOptions, FHosts);
  return RunUsers(FUsersOptions, FHost, FClass);
}
