#pragma once
// Qt's X11 backend ends the program with exit(1) from the GUI thread when the connection to the X server breaks, as
// Xlib's default handler does. exit() then runs static destructors under threads that still work, which can crash the
// program (Xlib, which Qt loads, does the same from its I/O error handler). While a guard lives, that end is made
// clean: at Qt's warning just before its exit, at Xlib's handler, or failing both at the exit itself, the guard logs
// one clear line, runs its last steps and ends the process at once with status 1; the kernel closes every socket.
#include <QString>
#include <QtGlobal>

#include <functional>

namespace veltrano::app {

class UnexpectedExitGuard {
 public:
  // `xConnectionError`: what broke the program's X connection (0 while it works); any thread. `lastSteps`: quick
  // clean-up that must happen even on such an end.
  UnexpectedExitGuard(std::function<int()> xConnectionError, std::function<void()> lastSteps);
  ~UnexpectedExitGuard();  // an exit after this is the program's own
  UnexpectedExitGuard(const UnexpectedExitGuard&) = delete;
  UnexpectedExitGuard& operator=(const UnexpectedExitGuard&) = delete;

  static constexpr int exitStatus = 1;

  // For a library's own report of the broken connection (Xlib's I/O error handler): ends the process.
  static void connectionLost();

 private:
  static void onQtMessage(QtMsgType type, const QMessageLogContext& context, const QString& text);
  static void onExit();
  // A warning ends the process only when the X connection broke; the other causes always do.
  enum class Cause { warning, connectionLost, exit };
  static void end(Cause cause);

  std::function<int()> xConnectionError_;
  std::function<void()> lastSteps_;
};

}  // namespace veltrano::app
