#include "base/thread_checks.hpp"

#include <cstdio>
#include <cstdlib>

namespace veltrano::thread_checks {

void fail(const char* contract, const CallSite& where) {
  std::fprintf(stderr, "%s:%u: %s called off %s\n", where.file, where.line, where.function, contract);
  std::fflush(stderr);
  std::abort();
}

}  // namespace veltrano::thread_checks
