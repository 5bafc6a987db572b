#include "platform/syslog/system_log.hpp"

#include <sys/stat.h>
#include <sys/uio.h>
#include <systemd/sd-journal.h>
#include <unistd.h>

#include <cerrno>

namespace veltrano::platform {

SystemLog::SystemLog(SystemLogOptions options) : options_(std::move(options)) {}

int SystemLog::priority(SystemLogLevel level) { return level == SystemLogLevel::error ? 3 : 6; }

std::vector<std::string> SystemLog::journalFields(SystemLogLevel level, std::string_view text) const {
  std::vector<std::string> fields;
  fields.reserve(4);
  fields.push_back("MESSAGE=" + std::string(text));
  fields.push_back("PRIORITY=" + std::to_string(priority(level)));
  fields.push_back("SYSLOG_IDENTIFIER=" + options_.identifier);
  fields.push_back("VELTRANO_CATEGORY=" + options_.category);
  return fields;
}

std::string SystemLog::fallbackLine(std::string_view text) const {
  std::string line;
  line.reserve(options_.identifier.size() + text.size() + 3);
  line += options_.identifier;
  line += ": ";
  line += text;
  line += '\n';
  return line;
}

// libsystemd reports success when its socket is absent (the line is silently lost), so look for the socket first.
bool SystemLog::journalReachable() const {
  struct stat info {};
  return ::stat(options_.journalSocketPath.c_str(), &info) == 0 && S_ISSOCK(info.st_mode);
}

bool SystemLog::sendToJournal(SystemLogLevel level, std::string_view text) const {
  // sd_journal_sendv takes the fields as they are: no format string, so '%' in a message is harmless,
  // and line feeds inside MESSAGE are encoded by libsystemd.
  auto fields = journalFields(level, text);
  std::vector<iovec> vectors;
  vectors.reserve(fields.size());
  for (auto& field : fields) vectors.push_back(iovec{field.data(), field.size()});
  return sd_journal_sendv(vectors.data(), static_cast<int>(vectors.size())) >= 0;
}

void SystemLog::writeFallback(std::string_view text) const {
  // One write per line so that lines from several threads do not interleave.
  auto line = fallbackLine(text);
  const char* data = line.data();
  std::size_t left = line.size();
  while (left > 0) {
    ssize_t n = ::write(options_.fallbackFd, data, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      return;
    }
    data += n;
    left -= static_cast<std::size_t>(n);
  }
}

void SystemLog::write(SystemLogLevel level, std::string_view text) const {
  if (journalReachable() && sendToJournal(level, text)) return;
  writeFallback(text);
}

}  // namespace veltrano::platform
