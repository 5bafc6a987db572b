#include "platform/graphics/render_nodes.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace fs = std::filesystem;
using veltrano::platform::hasGpuRenderNode;

namespace {

class RenderNodeFolder : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/veltrano-dri-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { fs::remove_all(dir_); }
  void add(const std::string& name, fs::perms perms = fs::perms::owner_read | fs::perms::owner_write) {
    std::ofstream(dir_ / name).put('\0');
    fs::permissions(dir_ / name, perms);
  }
  fs::path dir_;
};

}  // namespace

TEST_F(RenderNodeFolder, OnlyAnOpenableRenderNodeCountsAsAGpu) {
  EXPECT_FALSE(hasGpuRenderNode((dir_ / "absent").string()));
  EXPECT_FALSE(hasGpuRenderNode(dir_.string()));
  // A display controller without a render node (simple framebuffer): no GPU to render with.
  add("card0");
  add("by-path-renderD128-link");
  EXPECT_FALSE(hasGpuRenderNode(dir_.string()));
  add("renderD128");
  EXPECT_TRUE(hasGpuRenderNode(dir_.string()));
}

TEST_F(RenderNodeFolder, ARenderNodeThisUserMayNotOpenIsNoGpu) {
  if (::geteuid() == 0) GTEST_SKIP() << "root may open any node";
  add("renderD128", fs::perms::owner_read);
  EXPECT_FALSE(hasGpuRenderNode(dir_.string()));
}
