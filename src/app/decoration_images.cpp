#include "app/decoration_images.hpp"

#include <QConicalGradient>
#include <QLinearGradient>
#include <QPainter>
#include <QRadialGradient>

#include <algorithm>
#include <vector>

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

// Three box blurs of the alpha channel (the colour is one): about a Gaussian of deviation blur / 2, as a blur
// radius means in CSS.
void blurAlpha(QImage& image, int blur) {
  const int half = std::max(1, blur / 2);
  const int width = image.width(), height = image.height();
  std::vector<int> alpha(static_cast<std::size_t>(width) * height), line;
  for (int y = 0; y < height; ++y) {
    const auto* row = reinterpret_cast<const QRgb*>(image.constScanLine(y));
    for (int x = 0; x < width; ++x) alpha[static_cast<std::size_t>(y) * width + x] = qAlpha(row[x]);
  }
  auto pass = [&](int count, int stride, int lines, int lineStride) {
    for (int l = 0; l < lines; ++l) {
      line.assign(count, 0);
      int sum = 0;
      const std::size_t base = static_cast<std::size_t>(l) * lineStride;
      auto at = [&](int i) { return i < 0 || i >= count ? 0 : alpha[base + static_cast<std::size_t>(i) * stride]; };
      for (int i = -half; i <= half; ++i) sum += at(i);
      for (int i = 0; i < count; ++i) {
        line[i] = sum / (2 * half + 1);
        sum += at(i + half + 1) - at(i - half);
      }
      for (int i = 0; i < count; ++i) alpha[base + static_cast<std::size_t>(i) * stride] = line[i];
    }
  };
  for (int round = 0; round < 3; ++round) {
    pass(width, 1, height, width);
    pass(height, width, width, 1);
  }
  for (int y = 0; y < height; ++y) {
    auto* row = reinterpret_cast<QRgb*>(image.scanLine(y));
    for (int x = 0; x < width; ++x) {
      const int a = alpha[static_cast<std::size_t>(y) * width + x];
      row[x] = qPremultiply(qRgba(255, 255, 255, a));
    }
  }
}

// A soft shadow of a rounded rectangle (a circle when the radius is half the side): the shape in `color`,
// blurred over `blur`, with `2 * blur` of room on every side.
QImage shadow(int width, int height, double radius, int blur, const QColor& color) {
  const int margin = 2 * blur;
  QImage image(width + 2 * margin, height + 2 * margin, QImage::Format_ARGB32_Premultiplied);
  image.fill(Qt::transparent);
  {
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    painter.setBrush(Qt::white);
    painter.drawRoundedRect(QRectF(margin, margin, width, height), radius, radius);
  }
  blurAlpha(image, blur);
  // Tint the white mask.
  QPainter painter(&image);
  painter.setCompositionMode(QPainter::CompositionMode_SourceIn);
  painter.fillRect(image.rect(), color);
  return image;
}

// The product icon's gloss: from its top-left corner, white fading out before the middle of the tile. White
// over the tile is what a screen blend of white gives.
QImage gloss(int side, double radius) {
  QImage image(side, side, QImage::Format_ARGB32_Premultiplied);
  image.fill(Qt::transparent);
  QPainter painter(&image);
  painter.setRenderHint(QPainter::Antialiasing);
  painter.setPen(Qt::NoPen);
  QLinearGradient fill(0, 0, side, side);
  fill.setColorAt(0, QColor(255, 255, 255, 66));
  fill.setColorAt(0.34, QColor(255, 255, 255, 20));
  fill.setColorAt(0.62, Qt::transparent);
  painter.setBrush(fill);
  painter.drawRoundedRect(QRectF(0, 0, side, side), radius, radius);
  return image;
}

// A thin frosted disc: a faint white body, lighter at the top, with the tint of the glow it sits on and a rim
// that catches the light from above.
QImage material(int diameter, const QColor& tint) {
  QImage image(diameter, diameter, QImage::Format_ARGB32_Premultiplied);
  image.fill(Qt::transparent);
  QPainter painter(&image);
  painter.setRenderHint(QPainter::Antialiasing);
  const QRectF disc(0.5, 0.5, diameter - 1, diameter - 1);
  QLinearGradient body(0, 0, 0, diameter);
  body.setColorAt(0, QColor(255, 255, 255, 30));
  body.setColorAt(1, QColor(255, 255, 255, 10));
  painter.setPen(Qt::NoPen);
  painter.setBrush(body);
  painter.drawEllipse(disc);
  QRadialGradient glow(disc.center(), diameter / 2.0);
  glow.setColorAt(0, withAlpha(tint, 0.10));
  glow.setColorAt(1, withAlpha(tint, 0.02));
  painter.setBrush(glow);
  painter.drawEllipse(disc);
  QLinearGradient rim(0, 0, 0, diameter);
  rim.setColorAt(0, QColor(255, 255, 255, 60));
  rim.setColorAt(1, QColor(255, 255, 255, 12));
  painter.setBrush(Qt::NoBrush);
  painter.setPen(QPen(QBrush(rim), 1));
  painter.drawEllipse(disc);
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
  } else if (parts.size() == 6 && parts[0] == "shadow") {
    image = shadow(parts[1].toInt(), parts[2].toInt(), parts[3].toDouble(), std::max(1, parts[4].toInt()),
                   QColor('#' + parts[5]));
  } else if (parts.size() == 3 && parts[0] == "gloss") {
    image = gloss(parts[1].toInt(), parts[2].toDouble());
  } else if (parts.size() == 3 && parts[0] == "material") {
    image = material(parts[1].toInt(), QColor('#' + parts[2]));
  } else if (parts.size() == 3 && parts[0] == "arc") {
    image = arc(parts[1].toInt(), QColor('#' + parts[2]));
  }
  if (size) *size = image.size();
  return image;
}

}  // namespace veltrano::app
