#pragma once
// The open and save panels through which the computer's user picks a file to send or a place to store one.
// The application supplies dialogs; tests supply scripted ones.
//
// Contract (main thread only): begin...Panel shows the panel without blocking and returns it; its completion runs
// exactly once, on the main thread, queued (never from inside begin...Panel or cancel()). cancel() closes the
// panel as if the user dismissed it and may be called any number of times.
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace veltrano {

struct FilePanelResult {
  bool ok = false;                              // the user confirmed
  std::optional<std::filesystem::path> path;    // the chosen item, absolute
};

class FilePanel {
 public:
  virtual ~FilePanel() = default;
  virtual void cancel() = 0;
  // Passes the display the panel is shown on (a display identifier) to `report` once it is known: queued on the
  // main thread, at most once, and never while it stays unknown. A panel learns its display only once shown.
  virtual void reportDisplay(std::function<void(std::uint32_t)> report) = 0;
};

struct OpenPanelOptions {
  std::string prompt;
  std::string message;
  bool canChooseFiles = true;
  bool canChooseDirectories = false;
  bool allowsMultipleSelection = false;
  bool resolvesAliases = false;  // a symbolic link is returned as itself
};

struct SavePanelOptions {
  std::string prompt;
  std::string message;
  std::string nameFieldValue;
  bool canCreateDirectories = true;
};

class FilePanelPresenter {
 public:
  using Completion = std::function<void(FilePanelResult)>;
  virtual ~FilePanelPresenter() = default;
  virtual std::shared_ptr<FilePanel> beginOpenPanel(const OpenPanelOptions& options, Completion completion) = 0;
  virtual std::shared_ptr<FilePanel> beginSavePanel(const SavePanelOptions& options, Completion completion) = 0;
  // Brings the application to the front so the panel is seen.
  virtual void activateApplication() = 0;
};

}  // namespace veltrano
