// zelvo: the desktop client. Start: HomeDir, the run-once record and the instance test, the
// login window, the message loop; an error that escapes a handler is shown in the error box.
#include <QApplication>
#include <QMessageBox>
#include <QSessionManager>

#include "common/Globals.h"
#include "shell/ClientMain.h"
#include "shell/RunOnceUnit.h"

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
      QMessageBox::critical(activeWindow(), ApplicationTitle(),
                            ErrorText(QString::fromUtf8(aError.what())), QMessageBox::Ok);
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
  TDesktop FDesktop;
  TClientFrm FForm(FDesktop);
  FWindow = &FForm;
  FRunOnce.SaveMainFormHandle(1);
  // A log-off asks the window like its close box: unless the exit button was used, it hides.
  QObject::connect(&FApp, &QGuiApplication::commitDataRequest, [&](QSessionManager& aManager) {
    if (!FForm.FormCloseQuery()) {
      FForm.hide();
      aManager.cancel();
    }
  });
  FApp.setQuitOnLastWindowClosed(false);
  FForm.show();
  const int FResult = FApp.exec();
  FRunOnce.CloseRunOnceMap();
  return FResult;
}
