#pragma once
#include <functional>

namespace veltrano {

// Runs `block` once on the main thread soon (also inside nested menu and dialog loops), in FIFO order with
// other posted blocks; returns at once. Callable from any thread.
void performOnMainRunLoop(std::function<void()> block);

}  // namespace veltrano
