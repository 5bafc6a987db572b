#pragma once
// The open and save panels of the program: Qt file dialogs shown without blocking the main thread.
#include <QPointer>
#include <QWindow>

#include <memory>

#include "filetransfer/file_panels.hpp"

namespace veltrano::app {

class QtFilePanelPresenter final : public FilePanelPresenter {
 public:
  std::shared_ptr<FilePanel> beginOpenPanel(const OpenPanelOptions& options, Completion completion) override;
  std::shared_ptr<FilePanel> beginSavePanel(const SavePanelOptions& options, Completion completion) override;
  void activateApplication() override;

  // The window brought forward by activateApplication while it is shown; forgotten when it is destroyed.
  void setMainWindow(QWindow* window) { mainWindow_ = window; }

 private:
  QPointer<QWindow> mainWindow_;
};

}  // namespace veltrano::app
