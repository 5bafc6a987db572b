#include "core/main_run_loop.hpp"

#include "base/executors.hpp"

namespace veltrano {

void performOnMainRunLoop(std::function<void()> block) { postToMain(std::move(block)); }

}  // namespace veltrano
