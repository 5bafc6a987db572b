#include "app/window_renderer.hpp"

#include <QQuickWindow>
#include <QSGRendererInterface>

#include <cstdlib>

#include "platform/graphics/render_nodes.hpp"

namespace veltrano::app {
namespace {

bool isSet(const char* name) {
  const char* value = std::getenv(name);
  return value && *value;
}

}  // namespace

WindowRenderer::WindowRenderer() {
  // Mesa reads it when the rasteriser starts; a window this size needs no more.
  if (!isSet("LP_NUM_THREADS")) ::setenv("LP_NUM_THREADS", "2", 0);
  if (isSet("QT_QUICK_BACKEND") || isSet("QSG_RHI_BACKEND") || platform::hasGpuRenderNode()) return;
  QQuickWindow::setGraphicsApi(QSGRendererInterface::Software);
  if (!isSet("QT_XCB_GL_INTEGRATION")) {
    ::setenv("QT_XCB_GL_INTEGRATION", "none", 1);
    setGlIntegration_ = true;
  }
}

void WindowRenderer::qtStarted() {
  if (setGlIntegration_) ::unsetenv("QT_XCB_GL_INTEGRATION");
}

}  // namespace veltrano::app
