// The headroom check in a child process whose descriptors and /proc the test controls.
#include <gtest/gtest.h>

#include <sched.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/webrtc/descriptor_headroom.hpp"

namespace veltrano::webrtc {
namespace {

// Runs `check` in a child and returns its exit code.
template <typename Check>
int inChild(Check check) {
  const pid_t pid = ::fork();
  if (pid == 0) ::_exit(check());
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(DescriptorHeadroom, RefusesAtTheLimitAndLetsThroughWhenTheCountIsUnknown) {
  if (::geteuid() != 0) GTEST_SKIP() << "hiding /proc needs root";
  enum : int { refused = 10, allowed = 11, cannotHideProc = 12 };
  // At the limit even the count's own folder cannot be opened.
  EXPECT_EQ(inChild([] {
              ::close_range(3, ~0U, 0);
              rlimit limit{};
              ::getrlimit(RLIMIT_NOFILE, &limit);
              limit.rlim_cur = 3;
              ::setrlimit(RLIMIT_NOFILE, &limit);
              return hasDescriptorHeadroom(0) ? allowed : refused;
            }),
            refused);
  // Without /proc nothing is known, and a peer is let through.
  const int withoutProc = inChild([] {
              if (::unshare(CLONE_NEWNS) != 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
                  ::mount("tmpfs", "/proc", "tmpfs", 0, nullptr) != 0) {
                return cannotHideProc;
              }
              return hasDescriptorHeadroom() ? allowed : refused;
            });
  if (withoutProc == cannotHideProc) GTEST_SKIP() << "this machine allows no mount namespace";
  EXPECT_EQ(withoutProc, allowed);
}

}  // namespace
}  // namespace veltrano::webrtc
