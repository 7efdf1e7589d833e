// The simulated receiver's screen: regions with real ARGB pixels, the region
// table "_osdInfo", text drawn with FreeType, the packed graphic form, and a
// 720 x 576 frame composed from the visible regions on every sync.
//
// Beside the pixels every region keeps the texts drawn into it and where they
// stand. Fills, boxes and graphics cover them, copies carry them with the
// pixels, so the queries read what a viewer of the screen would read.
#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>

#include <algorithm>
#include <string>
#include <vector>

#include "sim/libtap/internal.h"

#ifndef SIM_SCREEN_PNG
#define SIM_SCREEN_PNG 0
#endif

#if SIM_SCREEN_PNG
#include <ft2build.h>
#include FT_FREETYPE_H
#include <png.h>
#endif

extern "C" {
// The firmware's region table, indexed by handle: width at byte 4, height at
// byte 6, all zero for a handle without a region. It spans every 16-bit
// handle, so a reader indexing it with any handle stays inside it.
TAP_EXPORT TYPE_OsdInfoEntry _osdInfo[65536];
}

namespace {

constexpr int kScreenW = 720;
constexpr int kScreenH = 576;
constexpr int kFirstHandle = 128;
constexpr int kMaxRegions = 128;  // handles 128 .. 255
constexpr int kMaxRegionSide = 4096;
constexpr int kOffscreenFlag = 0x8000;

// Line heights of the three font sizes (the plug-in's message window sizes
// its rows by these).
constexpr int kLineHeight[3] = {19, 22, 26};

struct Text {
  int x, y, w, h;  // box in region coordinates
  std::string s;
};

struct Region {
  bool live = false;
  bool offscreen = false;
  long long x = 0, y = 0;  // position on the screen
  int w = 0, h = 0;
  unsigned long long order = 0;  // stacking: later regions lie on top
  std::vector<uint32_t> px;
  std::vector<Text> texts;
};

struct Rect {
  long long x0, y0, x1, y1;  // half open
  bool Empty() const { return x0 >= x1 || y0 >= y1; }
};

Rect Intersect(const Rect& a, const Rect& b) {
  return {std::max(a.x0, b.x0), std::max(a.y0, b.y0), std::min(a.x1, b.x1), std::min(a.y1, b.y1)};
}

long long Area(const Rect& r) {
  return r.Empty() ? 0 : (r.x1 - r.x0) * (r.y1 - r.y0);
}

struct Screen {
  Region regions[kMaxRegions];
  unsigned long long nextOrder = 1;
  std::vector<uint32_t> shown;  // frame of the last sync
  std::string outputDir;
  bool fakeCreate = false;
  int fakeCreateResult = 0;
  int failFill = 0;  // every fill returns this and draws nothing (0: off)
  int failCopy = 0;  // every copy likewise
  std::string textsBuf;
};

Screen& S() {
  static Screen screen;
  return screen;
}

Region* Get(word rgn) {
  int i = static_cast<int>(rgn) - kFirstHandle;
  if (i < 0 || i >= kMaxRegions) return nullptr;
  Region* r = &S().regions[i];
  return r->live ? r : nullptr;
}

// Rectangle of x, y, w, h (firmware values, unsigned) clipped to a region.
Rect Clip(const Region& r, dword x, dword y, dword w, dword h) {
  Rect want{static_cast<long long>(x), static_cast<long long>(y),
            static_cast<long long>(x) + static_cast<long long>(w),
            static_cast<long long>(y) + static_cast<long long>(h)};
  return Intersect(want, Rect{0, 0, r.w, r.h});
}

// Source-over blending of non-premultiplied ARGB.
uint32_t Over(uint32_t src, uint32_t dst) {
  uint32_t sa = src >> 24;
  if (sa == 255) return src;
  if (sa == 0) return dst;
  uint32_t da = dst >> 24;
  uint32_t dw = da * (255 - sa) / 255;
  uint32_t oa = sa + dw;
  if (oa == 0) return 0;
  uint32_t out = oa << 24;
  for (int shift = 0; shift <= 16; shift += 8) {
    uint32_t sc = (src >> shift) & 0xFF, dc = (dst >> shift) & 0xFF;
    out |= ((sc * sa + dc * dw) / oa) << shift;
  }
  return out;
}

Rect TextRect(const Text& t) {
  return {t.x, t.y, t.x + t.w, t.y + t.h};
}

// Texts at least half covered by an opaque drawing are no longer readable.
void Cover(Region& r, const Rect& area) {
  if (area.Empty()) return;
  auto& v = r.texts;
  v.erase(std::remove_if(v.begin(), v.end(),
                         [&](const Text& t) {
                           Rect tr = TextRect(t);
                           return 2 * Area(Intersect(tr, area)) >= Area(tr);
                         }),
          v.end());
}

void Fill(Region& r, const Rect& a, uint32_t color) {
  for (long long y = a.y0; y < a.y1; ++y)
    std::fill(r.px.begin() + y * r.w + a.x0, r.px.begin() + y * r.w + a.x1, color);
}

// ---------------------------------------------------------------------------
// Fonts

struct Glyph {
  bool loaded = false;
  int advance = 0;
  int left = 0, top = 0, bw = 0, bh = 0;
  std::vector<uint8_t> bits;
};

struct Font {
  bool tried = false;
  bool ok = false;
  int ascent[3] = {0, 0, 0};
  int descent[3] = {0, 0, 0};
  Glyph glyphs[3][256];
#if SIM_SCREEN_PNG
  FT_Library lib = nullptr;
  FT_Face face = nullptr;
#endif
};

Font& F() {
  static Font font;
  return font;
}

// Pixel sizes of the three font sizes. DejaVu Sans at 16 and 22 pixels has
// line heights of 19 and 26, those of sizes 0 and 2; size 1 takes 18 pixels
// (line height 21 of 22), so that the dialog's longest line fits its
// 360-pixel window.
[[maybe_unused]] constexpr int kPixelSize[3] = {16, 18, 22};
[[maybe_unused]] constexpr const char* kFontPath =
    "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf";

bool FontReady() {
  Font& f = F();
  if (f.tried) return f.ok;
  f.tried = true;
#if SIM_SCREEN_PNG
  if (FT_Init_FreeType(&f.lib) != 0) return false;
  if (FT_New_Face(f.lib, kFontPath, 0, &f.face) != 0) return false;
  for (int s = 0; s < 3; ++s) {
    FT_Set_Pixel_Sizes(f.face, 0, kPixelSize[s]);
    f.ascent[s] = static_cast<int>(f.face->size->metrics.ascender >> 6);
    f.descent[s] = static_cast<int>(-(f.face->size->metrics.descender >> 6));
  }
  f.ok = true;
#endif
  return f.ok;
}

// Glyph of one ISO-8859-1 byte (the same Unicode code point). Without the
// font (the receiver build has no FreeType) every character is a block two
// fifths of the line height wide.
const Glyph& GlyphOf(int size, unsigned char c) {
  Font& f = F();
  Glyph& g = f.glyphs[size][c];
  if (g.loaded) return g;
  g.loaded = true;
  const int lh = kLineHeight[size];
#if SIM_SCREEN_PNG
  if (FontReady()) {
    FT_Set_Pixel_Sizes(f.face, 0, kPixelSize[size]);
    if (c >= 0x20 && FT_Load_Char(f.face, c, FT_LOAD_RENDER | FT_LOAD_TARGET_NORMAL) == 0) {
      FT_GlyphSlot slot = f.face->glyph;
      g.advance = static_cast<int>((slot->advance.x + 32) >> 6);
      g.left = slot->bitmap_left;
      g.top = slot->bitmap_top;
      g.bw = static_cast<int>(slot->bitmap.width);
      g.bh = static_cast<int>(slot->bitmap.rows);
      g.bits.resize(static_cast<size_t>(g.bw) * g.bh);
      for (int y = 0; y < g.bh; ++y)
        memcpy(&g.bits[static_cast<size_t>(y) * g.bw], slot->bitmap.buffer + y * slot->bitmap.pitch,
               g.bw);
    }
    return g;
  }
#endif
  g.advance = lh * 2 / 5;
  if (c > 0x20) {
    g.left = 1;
    g.bw = g.advance - 2;
    g.bh = lh * 3 / 5;
    g.top = g.bh;
    g.bits.assign(static_cast<size_t>(g.bw) * g.bh, 255);
  }
  return g;
}

// Row of the baseline below the top of a text line: the font's ascender and
// descender centred in the line height.
int Baseline(int size) {
  const int lh = kLineHeight[size];
  if (!FontReady()) return lh * 4 / 5;
  const Font& f = F();
  return std::max(0, (lh - f.ascent[size] - f.descent[size]) / 2) + f.ascent[size];
}

int TextWidth(const char* s, int size) {
  int w = 0;
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(s); *p; ++p)
    w += GlyphOf(size, *p).advance;
  return w;
}

int ClampSize(byte fntSize) {
  return fntSize > 2 ? 2 : fntSize;
}

// ---------------------------------------------------------------------------
// The packed graphic form (compressMethod 2): packets until the picture is
// full or the end mark comes. 0x00-0x7F n: the next 16-bit pixel n + 1 times;
// 0x80-0xFE n: n - 0x7F pixels as they are; 0xFF: end. Pixels are 16 bits,
// little-endian: bit 15 opaque, then 5 bits each of red, green and blue.
// compressMethod 0 holds the pixels unpacked.

uint32_t Expand1555(uint16_t p) {
  if (!(p & 0x8000)) return 0;
  uint32_t r = (p >> 10) & 31, g = (p >> 5) & 31, b = p & 31;
  r = (r << 3) | (r >> 2);
  g = (g << 3) | (g >> 2);
  b = (b << 3) | (b >> 2);
  return 0xFF000000u | (r << 16) | (g << 8) | b;
}

bool DecodeGraphic(const TYPE_GrData* gd, std::vector<uint32_t>* out) {
  if (!gd || !gd->data || gd->width == 0 || gd->height == 0) return false;
  const size_t n = static_cast<size_t>(gd->width) * gd->height;
  if (gd->size / 2 < n) return false;
  out->assign(n, 0);
  const byte* d = gd->data;
  if (gd->compressMethod == 0) {
    for (size_t i = 0; i < n; ++i)
      (*out)[i] = Expand1555(static_cast<uint16_t>(d[2 * i] | d[2 * i + 1] << 8));
    return true;
  }
  if (gd->compressMethod != 2) return false;
  // A well-formed stream of n pixels is never longer than 3 n + 1 bytes (a
  // run packet per pixel and the end mark); reading stops there at the latest.
  const size_t limit = 3 * n + 1;
  size_t i = 0, k = 0;
  while (i < n && k < limit) {
    byte c = d[k++];
    if (c == 0xFF) break;
    size_t count = c < 0x80 ? 1 : static_cast<size_t>(c - 0x7F);
    if (k + 2 * count > limit) break;
    if (c < 0x80) {
      uint32_t p = Expand1555(static_cast<uint16_t>(d[k] | d[k + 1] << 8));
      k += 2;
      for (int j = 0; j <= c && i < n; ++j) (*out)[i++] = p;
    } else {
      for (size_t j = 0; j < count; ++j, k += 2)
        if (i < n) (*out)[i++] = Expand1555(static_cast<uint16_t>(d[k] | d[k + 1] << 8));
    }
  }
  return true;
}

// ---------------------------------------------------------------------------
// Composition and output

std::vector<Region*> VisibleRegions() {
  std::vector<Region*> v;
  for (Region& r : S().regions)
    if (r.live && !r.offscreen) v.push_back(&r);
  std::sort(v.begin(), v.end(), [](Region* a, Region* b) { return a->order < b->order; });
  return v;
}

std::vector<uint32_t> Compose() {
  std::vector<uint32_t> frame(static_cast<size_t>(kScreenW) * kScreenH, 0);
  for (Region* r : VisibleRegions()) {
    Rect on = Intersect(Rect{r->x, r->y, r->x + r->w, r->y + r->h}, Rect{0, 0, kScreenW, kScreenH});
    for (long long y = on.y0; y < on.y1; ++y)
      for (long long x = on.x0; x < on.x1; ++x) {
        uint32_t& f = frame[y * kScreenW + x];
        f = Over(r->px[(y - r->y) * r->w + (x - r->x)], f);
      }
  }
  return frame;
}

#if SIM_SCREEN_PNG
// The frame over a plain backdrop standing for the TV picture.
bool WritePng(const std::vector<uint32_t>& frame, const char* path) {
  std::vector<uint8_t> rgb(static_cast<size_t>(kScreenW) * kScreenH * 3);
  for (int y = 0; y < kScreenH; ++y) {
    uint32_t shade = 0x30 - y * 0x20 / kScreenH;
    uint32_t back = 0xFF000000u | (shade / 2 << 16) | (shade * 3 / 4 << 8) | shade;
    for (int x = 0; x < kScreenW; ++x) {
      uint32_t p = Over(frame[static_cast<size_t>(y) * kScreenW + x], back);
      uint8_t* o = &rgb[(static_cast<size_t>(y) * kScreenW + x) * 3];
      o[0] = (p >> 16) & 0xFF;
      o[1] = (p >> 8) & 0xFF;
      o[2] = p & 0xFF;
    }
  }
  png_image image;
  memset(&image, 0, sizeof image);
  image.version = PNG_IMAGE_VERSION;
  image.width = kScreenW;
  image.height = kScreenH;
  image.format = PNG_FORMAT_RGB;
  int ok = png_image_write_to_file(&image, path, 0, rgb.data(), 0, nullptr);
  png_image_free(&image);
  return ok != 0;
}
#endif

// A text is read where the centre of its box is on the screen and no region
// above it shows a pixel there.
struct Seen {
  long long x, y;
  const std::string* s;
};

std::vector<Seen> VisibleTexts() {
  std::vector<Seen> seen;
  std::vector<Region*> vis = VisibleRegions();
  for (size_t i = 0; i < vis.size(); ++i) {
    for (const Text& t : vis[i]->texts) {
      long long cx = vis[i]->x + t.x + t.w / 2, cy = vis[i]->y + t.y + t.h / 2;
      if (cx < 0 || cy < 0 || cx >= kScreenW || cy >= kScreenH) continue;
      bool hidden = false;
      for (size_t j = i + 1; j < vis.size() && !hidden; ++j) {
        const Region* o = vis[j];
        if (cx >= o->x && cy >= o->y && cx < o->x + o->w && cy < o->y + o->h)
          hidden = (o->px[(cy - o->y) * o->w + (cx - o->x)] >> 24) != 0;
      }
      if (!hidden) seen.push_back({vis[i]->x + t.x, vis[i]->y + t.y, &t.s});
    }
  }
  std::stable_sort(seen.begin(), seen.end(),
                   [](const Seen& a, const Seen& b) { return a.y != b.y ? a.y < b.y : a.x < b.x; });
  return seen;
}

// Puts a composed frame on the screen; a frame that differs from the one
// shown is written as a screen file when asked.
void Show(std::vector<uint32_t> frame) {
  Screen& s = S();
  if (s.shown.size() != frame.size()) s.shown.assign(frame.size(), 0);
  if (frame == s.shown) return;
  s.shown.swap(frame);
#if SIM_SCREEN_PNG
  if (!s.outputDir.empty()) {
    uint32_t t = sim::Ticks();
    char name[64];
    snprintf(name, sizeof name, "/screen-%02u-%02u-%02u.%02u.png", t / 360000, t / 6000 % 60,
             t / 100 % 60, t % 100);
    std::string path = s.outputDir + name;
    if (WritePng(s.shown, path.c_str())) sim::Notify("screen", path.c_str());
  }
#endif
}

// Every region gone, the handles free again and the region table empty.
void RemoveRegions() {
  Screen& s = S();
  for (Region& r : s.regions) {
    r.live = false;
    r.px.clear();
    r.texts.clear();
  }
  s.nextOrder = 1;
  memset(_osdInfo, 0, sizeof _osdInfo);
}

}  // namespace

// ---------------------------------------------------------------------------
// Firmware API

extern "C" {

int TAP_Osd_Create(dword x, dword y, dword w, dword h, byte lutIdx, int flag) {
  SIM_COUNT_CALL();
  SIM_WHEN_DARK_RETURN(-1);
  (void)lutIdx;
  Screen& s = S();
  if (s.fakeCreate) {
    s.fakeCreate = false;
    sim::NoteFault("TAP_Osd_Create returned " + std::to_string(s.fakeCreateResult) +
                   " (fail region)");
    return s.fakeCreateResult;
  }
  if (w == 0 || h == 0 || w > kMaxRegionSide || h > kMaxRegionSide) return -1;
  for (int i = 0; i < kMaxRegions; ++i) {
    Region& r = s.regions[i];
    if (r.live) continue;
    r.live = true;
    r.offscreen = (flag & kOffscreenFlag) != 0;
    r.x = x;
    r.y = y;
    r.w = static_cast<int>(w);
    r.h = static_cast<int>(h);
    r.order = s.nextOrder++;
    r.px.assign(static_cast<size_t>(w) * h, 0);
    r.texts.clear();
    _osdInfo[kFirstHandle + i].width = static_cast<word>(w);
    _osdInfo[kFirstHandle + i].height = static_cast<word>(h);
    return kFirstHandle + i;
  }
  return -1;
}

int TAP_Osd_Delete(word rgn) {
  SIM_COUNT_CALL();
  SIM_WHEN_DARK_RETURN(-1);
  Region* r = Get(rgn);
  if (!r) return -1;
  r->live = false;
  r->px.clear();
  r->px.shrink_to_fit();
  r->texts.clear();
  memset(&_osdInfo[rgn], 0, sizeof _osdInfo[rgn]);
  return 0;
}

int TAP_Osd_FillBox(word rgn, dword x, dword y, dword w, dword h, dword color) {
  SIM_COUNT_CALL();
  SIM_WHEN_DARK_RETURN(-1);
  if (S().failFill != 0) {
    sim::NoteFault("TAP_Osd_FillBox returned " + std::to_string(S().failFill) + " (fail fill)");
    return S().failFill;
  }
  Region* r = Get(rgn);
  if (!r) return -1;
  Rect a = Clip(*r, x, y, w, h);
  if (a.Empty()) return 0;
  Fill(*r, a, color);
  Cover(*r, a);
  return 0;
}

int TAP_Osd_Draw3dBoxFill(word rgn, dword x, dword y, dword w, dword h, dword c1, dword c2,
                          dword fc) {
  SIM_COUNT_CALL();
  SIM_WHEN_DARK_RETURN(-1);
  Region* r = Get(rgn);
  if (!r) return -1;
  Rect box = Clip(*r, x, y, w, h);
  if (box.Empty()) return 0;
  Fill(*r, box, fc);
  // Light edges top and left, dark edges bottom and right.
  const long long x0 = x, y0 = y, x1 = x0 + w - 1, y1 = y0 + h - 1;
  Fill(*r, Intersect(box, Rect{x0, y0, x1 + 1, y0 + 1}), c1);
  Fill(*r, Intersect(box, Rect{x0, y0, x0 + 1, y1 + 1}), c1);
  Fill(*r, Intersect(box, Rect{x0, y1, x1 + 1, y1 + 1}), c2);
  Fill(*r, Intersect(box, Rect{x1, y0, x1 + 1, y1 + 1}), c2);
  Cover(*r, box);
  return 0;
}

int TAP_Osd_PutS(word rgn, dword x, dword y, dword maxX, const char* str, dword fcolor,
                 dword bcolor, byte fntType, byte fntSize, byte bDot, byte align) {
  SIM_COUNT_CALL();
  SIM_WHEN_DARK_RETURN(-1);
  (void)fntType;
  (void)bDot;
  Region* r = Get(rgn);
  if (!r || !str) return -1;
  const int size = ClampSize(fntSize);
  const int lh = kLineHeight[size];
  const long long left = x, right = std::min<long long>(maxX, r->w);
  Rect line =
      Intersect(Rect{left, static_cast<long long>(y), right, static_cast<long long>(y) + lh},
                Rect{0, 0, r->w, r->h});
  if ((bcolor >> 24) != 0 && !line.Empty()) {
    Fill(*r, line, bcolor);
    Cover(*r, line);
  }
  const long long tw = TextWidth(str, size);
  long long start = left;
  if (align == 1 && right - left > tw) start = left + (right - left - tw) / 2;
  if (align == 2 && right - left > tw) start = right - tw;

  // Glyphs, blended over the region, clipped to [x, maxX) and the region.
  const long long base = static_cast<long long>(y) + Baseline(size);
  long long pen = start;
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(str); *p; ++p) {
    const Glyph& g = GlyphOf(size, *p);
    for (int gy = 0; gy < g.bh; ++gy) {
      long long py = base - g.top + gy;
      if (py < line.y0 || py >= line.y1) continue;
      for (int gx = 0; gx < g.bw; ++gx) {
        long long px = pen + g.left + gx;
        if (px < line.x0 || px >= line.x1) continue;
        uint32_t cov = g.bits[static_cast<size_t>(gy) * g.bw + gx];
        if (!cov) continue;
        uint32_t a = (fcolor >> 24) * cov / 255;
        uint32_t& d = r->px[py * r->w + px];
        d = Over((a << 24) | (fcolor & 0xFFFFFF), d);
      }
    }
    pen += g.advance;
  }

  Rect box = Intersect(
      Rect{start, static_cast<long long>(y), start + tw, static_cast<long long>(y) + lh}, line);
  if (*str && !box.Empty())
    r->texts.push_back({static_cast<int>(box.x0), static_cast<int>(box.y0),
                        static_cast<int>(box.x1 - box.x0), static_cast<int>(box.y1 - box.y0), str});
  return 0;
}

int TAP_Osd_PutGd(word rgn, int x, int y, const TYPE_GrData* gd, int sprite) {
  SIM_COUNT_CALL();
  SIM_WHEN_DARK_RETURN(-1);
  (void)sprite;
  Region* r = Get(rgn);
  if (!r) return -1;
  std::vector<uint32_t> pic;
  if (!DecodeGraphic(gd, &pic)) return -1;
  Rect a = Intersect(
      Rect{x, y, static_cast<long long>(x) + gd->width, static_cast<long long>(y) + gd->height},
      Rect{0, 0, r->w, r->h});
  for (long long py = a.y0; py < a.y1; ++py)
    for (long long px = a.x0; px < a.x1; ++px) {
      uint32_t p = pic[(py - y) * gd->width + (px - x)];
      if (p >> 24) r->px[py * r->w + px] = p;
    }
  Cover(*r, a);
  return 0;
}

dword TAP_Osd_GetW(const char* str, byte fntType, byte fntSize) {
  SIM_COUNT_CALL();
  (void)fntType;
  if (!str) return 0;
  return static_cast<dword>(TextWidth(str, ClampSize(fntSize)));
}

int TAP_Osd_Copy(word srcRgn, word dstRgn, dword srcX, dword srcY, dword w, dword h, dword dstX,
                 dword dstY, int sprite) {
  SIM_COUNT_CALL();
  SIM_WHEN_DARK_RETURN(-1);
  if (S().failCopy != 0) {
    sim::NoteFault("TAP_Osd_Copy returned " + std::to_string(S().failCopy) + " (fail copy)");
    return S().failCopy;
  }
  Region* src = Get(srcRgn);
  Region* dst = Get(dstRgn);
  if (!src || !dst) return -1;
  // The source rectangle inside the source, then its image inside the
  // destination; dx, dy carry source to destination coordinates.
  Rect from = Clip(*src, srcX, srcY, w, h);
  const long long dx = static_cast<long long>(dstX) - srcX,
                  dy = static_cast<long long>(dstY) - srcY;
  Rect to = Intersect(Rect{from.x0 + dx, from.y0 + dy, from.x1 + dx, from.y1 + dy},
                      Rect{0, 0, dst->w, dst->h});
  if (to.Empty()) return 0;
  from = Rect{to.x0 - dx, to.y0 - dy, to.x1 - dx, to.y1 - dy};

  std::vector<uint32_t> block;
  block.reserve(static_cast<size_t>(Area(to)));
  for (long long y = from.y0; y < from.y1; ++y)
    for (long long x = from.x0; x < from.x1; ++x) block.push_back(src->px[y * src->w + x]);
  std::vector<Text> carried;
  for (const Text& t : src->texts) {
    Rect tr = TextRect(t);
    if (2 * Area(Intersect(tr, from)) >= Area(tr)) {
      Rect moved = Intersect(Rect{tr.x0 + dx, tr.y0 + dy, tr.x1 + dx, tr.y1 + dy}, to);
      carried.push_back({static_cast<int>(moved.x0), static_cast<int>(moved.y0),
                         static_cast<int>(moved.x1 - moved.x0),
                         static_cast<int>(moved.y1 - moved.y0), t.s});
    }
  }
  size_t k = 0;
  for (long long y = to.y0; y < to.y1; ++y)
    for (long long x = to.x0; x < to.x1; ++x, ++k) {
      uint32_t p = block[k];
      if (sprite && !(p >> 24)) continue;
      dst->px[y * dst->w + x] = p;
    }
  if (!sprite) Cover(*dst, to);
  for (Text& t : carried) dst->texts.push_back(std::move(t));
  return 0;
}

int TAP_Osd_Sync(void) {
  SIM_COUNT_CALL();
  SIM_WHEN_DARK_RETURN(-1);
  Show(Compose());
  return 0;
}

// ---------------------------------------------------------------------------
// Control API

void sim_screen_set_output(const char* dir) {
  Screen& s = S();
  s.outputDir = dir ? dir : "";
  while (s.outputDir.size() > 1 && s.outputDir.back() == '/') s.outputDir.pop_back();
  if (!s.outputDir.empty() && mkdir(s.outputDir.c_str(), 0777) != 0 && errno != EEXIST)
    fprintf(stderr, "screen: cannot create %s: %s\n", s.outputDir.c_str(), strerror(errno));
}

int sim_screen_shows(const char* needle) {
  if (!needle) return 0;
  for (const Seen& t : VisibleTexts())
    if (t.s->find(needle) != std::string::npos) return 1;
  return 0;
}

int sim_screen_empty(void) {
  for (uint32_t p : Compose())
    if (p >> 24) return 0;
  return 1;
}

const char* sim_screen_texts(void) {
  std::string& out = S().textsBuf;
  out.clear();
  for (const Seen& t : VisibleTexts()) {
    out += *t.s;
    out += '\n';
  }
  return out.c_str();
}

int sim_screen_write_png(const char* hostPath) {
#if SIM_SCREEN_PNG
  if (!hostPath) return 0;
  return WritePng(Compose(), hostPath) ? 1 : 0;
#else
  (void)hostPath;
  return 0;
#endif
}

uint32_t sim_screen_pixel(int x, int y) {
  if (x < 0 || y < 0 || x >= kScreenW || y >= kScreenH) return 0;
  uint32_t p = 0;
  for (const Region* r : VisibleRegions())
    if (x >= r->x && y >= r->y && x < r->x + r->w && y < r->y + r->h)
      p = Over(r->px[(y - r->y) * r->w + (x - r->x)], p);
  return p;
}

int sim_region_alive(int handle) {
  if (handle < 0 || handle > 0xFFFF) return 0;
  return Get(static_cast<word>(handle)) ? 1 : 0;
}

int sim_screen_has_png(void) {
  return SIM_SCREEN_PNG;
}

void sim_fail_osd_create(int result) {
  S().fakeCreate = true;
  S().fakeCreateResult = result;
}

void sim_fail_osd_fill(int result) {
  S().failFill = result;
}

void sim_fail_osd_copy(int result) {
  S().failCopy = result;
}

}  // extern "C"

namespace sim {

void ScreenReset() {
  RemoveRegions();
  S().shown.clear();
  ClearScreenFaults();
}

void ClearScreenFaults() {
  Screen& s = S();
  s.fakeCreate = false;
  s.failFill = 0;
  s.failCopy = 0;
}

// The power goes: the screen is dark and no region is left; a screen that
// showed something is written once more, empty.
void ScreenPowerCut() {
  RemoveRegions();
  Show(Compose());
}

}  // namespace sim
