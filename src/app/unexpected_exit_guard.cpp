#include "app/unexpected_exit_guard.hpp"

#include <fmt/format.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>

#include "core/app_logger.hpp"

namespace veltrano::app {
namespace {
std::atomic<UnexpectedExitGuard*> armed{nullptr};
std::atomic<bool> ending{false};
std::atomic<QtMessageHandler> previousHandler{nullptr};
}  // namespace

UnexpectedExitGuard::UnexpectedExitGuard(std::function<int()> xConnectionError, std::function<void()> lastSteps)
    : xConnectionError_(std::move(xConnectionError)), lastSteps_(std::move(lastSteps)) {
  static const bool registered = std::atexit(&UnexpectedExitGuard::onExit) == 0;
  (void)registered;
  armed = this;
  previousHandler = qInstallMessageHandler(&UnexpectedExitGuard::onQtMessage);
}

UnexpectedExitGuard::~UnexpectedExitGuard() {
  UnexpectedExitGuard* self = this;
  armed.compare_exchange_strong(self, nullptr);
  qInstallMessageHandler(previousHandler.load());
}

void UnexpectedExitGuard::onQtMessage(QtMsgType type, const QMessageLogContext& context, const QString& text) {
  if (const QtMessageHandler previous = previousHandler.load()) {
    previous(type, context, text);
  } else {
    std::fprintf(stderr, "%s\n", qPrintable(qFormatLogMessage(type, context, text)));
  }
  // Qt warns just before it exits on a broken connection.
  if (type != QtDebugMsg && type != QtInfoMsg) end(Cause::warning);
}

void UnexpectedExitGuard::onExit() { end(Cause::exit); }

void UnexpectedExitGuard::connectionLost() { end(Cause::connectionLost); }

void UnexpectedExitGuard::end(Cause cause) {
  UnexpectedExitGuard* guard = armed.load();
  if (!guard) return;
  const int error = guard->xConnectionError_ ? guard->xConnectionError_() : 0;
  if (cause == Cause::warning && error == 0) return;
  // One thread ends the process; any other that gets here waits for that.
  if (ending.exchange(true)) {
    for (;;) ::pause();
  }
  if (error != 0 || cause == Cause::connectionLost) {
    log(LogCategory::Error, fmt::format("The connection to the X server broke (xcb error {}): the program ends "
                                        "with exit status {}",
                                        error, exitStatus));
  } else {
    log(LogCategory::Error,
        fmt::format("The program was ended from inside while it ran: it ends with exit status {}", exitStatus));
  }
  if (guard->lastSteps_) guard->lastSteps_();
  ::_exit(exitStatus);
}

}  // namespace veltrano::app
