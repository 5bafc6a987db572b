#include "app/main_coroutine.hpp"

#include <boost/asio/co_spawn.hpp>

#include <exception>

#include "base/executors.hpp"
#include "core/app_logger.hpp"

namespace veltrano::app {

void spawnOnMain(asio::awaitable<void> work) {
  asio::co_spawn(mainExecutor(), std::move(work), [](std::exception_ptr error) {
    if (!error) return;
    try {
      std::rethrow_exception(error);
    } catch (const std::exception& e) {
      log(LogCategory::Error, std::string("main coroutine failed: ") + e.what());
    } catch (...) {
      log(LogCategory::Error, "main coroutine failed");
    }
  });
}

}  // namespace veltrano::app
