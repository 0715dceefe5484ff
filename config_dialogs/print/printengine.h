// The print engine: fixed-layout text lines on the pages of a cairo context.
//
// The host's printer device context is a cairo context (cairo_t*) whose
// target is the printer's surface (a PDF or PostScript surface, or any
// other). The host creates the surface and ends the document; the engine
// draws text lines and ends pages itself (cairo_show_page). Page geometry,
// in the context's user units (points on PDF and PostScript surfaces):
//   page            the context's clip extents (a new context's clip is the
//                   whole surface; a host may clip to the printable area)
//   offsets         a quarter inch (18 units) from the left and top, as the
//                   unprintable margin of a printer
//   font            a monospaced face, sized so that 160 columns fit between
//                   twice the left offset and the same margin on the right
//   line n          drawn with its top at offsetY + n * text height, from
//                   x = 2 * offsetX; lines per page:
//                   (page height - 6 * offsetY) / text height
// The context's own state (font, source, path) is restored after each line.
//
// The engine's state is process-wide and survives between calls on the same
// context, so that one print can continue the page another left open: the
// line counter (from 1), the page-pending flag (set: the next text starts a
// page) and the line buffer. A new context, and any failure, reset it. One
// print at a time: the engine is not re-entrant.
#pragma once
#include <cstdint>
#include <string>

typedef struct _cairo cairo_t;

// Takes the context for the next texts. A context other than the last one
// (or the first call) starts with a fresh state.
void Print_SetDc(cairo_t* cr);
// Forgets the state (line 1, page pending, empty buffer).
void Print_Reset();

// 0 when the context is set and has a usable page; else -1 with 31 for a
// context in error (it refuses pages) or 87 (no context, no usable page).
int Print_CheckDc();

// Appends the text to the line buffer. A page is started when line 1 is
// due and a page is pending. Each newline draws the buffered characters as
// one line and moves to the next line; a form feed ends the page (the
// characters buffered before it are dropped) and makes a page pending.
// Text without a newline waits in the buffer. 1, or -1 when the context
// refuses the page (its cairo status is an error; errno 31) or no context or
// usable page is set (errno 87); the state is then reset.
int Print_Text(const char* text);

// Lines per page: (page height - 6 * offsetY) / text height; 0 when no
// context with a usable page is set.
int Print_LinesPerPage();
// The current line (1 at the top of a page) and whether a page is pending.
int Print_LineCounter();
bool Print_PagePending();

// A float in at most 8 characters: "%8.nf" with the most decimals (6 down
// to 0) that fit; a value too large for that (1e8 and more, -1e7 and less)
// in exponent form ("1.00e+09", "-1.0e+09"), so a value is never shown cut.
std::string Print_FormatFloat(float x);

// Writes n blanks to standard output.
void Print_Spaces(int n);
