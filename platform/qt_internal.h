// The Qt side of the platform types; included only by platform/*.cpp.
#pragma once

#include <QFont>
#include <QFontMetrics>
#include <QImage>
#include <QString>

#include "platform/canvas.h"

namespace platform {

struct Font::Data {
  FontSpec spec;
  QFont font;
  QFontMetrics qmetrics;
  FontMetrics metrics;
  explicit Data(const FontSpec& s, const QFont& f);
};

struct Surface::Data {
  QImage image;  // device pixels, its device pixel ratio the surface's scale
  int width = 1, height = 1;
  double scale = 1.0;
};

inline QString Latin1(std::string_view text) {
  return QString::fromLatin1(text.data(), static_cast<qsizetype>(text.size()));
}

}  // namespace platform
