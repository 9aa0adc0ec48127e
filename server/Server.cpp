#include "server/Server.h"

#include <array>
#include <cerrno>
#include <fcntl.h>
#include <iostream>
#include <memory>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "protocol/WireFormat.h"

namespace zelvo::server {
namespace {

using asio::awaitable;
using asio::use_awaitable;
using std::chrono::steady_clock;

constexpr size_t kPieceSize = 256 * 1024;
constexpr int64_t kSendPiece = 1 << 20; // one sendfile call at most
constexpr int64_t kMaxCountedSize = 0x7FFFFFFF;

struct TFd {
  explicit TFd(int aFd) : FFd(aFd) {}
  TFd(const TFd&) = delete;
  TFd& operator=(const TFd&) = delete;
  ~TFd() {
    if (FFd >= 0) ::close(FFd);
  }
  int FFd;
};

class TConnection : public std::enable_shared_from_this<TConnection> {
public:
  TConnection(asio::ip::tcp::socket aSocket, TServer& aServer)
      : FSocket(std::move(aSocket)), FTimer(FSocket.get_executor()), FServer(aServer) {
    ++FServer.ActiveConnections();
    Arm();
    std::error_code FError;
    const auto FEndpoint = FSocket.remote_endpoint(FError);
    FPeer = FError ? "?" : FEndpoint.address().to_string() + ":" + std::to_string(FEndpoint.port());
  }
  ~TConnection() { --FServer.ActiveConnections(); }

  void Start() {
    auto FSelf = shared_from_this();
    asio::co_spawn(
        FSocket.get_executor(), [FSelf] { return FSelf->Run(); }, asio::detached);
    asio::co_spawn(
        FSocket.get_executor(), [FSelf] { return FSelf->Watch(); }, asio::detached);
  }

private:
  void Arm() { FDeadline = steady_clock::now() + FServer.Options().FIdleTimeOut; }

  awaitable<void> Watch() {
    std::error_code FError;
    while (FSocket.is_open()) {
      FTimer.expires_at(FDeadline);
      co_await FTimer.async_wait(asio::redirect_error(use_awaitable, FError));
      if (FDeadline <= steady_clock::now()) FSocket.close(FError);
    }
  }

  awaitable<void> Run() {
    TReplyPlan FPlan;
    std::string FCommand = "-";
    uint64_t FBytes = 0;
    try {
      Arm();
      const size_t FLength = co_await asio::async_read_until(
          FSocket, asio::dynamic_buffer(FBuffer, kMaxRequestLine + 2), "\r\n", use_awaitable);
      const std::string FLine = FBuffer.substr(0, FLength - 2);
      FBuffer.erase(0, FLength);
      if (const auto FRequest = ParseRequestLine(FLine)) {
        FCommand = FRequest->FCommand;
        FPlan = FServer.Handler().Handle(*FRequest);
        FBytes = co_await Carry(FPlan);
        if (FPlan.FConfirm) co_await Confirm(FPlan);
      } else {
        FPlan.FOutcome = "refused (not UTF-8)";
      }
    } catch (const std::system_error& aError) {
      FPlan.FOutcome = "failed (" + aError.code().message() + ")";
    } catch (const std::exception& aError) {
      FPlan.FOutcome = std::string("failed (") + aError.what() + ")";
    }
    FServer.Log(FPeer, FCommand, FPlan.FLogArgument, FPlan.FOutcome, FBytes);
    Finish();
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
      const auto FCount = static_cast<uint32_t>(aPlan.FData.size());
      co_return co_await SendBlock(
          aPlan.FData, {static_cast<uint8_t>(FCount), static_cast<uint8_t>(FCount >> 8),
                        static_cast<uint8_t>(FCount >> 16), static_cast<uint8_t>(FCount >> 24)});
    }
    case TReplyPlan::TKind::File:
      co_return co_await SendFile(aPlan);
    case TReplyPlan::TKind::Upload:
      co_return co_await ReceiveUpload(aPlan);
    }
    co_return 0;
  }

  awaitable<void> Confirm(const TReplyPlan& aPlan) {
    const std::string FText = JoinLines({aPlan.Succeeded() ? "OK" : aPlan.FOutcome});
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

  // Files of 2 GiB and more go with the count -1 and end at the close.
  awaitable<uint64_t> SendFile(TReplyPlan& aPlan) {
    TFd FFile(::open(aPlan.FPath.c_str(), O_RDONLY | O_CLOEXEC));
    struct stat FStat {};
    if (FFile.FFd < 0 || ::fstat(FFile.FFd, &FStat) != 0) {
      aPlan.FOutcome = "refused (cannot open)";
      co_return 0;
    }
    const int64_t FSize = FStat.st_size;
    const auto FCount =
        EncodeBlockCount(FSize > kMaxCountedSize ? -1 : static_cast<int32_t>(FSize));
    co_await Write(asio::buffer(FCount));
    const uint64_t FSent = co_await SendFromFile(FFile.FFd, FSize);
    if (static_cast<int64_t>(FSent) != FSize) aPlan.FOutcome = "failed (file changed while sent)";
    co_return FSent;
  }

  // The kernel copies the file to the socket (no pass through our memory); each piece re-arms
  // the deadline, and a full socket waits for room without holding a thread.
  awaitable<uint64_t> SendFromFile(int aFd, int64_t aSize) {
    FSocket.native_non_blocking(true);
    off_t FOffset = 0;
    while (FOffset < aSize) {
      Arm();
      const ssize_t FSent =
          ::sendfile(FSocket.native_handle(), aFd, &FOffset,
                     static_cast<size_t>(std::min<int64_t>(aSize - FOffset, kSendPiece)));
      if (FSent > 0) continue;
      if (FSent == 0 || (errno != EAGAIN && errno != EINTR)) break; // file shrank, or peer gone
      co_await FSocket.async_wait(asio::ip::tcp::socket::wait_write, use_awaitable);
    }
    co_return static_cast<uint64_t>(FOffset);
  }

  // Reads n bytes, taking first what the request line's read left over.
  awaitable<void> ReadExact(char* aTarget, size_t aCount) {
    const size_t FFromBuffer = std::min(aCount, FBuffer.size());
    std::copy_n(FBuffer.data(), FFromBuffer, aTarget);
    FBuffer.erase(0, FFromBuffer);
    if (FFromBuffer < aCount) {
      Arm();
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
    while (FReceived < static_cast<uint64_t>(FCount)) {
      const size_t FTake = std::min<uint64_t>(FPiece.size(), FCount - FReceived);
      co_await ReadExact(FPiece.data(), FTake);
      if (FUpload && !FUpload->Write(FPiece.data(), FTake)) {
        aPlan.FOutcome = "failed (cannot write)";
        FUpload.reset(); // the rest is read and dropped
      }
      FReceived += FTake;
    }
    if (FUpload && !FUpload->Commit()) aPlan.FOutcome = "failed (cannot store)";
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
  std::string FPeer;
  std::string FBuffer;
};

} // namespace

TServer::TServer(TServerOptions aOptions, TRequestHandler& aHandler)
    : FOptions(std::move(aOptions)), FHandler(aHandler), FAcceptor(FContext),
      FSignals(FContext, SIGINT, SIGTERM) {
  const asio::ip::tcp::endpoint FEndpoint(asio::ip::make_address(FOptions.FListen), FOptions.FPort);
  FAcceptor.open(FEndpoint.protocol());
  FAcceptor.set_option(asio::ip::tcp::acceptor::reuse_address(true));
  FAcceptor.bind(FEndpoint);
  FAcceptor.listen();
}

void TServer::Run() {
  FSignals.async_wait([this](std::error_code, int) {
    std::error_code FIgnored;
    FAcceptor.close(FIgnored);
    FContext.stop();
  });
  asio::co_spawn(FContext, Accept(), asio::detached);
  std::vector<std::thread> FThreads;
  for (int i = 1; i < FOptions.FThreads; ++i)
    FThreads.emplace_back([this] { FContext.run(); });
  FContext.run();
  for (auto& FThread : FThreads)
    FThread.join();
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
    if (FActive >= FOptions.FMaxConnections) {
      Log(FSocket.remote_endpoint(FError).address().to_string(), "-", "", "refused (busy)", 0);
      FSocket.close(FError);
      continue;
    }
    std::make_shared<TConnection>(std::move(FSocket), *this)->Start();
  }
}

void TServer::Log(const std::string& aPeer, const std::string& aCommand,
                  const std::string& aArgument, const std::string& aOutcome, uint64_t aBytes) {
  std::lock_guard FGuard(FLogLock);
  std::cerr << LocalTimeText() << ' ' << aPeer << ' ' << aCommand << ' '
            << (aArgument.empty() ? "-" : aArgument) << ' ' << aOutcome << ' ' << aBytes
            << std::endl;
}

} // namespace zelvo::server
