#pragma once
// Soft glows and gradient rings for the window's decoration, drawn with QPainter so they look the same with
// every scene graph backend, the software one included:
//   image://decoration/glow/DIAMETER/BLUR/AARRGGBB  a disc whose edge fades out over BLUR
//   image://decoration/ring/DIAMETER/AARRGGBB       a 1-pixel circle lit by an angular gradient of that colour
//   image://decoration/arc/DIAMETER/AARRGGBB        three quarters of a 2-pixel circle, fading towards its tail
//   image://decoration/capsule/WIDTH/HEIGHT/FROM/TO/SHADOW  a capsule filled from its top-left corner (FROM) to
//       its bottom-right one (TO) over a soft shadow (radius 16, 8 below); the capsule sits `capsuleMargin` in
//   image://decoration/shadow/WIDTH/HEIGHT/RADIUS/BLUR/AARRGGBB  a rounded rectangle's soft shadow, blurred over
//       BLUR, with 2 * BLUR of room on every side
//   image://decoration/gloss/SIDE/RADIUS            the product icon's gloss, white fading out from the top left
//   image://decoration/material/DIAMETER/AARRGGBB   a thin frosted disc tinted by that colour
#include <QQuickImageProvider>

namespace veltrano::app {

// The shadow's room around a capsule image's capsule, on every side (and 8 more below).
inline constexpr int capsuleMargin = 16;

class DecorationImages final : public QQuickImageProvider {
 public:
  DecorationImages() : QQuickImageProvider(QQuickImageProvider::Image) {}
  QImage requestImage(const QString& id, QSize* size, const QSize& requested) override;
};

}  // namespace veltrano::app
