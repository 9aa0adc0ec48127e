// Collecting the class lists: one TGroupListThread per configured server asks it with GLIST and
// appends its classes, sorted, to the class box as "class(host)" items.
//
// The receiving list is touched only by AddGroupS, which runs on the window thread through the
// dispatcher while the worker waits; once the dispatcher is closed nothing touches it. Failures
// (server down, time-out, early close, any error) end the thread silently: that server adds
// nothing. The thread owns its object and releases it when it ends; nothing waits for it.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "common/WindowDispatcher.h"
#include "protocol/WireFormat.h"

namespace zelvo {

// A list that receives texts, such as a combo box's items.
class TStrings {
public:
  virtual ~TStrings() = default;
  virtual void Add(const std::u16string& aText) = 0;
};

class TStringListStrings final : public TStrings {
public:
  void Add(const std::u16string& aText) override { FItems.push_back(aText); }
  TStringList FItems;
};

class TGroupListThread {
public:
  // Runs on the window thread when the thread ends, with whether the server answered GLIST.
  using TOnTerminate = std::function<void(bool aAnswered)>;

  // Starts the thread at once. aGroups and aDispatcher belong to the window thread; aGroups must
  // outlive the dispatcher's Close.
  static void Create(std::u16string aServerIP, int32_t aServerPort, TStrings& aGroups,
                     std::shared_ptr<TWindowDispatcher> aDispatcher,
                     TOnTerminate aOnTerminate = {});

private:
  TGroupListThread(std::u16string aServerIP, int32_t aServerPort, TStrings& aGroups,
                   std::shared_ptr<TWindowDispatcher> aDispatcher, TOnTerminate aOnTerminate);
  void Execute();
  void AddGroupS(); // window thread

  std::u16string ServerIP;
  int32_t ServerPort;
  TStrings& Groups;
  TStringList thisGroups;
  std::shared_ptr<TWindowDispatcher> FDispatcher;
  TOnTerminate FOnTerminate;
};

} // namespace zelvo
