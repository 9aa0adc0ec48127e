#include "server/Server.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <fcntl.h>
#include <iostream>
#include <memory>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <utility>
#include <vector>

#include <asio/experimental/as_tuple.hpp>
#include <asio/experimental/awaitable_operators.hpp>

#include "common/TextCodec.h"
#include "protocol/RangedRead.h"
#include "protocol/ServerVersion.h"
#include "protocol/WireFormat.h"

namespace zelvo::server {
namespace {

using asio::awaitable;
using asio::use_awaitable;
using std::chrono::steady_clock;

constexpr size_t kPieceSize = 256 * 1024;
constexpr int64_t kSendPiece = 1 << 20; // one sendfile call at most
constexpr int64_t kMaxCountedSize = 0x7FFFFFFF;
bool IsDiskFull(int aError) {
  return aError == ENOSPC || aError == EDQUOT;
}

struct TFd {
  explicit TFd(int aFd) : FFd(aFd) {}
  TFd(TFd&& aOther) noexcept : FFd(std::exchange(aOther.FFd, -1)) {}
  TFd(const TFd&) = delete;
  TFd& operator=(const TFd&) = delete;
  ~TFd() {
    if (FFd >= 0) ::close(FFd);
  }
  int FFd;
};

// The first word of a request line (what names the command, whatever follows).
std::string CommandWord(std::string_view aLine) {
  return std::string(aLine.substr(0, aLine.find_first_of(" \r\n")));
}

class TConnection : public std::enable_shared_from_this<TConnection> {
public:
  // aAddress: the peer's address, already counted by the server (Enter).
  TConnection(asio::ip::tcp::socket aSocket, TServer& aServer, std::string aAddress)
      : FSocket(std::move(aSocket)), FTimer(FSocket.get_executor()), FServer(aServer),
        FAddress(std::move(aAddress)) {
    ++FServer.ActiveConnections();
    Arm();
    std::error_code FError;
    const auto FEndpoint = FSocket.remote_endpoint(FError);
    FPeer = FError ? FAddress : FAddress + ":" + std::to_string(FEndpoint.port());
  }
  ~TConnection() {
    FServer.Left(FAddress);
    --FServer.ActiveConnections();
  }

  void Start() {
    auto FSelf = shared_from_this();
    asio::co_spawn(
        FSocket.get_executor(), [FSelf] { return FSelf->Run(); }, asio::detached);
    asio::co_spawn(
        FSocket.get_executor(), [FSelf] { return FSelf->Watch(); }, asio::detached);
  }

private:
  void Arm() { FDeadline = steady_clock::now() + FServer.Options().FIdleTimeOut; }
  // An upload's next aTake bytes are due by the time the minimum average rate asks for them
  // (never before the grace has passed), and no later than their own share at that rate plus the
  // grace (a fast start banks no more credit than that, so the rate holds to the last byte), or
  // earlier when the idle time-out says so.
  void ArmUpload(uint64_t aReceived, uint64_t aTake) {
    const auto& FOptions = FServer.Options();
    const auto FAtRate = [&](uint64_t aBytes) {
      return std::chrono::milliseconds(aBytes * 1000 /
                                       static_cast<uint64_t>(FOptions.FMinUploadRate));
    };
    const auto FDue = std::min<steady_clock::time_point>(
        FUploadStart +
            std::max<steady_clock::duration>(FOptions.FUploadGrace, FAtRate(aReceived + aTake)),
        steady_clock::now() + FOptions.FUploadGrace + FAtRate(aTake));
    FDeadline = std::min(steady_clock::now() + FOptions.FIdleTimeOut, FDue);
    FUploadDue = FDeadline == FDue;
    FTimer.cancel(); // the watch takes the new deadline at once
  }

  awaitable<void> Watch() {
    std::error_code FError;
    while (FSocket.is_open()) {
      FTimer.expires_at(FDeadline);
      co_await FTimer.async_wait(asio::redirect_error(use_awaitable, FError));
      if (FDeadline <= steady_clock::now()) {
        FTooSlow = FUploadDue;
        FSocket.close(FError);
      }
    }
  }

  awaitable<void> Run() {
    TReplyPlan FPlan;
    std::string FCommand = "-";
    uint64_t FBytes = 0;
    try {
      // The request line comes at once from any real client; a slot held without one is cut
      // sooner than a transfer's idle wait.
      FDeadline = steady_clock::now() +
                  std::min<steady_clock::duration>(kFirstLineTime, FServer.Options().FIdleTimeOut);
      const size_t FLength = co_await asio::async_read_until(
          FSocket, asio::dynamic_buffer(FBuffer, kMaxRequestLine + 2), "\r\n", use_awaitable);
      const std::string FLine = FBuffer.substr(0, FLength - 2);
      FBuffer.erase(0, FLength);
      Arm(); // the line is in: a password check queued behind others has the idle time
      if (auto FRequest = ParseRequestLine(FLine)) {
        FCommand = FRequest->FCommand;
        FRequest->FAddress = FAddress;
        FPlan = co_await Handle(*FRequest);
        FBytes = co_await Carry(FPlan);
        if (FPlan.FConfirm) co_await Confirm(FPlan);
      } else {
        FPlan.FOutcome = "refused (not UTF-8)";
        FCommand = CommandWord(FLine);
        if (IsChangeCommand(FCommand)) co_await Confirm(FPlan);
      }
    } catch (const std::system_error& aError) {
      FPlan.FOutcome =
          FTooSlow ? "failed (upload too slow)" : "failed (" + aError.code().message() + ")";
    } catch (const std::exception& aError) {
      FPlan.FOutcome = std::string("failed (") + aError.what() + ")";
    }
    // A failed upload is logged with what arrived of it.
    FServer.Log(FPeer, FCommand, FPlan.FLogArgument, FPlan.FOutcome, std::max(FBytes, FUploaded));
    Finish();
  }

  // Password hashing runs on the server's hash pool; everything else here on the strand.
  awaitable<TReplyPlan> Handle(const TRequest& aRequest) {
    if (!HashesPassword(aRequest.FCommand)) co_return FServer.Handler().Handle(aRequest);
    auto& FLine = FServer.HashLine();
    if (!FLine.Join()) co_return Busy(aRequest);
    const auto FQueued = steady_clock::now();
    co_return co_await asio::co_spawn(
        FServer.HashPool(),
        [&]() -> awaitable<TReplyPlan> {
          FLine.Left();
          const auto FStart = steady_clock::now();
          if (FStart - FQueued > kLongestHashWait) co_return Busy(aRequest);
          TReplyPlan FPlan = FServer.Handler().Handle(aRequest);
          FLine.Took(steady_clock::now() - FStart);
          co_return FPlan;
        },
        use_awaitable);
  }

  // A request turned away unheard: a close for LOGIN (never a wrong-password answer), a refusal
  // for a change command.
  static TReplyPlan Busy(const TRequest& aRequest) {
    TReplyPlan FPlan;
    FPlan.FOutcome = "refused (busy)";
    FPlan.FConfirm = IsChangeCommand(aRequest.FCommand);
    return FPlan;
  }

  // Sends or receives what the plan says; returns the data bytes moved.
  awaitable<uint64_t> Carry(TReplyPlan& aPlan) {
    switch (aPlan.FKind) {
    case TReplyPlan::TKind::Close:
      co_return 0;
    case TReplyPlan::TKind::Block:
      co_return co_await SendBlock(aPlan.FData,
                                   EncodeBlockCount(static_cast<int32_t>(aPlan.FData.size())));
    case TReplyPlan::TKind::Listing: {
      // From its file, as the kernel copies it: a big folder never sits in memory.
      const auto FHeader = EncodeListingCount(static_cast<uint32_t>(aPlan.FListing->FSize));
      co_await Write(asio::buffer(FHeader));
      co_return co_await SendFromFile(aPlan.FListing->FFd, 0,
                                      static_cast<int64_t>(aPlan.FListing->FSize));
    }
    case TReplyPlan::TKind::File:
      co_return co_await SendFile(aPlan);
    case TReplyPlan::TKind::Range:
      co_return co_await SendRange(aPlan);
    case TReplyPlan::TKind::Upload:
      co_return co_await ReceiveUpload(aPlan);
    }
    co_return 0;
  }

  awaitable<void> Confirm(const TReplyPlan& aPlan) {
    std::string FLine = aPlan.Succeeded() ? "OK" : aPlan.FOutcome;
    // A stored upload tells which version the server now holds: the client's base for its
    // next save.
    if (aPlan.Succeeded() && aPlan.FKind == TReplyPlan::TKind::Upload)
      if (const auto FStored = TStorage::VersionOf(aPlan.FPath)) FLine = ConfirmationText(*FStored);
    const std::string FText = JoinLines({FLine});
    co_await SendBlock(FText, EncodeBlockCount(static_cast<int32_t>(FText.size())));
  }

  awaitable<void> Write(asio::const_buffer aBuffer) {
    Arm();
    co_await asio::async_write(FSocket, aBuffer, use_awaitable);
  }

  awaitable<uint64_t> SendBlock(const std::string& aData, std::array<uint8_t, 4> aCount) {
    Arm();
    co_await asio::async_write(
        FSocket, std::array<asio::const_buffer, 2>{asio::buffer(aCount), asio::buffer(aData)},
        use_awaitable);
    co_return aData.size();
  }

  // The plan's file, opened to be sent, and its stat; a closed one (the outcome says so) when it
  // is no longer a file that can be read.
  static TFd OpenToSend(TReplyPlan& aPlan, struct stat& aStat) {
    TFd FFile(::open(aPlan.FPath.c_str(), O_RDONLY | O_CLOEXEC));
    if (FFile.FFd >= 0 && ::fstat(FFile.FFd, &aStat) == 0 && S_ISREG(aStat.st_mode)) return FFile;
    aPlan.FOutcome = "refused (cannot open)";
    return TFd(-1);
  }

  // Files of 2 GiB and more go with the count -1 and end at the close.
  awaitable<uint64_t> SendFile(TReplyPlan& aPlan) {
    struct stat FStat {};
    const TFd FFile = OpenToSend(aPlan, FStat);
    if (FFile.FFd < 0) co_return 0;
    const int64_t FSize = FStat.st_size;
    const auto FCount =
        EncodeBlockCount(FSize > kMaxCountedSize ? -1 : static_cast<int32_t>(FSize));
    co_await Write(asio::buffer(FCount));
    const uint64_t FSent = co_await SendFromFile(FFile.FFd, 0, FSize);
    if (static_cast<int64_t>(FSent) != FSize) aPlan.FOutcome = "failed (file changed while sent)";
    co_return FSent;
  }

  // The version and the bytes come from one open file: a file replaced meanwhile gives one
  // version's bytes, never a mix.
  awaitable<uint64_t> SendRange(TReplyPlan& aPlan) {
    struct stat FStat {};
    const TFd FFile = OpenToSend(aPlan, FStat);
    if (FFile.FFd < 0) co_return 0;
    const int64_t FLength =
        std::clamp<int64_t>(FStat.st_size - aPlan.FRange.FOffset, 0, aPlan.FRange.FLength);
    const std::string FHead = RangeReplyHead(TStorage::VersionOf(FStat));
    const auto FCount = EncodeBlockCount(static_cast<int32_t>(FHead.size() + FLength));
    co_await SendBlock(FHead, FCount);
    const uint64_t FSent = co_await SendFromFile(FFile.FFd, aPlan.FRange.FOffset, FLength);
    if (static_cast<int64_t>(FSent) != FLength) aPlan.FOutcome = "failed (file changed while sent)";
    co_return FSent;
  }

  // The kernel copies aSize bytes of the file from aFrom to the socket (no pass through our
  // memory); each piece re-arms the deadline, and a full socket waits for room without holding
  // a thread. Returns the bytes sent.
  awaitable<uint64_t> SendFromFile(int aFd, int64_t aFrom, int64_t aSize) {
    FSocket.native_non_blocking(true);
    off_t FOffset = static_cast<off_t>(aFrom);
    const int64_t FEnd = aFrom + aSize;
    while (FOffset < FEnd) {
      Arm();
      const ssize_t FSent =
          ::sendfile(FSocket.native_handle(), aFd, &FOffset,
                     static_cast<size_t>(std::min<int64_t>(FEnd - FOffset, kSendPiece)));
      if (FSent > 0) continue;
      if (FSent == 0 || (errno != EAGAIN && errno != EINTR)) break; // file shrank, or peer gone
      co_await FSocket.async_wait(asio::ip::tcp::socket::wait_write, use_awaitable);
    }
    co_return static_cast<uint64_t>(FOffset - aFrom);
  }

  // Reads n bytes, taking first what the request line's read left over.
  awaitable<void> ReadExact(char* aTarget, size_t aCount, bool aArm = true) {
    const size_t FFromBuffer = std::min(aCount, FBuffer.size());
    std::copy_n(FBuffer.data(), FFromBuffer, aTarget);
    FBuffer.erase(0, FFromBuffer);
    if (FFromBuffer < aCount) {
      if (aArm) Arm();
      co_await asio::async_read(FSocket, asio::buffer(aTarget + FFromBuffer, aCount - FFromBuffer),
                                use_awaitable);
    }
  }

  // The upload replaces the stored file only once every announced byte has arrived.
  awaitable<uint64_t> ReceiveUpload(TReplyPlan& aPlan) {
    auto FUpload = aPlan.Succeeded() ? TUpload::Begin(aPlan.FPath) : std::optional<TUpload>{};
    if (aPlan.Succeeded() && !FUpload) aPlan.FOutcome = "refused (no such folder)";
    std::array<uint8_t, 4> FHeader{};
    co_await ReadExact(reinterpret_cast<char*>(FHeader.data()), FHeader.size());
    const int32_t FCount = DecodeBlockCount(FHeader);
    if (FCount < 0) {
      aPlan.FOutcome = "refused (no length)";
      co_return 0;
    }
    std::vector<char> FPiece(kPieceSize);
    uint64_t FReceived = 0;
    FUploadStart = steady_clock::now();
    while (FReceived < static_cast<uint64_t>(FCount)) {
      const size_t FTake = std::min<uint64_t>(FPiece.size(), FCount - FReceived);
      ArmUpload(FReceived, FTake);
      co_await ReadExact(FPiece.data(), FTake, false);
      if (FUpload && !FUpload->Write(FPiece.data(), FTake)) {
        aPlan.FOutcome =
            IsDiskFull(errno) ? Utf16ToUtf8(kDiskFullRefusal) : "failed (cannot write)";
        FUpload.reset(); // the rest is read and dropped
      }
      FReceived += FTake;
      FUploaded = FReceived;
    }
    if (FUpload && !FUpload->Commit())
      aPlan.FOutcome = IsDiskFull(errno) ? Utf16ToUtf8(kDiskFullRefusal) : "failed (cannot store)";
    co_return FReceived;
  }

  void Finish() {
    std::error_code FError;
    FSocket.shutdown(asio::ip::tcp::socket::shutdown_send, FError);
    FSocket.close(FError);
    FTimer.cancel();
  }

  asio::ip::tcp::socket FSocket;
  asio::steady_timer FTimer;
  steady_clock::time_point FDeadline = steady_clock::now();
  TServer& FServer;
  std::string FAddress;
  std::string FPeer;
  std::string FBuffer;
  steady_clock::time_point FUploadStart;
  uint64_t FUploaded = 0;  // an upload's bytes so far, for the log of one that fails
  bool FUploadDue = false; // the deadline is the upload's minimum rate
  bool FTooSlow = false;   // the connection was cut for it
};

// The UTF-8 of the characters that break or reorder a line as viewers show it: NEL, the line
// and paragraph separators, and the bidirectional embeddings, overrides and isolates.
bool IsLineBreaker(std::string_view aText) {
  if (aText.starts_with("\xC2\x85")) return true;
  if (aText.size() < 3 || static_cast<unsigned char>(aText[0]) != 0xE2) return false;
  const auto FSecond = static_cast<unsigned char>(aText[1]);
  const auto FThird = static_cast<unsigned char>(aText[2]);
  return (FSecond == 0x80 && FThird >= 0xA8 && FThird <= 0xAE) ||
         (FSecond == 0x81 && FThird >= 0xA6 && FThird <= 0xA9);
}

// A logged field: cut at kMaxLoggedField bytes (a request never logs much more than itself),
// control characters, the line breakers above and the quote as "\xNN" bytes, so no field can
// start a line of its own, look like another line, or end a quoted field early.
std::string Escaped(std::string_view aText) {
  static constexpr size_t kMaxLoggedField = 512;
  std::string_view FShown = aText.substr(0, kMaxLoggedField);
  while (FShown.size() < aText.size() && !FShown.empty() &&
         (static_cast<unsigned char>(aText[FShown.size()]) & 0xC0) == 0x80)
    FShown.remove_suffix(1); // not inside a character
  std::string FText;
  for (size_t i = 0; i < FShown.size(); ++i) {
    const auto FByte = static_cast<unsigned char>(FShown[i]);
    const size_t FEscaped = IsLineBreaker(FShown.substr(i)) ? (FByte == 0xC2 ? 2 : 3)
                            : FByte < 0x20 || FByte == 0x7F || FByte == '"' ? 1
                                                                            : 0;
    if (FEscaped == 0) {
      FText += FShown[i];
      continue;
    }
    static constexpr char kHex[] = "0123456789ABCDEF";
    for (size_t j = i; j < i + FEscaped; ++j) {
      const auto FPart = static_cast<unsigned char>(FShown[j]);
      FText += "\\x";
      FText += kHex[FPart >> 4];
      FText += kHex[FPart & 15];
    }
    i += FEscaped - 1;
  }
  if (FShown.size() < aText.size()) FText += "…(" + std::to_string(aText.size()) + " bytes)";
  return FText;
}

} // namespace

TServer::TServer(TServerOptions aOptions, TRequestHandler& aHandler)
    : FOptions(std::move(aOptions)), FHandler(aHandler),
      FHashThreads(FOptions.FHashThreads > 0
                       ? static_cast<size_t>(FOptions.FHashThreads)
                       : std::max(1u, std::thread::hardware_concurrency() / 2)),
      FHashLine(FHashThreads), FHashPool(FHashThreads), FAcceptor(FContext),
      FSignals(FContext, SIGINT, SIGTERM) {
  const asio::ip::tcp::endpoint FEndpoint(asio::ip::make_address(FOptions.FListen), FOptions.FPort);
  FAcceptor.open(FEndpoint.protocol());
  FAcceptor.set_option(asio::ip::tcp::acceptor::reuse_address(true));
  FAcceptor.bind(FEndpoint);
  FAcceptor.listen();
}

void TServer::Run() {
  // The acceptor is touched on one strand only: the accept loop reads it while a signal closes it.
  const auto FAcceptStrand = asio::make_strand(FContext);
  FSignals.async_wait([this, FAcceptStrand](std::error_code, int) {
    asio::post(FAcceptStrand, [this] {
      std::error_code FIgnored;
      FAcceptor.close(FIgnored);
      FContext.stop();
    });
  });
  asio::co_spawn(FAcceptStrand, Accept(), asio::detached);
  std::vector<std::thread> FThreads;
  for (int i = 1; i < FOptions.FThreads; ++i)
    FThreads.emplace_back([this] { FContext.run(); });
  FContext.run();
  for (auto& FThread : FThreads)
    FThread.join();
  FHashPool.stop();
  FHashPool.join();
}

awaitable<void> TServer::Accept() {
  while (FAcceptor.is_open()) {
    std::error_code FError;
    auto FSocket = co_await FAcceptor.async_accept(asio::make_strand(FContext),
                                                   asio::redirect_error(use_awaitable, FError));
    if (FError) {
      // Out of descriptors or a similar passing fault: pause instead of spinning.
      asio::steady_timer FPause(FContext, std::chrono::milliseconds(100));
      co_await FPause.async_wait(asio::redirect_error(use_awaitable, FError));
      continue;
    }
    const std::string FAddress = FSocket.remote_endpoint(FError).address().to_string();
    // A share of the slots stays for addresses with a session: strangers holding connections
    // never shut a logged-in student out.
    const int FSlots = FHandler.HasSessionAt(FAddress)
                           ? FOptions.FMaxConnections
                           : FOptions.FMaxConnections - FOptions.FMaxConnections / kReservedShare;
    if (FActive >= FSlots) {
      Refuse(std::move(FSocket), FAddress, "refused (busy)");
      continue;
    }
    if (!Enter(FAddress)) {
      Refuse(std::move(FSocket), FAddress, "refused (too many connections from this address)");
      continue;
    }
    std::make_shared<TConnection>(std::move(FSocket), *this, FAddress)->Start();
  }
}

bool THashLine::Join() {
  using namespace std::chrono;
  const int64_t FTurnIn = (FWaiting.load() + 1) * FMicros.load() / FThreads;
  if (FTurnIn > duration_cast<microseconds>(kLongestHashWait).count() * 3 / 4) return false;
  ++FWaiting;
  return true;
}

void THashLine::Took(steady_clock::duration aTook) {
  const int64_t FNow = std::chrono::duration_cast<std::chrono::microseconds>(aTook).count();
  FMicros = (FMicros.load() * 7 + FNow) / 8;
}

void TServer::Refuse(asio::ip::tcp::socket aSocket, const std::string& aAddress,
                     const std::string& aOutcome) {
  if (FRefusing >= kMaxRefusing) {
    Log(aAddress, "-", "", aOutcome, 0);
    std::error_code FError;
    aSocket.close(FError);
    return;
  }
  ++FRefusing;
  auto FExecutor = aSocket.get_executor();
  asio::co_spawn(FExecutor, AnswerRefused(std::move(aSocket), aAddress, aOutcome), asio::detached);
}

awaitable<void> TServer::AnswerRefused(asio::ip::tcp::socket aSocket, std::string aAddress,
                                       std::string aOutcome) {
  using namespace asio::experimental::awaitable_operators;
  std::string FCommand = "-";
  std::string FBuffer;
  asio::steady_timer FTimer(aSocket.get_executor(), kRefusalWait);
  const auto FRead =
      co_await (asio::async_read_until(aSocket, asio::dynamic_buffer(FBuffer, kMaxRequestLine + 2),
                                       "\r\n", asio::experimental::as_tuple(use_awaitable)) ||
                FTimer.async_wait(asio::experimental::as_tuple(use_awaitable)));
  if (FRead.index() == 0 && !std::get<0>(std::get<0>(FRead))) {
    FCommand = CommandWord(FBuffer);
    // A change command hears why, so its client never takes the close for a success; the
    // others see a failed exchange, as they would for any refusal.
    if (IsChangeCommand(FCommand)) {
      const std::string FText = JoinLines({aOutcome});
      const auto FCount = EncodeBlockCount(static_cast<int32_t>(FText.size()));
      FTimer.expires_after(kRefusalWait);
      co_await (asio::async_write(
                    aSocket,
                    std::array<asio::const_buffer, 2>{asio::buffer(FCount), asio::buffer(FText)},
                    asio::experimental::as_tuple(use_awaitable)) ||
                FTimer.async_wait(asio::experimental::as_tuple(use_awaitable)));
    }
  }
  Log(aAddress, FCommand, "", aOutcome, 0);
  std::error_code FError;
  aSocket.shutdown(asio::ip::tcp::socket::shutdown_send, FError);
  aSocket.close(FError);
  --FRefusing;
}

bool TServer::Enter(const std::string& aAddress) {
  std::lock_guard FGuard(FAddressLock);
  int& FCount = FPerAddress[aAddress];
  if (FCount >= FOptions.FMaxConnectionsPerAddress) return false;
  ++FCount;
  return true;
}

void TServer::Left(const std::string& aAddress) {
  std::lock_guard FGuard(FAddressLock);
  const auto FAt = FPerAddress.find(aAddress);
  if (FAt != FPerAddress.end() && --FAt->second <= 0) FPerAddress.erase(FAt);
}

void TServer::Log(const std::string& aPeer, const std::string& aCommand,
                  const std::string& aArgument, const std::string& aOutcome, uint64_t aBytes) {
  std::lock_guard FGuard(FLogLock);
  // The argument quoted: a path with spaces never shifts the fields after it.
  std::cerr << LocalTimeText() << ' ' << Escaped(aPeer) << ' ' << Escaped(aCommand) << " \""
            << Escaped(aArgument) << "\" " << Escaped(aOutcome) << ' ' << aBytes << std::endl;
}

} // namespace zelvo::server
