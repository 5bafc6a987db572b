#include "app/window_renderer.hpp"

#include <gtest/gtest.h>

#include <QQuickWindow>
#include <QString>

#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "platform/graphics/render_nodes.hpp"

namespace {

using veltrano::app::WindowRenderer;

// Puts the variables and the graphics API back as they were, so the other tests of this process see no change.
class WindowRendererTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (veltrano::platform::hasGpuRenderNode()) GTEST_SKIP() << "this machine has a GPU render node";
    for (const char* name : kNames) {
      const char* value = std::getenv(name);
      saved_.push_back(value ? std::optional<std::string>(value) : std::nullopt);
      ::unsetenv(name);
    }
    backend_ = QQuickWindow::sceneGraphBackend();
  }
  void TearDown() override {
    if (saved_.empty()) return;
    for (std::size_t i = 0; i < std::size(kNames); ++i) {
      if (saved_[i]) ::setenv(kNames[i], saved_[i]->c_str(), 1);
      else ::unsetenv(kNames[i]);
    }
    QQuickWindow::setSceneGraphBackend(backend_);
  }
  static std::string value(const char* name) {
    const char* v = std::getenv(name);
    return v ? v : "(unset)";
  }

  static constexpr const char* kNames[] = {"LP_NUM_THREADS", "QT_QUICK_BACKEND", "QSG_RHI_BACKEND",
                                           "QT_XCB_GL_INTEGRATION"};
  std::vector<std::optional<std::string>> saved_;
  QString backend_;
};

TEST_F(WindowRendererTest, WithoutAGpuTheWindowIsDrawnInSoftwareAndQtLoadsNoOpenGl) {
  QQuickWindow::setSceneGraphBackend(QString());
  WindowRenderer renderer;
  EXPECT_EQ(QQuickWindow::sceneGraphBackend(), QStringLiteral("software"));
  EXPECT_EQ(value("QT_XCB_GL_INTEGRATION"), "none");
  EXPECT_EQ(value("LP_NUM_THREADS"), "2");
  renderer.qtStarted();
  EXPECT_EQ(value("QT_XCB_GL_INTEGRATION"), "(unset)") << "programs we start would inherit it";
  EXPECT_EQ(value("LP_NUM_THREADS"), "2");
}

TEST_F(WindowRendererTest, TheUsersOwnSettingsWin) {
  QQuickWindow::setSceneGraphBackend(QString());
  ::setenv("QT_QUICK_BACKEND", "rhi", 1);
  ::setenv("LP_NUM_THREADS", "6", 1);
  {
    WindowRenderer renderer;
    renderer.qtStarted();
  }
  EXPECT_EQ(QQuickWindow::sceneGraphBackend(), QString());
  EXPECT_EQ(value("LP_NUM_THREADS"), "6");
  EXPECT_EQ(value("QT_XCB_GL_INTEGRATION"), "(unset)");

  ::unsetenv("QT_QUICK_BACKEND");
  ::setenv("QT_XCB_GL_INTEGRATION", "xcb_egl", 1);
  WindowRenderer renderer;
  renderer.qtStarted();
  EXPECT_EQ(QQuickWindow::sceneGraphBackend(), QStringLiteral("software"));
  EXPECT_EQ(value("QT_XCB_GL_INTEGRATION"), "xcb_egl");
}

}  // namespace
