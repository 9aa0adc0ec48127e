#include "protocol/GroupListThread.h"

#include <thread>

#include "common/Globals.h"
#include "platform/Locale.h"
#include "protocol/Commands.h"
#include "protocol/YunClientUnit.h"

namespace zelvo {

TGroupListThread::TGroupListThread(std::u16string aServerIP, int32_t aServerPort, TStrings& aGroups,
                                   std::shared_ptr<TWindowDispatcher> aDispatcher,
                                   TOnTerminate aOnTerminate)
    : ServerIP(std::move(aServerIP)), ServerPort(aServerPort), Groups(aGroups),
      FDispatcher(std::move(aDispatcher)), FOnTerminate(std::move(aOnTerminate)) {}

void TGroupListThread::Create(std::u16string aServerIP, int32_t aServerPort, TStrings& aGroups,
                              std::shared_ptr<TWindowDispatcher> aDispatcher,
                              TOnTerminate aOnTerminate) {
  std::unique_ptr<TGroupListThread> FThread(new TGroupListThread(
      std::move(aServerIP), aServerPort, aGroups, std::move(aDispatcher), std::move(aOnTerminate)));
  std::thread([FSelf = std::move(FThread)] { FSelf->Execute(); }).detach();
}

void TGroupListThread::Execute() {
  bool FAnswered = false;
  try {
    TYunClient FClient(ServerIP, ServerPort, ClientTimeOut);
    FAnswered = FClient.DoCommand(GlistRequest(), thisGroups);
    if (FAnswered) {
      SortTextLocale(thisGroups);
      FDispatcher->RunAndWait([this] { AddGroupS(); });
    }
  } catch (...) {
    // Silently: this server contributes no classes.
  }
  if (FOnTerminate) FDispatcher->RunAndWait([this, FAnswered] { FOnTerminate(FAnswered); });
}

void TGroupListThread::AddGroupS() {
  for (const auto& FGroup : thisGroups)
    Groups.Add(FGroup + u"(" + ServerIP + u")");
}

} // namespace zelvo
