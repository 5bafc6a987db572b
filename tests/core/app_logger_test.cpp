#include "core/app_logger.hpp"
#include "core/log_capture.hpp"
#include "core/system_log_sink.hpp"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <thread>

namespace veltrano {
namespace {

TEST(AppLogger, WritesThroughTheInstalledSinkAndBuildsMessagesOnlyForIt) {
  int built = 0;
  auto previous = setLogSink(nullptr);
  log(LogCategory::INPUT, [&] { return std::to_string(++built); });
  setLogSink(previous);
  EXPECT_EQ(built, 0);

  ScopedLogCapture capture;
  log(LogCategory::NET, "x");
  log(LogCategory::Error, std::string("y"));
  log(LogCategory::HOST, [&] { return std::to_string(++built); });
  EXPECT_EQ(capture.lines(), (std::vector<CapturedLogLine>{
                                 {LogCategory::NET, "x"}, {LogCategory::Error, "y"}, {LogCategory::HOST, "1"}}));
}

TEST(AppLogger, AThrowingBuilderOrSinkNeverReachesTheCaller) {
  struct ThrowingSink : LogSink {
    void write(LogCategory, std::string_view) override { throw std::runtime_error("disk full"); }
  };
  auto previous = setLogSink(std::make_shared<ThrowingSink>());
  EXPECT_NO_THROW(log(LogCategory::HOST, "x"));
  setLogSink(previous);
  ScopedLogCapture capture;
  EXPECT_NO_THROW(log(LogCategory::HOST, []() -> std::string { throw std::runtime_error("boom"); }));
  EXPECT_TRUE(capture.lines().empty());
}

TEST(AppLogger, SinkIsSafeFromManyThreads) {
  ScopedLogCapture capture;
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < 500; ++i) log(LogCategory::METRICS, [&] { return std::to_string(t * 1000 + i); });
    });
  }
  for (auto& thread : threads) thread.join();
  auto messages = capture.messages();
  ASSERT_EQ(messages.size(), 4000u);
  std::sort(messages.begin(), messages.end());
  EXPECT_EQ(std::unique(messages.begin(), messages.end()), messages.end());
}

TEST(SystemLogSink, LevelsAndJournalFields) {
  for (auto category : allLogCategories) {
    EXPECT_EQ(SystemLogSink::level(category), category == LogCategory::Error ? platform::SystemLogLevel::error
                                                                            : platform::SystemLogLevel::info);
  }
  platform::SystemLog journal(SystemLogSink::defaultOptions());
  EXPECT_EQ(journal.journalFields(platform::SystemLogLevel::error, "[ERROR] y"),
            (std::vector<std::string>{"MESSAGE=[ERROR] y", "PRIORITY=3", "SYSLOG_IDENTIFIER=com.tavri.Veltrano",
                                      "VELTRANO_CATEGORY=runtime"}));
  EXPECT_EQ(journal.journalFields(platform::SystemLogLevel::info, "[NET] x")[1], "PRIORITY=6");
}

// Reads what a descriptor received after its writer closed.
std::string drain(int fd) {
  std::string text;
  char buffer[1024];
  ssize_t n;
  while ((n = ::read(fd, buffer, sizeof buffer)) > 0) text.append(buffer, static_cast<std::size_t>(n));
  return text;
}

TEST(SystemLogSink, FallsBackToTheDescriptorWhenNoJournalListens) {
  int pipeFds[2];
  ASSERT_EQ(::pipe(pipeFds), 0);
  auto options = SystemLogSink::defaultOptions();
  options.journalSocketPath = (std::filesystem::temp_directory_path() / "veltrano-no-journal-here").string();
  options.fallbackFd = pipeFds[1];
  SystemLogSink sink(options);
  sink.write(LogCategory::NET, "x");
  sink.write(LogCategory::Error, "y %s %n");
  ::close(pipeFds[1]);
  EXPECT_EQ(drain(pipeFds[0]), "com.tavri.Veltrano: [NET] x\ncom.tavri.Veltrano: [ERROR] y %s %n\n");
  ::close(pipeFds[0]);
}

TEST(SystemLogSink, DefaultLoggerWritesToStandardErrorWithoutAJournal) {
  if (std::filesystem::exists("/run/systemd/journal/socket")) {
    GTEST_SKIP() << "a journal runs on this machine: the line goes there, not to standard error";
  }
  int pipeFds[2];
  ASSERT_EQ(::pipe(pipeFds), 0);
  pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::dup2(pipeFds[1], 2);
    ::close(pipeFds[0]);
    ::close(pipeFds[1]);
    setLogSink(std::make_shared<SystemLogSink>());
    log(LogCategory::CLIENT, "hello from the child");
    std::_Exit(0);
  }
  ::close(pipeFds[1]);
  auto text = drain(pipeFds[0]);
  ::close(pipeFds[0]);
  int status = 0;
  ::waitpid(child, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_EQ(text, "com.tavri.Veltrano: [CLIENT] hello from the child\n");
}

}  // namespace
}  // namespace veltrano
