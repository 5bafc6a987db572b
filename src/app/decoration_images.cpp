#include "app/decoration_images.hpp"

#include <QConicalGradient>
#include <QLinearGradient>
#include <QPainter>
#include <QRadialGradient>

#include <algorithm>

namespace veltrano::app {

namespace {

QColor withAlpha(QColor color, double alpha) {
  color.setAlphaF(static_cast<float>(alpha));
  return color;
}

QImage glow(int diameter, int blur, const QColor& color) {
  const int side = diameter + 2 * blur;
  QImage image(side, side, QImage::Format_ARGB32_Premultiplied);
  image.fill(Qt::transparent);
  const double radius = side / 2.0;
  QRadialGradient gradient(QPointF(radius, radius), radius);
  gradient.setColorAt(0, color);
  gradient.setColorAt(std::max(0.0, (diameter / 2.0 - blur) / radius), color);
  gradient.setColorAt(1, withAlpha(color, 0));
  QPainter painter(&image);
  painter.fillRect(image.rect(), gradient);
  return image;
}

QImage ring(int diameter, const QColor& color) {
  const int side = diameter + 2;
  QImage image(side, side, QImage::Format_ARGB32_Premultiplied);
  image.fill(Qt::transparent);
  const QPointF centre(side / 2.0, side / 2.0);
  QConicalGradient gradient(centre, 0);
  gradient.setColorAt(0.0, Qt::transparent);
  gradient.setColorAt(0.25, withAlpha(color, 0.48));
  gradient.setColorAt(0.5, Qt::transparent);
  gradient.setColorAt(0.75, QColor(255, 255, 255, 36));
  gradient.setColorAt(1.0, Qt::transparent);
  QPainter painter(&image);
  painter.setRenderHint(QPainter::Antialiasing);
  painter.setPen(QPen(QBrush(gradient), 1));
  painter.drawEllipse(centre, diameter / 2.0, diameter / 2.0);
  return image;
}

QImage arc(int diameter, const QColor& color) {
  QImage image(diameter, diameter, QImage::Format_ARGB32_Premultiplied);
  image.fill(Qt::transparent);
  QConicalGradient gradient(QPointF(diameter / 2.0, diameter / 2.0), 90);
  gradient.setColorAt(0.0, color);
  gradient.setColorAt(0.75, withAlpha(color, 0.1));
  gradient.setColorAt(1.0, withAlpha(color, 0));
  QPainter painter(&image);
  painter.setRenderHint(QPainter::Antialiasing);
  QPen pen(QBrush(gradient), 2);
  pen.setCapStyle(Qt::RoundCap);
  painter.setPen(pen);
  painter.drawArc(QRectF(1.5, 1.5, diameter - 3, diameter - 3), 90 * 16, 270 * 16);
  return image;
}

QImage capsule(int width, int height, const QColor& from, const QColor& to, const QColor& shadow) {
  const int margin = capsuleMargin;
  QImage image(width + 2 * margin, height + 2 * margin + 8, QImage::Format_ARGB32_Premultiplied);
  image.fill(Qt::transparent);
  QPainter painter(&image);
  painter.setRenderHint(QPainter::Antialiasing);
  painter.setPen(Qt::NoPen);
  // The shadow: rings growing outwards, each fainter, approximate a blur of the capsule's shape.
  const QRectF shape(margin, margin, width, height);
  for (int step = margin; step >= 0; --step) {
    QColor ring = shadow;
    ring.setAlphaF(static_cast<float>(shadow.alphaF() * (1.0 - step / double(margin + 1)) / 4));
    painter.setBrush(ring);
    const QRectF grown = shape.adjusted(-step, -step + 8, step, step + 8);
    painter.drawRoundedRect(grown, grown.height() / 2, grown.height() / 2);
  }
  QLinearGradient fill(shape.topLeft(), shape.bottomRight());
  fill.setColorAt(0, from);
  fill.setColorAt(1, to);
  painter.setBrush(fill);
  painter.drawRoundedRect(shape, height / 2.0, height / 2.0);
  return image;
}

}  // namespace

QImage DecorationImages::requestImage(const QString& id, QSize* size, const QSize&) {
  const QStringList parts = id.split('/');
  QImage image;
  if (parts.size() == 4 && parts[0] == "glow") {
    image = glow(parts[1].toInt(), parts[2].toInt(), QColor('#' + parts[3]));
  } else if (parts.size() == 3 && parts[0] == "ring") {
    image = ring(parts[1].toInt(), QColor('#' + parts[2]));
  } else if (parts.size() == 6 && parts[0] == "capsule") {
    image = capsule(parts[1].toInt(), parts[2].toInt(), QColor('#' + parts[3]), QColor('#' + parts[4]),
                    QColor('#' + parts[5]));
  } else if (parts.size() == 3 && parts[0] == "arc") {
    image = arc(parts[1].toInt(), QColor('#' + parts[2]));
  }
  if (size) *size = image.size();
  return image;
}

}  // namespace veltrano::app
