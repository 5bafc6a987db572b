#pragma once
// A file panel presenter for benchmarks.
#include <filesystem>
#include <memory>
#include <optional>
#include <utility>

#include "base/executors.hpp"
#include "filetransfer/file_panels.hpp"

namespace veltrano::bench {

// File panels that answer at once, as a user who always picks the same file and the same destination.
class PresetPanels final : public FilePanelPresenter {
 public:
  PresetPanels(std::filesystem::path pick, std::filesystem::path destination)
      : pick_(std::move(pick)), destination_(std::move(destination)) {}

  std::shared_ptr<FilePanel> beginOpenPanel(const OpenPanelOptions&, Completion completion) override {
    return Panel::begin(std::move(completion), pick_);
  }
  std::shared_ptr<FilePanel> beginSavePanel(const SavePanelOptions&, Completion completion) override {
    return Panel::begin(std::move(completion), destination_);
  }
  void activateApplication() override {}

 private:
  class Panel final : public FilePanel {
   public:
    static std::shared_ptr<Panel> begin(Completion completion, std::filesystem::path choice) {
      auto panel = std::make_shared<Panel>(std::move(completion));
      panel->finish(FilePanelResult{true, std::move(choice)});
      return panel;
    }
    explicit Panel(Completion completion) : completion_(std::move(completion)) {}
    void cancel() override { finish(FilePanelResult{false, std::nullopt}); }
    void reportDisplay(std::function<void(std::uint32_t)>) override {}  // never shown, so never on a display

   private:
    // The completion runs once, queued on the main thread.
    void finish(FilePanelResult result) {
      if (!completion_) return;
      performOnMainRunLoop([completion = std::move(completion_), result] { completion(result); });
      completion_ = nullptr;
    }
    Completion completion_;
  };

  const std::filesystem::path pick_;
  const std::filesystem::path destination_;
};

}  // namespace veltrano::bench
