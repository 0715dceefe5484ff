#include "config_dialogs/print/printengine.h"

#include <cairo.h>

#include <cmath>
#include <cstdio>
#include <cstring>

#include "cdxlib/sys/textcodec.h"
#include "platform/error.h"

namespace {

constexpr double kOffset = 18.0;  // a quarter inch in points
constexpr int kColumns = 160;     // the widest table line and a margin

struct Engine {
  cairo_t* cr = nullptr;
  int line = 1;
  bool pagePending = true;
  std::string buffer;
  // Geometry of the context, worked out when it is set.
  bool usable = false;
  double left = 0, top = 0, height = 0;
  double fontSize = 10, textHeight = 0, ascent = 0;
};
Engine e;

bool InError() {
  return cairo_status(e.cr) != CAIRO_STATUS_SUCCESS ||
         cairo_surface_status(cairo_get_target(e.cr)) != CAIRO_STATUS_SUCCESS;
}

void Measure() {
  e.usable = false;
  if (!e.cr || InError()) return;
  double x1, y1, x2, y2;
  cairo_clip_extents(e.cr, &x1, &y1, &x2, &y2);
  const double width = x2 - x1, height = y2 - y1;
  // An unbounded surface has no page to fill.
  if (!(width > 4 * kOffset) || !(height > 6 * kOffset) || width > 1e6 || height > 1e6) return;
  cairo_save(e.cr);
  cairo_select_font_face(e.cr, "monospace", CAIRO_FONT_SLANT_NORMAL, CAIRO_FONT_WEIGHT_NORMAL);
  cairo_set_font_size(e.cr, 10.0);
  cairo_text_extents_t te;
  cairo_text_extents(e.cr, "M", &te);
  const double advance = te.x_advance / 10.0;  // per unit of font size
  e.fontSize = advance > 0 ? (width - 4 * kOffset) / (kColumns * advance) : 6.0;
  cairo_set_font_size(e.cr, e.fontSize);
  cairo_font_extents_t fe;
  cairo_font_extents(e.cr, &fe);
  cairo_restore(e.cr);
  e.left = x1 + 2 * kOffset;
  e.top = y1 + kOffset;
  e.height = height;
  e.textHeight = fe.ascent + fe.descent;
  e.ascent = fe.ascent;
  e.usable = e.textHeight > 0 && cairo_status(e.cr) == CAIRO_STATUS_SUCCESS;
}

void DrawLine(const std::string& text) {
  std::string utf8;
  if (!Codec_Utf16ToUtf8(Codec_Cp1252ToUtf16(text.data(), text.size()), &utf8)) utf8 = text;
  cairo_save(e.cr);
  cairo_select_font_face(e.cr, "monospace", CAIRO_FONT_SLANT_NORMAL, CAIRO_FONT_WEIGHT_NORMAL);
  cairo_set_font_size(e.cr, e.fontSize);
  cairo_set_source_rgb(e.cr, 0, 0, 0);
  cairo_new_path(e.cr);
  cairo_move_to(e.cr, e.left, e.top + e.line * e.textHeight + e.ascent);
  cairo_show_text(e.cr, utf8.c_str());
  cairo_new_path(e.cr);
  cairo_restore(e.cr);
}

int Refused() {
  Print_Reset();
  plat::Fail(plat::kErrGenFailure);
  return -1;
}

}  // namespace

void Print_SetDc(cairo_t* cr) {
  // The page state goes on only on the same context; the geometry is taken
  // again each time (a host may have made a new context where an old one
  // was, or changed its clip).
  if (cr != e.cr) Print_Reset();
  e.cr = cr;
  Measure();
}

void Print_Reset() {
  e.line = 1;
  e.pagePending = true;
  e.buffer.clear();
}

int Print_CheckDc() {
  if (e.cr && InError()) return Refused();
  if (!e.cr || !e.usable) {
    Print_Reset();
    plat::Fail(plat::kErrInvalidParameter);
    return -1;
  }
  return 0;
}

int Print_Text(const char* text) {
  if (Print_CheckDc() != 0) return -1;
  if (text) e.buffer += text;
  if (e.line == 1 && e.pagePending) {
    // Pages start implicitly on a cairo surface; one that is in error
    // refuses them.
    if (InError()) return Refused();
    e.pagePending = false;
  }
  for (;;) {
    const size_t stop = e.buffer.find_first_of("\n\f");
    if (stop == std::string::npos) return 1;
    if (e.buffer[stop] == '\n') {
      if (stop > 0) DrawLine(e.buffer.substr(0, stop));
      e.buffer.erase(0, stop + 1);
      ++e.line;
      if (InError()) return Refused();
    } else {
      cairo_show_page(e.cr);
      if (InError()) return Refused();
      std::string rest = e.buffer.substr(stop + 1);
      e.buffer.clear();
      e.line = 1;
      e.pagePending = true;
      if (rest.empty()) return 1;
      return Print_Text(rest.c_str());
    }
  }
}

int Print_LinesPerPage() {
  if (!e.cr || !e.usable) return 0;
  return static_cast<int>((e.height - 6 * kOffset) / e.textHeight);
}

int Print_LineCounter() { return e.line; }
bool Print_PagePending() { return e.pagePending; }

std::string Print_FormatFloat(float x) {
  char format[16], out[64];
  for (int n = 6; n >= 0; --n) {
    snprintf(format, sizeof format, "%%8.%df", n);
    const int len = snprintf(out, sizeof out, format, static_cast<double>(x));
    if (len >= 0 && len <= 8) return out;
  }
  snprintf(out, sizeof out, x < 0 ? "%8.1e" : "%8.2e", static_cast<double>(x));
  return std::string(out).substr(0, 8);
}

void Print_Spaces(int n) {
  for (int i = 0; i < n; ++i) fputc(' ', stdout);
}
