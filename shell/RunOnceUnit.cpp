#include "shell/RunOnceUnit.h"

#include <QDir>
#include <QFile>
#include <QLocalSocket>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <unistd.h>

namespace zelvo {
namespace {

constexpr char kRecordName[] = "{YunDiskClientMapFile-20190501}";
constexpr char kWakeName[] = "{YunDiskClientMapFile-20190501}.wake";
constexpr int kWakeTimeOutMs = 15000;

uint32_t Get32(const uint8_t* aAt) {
  return uint32_t{aAt[0]} | uint32_t{aAt[1]} << 8 | uint32_t{aAt[2]} << 16 | uint32_t{aAt[3]} << 24;
}

void Put32(uint8_t* aAt, uint32_t aValue) {
  for (int i = 0; i < 4; ++i)
    aAt[i] = static_cast<uint8_t>(aValue >> (8 * i));
}

} // namespace

TRunOnce::TRunOnce(QString aFolder) : FFolder(aFolder.isEmpty() ? RuntimeFolder() : aFolder) {}

TRunOnce::~TRunOnce() {
  CloseRunOnceMap();
}

QString TRunOnce::RuntimeFolder() {
  const QString FRuntime = qEnvironmentVariable("XDG_RUNTIME_DIR");
  if (!FRuntime.isEmpty() && QDir(FRuntime).exists()) return FRuntime;
  const QString FPrivate = QStringLiteral("/tmp/zelvo-runtime-%1").arg(::getuid());
  QDir().mkpath(FPrivate);
  QFile::setPermissions(FPrivate, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
  return FPrivate;
}

bool TRunOnce::OpenRunOnceMap() {
  const QByteArray FPath = (FFolder + u'/' + QLatin1String(kRecordName)).toUtf8();
  FFd = ::open(FPath.constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (FFd < 0) return false;
  void* FMapped = MAP_FAILED;
  if (::ftruncate(FFd, 8) == 0)
    FMapped = ::mmap(nullptr, 8, PROT_READ | PROT_WRITE, MAP_SHARED, FFd, 0);
  if (FMapped == MAP_FAILED) {
    ::close(FFd);
    FFd = -1;
    return false;
  }
  FView = static_cast<uint8_t*>(FMapped);
  return true;
}

bool TRunOnce::AlreadyRunning(std::function<void()> aOnRestore) {
  if (FView == nullptr) return false;
  if (::flock(FFd, LOCK_EX | LOCK_NB) == 0) {
    // The first copy, or the first since the last one ended: a fresh record.
    Put32(FView, static_cast<uint32_t>(::getpid()));
    Put32(FView + 4, 0);
    FOnRestore = std::move(aOnRestore);
    Serve();
    return false;
  }
  QLocalSocket FSocket;
  FSocket.connectToServer(FFolder + u'/' + QLatin1String(kWakeName));
  if (FSocket.waitForConnected(kWakeTimeOutMs)) {
    FSocket.write("restore\n");
    FSocket.flush();
    while (!FSocket.canReadLine() && FSocket.waitForReadyRead(kWakeTimeOutMs)) {
    }
  }
  return true;
}

void TRunOnce::Serve() {
  const QString FName = FFolder + u'/' + QLatin1String(kWakeName);
  QLocalServer::removeServer(FName); // left by a copy that crashed
  FServer.listen(FName);
  connect(&FServer, &QLocalServer::newConnection, this, [this] {
    while (QLocalSocket* FPeer = FServer.nextPendingConnection()) {
      connect(FPeer, &QLocalSocket::readyRead, this, [this, FPeer] {
        if (!FPeer->canReadLine()) return;
        FPeer->readLine();
        if (FOnRestore) FOnRestore();
        FPeer->write("done\n");
        FPeer->flush();
        FPeer->disconnectFromServer();
      });
      connect(FPeer, &QLocalSocket::disconnected, FPeer, &QObject::deleteLater);
    }
  });
}

void TRunOnce::SaveMainFormHandle(uint32_t aHandle) {
  if (FView != nullptr) Put32(FView + 4, aHandle);
}

uint32_t TRunOnce::AppHandle() const {
  return FView ? Get32(FView) : 0;
}
uint32_t TRunOnce::MainFormHandle() const {
  return FView ? Get32(FView + 4) : 0;
}

void TRunOnce::CloseRunOnceMap() {
  FServer.close();
  if (FView != nullptr) ::munmap(FView, 8);
  if (FFd >= 0) ::close(FFd);
  FView = nullptr;
  FFd = -1;
}

} // namespace zelvo
