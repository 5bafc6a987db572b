#pragma once
// Rendered pictures against the reference PNGs kept in tests/app/reference/. Every picture is written to the
// build's screenshots folder; a mismatch names it and writes a diff beside it. VELTRANO_UPDATE_REFERENCES=1
// rewrites the references from the pictures instead of comparing.
#include <QDir>
#include <QImage>

#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

namespace veltrano::testing {

struct ImageTolerance {
  int channel = 40;          // the largest difference of one colour channel that still counts as equal
  double differing = 0.005;  // the largest share of pixels that may differ beyond that
};

inline bool updatingReferences() {
  const char* update = std::getenv("VELTRANO_UPDATE_REFERENCES");
  return update && std::string(update) == "1";
}

inline ::testing::AssertionResult matchesReference(const QImage& picture, const std::string& name,
                                                   ImageTolerance tolerance = {}) {
  const QString file = QString::fromStdString(name) + ".png";
  const QImage actual = picture.convertToFormat(QImage::Format_ARGB32);
  QDir().mkpath(VELTRANO_SCREENSHOT_DIR);
  const QString actualPath = QDir(VELTRANO_SCREENSHOT_DIR).filePath(file);
  actual.save(actualPath);
  const QString referencePath = QDir(VELTRANO_REFERENCE_DIR).filePath(file);
  if (updatingReferences()) {
    QDir().mkpath(VELTRANO_REFERENCE_DIR);
    if (!actual.save(referencePath)) return ::testing::AssertionFailure() << "cannot write " << referencePath.toStdString();
    return ::testing::AssertionSuccess();
  }
  const QImage reference = QImage(referencePath).convertToFormat(QImage::Format_ARGB32);
  auto failure = [&] {
    return ::testing::AssertionFailure() << name << ": the picture is at " << actualPath.toStdString()
                                         << ", the reference at " << referencePath.toStdString() << ": ";
  };
  if (reference.isNull()) return failure() << "no reference (VELTRANO_UPDATE_REFERENCES=1 writes it)";
  if (reference.size() != actual.size()) return failure() << "the sizes differ";
  QImage diff(actual.size(), QImage::Format_ARGB32);
  diff.fill(Qt::black);
  qint64 differing = 0;
  for (int y = 0; y < actual.height(); ++y) {
    const auto* a = reinterpret_cast<const QRgb*>(actual.constScanLine(y));
    const auto* r = reinterpret_cast<const QRgb*>(reference.constScanLine(y));
    for (int x = 0; x < actual.width(); ++x) {
      const int delta = std::max({std::abs(qRed(a[x]) - qRed(r[x])), std::abs(qGreen(a[x]) - qGreen(r[x])),
                                  std::abs(qBlue(a[x]) - qBlue(r[x])), std::abs(qAlpha(a[x]) - qAlpha(r[x]))});
      if (delta > tolerance.channel) {
        ++differing;
        diff.setPixel(x, y, qRgb(255, 0, 255));
      }
    }
  }
  const double share = static_cast<double>(differing) / (static_cast<double>(actual.width()) * actual.height());
  if (share <= tolerance.differing) return ::testing::AssertionSuccess();
  const QString diffPath = QDir(VELTRANO_SCREENSHOT_DIR).filePath(QString::fromStdString(name) + ".diff.png");
  diff.save(diffPath);
  return failure() << share * 100 << "% of the pixels differ (at most " << tolerance.differing * 100
                   << "% may); the differing pixels are marked in " << diffPath.toStdString();
}

}  // namespace veltrano::testing
