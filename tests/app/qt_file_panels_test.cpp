// The program's open and save panels: real Qt file dialogs driven as the user would, results on the main queue.
#include <QApplication>
#include <QFileDialog>
#include <QFileInfo>

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <vector>

#include "app/qt_file_panels.hpp"
#include "app/qt_test_support.hpp"
#include "base/executors.hpp"
#include "support/temporary_folder.hpp"

namespace veltrano {
namespace {

using testing::processEventsUntil;

class QtFilePanelsTest : public ::testing::Test {
 protected:
  void SetUp() override {
#if defined(__SANITIZE_THREAD__)
    // QFileDialog fills its model on Qt's own (uninstrumented) threads, whose hand-offs through Qt's posted-event
    // list ThreadSanitizer reports from frames it cannot name.
    GTEST_SKIP() << "reports inside uninstrumented Qt file-dialog threads under ThreadSanitizer";
#endif
  }
  ~QtFilePanelsTest() override {
    for (QWidget* widget : QApplication::topLevelWidgets()) {
      if (qobject_cast<QFileDialog*>(widget)) widget->deleteLater();
    }
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  }

  FilePanelPresenter::Completion record() {
    return [this](FilePanelResult result) { results_.push_back(std::move(result)); };
  }

  // The one panel on screen.
  static QFileDialog* shownDialog() {
    QFileDialog* shown = nullptr;
    for (QWidget* widget : QApplication::topLevelWidgets()) {
      auto* dialog = qobject_cast<QFileDialog*>(widget);
      if (dialog && dialog->isVisible()) {
        EXPECT_EQ(shown, nullptr) << "more than one panel shown";
        shown = dialog;
      }
    }
    return shown;
  }

  // Waits for the one completion, then for a marker posted after it: a second completion would have run by then.
  FilePanelResult onlyResult() {
    EXPECT_TRUE(processEventsUntil([&] { return !results_.empty(); }));
    bool drained = false;
    performOnMainRunLoop([&] { drained = true; });
    EXPECT_TRUE(processEventsUntil([&] { return drained; }));
    EXPECT_EQ(results_.size(), 1u);
    return results_.empty() ? FilePanelResult{} : results_.front();
  }

  testing::QtMainForTests main_;
  testing::TemporaryFolder folder_{"veltrano-panels"};
  app::QtFilePanelPresenter presenter_;
  std::vector<FilePanelResult> results_;
};

QString qtPath(const std::filesystem::path& path) { return QString::fromStdString(path.string()); }

TEST_F(QtFilePanelsTest, OpenPanelReturnsTheChosenLinkAsItselfQueued) {
  testing::writeText(folder_ / "photo.jpg", "jpeg");
  std::filesystem::create_symlink(folder_ / "photo.jpg", folder_ / "latest.jpg");
  OpenPanelOptions options;
  options.prompt = "Send";
  options.message = "Choose a file to send";
  auto panel = presenter_.beginOpenPanel(options, record());

  QFileDialog* dialog = shownDialog();
  ASSERT_NE(dialog, nullptr);
  EXPECT_EQ(dialog->labelText(QFileDialog::Accept), "Send");
  EXPECT_EQ(dialog->windowTitle(), "Choose a file to send");
  EXPECT_EQ(dialog->acceptMode(), QFileDialog::AcceptOpen);
  EXPECT_EQ(dialog->fileMode(), QFileDialog::ExistingFile);
  EXPECT_TRUE(dialog->testOption(QFileDialog::DontResolveSymlinks));
  // Off X (these tests draw offscreen) no display is known, and none is reported.
  bool reported = false;
  panel->reportDisplay([&](std::uint32_t) { reported = true; });

  dialog->selectFile(qtPath(folder_ / "latest.jpg"));
  static_cast<QDialog*>(dialog)->accept();  // as the accept button does
  EXPECT_TRUE(results_.empty()) << "the completion ran inside the accept";
  const FilePanelResult result = onlyResult();
  EXPECT_TRUE(result.ok);
  EXPECT_EQ(result.path, folder_ / "latest.jpg");
  EXPECT_FALSE(reported);
}

TEST_F(QtFilePanelsTest, OpenPanelOffersDirectoriesOnlyWhenFilesCannotBeChosen) {
  struct Case {
    bool files, directories;
    QFileDialog::FileMode mode;
  };
  for (const Case& c : {Case{true, false, QFileDialog::ExistingFile}, Case{false, true, QFileDialog::Directory}}) {
    OpenPanelOptions options;
    options.canChooseFiles = c.files;
    options.canChooseDirectories = c.directories;
    auto panel = presenter_.beginOpenPanel(options, record());
    QFileDialog* dialog = shownDialog();
    ASSERT_NE(dialog, nullptr);
    EXPECT_EQ(dialog->fileMode(), c.mode);
    EXPECT_EQ(dialog->testOption(QFileDialog::ShowDirsOnly), c.directories);
    panel->cancel();
  }
}

TEST_F(QtFilePanelsTest, SavePanelProposesTheNameAndReturnsTheChosenPath) {
  SavePanelOptions options;
  options.prompt = "Save";
  options.nameFieldValue = "report.pdf";
  auto panel = presenter_.beginSavePanel(options, record());

  QFileDialog* dialog = shownDialog();
  ASSERT_NE(dialog, nullptr);
  EXPECT_EQ(dialog->acceptMode(), QFileDialog::AcceptSave);
  EXPECT_EQ(dialog->labelText(QFileDialog::Accept), "Save");
  ASSERT_FALSE(dialog->selectedFiles().isEmpty());
  EXPECT_EQ(QFileInfo(dialog->selectedFiles().first()).fileName(), "report.pdf");
  EXPECT_FALSE(dialog->testOption(QFileDialog::ReadOnly)) << "new folders are allowed";

  dialog->selectFile(qtPath(folder_ / "kept.pdf"));
  static_cast<QDialog*>(dialog)->accept();  // as the accept button does
  const FilePanelResult result = onlyResult();
  EXPECT_TRUE(result.ok);
  EXPECT_EQ(result.path, folder_ / "kept.pdf");
}

// Every way a panel ends without a choice completes it once, queued, as not confirmed, and takes it off screen.
TEST_F(QtFilePanelsTest, APanelEndedWithoutAChoiceCompletesOnceAsDismissed) {
  struct Case {
    const char* name;
    std::function<void(std::shared_ptr<FilePanel>&, QFileDialog*)> end;
  };
  const std::vector<Case> cases = {
      {"the user rejects", [](auto&, QFileDialog* dialog) { dialog->reject(); }},
      {"cancelled twice",
       [](auto& panel, QFileDialog*) {
         panel->cancel();
         panel->cancel();
       }},
      {"the handle dropped", [](auto& panel, QFileDialog*) { panel.reset(); }},
      {"the dialog destroyed", [](auto&, QFileDialog* dialog) { delete dialog; }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    results_.clear();
    auto panel = presenter_.beginOpenPanel(OpenPanelOptions{}, record());
    QFileDialog* dialog = shownDialog();
    ASSERT_NE(dialog, nullptr);
    c.end(panel, dialog);
    EXPECT_TRUE(results_.empty()) << "the completion ran inside the call that ended the panel";
    const FilePanelResult result = onlyResult();
    EXPECT_FALSE(result.ok);
    EXPECT_EQ(result.path, std::nullopt);
    EXPECT_EQ(shownDialog(), nullptr);
    if (panel) panel->cancel();  // after the end: nothing more
    EXPECT_EQ(onlyResult().ok, false);
  }
}

}  // namespace
}  // namespace veltrano
