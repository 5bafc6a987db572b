#pragma once
// The system log: journald when its socket is reachable, else standard error.
#include <string>
#include <string_view>
#include <vector>

namespace veltrano::platform {

enum class SystemLogLevel { info, error };

struct SystemLogOptions {
  std::string identifier;  // SYSLOG_IDENTIFIER
  std::string category;    // written as the VELTRANO_CATEGORY field
  // The socket libsystemd sends to; tests point it elsewhere to make the journal unreachable.
  std::string journalSocketPath = "/run/systemd/journal/socket";
  int fallbackFd = 2;  // where lines go when no journal is reachable
};

class SystemLog {
 public:
  explicit SystemLog(SystemLogOptions options);

  // Thread-safe. Never fails: a line the journal refuses goes to the fallback descriptor.
  void write(SystemLogLevel level, std::string_view text) const;

  // The journal fields of one line, in the order they are sent.
  std::vector<std::string> journalFields(SystemLogLevel level, std::string_view text) const;
  // The line written to the fallback descriptor, ending in a line feed.
  std::string fallbackLine(std::string_view text) const;

  static int priority(SystemLogLevel level);  // syslog priority: 3 error, 6 info

 private:
  bool journalReachable() const;
  bool sendToJournal(SystemLogLevel level, std::string_view text) const;
  void writeFallback(std::string_view text) const;

  SystemLogOptions options_;
};

}  // namespace veltrano::platform
