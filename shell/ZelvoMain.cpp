// zelvo: the desktop client. Start: HomeDir, the run-once record and the instance test, the
// login window, the message loop; an error that escapes a handler is shown in the error box.
#include <QApplication>
#include <QLibraryInfo>
#include <QMessageBox>
#include <QSessionManager>
#include <QTranslator>

#include "common/Globals.h"
#include "shell/ClientMain.h"
#include "shell/RunOnceUnit.h"
#include "shell/SignalExit.h"

namespace zelvo {
namespace {

// The message text with "." appended unless it already ends in a character up to ".".
QString ErrorText(const QString& aMessage) {
  return !aMessage.isEmpty() && aMessage.back().unicode() <= u'.' ? aMessage : aMessage + u'.';
}

class TApplication final : public QApplication {
public:
  using QApplication::QApplication;
  bool notify(QObject* aReceiver, QEvent* aEvent) override {
    try {
      return QApplication::notify(aReceiver, aEvent);
    } catch (const std::exception& aError) {
      QMessageBox FBox(QMessageBox::Critical, ApplicationTitle(),
                       ErrorText(QString::fromUtf8(aError.what())), QMessageBox::NoButton,
                       activeWindow());
      FBox.addButton(QStringLiteral("确定"), QMessageBox::AcceptRole);
      FBox.exec();
    }
    return false;
  }
};

} // namespace
} // namespace zelvo

int main(int argc, char** argv) {
  using namespace zelvo;
  InitHomeDir();
  TApplication FApp(argc, argv);
  TRunOnce FRunOnce;
  FRunOnce.OpenRunOnceMap();
  TClientFrm* FWindow = nullptr;
  if (FRunOnce.AlreadyRunning([&] {
        if (FWindow && FRunOnce.MainFormHandle() != 0) FWindow->RestoreFromSecondStart();
      }))
    return 0;
  // The interface is Chinese: Qt's own buttons and dialogs read 确定/取消, not OK/Cancel.
  QTranslator FQtTexts;
  if (FQtTexts.load(QStringLiteral("qtbase_zh_CN"),
                    QLibraryInfo::path(QLibraryInfo::TranslationsPath)))
    QApplication::installTranslator(&FQtTexts);
  TDesktop FDesktop;
  TClientFrm FForm(FDesktop);
  FWindow = &FForm;
  FRunOnce.SaveMainFormHandle(1);
  // SIGTERM, SIGINT and a desktop log-out end the program as 退出 does: the drives are
  // unmounted, never left stale behind it.
  const auto FExit = [&] {
    ExitRequested = true;
    FForm.close();
  };
  TSignalExit FSignals(FExit);
  QObject::connect(&FApp, &QGuiApplication::commitDataRequest, [&](QSessionManager&) { FExit(); });
  FApp.setQuitOnLastWindowClosed(false);
  FForm.show();
  const int FResult = FApp.exec();
  FRunOnce.CloseRunOnceMap();
  return FResult;
}
