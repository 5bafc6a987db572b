#pragma once
// Run-time checks of the thread contracts that comments state ("main thread only", "strand only"). Active when
// built with VELTRANO_THREAD_CHECKS (debug and sanitizer builds); free otherwise. A failed check reports the
// caller's file and line and aborts, so a test that breaks a contract fails at the faulty call.
#include <source_location>

#include "base/executors.hpp"

namespace veltrano {

namespace thread_checks {
[[noreturn]] void fail(const char* contract, const std::source_location& where);
}  // namespace thread_checks

inline void assertOnMainThread(const std::source_location where = std::source_location::current()) {
#ifdef VELTRANO_THREAD_CHECKS
  if (!isOnMainThread()) thread_checks::fail("the main thread", where);
#else
  (void)where;
#endif
}

template <class Executor>
void assertOnStrand(const asio::strand<Executor>& strand,
                    const std::source_location where = std::source_location::current()) {
#ifdef VELTRANO_THREAD_CHECKS
  if (!strand.running_in_this_thread()) thread_checks::fail("its strand", where);
#else
  (void)strand;
  (void)where;
#endif
}

}  // namespace veltrano
