#include "app/qt_file_panels.hpp"

#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QString>
#include <QThread>

#include <utility>

#include "app/window_display.hpp"
#include "base/executors.hpp"

namespace veltrano::app {

namespace {

// The completion of one panel: handed to the main queue the first time the dialog ends, never again.
class PanelCompletion {
 public:
  explicit PanelCompletion(FilePanelPresenter::Completion completion) : completion_(std::move(completion)) {}

  void finish(FilePanelResult result) {
    if (!completion_) return;
    auto completion = std::exchange(completion_, nullptr);
    performOnMainRunLoop([completion = std::move(completion), result = std::move(result)] { completion(result); });
  }

 private:
  FilePanelPresenter::Completion completion_;
};

FilePanelResult resultOf(const QFileDialog& dialog, int code) {
  if (code != QDialog::Accepted) return {};
  const QStringList files = dialog.selectedFiles();
  if (files.isEmpty()) return {};
  // Absolute without resolving links: a chosen link is sent or replaced as itself.
  const QString absolute = QFileInfo(files.first()).absoluteFilePath();
  return {true, std::filesystem::path(QFile::encodeName(absolute).toStdString())};
}

// Owns one dialog: closing the handle dismisses the dialog, and the dialog goes once it has ended.
class QtFilePanel final : public FilePanel {
 public:
  QtFilePanel(QFileDialog* dialog, FilePanelPresenter::Completion completion) : dialog_(dialog) {
    auto ending = std::make_shared<PanelCompletion>(std::move(completion));
    QObject::connect(dialog, &QDialog::finished, dialog, [dialog, ending](int code) {
      ending->finish(resultOf(*dialog, code));
      dialog->deleteLater();
    });
    QObject::connect(dialog, &QObject::destroyed, [ending] { ending->finish({}); });
  }
  // The host may let go of the panel on an I/O thread while it shuts down: the dialog is closed on its own.
  ~QtFilePanel() override {
    QFileDialog* dialog = dialog_.data();
    if (!dialog) return;
    auto close = [dialog] {
      if (dialog->isVisible()) dialog->reject();
      delete dialog;
    };
    if (QThread::currentThread() == dialog->thread()) {
      close();
    } else {
      QMetaObject::invokeMethod(dialog, close, Qt::QueuedConnection);
    }
  }

  void cancel() override {
    if (dialog_ && dialog_->isVisible()) dialog_->reject();
  }

  void reportDisplay(std::function<void(std::uint32_t)> report) override {
    if (dialog_ && dialog_->windowHandle()) reportWindowDisplay(*dialog_->windowHandle(), std::move(report));
  }

 private:
  QPointer<QFileDialog> dialog_;
};

QFileDialog* makeDialog(const std::string& prompt, const std::string& message) {
  auto* dialog = new QFileDialog(nullptr, QString::fromStdString(message), QDir::homePath());
  if (!prompt.empty()) dialog->setLabelText(QFileDialog::Accept, QString::fromStdString(prompt));
  return dialog;
}

std::shared_ptr<FilePanel> show(QFileDialog* dialog, FilePanelPresenter::Completion completion) {
  auto panel = std::make_shared<QtFilePanel>(dialog, std::move(completion));
  dialog->show();
  dialog->raise();
  dialog->activateWindow();
  return panel;
}

}  // namespace

std::shared_ptr<FilePanel> QtFilePanelPresenter::beginOpenPanel(const OpenPanelOptions& options,
                                                                Completion completion) {
  QFileDialog* dialog = makeDialog(options.prompt, options.message);
  dialog->setAcceptMode(QFileDialog::AcceptOpen);
  // The result carries one path, so one item is chosen even when several are allowed.
  const bool directoriesOnly = options.canChooseDirectories && !options.canChooseFiles;
  dialog->setFileMode(directoriesOnly ? QFileDialog::Directory : QFileDialog::ExistingFile);
  dialog->setOption(QFileDialog::ShowDirsOnly, directoriesOnly);
  dialog->setOption(QFileDialog::DontResolveSymlinks, !options.resolvesAliases);
  return show(dialog, std::move(completion));
}

std::shared_ptr<FilePanel> QtFilePanelPresenter::beginSavePanel(const SavePanelOptions& options,
                                                                Completion completion) {
  QFileDialog* dialog = makeDialog(options.prompt, options.message);
  dialog->setAcceptMode(QFileDialog::AcceptSave);
  dialog->setFileMode(QFileDialog::AnyFile);
  dialog->setOption(QFileDialog::DontResolveSymlinks);
  // A read-only view offers no new folder.
  dialog->setOption(QFileDialog::ReadOnly, !options.canCreateDirectories);
  if (!options.nameFieldValue.empty()) dialog->selectFile(QString::fromStdString(options.nameFieldValue));
  return show(dialog, std::move(completion));
}

void QtFilePanelPresenter::activateApplication() {
  if (!mainWindow_ || !mainWindow_->isVisible()) return;
  mainWindow_->raise();
  mainWindow_->requestActivate();
}

}  // namespace veltrano::app
