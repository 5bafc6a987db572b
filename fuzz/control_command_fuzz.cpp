// Feeds one control record through what the control server does with it: the line inside the record, JSON
// parsing, the file-transfer check, the phone pointer session, and the command handler (validation, the log
// description and the reply) with an injector that has no event source, on a virtual clock. Every command gets
// exactly one reply that can be sent as a control line, and no log line grows past a bound.
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <memory>
#include <optional>

#include "base/clock.hpp"
#include "base/executors.hpp"
#include "base/json.hpp"
#include "base/log_text.hpp"
#include "control/control_record_lines.hpp"
#include "control/input_command_handler.hpp"
#include "control/input_controller.hpp"
#include "core/log_sink.hpp"
#include "core/log_throttle.hpp"
#include "core/metrics_store.hpp"
#include "filetransfer/file_transfer_message_routing.hpp"

namespace {

using namespace veltrano;
using namespace std::chrono_literals;

// A log line holds a fixed text and a few peer texts of bounded length.
constexpr std::size_t longestLogLine = 8 * maximumLoggedTextSize;

class BoundCheckingSink final : public LogSink {
 public:
  void write(LogCategory, std::string_view message) override {
    if (message.size() > longestLogLine) __builtin_trap();
  }
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  setLogSink(std::make_shared<BoundCheckingSink>());
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::optional<std::string> line = commandLineOfRecord(ByteView(data, size));
  if (!line || line->empty()) return 0;
  const json::ParseResult parsed = json::parseObjectOrArray(*line);
  // File-transfer messages go to the coordinator; their readers have a target of their own.
  if (parsed.value && parsed.value->is_object() && isFileTransferMessage(*parsed.value)) return 0;
  InputCommandHandler::ParsedLine parsedLine = InputCommandHandler::parseLine(*line);

  MainLoopForTests loop;
  VirtualClock clock{[&loop] { loop.drain(); }};
  clock.advance(10s);
  auto metrics = std::make_shared<MetricsStore>();
  auto input = InputController::create(nullptr, [] { return true; }, clock);
  auto handler = InputCommandHandler::create(input, metrics, clock);
  auto commandLog = std::make_shared<LogThrottle>(clock);

  boost::asio::io_context caller;
  std::optional<json::Json> reply;
  boost::asio::co_spawn(caller, handler->handle(std::move(parsedLine), nullptr, commandLog),
                        [&reply](std::exception_ptr error, json::Json value) {
                          if (error) __builtin_trap();  // handle() never fails
                          reply = std::move(value);
                        });
  // Commands that pause (a space switch, a click's release) finish within seconds of virtual time.
  for (int step = 0; step < 100 && !reply; ++step) {
    caller.restart();
    caller.poll();
    loop.drain();
    clock.advance(100ms);
  }
  if (!reply || !controlMessageLine(*reply)) __builtin_trap();

  handler.reset();
  clock.advance(10s);
  loop.drain();
  input.reset();
  loop.drain();
  return 0;
}
