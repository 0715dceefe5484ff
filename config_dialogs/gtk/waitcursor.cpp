#include "config_dialogs/gtk/waitcursor.h"

#include <gtk/gtk.h>

#include <cerrno>

#include "platform/error.h"

namespace qdgtk {

WaitCursor::WaitCursor() {
  const int savedErrno = errno;
  const uint32_t savedError = plat::GetLastError();
  // The host's GTK shares this library's: a display is open only when the
  // host uses it.
  GdkDisplay* display = gdk_display_get_default();
  if (!display) return;
  GdkCursor* watch = gdk_cursor_new_for_display(display, GDK_WATCH);
  GList* tops = gtk_window_list_toplevels();
  for (GList* l = tops; l; l = l->next) {
    GtkWidget* w = GTK_WIDGET(l->data);
    if (!gtk_widget_get_realized(w) || !gtk_widget_get_visible(w)) continue;
    GdkWindow* gw = gtk_widget_get_window(w);
    if (!gw) continue;
    GdkCursor* own = gdk_window_get_cursor(gw);
    if (own) g_object_ref(own);
    g_object_ref(gw);
    held_.push_back({gw, own});
    gdk_window_set_cursor(gw, watch);
  }
  g_list_free(tops);
  if (watch) g_object_unref(watch);
  display_ = display;
  // Shown now: the work that follows keeps the main loop from running.
  if (!held_.empty()) gdk_display_flush(display);
  plat::SetLastError(savedError);
  errno = savedErrno;
}

WaitCursor::~WaitCursor() {
  if (held_.empty()) return;
  // The print's result stands: errno and the last error are the caller's.
  const int savedErrno = errno;
  const uint32_t savedError = plat::GetLastError();
  for (const Held& h : held_) {
    GdkWindow* gw = static_cast<GdkWindow*>(h.window);
    GdkCursor* own = static_cast<GdkCursor*>(h.cursor);
    gdk_window_set_cursor(gw, own);
    if (own) g_object_unref(own);
    g_object_unref(gw);
  }
  if (display_) gdk_display_flush(static_cast<GdkDisplay*>(display_));
  plat::SetLastError(savedError);
  errno = savedErrno;
}

}  // namespace qdgtk
