#pragma once
// The outcome of one injector operation.
#include <string>

namespace veltrano {

class InputResult {
 public:
  enum class Kind { ok, failed, ignoredAccessibility };

  // The event(s) were posted (or there was nothing to post); `action` names what was done.
  static InputResult ok(std::string action) { return InputResult(Kind::ok, std::move(action)); }
  // Nothing was posted.
  static InputResult failed(std::string message) { return InputResult(Kind::failed, std::move(message)); }
  // The host may not post events; nothing was posted.
  static InputResult ignoredAccessibility() { return InputResult(Kind::ignoredAccessibility, {}); }

  Kind kind() const { return kind_; }
  bool isOk() const { return kind_ == Kind::ok; }
  // The action of `ok`, the message of `failed`, empty otherwise.
  const std::string& text() const { return text_; }

  bool operator==(const InputResult&) const = default;

 private:
  InputResult(Kind kind, std::string text) : kind_(kind), text_(std::move(text)) {}
  Kind kind_;
  std::string text_;
};

// For log lines: ok("mouseMove"), failed("moveMouse: no event"), ignoredAccessibility.
std::string describe(const InputResult& result);

}  // namespace veltrano
