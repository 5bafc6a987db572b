#include "app/tray_icons.hpp"

#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QPainterPath>
#include <QPalette>

namespace veltrano::app {

namespace {

// The drawing is laid out with y growing upwards; Qt's y grows downwards.
constexpr double canvas = 18.0;
QPointF at(double x, double y) { return {x, canvas - y}; }

QPen outlinePen(const QColor& color, double width) {
  QPen pen(color, width);
  pen.setCapStyle(Qt::RoundCap);
  pen.setJoinStyle(Qt::RoundJoin);
  return pen;
}

void addArc(QPainterPath& path, QPointF start, QPointF end, QPointF control1, QPointF control2) {
  path.moveTo(start);
  path.cubicTo(control1, control2, end);
}

QIcon makeIcon(bool capturing) {
  QIcon icon;
  for (int pixels : {18, 22, 24, 32, 36, 48, 64}) icon.addPixmap(QPixmap::fromImage(drawTrayIcon(capturing, pixels)));
  return icon;
}

}  // namespace

QImage drawTrayIcon(bool capturing, int pixels) {
  QImage image(pixels, pixels, QImage::Format_ARGB32_Premultiplied);
  image.fill(Qt::transparent);
  QPainter painter(&image);
  painter.setRenderHint(QPainter::Antialiasing);
  painter.scale(pixels / canvas, pixels / canvas);
  const QPalette palette = QGuiApplication::palette();
  const QColor label = palette.color(QPalette::WindowText);

  painter.setPen(outlinePen(label, 1.5));
  painter.setBrush(Qt::NoBrush);
  QPainterPath screen;
  screen.addRoundedRect(QRectF(at(5.0, 5.5 + 7.0), QSizeF(8.0, 7.0)), 2.0, 2.0);
  screen.moveTo(at(9.0, 5.5));
  screen.lineTo(at(9.0, 3.4));
  screen.moveTo(at(6.8, 3.2));
  screen.lineTo(at(11.2, 3.2));
  painter.drawPath(screen);

  QPainterPath arcs;
  addArc(arcs, at(5.0, 8.2), at(1.4, 10.7), at(3.6, 8.2), at(2.3, 9.3));
  addArc(arcs, at(13.0, 8.2), at(16.6, 10.7), at(14.4, 8.2), at(15.7, 9.3));
  addArc(arcs, at(5.0, 11.3), at(1.4, 13.8), at(3.6, 11.3), at(2.3, 12.4));
  addArc(arcs, at(13.0, 11.3), at(16.6, 13.8), at(14.4, 11.3), at(15.7, 12.4));
  painter.drawPath(arcs);

  if (capturing) {
    // The ring in the window colour sets the green dot apart from the outline beneath it.
    painter.setPen(outlinePen(palette.color(QPalette::Window), 1.0));
    painter.setBrush(QColor(0x32, 0xd7, 0x4b));
    painter.drawEllipse(QRectF(at(12.5, 1.5 + 5.0), QSizeF(5.0, 5.0)));
  }
  painter.end();
  return image;
}

namespace {

// The icon drawn for the palette's colours, kept until they change.
const QIcon& iconForPalette(bool capturing) {
  struct Drawn {
    QRgb label = 0;
    QRgb window = 0;
    QIcon icon;
  };
  static Drawn drawn[2];
  const QPalette palette = QGuiApplication::palette();
  const QRgb label = palette.color(QPalette::WindowText).rgba();
  const QRgb window = palette.color(QPalette::Window).rgba();
  Drawn& kept = drawn[capturing ? 1 : 0];
  if (kept.icon.isNull() || kept.label != label || kept.window != window) kept = {label, window, makeIcon(capturing)};
  return kept.icon;
}

}  // namespace

const QIcon& idleTrayIcon() { return iconForPalette(false); }

const QIcon& capturingTrayIcon() { return iconForPalette(true); }

}  // namespace veltrano::app
