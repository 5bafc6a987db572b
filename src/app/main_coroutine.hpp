#pragma once
// Starts a coroutine on the main executor; an exception escaping it is reported, never swallowed.
#include <boost/asio/awaitable.hpp>

namespace veltrano::app {

namespace asio = boost::asio;

void spawnOnMain(asio::awaitable<void> work);

}  // namespace veltrano::app
