#include "base/thread_checks.hpp"

#include <cstdio>
#include <cstdlib>

namespace veltrano::thread_checks {

void fail(const char* contract, const std::source_location& where) {
  std::fprintf(stderr, "%s:%u: %s called off %s\n", where.file_name(), static_cast<unsigned>(where.line()),
               where.function_name(), contract);
  std::fflush(stderr);
  std::abort();
}

}  // namespace veltrano::thread_checks
