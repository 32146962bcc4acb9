#include "sample_plot.h"

#include <tiffio.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <map>

#include "base/error.h"

namespace plotspool {
namespace {

struct Colour {
  uint8_t r, g, b;
};

constexpr Colour kBlack{0, 0, 0}, kRed{200, 0, 0}, kBlue{0, 0, 190}, kGreen{0, 130, 0},
    kMagenta{150, 0, 150}, kWhite{255, 255, 255};
constexpr Colour kPastel[3] = {{255, 236, 190}, {205, 228, 255}, {215, 245, 215}};

// Single-stroke glyphs on a 14-segment grid: letters, then the digits 0-9 from index 20.
constexpr double kNode[9][2] = {{0, 0},  {.5, 0}, {1, 0},  {0, .5}, {.5, .5},
                                {1, .5}, {0, 1},  {.5, 1}, {1, 1}};
constexpr int kSegment[13][2] = {{0, 2}, {3, 5}, {6, 8}, {0, 3}, {3, 6}, {2, 5}, {5, 8},
                                 {1, 4}, {4, 7}, {0, 4}, {2, 4}, {6, 4}, {8, 4}};
constexpr uint16_t kGlyph[] = {0x7B,   0x1E7, 0x1D, 0x1E5,  0x1F, 0x1B,  0x7A, 0x185,  0x1C,  0x678,
                               0x1278, 0x7D,  0x3B, 0x103B, 0x4F, 0x181, 0x7C, 0x1E00, 0x700, 0xC05,
                               0x7D,   0x60,  0x37, 0x67,   0x6A, 0x4F,  0x5F, 0x61,   0x7F,  0x6F};

class Canvas {
 public:
  Canvas(SampleImage& image, double dpi) : image_(image), ppmm_(dpi / 25.4) {}

  void Draw(double w, double h);

 private:
  uint32_t Random() {
    seed_ = seed_ * 1664525u + 1013904223u;
    return seed_ >> 8;
  }
  int RandomBelow(int n) { return static_cast<int>(Random() % static_cast<uint32_t>(n)); }

  void Span(int y, int x0, int x1, Colour c);
  // Pixel x is covered when its centre x + 0.5 lies in [xa, xb).
  void SpanF(int y, double xa, double xb, Colour c) {
    Span(y, static_cast<int>(std::ceil(xa - 0.5)), static_cast<int>(std::ceil(xb - 0.5)) - 1, c);
  }
  void Rect(double x0, double y0, double x1, double y1, Colour c);
  void Polygon(const double* v, int n, Colour c);
  void Line(double x0, double y0, double x1, double y1, double width_mm, Colour c);
  void Dashed(double x0, double y0, double x1, double y1, double w, Colour c);
  void Ring(double cx, double cy, double r, double width_mm, Colour c, int quadrants);
  void Disc(double cx, double cy, double r, Colour c) { Ring(cx, cy, r / 2, r, c, 15); }
  void Hatch(double x0, double y0, double x1, double y1, double spacing, double w, int dir,
             Colour c);
  double Glyph(double x, double y, double h, int g, Colour c);
  double Text(double x, double y, double h, int n, bool digits, Colour c);
  void Box(double x0, double y0, double x1, double y1, double w, Colour c) {
    Line(x0, y0, x1, y0, w, c);
    Line(x1, y0, x1, y1, w, c);
    Line(x1, y1, x0, y1, w, c);
    Line(x0, y1, x0, y0, w, c);
  }

  SampleImage& image_;
  double ppmm_;
  uint32_t seed_ = 20240611u;
};

void Canvas::Span(int y, int x0, int x1, Colour c) {
  const int w = static_cast<int>(image_.width), h = static_cast<int>(image_.height);
  if (y < 0 || y >= h) return;
  x0 = std::max(x0, 0);
  x1 = std::min(x1, w - 1);
  if (x0 > x1) return;
  uint8_t* row = image_.Row(static_cast<uint32_t>(y));
  const int lum = (299 * c.r + 587 * c.g + 114 * c.b) / 1000;
  switch (image_.kind) {
    case SampleKind::kBilevel: {
      const bool set = lum < 128;
      const int b0 = x0 >> 3, b1 = x1 >> 3;
      uint8_t m0 = static_cast<uint8_t>(0xFF >> (x0 & 7));
      const uint8_t m1 = static_cast<uint8_t>(0xFF << (7 - (x1 & 7)));
      const auto apply = [&](int b, uint8_t m) {
        row[b] = static_cast<uint8_t>(set ? row[b] | m : row[b] & ~m);
      };
      if (b0 == b1) {
        apply(b0, m0 & m1);
        return;
      }
      apply(b0, m0);
      memset(row + b0 + 1, set ? 0xFF : 0, static_cast<size_t>(b1 - b0 - 1));
      apply(b1, m1);
      return;
    }
    case SampleKind::kGray:
      memset(row + x0, lum, static_cast<size_t>(x1 - x0 + 1));
      return;
    case SampleKind::kRgb:
    case SampleKind::kPalette:  // drawn in colour, indexed afterwards
      for (int x = x0; x <= x1; ++x) {
        row[3 * x] = c.r;
        row[3 * x + 1] = c.g;
        row[3 * x + 2] = c.b;
      }
      return;
  }
}

void Canvas::Rect(double x0, double y0, double x1, double y1, Colour c) {
  const int ya = static_cast<int>(std::lround(y0 * ppmm_));
  int yb = static_cast<int>(std::lround(y1 * ppmm_));
  if (yb == ya) ++yb;
  for (int y = ya; y < yb; ++y) SpanF(y, x0 * ppmm_, std::max(x1 * ppmm_, x0 * ppmm_ + 1), c);
}

void Canvas::Polygon(const double* v, int n, Colour c) {
  double ymin = 1e30, ymax = -1e30, xs[16];
  for (int i = 0; i < n; ++i) {
    ymin = std::min(ymin, v[2 * i + 1]);
    ymax = std::max(ymax, v[2 * i + 1]);
  }
  for (int y = static_cast<int>(std::floor(ymin)); y < static_cast<int>(std::ceil(ymax)); ++y) {
    const double yc = y + 0.5;
    int k = 0;
    for (int i = 0; i < n; ++i) {
      const double ax = v[2 * i], ay = v[2 * i + 1];
      const double bx = v[2 * ((i + 1) % n)], by = v[2 * ((i + 1) % n) + 1];
      if (((ay <= yc && by > yc) || (by <= yc && ay > yc)) && k < 16) {
        xs[k++] = ax + (yc - ay) * (bx - ax) / (by - ay);
      }
    }
    std::sort(xs, xs + k);
    for (int i = 0; i + 1 < k; i += 2) SpanF(y, xs[i], xs[i + 1], c);
  }
}

void Canvas::Line(double x0, double y0, double x1, double y1, double width_mm, Colour c) {
  const double p = ppmm_, w = std::max(width_mm * p, 1.0) / 2;
  const double ax = x0 * p, ay = y0 * p, bx = x1 * p, by = y1 * p;
  double dx = bx - ax, dy = by - ay, length = std::sqrt(dx * dx + dy * dy);
  if (length < 1e-9) {
    dx = 1;
    dy = 0;
    length = 1;
  }
  const double ux = dx / length * w, uy = dy / length * w;
  const double v[8] = {ax - ux - uy, ay - uy + ux, bx + ux - uy, by + uy + ux,
                       bx + ux + uy, by + uy - ux, ax - ux + uy, ay - uy - ux};
  Polygon(v, 4, c);
}

void Canvas::Dashed(double x0, double y0, double x1, double y1, double w, Colour c) {
  const double length = std::hypot(x1 - x0, y1 - y0), pattern[4] = {12, 2, 0.5, 2};
  double t = 0;
  for (int i = 0; t < length; ++i) {
    const double d = pattern[i % 4], e = std::min(t + d, length);
    if (i % 2 == 0) {
      Line(x0 + (x1 - x0) * t / length, y0 + (y1 - y0) * t / length, x0 + (x1 - x0) * e / length,
           y0 + (y1 - y0) * e / length, w, c);
    }
    t += d;
  }
}

// Quadrants: bit 0 upper left, 1 upper right, 2 lower left, 3 lower right.
void Canvas::Ring(double cx, double cy, double r, double width_mm, Colour c, int quadrants) {
  const double p = ppmm_, X = cx * p, Y = cy * p, w = std::max(width_mm * p, 1.0) / 2;
  const double ro = r * p + w, ri = r * p - w;
  for (int y = static_cast<int>(std::floor(Y - ro)); y <= static_cast<int>(std::ceil(Y + ro));
       ++y) {
    const double d = y + 0.5 - Y;
    if (std::fabs(d) >= ro) continue;
    const bool up = d < 0;
    const double ao = std::sqrt(ro * ro - d * d);
    const double ai = std::fabs(d) < ri ? std::sqrt(ri * ri - d * d) : 0;
    const bool left = quadrants & (up ? 1 : 4), right = quadrants & (up ? 2 : 8);
    if (ai > 0) {
      if (left) SpanF(y, X - ao, X - ai, c);
      if (right) SpanF(y, X + ai, X + ao, c);
    } else {
      SpanF(y, left ? X - ao : X, right ? X + ao : X, c);
    }
  }
}

// 45-degree hatch (dir +1 / -1) or a square tile grid (dir 0) inside a rectangle in mm.
void Canvas::Hatch(double x0, double y0, double x1, double y1, double spacing, double w, int dir,
                   Colour c) {
  const int xa = static_cast<int>(std::lround(x0 * ppmm_));
  const int xb = static_cast<int>(std::lround(x1 * ppmm_));
  const int s = std::max(1, static_cast<int>(std::lround(spacing * ppmm_)));
  const int lw = static_cast<int>(std::max(1.0, std::round(w * ppmm_ * (dir ? 1.414 : 1))));
  for (int y = static_cast<int>(std::lround(y0 * ppmm_)); y < std::lround(y1 * ppmm_); ++y) {
    if (dir == 0 && y % s < lw) {
      Span(y, xa, xb - 1, c);
      continue;
    }
    const int off = dir > 0 ? (xa + y) % s : dir < 0 ? ((xa - y) % s + s) % s : xa % s;
    for (int x = xa - off; x < xb; x += s) {
      Span(y, std::max(x, xa), std::min(x + lw - 1, xb - 1), c);
    }
  }
}

double Canvas::Glyph(double x, double y, double h, int g, Colour c) {
  const double w = 0.6 * h, pen = h / 10;
  for (int s = 0; s < 13; ++s) {
    if (kGlyph[g] >> s & 1) {
      Line(x + kNode[kSegment[s][0]][0] * w, y + kNode[kSegment[s][0]][1] * h,
           x + kNode[kSegment[s][1]][0] * w, y + kNode[kSegment[s][1]][1] * h, pen, c);
    }
  }
  return 0.85 * h;
}

double Canvas::Text(double x, double y, double h, int n, bool digits, Colour c) {
  const double x0 = x;
  for (int i = 0; i < n; ++i) {
    if (!digits && i > 0 && RandomBelow(6) == 0) {
      x += 0.85 * h;
      continue;
    }
    x += Glyph(x, y, h, digits ? 20 + RandomBelow(10) : RandomBelow(20), c);
  }
  return x - x0;
}

void Canvas::Draw(double W, double H) {
  // Sheet border, zone marks, frame.
  Box(5, 5, W - 5, H - 5, 0.25, kBlack);
  Box(20, 10, W - 10, H - 10, 0.7, kBlack);
  for (double x = 20; x < W - 10; x += 100) {
    Line(x, 5, x, 10, 0.35, kBlack);
    Glyph(x + 48, 6, 3, 20 + static_cast<int>(x / 100) % 10, kBlack);
  }
  for (double y = 10; y < H - 10; y += 100) {
    Line(5, y, 20, y, 0.35, kBlack);
    Glyph(11, y + 48, 3, static_cast<int>(y / 100) % 20, kBlack);
  }
  // Title block, revision table, notes.
  const double tx = W - 190, ty = H - 70;
  Rect(tx, ty, W - 10, H - 10, kWhite);
  Box(tx, ty, W - 10, H - 10, 0.5, kBlack);
  for (int i = 1; i < 6; ++i) Line(tx, ty + 10 * i, W - 10, ty + 10 * i, 0.25, kBlack);
  Line(tx + 40, ty, tx + 40, H - 10, 0.25, kBlack);
  Line(tx + 120, ty, tx + 120, H - 10, 0.25, kBlack);
  for (int i = 0; i < 6; ++i) {
    Text(tx + 3, ty + 10 * i + 3, 2.5, 10, false, kBlack);
    Text(tx + 43, ty + 10 * i + (i ? 3 : 2), i ? 3.5 : 6, i ? 16 : 11, false, kBlack);
    Text(tx + 123, ty + 10 * i + 3, 3.5, 8, i & 1, kBlack);
  }
  Disc(tx + 20, ty - 12, 8, kBlack);
  Ring(tx + 20, ty - 12, 5, 1.5, kWhite, 15);
  for (int i = 0; i < 8; ++i) {
    Line(tx + 40, ty - 6 * (i + 1), W - 10, ty - 6 * (i + 1), 0.18, kBlack);
    Text(tx + 43, ty - 6 * (i + 1) + 1.5, 2.5, 20, false, kBlack);
  }
  const double nx0 = W - 185, ny0 = 30;  // general notes above the title block
  Text(nx0, ny0 - 8, 5, 6, false, kBlack);
  for (int i = 0; i < 70 && ny0 + 5 * i < H - 135; ++i) {
    if (RandomBelow(5) == 0) continue;
    Glyph(nx0, ny0 + 5 * i, 2.5, 20 + (i + 1) % 10, kBlack);
    Text(nx0 + 6, ny0 + 5 * i, 2.5, 30 + RandomBelow(35), false, kBlack);
  }
  // Structural grid, rooms, walls.
  const double px0 = 50, py0 = 50, px1 = W - 210, py1 = H - 110, sx = 60, sy = 50;
  const int nx = std::max(0, static_cast<int>((px1 - px0) / sx));
  const int ny = std::max(0, static_cast<int>((py1 - py0) / sy));
  const double bx1 = px0 + nx * sx, by1 = py0 + ny * sy;
  for (int j = 0; j < ny; ++j) {
    for (int i = 0; i < nx; ++i) {
      const double x = px0 + i * sx, y = py0 + j * sy;
      const int k = RandomBelow(10);
      if (k < 3) {
        Rect(x, y, x + sx, y + sy, kPastel[RandomBelow(3)]);
      } else if (k < 5) {
        Hatch(x + 1, y + 1, x + sx - 1, y + sy - 1, 4, 0.13, 0, kBlack);
      } else if (k < 6) {
        Hatch(x + 1, y + 1, x + sx - 1, y + sy - 1, 2.5, 0.18, RandomBelow(2) ? 1 : -1, kGreen);
      }
      for (int f = RandomBelow(5); f > 0; --f) {  // furniture
        const double fx = x + 5 + RandomBelow(static_cast<int>(sx) - 20);
        const double fy = y + 5 + RandomBelow(static_cast<int>(sy) - 20);
        if (RandomBelow(2)) {
          Box(fx, fy, fx + 6 + RandomBelow(8), fy + 4 + RandomBelow(6), 0.18, kMagenta);
        } else {
          Ring(fx + 5, fy + 5, 3 + RandomBelow(3), 0.18, kMagenta, 15);
        }
      }
      Rect(x + sx / 2 - 14, y + sy / 2 - 6, x + sx / 2 + 14, y + sy / 2 + 8, kWhite);
      Text(x + sx / 2 - 12, y + sy / 2 - 4, 3.5, 6, false, kBlack);
      Text(x + sx / 2 - 8, y + sy / 2 + 2.5, 2.5, 5, true, kBlack);
      if (RandomBelow(2)) {
        Line(x + 8, y + sy - 1.5, x + 8, y + sy - 10, 0.25, kBlack);
        Ring(x + 8, y + sy - 1.5, 8.5, 0.18, kBlack, 2);
      }
    }
  }
  for (int i = 0; i <= nx; ++i) {
    const double x = px0 + i * sx;
    Dashed(x, py0 - 25, x, by1 + 10, 0.18, kBlue);
    Ring(x, py0 - 30, 5, 0.25, kBlue, 15);
    Glyph(x - 1.5, py0 - 32.5, 5, 20 + (i + 1) % 10, kBlue);
  }
  for (int j = 0; j <= ny; ++j) {
    const double y = py0 + j * sy;
    Dashed(px0 - 25, y, bx1 + 10, y, 0.18, kBlue);
    Ring(px0 - 30, y, 5, 0.25, kBlue, 15);
    Glyph(px0 - 31.5, y - 2.5, 5, j % 20, kBlue);
  }
  for (int j = 1; j < ny; ++j) {  // interior double walls
    for (int i = 0; i < nx; ++i) {
      if (!RandomBelow(3)) continue;
      const double x = px0 + i * sx, y = py0 + j * sy;
      Line(x, y - 0.75, x + sx, y - 0.75, 0.35, kBlack);
      Line(x, y + 0.75, x + sx, y + 0.75, 0.35, kBlack);
    }
  }
  for (int i = 1; i < nx; ++i) {
    for (int j = 0; j < ny; ++j) {
      if (!RandomBelow(3)) continue;
      const double x = px0 + i * sx, y = py0 + j * sy;
      Line(x - 0.75, y, x - 0.75, y + sy, 0.35, kBlack);
      Line(x + 0.75, y, x + 0.75, y + sy, 0.35, kBlack);
    }
  }
  Rect(px0 - 1.5, py0 - 1.5, bx1 + 1.5, py0 + 1.5, kBlack);  // exterior walls
  Rect(px0 - 1.5, by1 - 1.5, bx1 + 1.5, by1 + 1.5, kBlack);
  Rect(px0 - 1.5, py0, px0 + 1.5, by1, kBlack);
  Rect(bx1 - 1.5, py0, bx1 + 1.5, by1, kBlack);
  for (int i = 0; i <= nx; ++i) {
    for (int j = 0; j <= ny; ++j) {
      Rect(px0 + i * sx - 2, py0 + j * sy - 2, px0 + i * sx + 2, py0 + j * sy + 2, kBlack);
    }
  }
  // Dimension chains.
  Line(px0, py0 - 15, bx1, py0 - 15, 0.18, kRed);
  Line(px0 - 15, py0, px0 - 15, by1, 0.18, kRed);
  for (int i = 0; i <= nx; ++i) {
    const double x = px0 + i * sx;
    Line(x, py0 - 18, x, py0 - 4, 0.13, kRed);
    Line(x - 1.5, py0 - 13.5, x + 1.5, py0 - 16.5, 0.35, kRed);
    if (i < nx) Text(x + sx / 2 - 4, py0 - 20, 2.5, 4, true, kRed);
  }
  for (int j = 0; j <= ny; ++j) {
    const double y = py0 + j * sy;
    Line(px0 - 18, y, px0 - 4, y, 0.13, kRed);
    Line(px0 - 16.5, y + 1.5, px0 - 13.5, y - 1.5, 0.35, kRed);
    if (j < ny) Text(px0 - 24, y + sy / 2, 2.5, 4, true, kRed);
  }
  // Details strip: I-beam sections, scale bar, legend.
  const double dy = H - 85;
  for (int k = 0; k < 4 && 40 + 90 * k + 70 < W - 400; ++k) {
    const double x = 40 + 90 * k;
    double v[24] = {0,  0,  40, 0,  40, 4,  22, 4,  22, 36, 40, 36,
                    40, 40, 0,  40, 0,  36, 18, 36, 18, 4,  0,  4};
    for (int i = 0; i < 12; ++i) {
      v[2 * i] = (v[2 * i] + x) * ppmm_;
      v[2 * i + 1] = (v[2 * i + 1] + dy) * ppmm_;
    }
    Polygon(v, 12, kBlack);
    Ring(x + 55, dy + 20, 12, 0.35, kBlack, 15);
    Line(x + 43, dy + 20, x + 55 + 12, dy + 8, 0.18, kBlack);
    Text(x, dy + 45, 3.5, 8, false, kBlack);
  }
  for (int i = 0; i < 10; ++i)
    Rect(40 + 10 * i, H - 25, 50 + 10 * i, H - 22, i & 1 ? kWhite : kBlack);
  Box(40, H - 25, 140, H - 22, 0.18, kBlack);
  for (int i = 0; i < 6; ++i) {
    const double x = 420, y = H - 85 + 9 * i;
    if (i < 3) {
      Rect(x, y, x + 12, y + 6, kPastel[i]);
    } else if (i < 5) {
      Hatch(x, y, x + 12, y + 6, i == 3 ? 2.5 : 4, 0.18, i == 3 ? 1 : 0, i == 3 ? kGreen : kBlack);
    } else {
      Rect(x, y, x + 12, y + 6, kBlack);
    }
    Box(x, y, x + 12, y + 6, 0.18, kBlack);
    Text(x + 16, y + 1.5, 3.5, 12 + RandomBelow(12), false, kBlack);
  }
}

[[noreturn]] void WriteFailed(const std::string& path) {
  throw RuntimeError(kPathFileAccessError, "Path/File access error (" + path + ")");
}

}  // namespace

size_t SampleImage::RowBytes() const {
  switch (kind) {
    case SampleKind::kBilevel:
      return (size_t{width} + 7) / 8;
    case SampleKind::kRgb:
      return size_t{width} * 3;
    default:
      return width;
  }
}

SampleImage BlankImage(uint32_t width, uint32_t height, SampleKind kind) {
  SampleImage image;
  image.width = width;
  image.height = height;
  image.kind = kind;
  const uint8_t white = kind == SampleKind::kBilevel ? 0 : kind == SampleKind::kPalette ? 0 : 255;
  image.pixels.assign(image.RowBytes() * height, white);
  if (kind == SampleKind::kPalette) image.palette = {0xFFFFFF, 0x000000};
  return image;
}

SampleImage DrawSamplePlot(uint32_t width, uint32_t height, double dpi, SampleKind kind) {
  if (kind != SampleKind::kPalette) {
    SampleImage image = BlankImage(width, height, kind);
    Canvas(image, dpi).Draw(width / (dpi / 25.4), height / (dpi / 25.4));
    return image;
  }
  SampleImage colour = DrawSamplePlot(width, height, dpi, SampleKind::kRgb);
  SampleImage image = BlankImage(width, height, SampleKind::kPalette);
  image.palette.clear();
  std::map<uint32_t, uint8_t> index;
  for (size_t i = 0; i < size_t{width} * height; ++i) {
    const uint8_t* p = colour.pixels.data() + 3 * i;
    const uint32_t rgb = (p[0] << 16) | (p[1] << 8) | p[2];
    auto [it, added] = index.try_emplace(rgb, static_cast<uint8_t>(image.palette.size()));
    if (added) image.palette.push_back(rgb);
    image.pixels[i] = it->second;
  }
  return image;
}

void WriteSampleTiff(const std::string& path, const std::vector<SampleImage>& pages,
                     const SampleTiffOptions& options) {
  TIFF* tif = TIFFOpen(path.c_str(), options.big_endian ? "wb" : "wl");
  if (tif == nullptr) WriteFailed(path);
  for (size_t page = 0; page < pages.size(); ++page) {
    const SampleImage& image = pages[page];
    const bool bilevel = image.kind == SampleKind::kBilevel;
    TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, image.width);
    TIFFSetField(tif, TIFFTAG_IMAGELENGTH, image.height);
    TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, bilevel ? 1 : 8);
    TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, image.kind == SampleKind::kRgb ? 3 : 1);
    TIFFSetField(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    uint16_t photometric = PHOTOMETRIC_RGB;
    if (bilevel) {
      photometric = options.min_is_black ? PHOTOMETRIC_MINISBLACK : PHOTOMETRIC_MINISWHITE;
    } else if (image.kind == SampleKind::kGray) {
      photometric = PHOTOMETRIC_MINISBLACK;
    } else if (image.kind == SampleKind::kPalette) {
      photometric = PHOTOMETRIC_PALETTE;
    }
    TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, photometric);
    if (image.kind == SampleKind::kPalette) {
      std::vector<uint16_t> map(3 * 256, 0);
      for (size_t i = 0; i < image.palette.size() && i < 256; ++i) {
        map[i] = static_cast<uint16_t>(((image.palette[i] >> 16) & 0xFF) * 257);
        map[256 + i] = static_cast<uint16_t>(((image.palette[i] >> 8) & 0xFF) * 257);
        map[512 + i] = static_cast<uint16_t>((image.palette[i] & 0xFF) * 257);
      }
      TIFFSetField(tif, TIFFTAG_COLORMAP, map.data(), map.data() + 256, map.data() + 512);
    }
    const uint16_t compression = options.compression != 0 ? options.compression
                                 : bilevel                ? COMPRESSION_CCITTFAX4
                                                          : COMPRESSION_LZW;
    TIFFSetField(tif, TIFFTAG_COMPRESSION, compression);
    if (options.predictor) TIFFSetField(tif, TIFFTAG_PREDICTOR, PREDICTOR_HORIZONTAL);
    if (compression == COMPRESSION_JPEG) TIFFSetField(tif, TIFFTAG_JPEGQUALITY, 90);
    if (options.unit != SampleResolution::kMissing) {
      const bool cm = options.unit == SampleResolution::kCentimetre;
      const double value = cm ? options.dpi / 2.54 : options.dpi;
      TIFFSetField(tif, TIFFTAG_XRESOLUTION, value);
      TIFFSetField(tif, TIFFTAG_YRESOLUTION, value);
      TIFFSetField(tif, TIFFTAG_RESOLUTIONUNIT, cm ? RESUNIT_CENTIMETER : RESUNIT_INCH);
    }
    TIFFSetField(tif, TIFFTAG_SOFTWARE, "plotspool-sample");
    if (pages.size() > 1) {
      TIFFSetField(tif, TIFFTAG_SUBFILETYPE, FILETYPE_PAGE);
      TIFFSetField(tif, TIFFTAG_PAGENUMBER, static_cast<uint16_t>(page),
                   static_cast<uint16_t>(pages.size()));
    }
    const size_t row_bytes = image.RowBytes();
    std::vector<uint8_t> buffer;
    const auto source_row = [&](uint32_t y) -> const uint8_t* {
      if (!(bilevel && options.min_is_black)) return image.Row(y);
      buffer.assign(image.Row(y), image.Row(y) + row_bytes);
      for (uint8_t& b : buffer) b = static_cast<uint8_t>(~b);
      if (image.width % 8 != 0)
        buffer.back() &= static_cast<uint8_t>(0xFF << (8 - image.width % 8));
      return buffer.data();
    };
    if (options.tile != 0) {
      TIFFSetField(tif, TIFFTAG_TILEWIDTH, options.tile);
      TIFFSetField(tif, TIFFTAG_TILELENGTH, options.tile);
      const size_t tile_row = bilevel ? options.tile / 8 : row_bytes / image.width * options.tile;
      std::vector<uint8_t> tile(tile_row * options.tile);
      for (uint32_t y = 0; y < image.height; y += options.tile) {
        for (uint32_t x = 0; x < image.width; x += options.tile) {
          std::fill(tile.begin(), tile.end(), 0);
          const size_t offset = bilevel ? x / 8 : row_bytes / image.width * x;
          for (uint32_t r = 0; r < options.tile && y + r < image.height; ++r) {
            memcpy(tile.data() + r * tile_row, source_row(y + r) + offset,
                   std::min(tile_row, row_bytes - offset));
          }
          if (TIFFWriteEncodedTile(tif, TIFFComputeTile(tif, x, y, 0, 0), tile.data(),
                                   static_cast<tmsize_t>(tile.size())) < 0) {
            TIFFClose(tif);
            WriteFailed(path);
          }
        }
      }
    } else {
      const uint32_t rows = options.rows_per_strip != 0 ? options.rows_per_strip : image.height;
      TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, rows);
      std::vector<uint8_t> strip;
      for (uint32_t s = 0, y = 0; y < image.height; ++s, y += rows) {
        const uint32_t n = std::min(rows, image.height - y);
        strip.resize(size_t{n} * row_bytes);
        for (uint32_t r = 0; r < n; ++r)
          memcpy(strip.data() + r * row_bytes, source_row(y + r), row_bytes);
        if (TIFFWriteEncodedStrip(tif, s, strip.data(), static_cast<tmsize_t>(strip.size())) < 0) {
          TIFFClose(tif);
          WriteFailed(path);
        }
      }
    }
    if (TIFFWriteDirectory(tif) != 1) {
      TIFFClose(tif);
      WriteFailed(path);
    }
  }
  TIFFClose(tif);
}

bool PaperPixels(const std::string& paper, bool landscape, double dpi, uint32_t* width,
                 uint32_t* height) {
  struct Paper {
    const char* name;
    double short_mm, long_mm;
  };
  static constexpr Paper kPapers[] = {{"A4", 210, 297},    {"A3", 297, 420},    {"A2", 420, 594},
                                      {"A1", 594, 841},    {"A0", 841, 1189},   {"A", 215.9, 279.4},
                                      {"B", 279.4, 431.8}, {"C", 431.8, 558.8}, {"D", 558.8, 863.6},
                                      {"E", 863.6, 1117.6}};
  for (const Paper& p : kPapers) {
    if (paper != p.name) continue;
    const auto pixels = [&](double mm) {
      return static_cast<uint32_t>(std::lround(mm / 25.4 * dpi));
    };
    *width = pixels(landscape ? p.long_mm : p.short_mm);
    *height = pixels(landscape ? p.short_mm : p.long_mm);
    return true;
  }
  return false;
}

}  // namespace plotspool
