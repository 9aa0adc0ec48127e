// A server that speaks the protocol but breaks it on purpose, for the tests of what the client
// lets a server make it spend. It has one class, "c", with one student, "u"; it logs anyone in (own
// root "\home\c\u", share "\share"), lists the files it was given, and answers every GET of them,
// and the LIST of folders it was given, with a scripted behaviour chosen by name. The share holds
// one honest file, "shared.txt" ("xx"). Connections run side by side; scripts end when the server
// is destroyed or the client goes away.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "tests/support/FakeServer.h"

namespace zelvo::test {

struct TListedFile {
  std::u16string FName;
  int64_t FSize = 0;
  bool FFolder = false;
};

class TBrokenServer {
public:
  enum class TBehaviour {
    Honest,       // the listed size, then the bytes ('x')
    EndlessCount, // count -1, then bytes until the client goes
    Dribble,      // the listed count, then a byte a second
    Endless,      // a LIST announcing more records than any client may take, sent fast
    HugeText      // a text reply of count -1 and 100 MB without a line end
  };
  // aFiles: the own root's entries. aGet: what a GET does. aList: how folders other than the
  // roots are listed. aLogin/aUlist: Honest or HugeText.
  struct TScript {
    std::vector<TListedFile> FFiles;
    TBehaviour FGet = TBehaviour::Honest;
    TBehaviour FList = TBehaviour::Honest;
    TBehaviour FLogin = TBehaviour::Honest;
    TBehaviour FUlist = TBehaviour::Honest;
  };

  explicit TBrokenServer(TScript aScript);
  uint16_t Port() const { return FServer.Port(); }
  // Every request line so far.
  std::vector<std::string> Requests() const { return FServer.Requests(); }
  int Count(const std::string& aPrefix) const;
  // The bytes the flooding scripts (EndlessCount, Endless, HugeText) handed to their connections.
  int64_t Flooded() const { return FFlooded; }

  static constexpr char kOwnRoot[] = "\\home\\c\\u";

private:
  void Serve(TFakeConnection& aConnection);
  std::string OwnListing() const;

  void Flood(TFakeConnection& aConnection, const std::string& aPiece, int aMaxPieces);
  void HugeText(TFakeConnection& aConnection);

  TScript FScript;
  std::atomic<int64_t> FFlooded{0};
  TFakeServer FServer;
};

// A LIST reply of the given entries.
std::string ListingOf(const std::vector<TListedFile>& aFiles);

} // namespace zelvo::test
