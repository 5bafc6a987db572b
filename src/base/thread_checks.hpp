#pragma once
// Run-time checks of the thread contracts that comments state ("main thread only", "strand only"). Active when
// built with VELTRANO_THREAD_CHECKS (debug and sanitizer builds); free otherwise. A failed check reports the
// caller's file and line and aborts, so a test that breaks a contract fails at the faulty call.
#include "base/executors.hpp"

namespace veltrano {

namespace thread_checks {
// The caller's place. Taken with the compilers' builtins rather than std::source_location, which the clang that
// builds the fuzzers does not offer.
struct CallSite {
  const char* file;
  unsigned line;
  const char* function;
};
[[noreturn]] void fail(const char* contract, const CallSite& where);
}  // namespace thread_checks

// The call site's builtins stand as default arguments of their own: only there do both compilers fill in the caller.
inline void assertOnMainThread(const char* file = __builtin_FILE(), int line = __builtin_LINE(),
                               const char* function = __builtin_FUNCTION()) {
#ifdef VELTRANO_THREAD_CHECKS
  if (!isOnMainThread()) thread_checks::fail("the main thread", {file, static_cast<unsigned>(line), function});
#else
  (void)file;
  (void)line;
  (void)function;
#endif
}

namespace thread_checks {
// Fails unless the caller runs on `strand` (`wanted` true) or off it (`wanted` false).
template <class Executor>
void expectStrand(const asio::strand<Executor>& strand, bool wanted, const char* contract, const char* file, int line,
                  const char* function) {
#ifdef VELTRANO_THREAD_CHECKS
  if (strand.running_in_this_thread() != wanted) fail(contract, {file, static_cast<unsigned>(line), function});
#else
  (void)strand;
  (void)wanted;
  (void)contract;
  (void)file;
  (void)line;
  (void)function;
#endif
}
}  // namespace thread_checks

template <class Executor>
void assertOnStrand(const asio::strand<Executor>& strand, const char* file = __builtin_FILE(),
                    int line = __builtin_LINE(), const char* function = __builtin_FUNCTION()) {
  thread_checks::expectStrand(strand, true, "its strand", file, line, function);
}

// For calls that block until their strand has run a step: made from the strand itself they would wait forever.
template <class Executor>
void assertOffStrand(const asio::strand<Executor>& strand, const char* file = __builtin_FILE(),
                     int line = __builtin_LINE(), const char* function = __builtin_FUNCTION()) {
  thread_checks::expectStrand(strand, false, "threads other than its strand", file, line, function);
}

}  // namespace veltrano
