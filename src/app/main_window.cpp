#include "app/main_window.hpp"

#include <QQmlContext>
#include <QQuickImageProvider>
#include <QQuickItem>
#include <QQuickWindow>
#include <QSGRendererInterface>

#include "app/decoration_images.hpp"
#include "app/tray_icons.hpp"

#include "core/localization.hpp"

namespace veltrano::app {

namespace {
// "image://trayicon/idle" and ".../capturing": the tray's drawing, for the window's brand icon.
class TrayIconImages final : public QQuickImageProvider {
 public:
  TrayIconImages() : QQuickImageProvider(QQuickImageProvider::Image) {}
  QImage requestImage(const QString& id, QSize* size, const QSize& requested) override {
    const int pixels = requested.isValid() ? std::max(requested.width(), requested.height()) : 64;
    if (size) *size = QSize(pixels, pixels);
    return drawTrayIcon(id == QStringLiteral("capturing"), pixels);
  }
};

// The items under `item` (those a loader made are children in the scene only) show no picture any more.
void releaseImages(QQuickItem* item) {
  if (item->inherits("QQuickImageBase")) item->setProperty("source", QUrl());
  for (QQuickItem* child : item->childItems()) releaseImages(child);
}
}  // namespace

MainWindow::MainWindow(HostBridge& host, WindowShell& shell, std::function<void()> onClosedToQuit, QObject* parent)
    : QObject(parent), pages_(host.controls()), shell_(shell), onClosedToQuit_(std::move(onClosedToQuit)) {
  engine_.rootContext()->setContextProperty("host", &host);
  engine_.rootContext()->setContextProperty("shell", &shell);
  engine_.rootContext()->setContextProperty("pages", &pages_);
  engine_.rootContext()->setContextProperty("typefaces", &typefaces_);
  engine_.rootContext()->setContextProperty("productName", QString::fromStdString(localized("common.product_name")));
  engine_.addImageProvider(QStringLiteral("trayicon"), new TrayIconImages);
  engine_.addImageProvider(QStringLiteral("decoration"), new DecorationImages);
  engine_.load(QUrl(QStringLiteral("qrc:/veltrano/app/Main.qml")));
  const auto roots = engine_.rootObjects();
  window_ = roots.isEmpty() ? nullptr : qobject_cast<QQuickWindow*>(roots.first());
  if (!window_) return;
  // The view's start-up work runs each time it comes on screen; the host ignores repeated preparation.
  // The window's own QWindow part: the signal also comes while the window is being destroyed, when it is no
  // longer a QQuickWindow.
  QWindow* const plainWindow = window_;
  connect(window_, &QWindow::visibleChanged, this, [this, plainWindow](bool visible) {
    if (visible) {
      shell_.viewShown();
    } else {
      shownAt_ = plainWindow->position();
    }
  });
  connect(window_, &QWindow::visibilityChanged, this, [this](QWindow::Visibility visibility) {
    if (visibility == QWindow::Hidden && closingQuits_ && onClosedToQuit_) onClosedToQuit_();
  });
}

MainWindow::~MainWindow() {
  if (!window_) return;
  // Qt Quick's software renderer frees an image's texture only while it prepares a frame, and never one still in
  // use when its last window goes. So the images let go of their pictures first, then one frame is prepared.
  releaseImages(window_->contentItem());
  window_->releaseResources();  // the image cache lets go of the pictures no image holds now
  const bool drawnInSoftware = window_->rendererInterface()->graphicsApi() == QSGRendererInterface::Software;
  // Also for a window closed to the tray: its textures outlive the platform window, which closing destroyed.
  if (drawnInSoftware) window_->grabWindow();
}

void MainWindow::bringForward() {
  if (!window_) return;
  // Shown again where the user left it: a position of our own, not one the window manager picks anew.
  if (!window_->isVisible() && shownAt_) window_->setPosition(*shownAt_);
  window_->show();
  window_->raise();
  window_->requestActivate();
}

}  // namespace veltrano::app
