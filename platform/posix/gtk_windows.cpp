// The GTK 3 window module (e-mailer-gtk.so): the message box and the result dialog
// behind window_module.h. Both come to the front, close themselves after the time they
// are given, and never grow with their text. GTK starts on the first call; when the display cannot be
// opened every call answers -1 and the program falls back to standard error.
#include <gtk/gtk.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <type_traits>

#include "platform/window_module.h"

namespace {

constexpr int resultOk = 1;
constexpr int resultCancel = 2;

// The message box, in dialog units: a text area at most messageBoxWidth wide and
// messageBoxLines lines high, a margin around it and the OK button, sized as the result
// dialog's.
constexpr int messageBoxWidth = 240;
constexpr int messageBoxLines = 12;
constexpr int messageBoxMargin = 7;
constexpr DialogUnitsRect okButtonSize{0, 0, 50, 14};

bool GtkReady() {
  static const bool ready = gtk_init_check(nullptr, nullptr) != FALSE;
  return ready;
}

// Removes what the window system left to do, so a closed window is gone from the
// screen before the caller goes on.
void FlushWindowSystem() {
  while (g_main_context_iteration(nullptr, FALSE)) {
  }
  gdk_display_sync(gdk_display_get_default());
}

// Pixels per dialog unit for the widget's font, measured the way Windows measures its
// dialog base units: the average width of the 52 letters, and the line height.
struct DialogUnits {
  double x;
  double y;
  int lineHeight;
};

DialogUnits MeasureDialogUnits(GtkWidget* widget) {
  PangoLayout* layout =
      gtk_widget_create_pango_layout(widget, "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz");
  int width = 0;
  int height = 0;
  pango_layout_get_pixel_size(layout, &width, &height);
  g_object_unref(layout);
  double averageWidth = (width / 26.0 + 1) / 2;
  return {averageWidth / 4, height / 8.0, height};
}

int Pixels(int units, double perUnit) { return static_cast<int>(std::lround(units * perUnit)); }

struct DialogRun {
  GMainLoop* loop;
  int result;
  guint timer;
  int timerResult;  // what the window answers when it closes by itself
};

void EndDialog(DialogRun* run, int result) {
  if (run->result != 0) return;
  run->result = result;
  g_main_loop_quit(run->loop);
}

void OnOkClicked(GtkButton*, gpointer data) { EndDialog(static_cast<DialogRun*>(data), resultOk); }

gboolean OnKeyPress(GtkWidget*, GdkEventKey* event, gpointer data) {
  if (event->keyval != GDK_KEY_Escape) return FALSE;
  EndDialog(static_cast<DialogRun*>(data), resultCancel);
  return TRUE;
}

gboolean OnDelete(GtkWidget*, GdkEvent*, gpointer data) {
  EndDialog(static_cast<DialogRun*>(data), resultCancel);
  return TRUE;  // the window is destroyed once the run is over
}

// A window destroyed from outside (its X window killed) ends the run like the close box.
void OnDestroy(GtkWidget*, gpointer data) { EndDialog(static_cast<DialogRun*>(data), resultCancel); }

gboolean OnTimer(gpointer data) {
  auto* run = static_cast<DialogRun*>(data);
  run->timer = 0;
  EndDialog(run, run->timerResult);
  return G_SOURCE_REMOVE;
}

// The text laid out in the widget's font as a label wraps it at width pixels.
PangoLayout* WrappedLayout(GtkWidget* widget, const char* text, int width) {
  PangoLayout* layout = gtk_widget_create_pango_layout(widget, text);
  pango_layout_set_width(layout, width * PANGO_SCALE);
  pango_layout_set_wrap(layout, PANGO_WRAP_WORD_CHAR);
  return layout;
}

// The first maxLines lines of the text wrapped at width pixels, each ended by a line
// break of its own, so that a label shows them without wrapping and no wider than width.
std::string WrappedLines(GtkWidget* widget, const char* text, int width, int maxLines,
                         int* lines) {
  PangoLayout* layout = WrappedLayout(widget, text, width);
  *lines = std::min(pango_layout_get_line_count(layout), maxLines);
  std::string wrapped;
  for (int i = 0; i < *lines; ++i) {
    PangoLayoutLine* line = pango_layout_get_line_readonly(layout, i);
    if (i > 0) wrapped += '\n';
    wrapped.append(text + line->start_index, static_cast<std::size_t>(line->length));
  }
  g_object_unref(layout);
  return wrapped;
}

// The text as far as it fits into lines lines of width pixels when it is wrapped as
// the label wraps it; the rest is cut off.
std::string FittingText(GtkWidget* label, const char* text, int width, int lines) {
  PangoLayout* layout = WrappedLayout(label, text, width);
  std::string fitting = text;
  if (pango_layout_get_line_count(layout) > lines) {
    fitting.resize(static_cast<std::size_t>(pango_layout_get_line_readonly(layout, lines)->start_index));
    while (!fitting.empty() && fitting.back() == '\n') fitting.pop_back();
  }
  g_object_unref(layout);
  return fitting;
}

// The text area: a label wrapped to the area's width, its lines centred. The area holds as many whole lines as fit into its height (so no line shows cut in
// half), and the text beyond them is cut off rather than growing the window.
GtkWidget* NewTextArea(const char* text, int width, int height, int lineHeight) {
  int lines = height / lineHeight > 0 ? height / lineHeight : 1;
  GtkWidget* label = gtk_label_new(nullptr);
  gtk_label_set_line_wrap(GTK_LABEL(label), TRUE);
  gtk_label_set_line_wrap_mode(GTK_LABEL(label), PANGO_WRAP_WORD_CHAR);
  gtk_label_set_justify(GTK_LABEL(label), GTK_JUSTIFY_CENTER);
  gtk_label_set_xalign(GTK_LABEL(label), 0.5f);
  gtk_label_set_yalign(GTK_LABEL(label), 0.0f);
  gtk_widget_set_size_request(label, width, lines * lineHeight);
  g_autofree char* valid = g_utf8_make_valid(text, -1);
  gtk_label_set_text(GTK_LABEL(label), FittingText(label, valid, width, lines).c_str());
  return label;
}

// OK is the default button and has the focus; Enter and OK end the run with the OK
// result, Escape, the close box and a window destroyed from outside with cancel.
void ConnectDialogSignals(GtkWidget* window, GtkWidget* ok, DialogRun* run) {
  gtk_widget_set_can_default(ok, TRUE);
  gtk_widget_grab_default(ok);
  gtk_widget_grab_focus(ok);
  g_signal_connect(ok, "clicked", G_CALLBACK(OnOkClicked), run);
  g_signal_connect(window, "key-press-event", G_CALLBACK(OnKeyPress), run);
  g_signal_connect(window, "delete-event", G_CALLBACK(OnDelete), run);
  g_signal_connect(window, "destroy", G_CALLBACK(OnDestroy), run);
}

GtkWidget* NewResultWindow(const ResultDialogTemplate& dialog, const char* text, DialogRun* run) {
  GtkWidget* window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
  g_autofree char* caption = g_utf8_make_valid(dialog.caption, -1);
  gtk_window_set_title(GTK_WINDOW(window), caption);
  gtk_window_set_resizable(GTK_WINDOW(window), FALSE);
  gtk_window_set_position(GTK_WINDOW(window), GTK_WIN_POS_CENTER);
  DialogUnits du = MeasureDialogUnits(window);

  GtkWidget* fixed = gtk_fixed_new();
  gtk_widget_set_size_request(fixed, Pixels(dialog.client.width, du.x),
                              Pixels(dialog.client.height, du.y));
  gtk_fixed_put(GTK_FIXED(fixed),
                NewTextArea(text, Pixels(dialog.text.width, du.x),
                            Pixels(dialog.text.height, du.y), du.lineHeight),
                Pixels(dialog.text.x, du.x), Pixels(dialog.text.y, du.y));
  GtkWidget* ok = gtk_button_new_with_label(dialog.okText);
  gtk_widget_set_size_request(ok, Pixels(dialog.okButton.width, du.x),
                              Pixels(dialog.okButton.height, du.y));
  gtk_fixed_put(GTK_FIXED(fixed), ok, Pixels(dialog.okButton.x, du.x),
                Pixels(dialog.okButton.y, du.y));
  gtk_container_add(GTK_CONTAINER(window), fixed);
  ConnectDialogSignals(window, ok, run);
  return window;
}

// The part of the screen that a window may take (the work area of the primary monitor).
GdkRectangle ScreenArea() {
  GdkDisplay* display = gdk_display_get_default();
  GdkMonitor* monitor = gdk_display_get_primary_monitor(display);
  if (monitor == nullptr) monitor = gdk_display_get_monitor(display, 0);
  GdkRectangle area{0, 0, 640, 480};
  if (monitor != nullptr) gdk_monitor_get_workarea(monitor, &area);
  return area;
}

// The message box: its text, left-aligned and wrapped, in an area of messageBoxWidth
// dialog units and as many lines as the text takes, at most messageBoxLines, with the
// OK button below it at the right; area and window shrink to what the screen can hold,
// and the text is cut to the lines that fit.
GtkWidget* NewMessageBoxWindow(const char* caption, const char* text, DialogRun* run) {
  GtkWidget* window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
  g_autofree char* title = g_utf8_make_valid(caption, -1);
  gtk_window_set_title(GTK_WINDOW(window), title);
  gtk_window_set_resizable(GTK_WINDOW(window), FALSE);
  gtk_window_set_position(GTK_WINDOW(window), GTK_WIN_POS_CENTER);
  DialogUnits du = MeasureDialogUnits(window);
  GdkRectangle screen = ScreenArea();
  int margin = Pixels(messageBoxMargin, du.x);
  int buttonWidth = Pixels(okButtonSize.width, du.x);
  int buttonHeight = Pixels(okButtonSize.height, du.y);
  int width = std::max(buttonWidth, std::min(Pixels(messageBoxWidth, du.x), screen.width - 2 * margin));
  int room = (screen.height - buttonHeight - 3 * margin) / du.lineHeight;
  int lines = 0;
  g_autofree char* valid = g_utf8_make_valid(text, -1);
  std::string shown = WrappedLines(window, valid, width, std::clamp(room, 1, messageBoxLines), &lines);
  int height = std::max(lines, 1) * du.lineHeight;

  GtkWidget* label = gtk_label_new(shown.c_str());
  gtk_label_set_xalign(GTK_LABEL(label), 0.0f);
  gtk_label_set_yalign(GTK_LABEL(label), 0.0f);
  gtk_widget_set_size_request(label, width, height);
  GtkWidget* fixed = gtk_fixed_new();
  gtk_widget_set_size_request(fixed, width + 2 * margin, height + buttonHeight + 3 * margin);
  gtk_fixed_put(GTK_FIXED(fixed), label, margin, margin);
  GtkWidget* ok = gtk_button_new_with_label("OK");
  gtk_widget_set_size_request(ok, buttonWidth, buttonHeight);
  gtk_fixed_put(GTK_FIXED(fixed), ok, margin + width - buttonWidth, 2 * margin + height);
  gtk_container_add(GTK_CONTAINER(window), fixed);
  ConnectDialogSignals(window, ok, run);
  return window;
}

// Shows the window in front and runs it modally until it ends, or until closeAfterMs
// have passed; then destroys it and returns how it ended.
int RunModal(GtkWidget* window, DialogRun* run, unsigned closeAfterMs) {
  g_object_ref(window);  // alive until the run is over, even if destroyed from outside
  gtk_widget_show_all(window);
  gtk_window_present(GTK_WINDOW(window));
  run->timer = g_timeout_add(closeAfterMs, OnTimer, run);
  g_main_loop_run(run->loop);

  if (run->timer != 0) g_source_remove(run->timer);
  gtk_widget_destroy(window);
  g_object_unref(window);
  g_main_loop_unref(run->loop);
  FlushWindowSystem();
  return run->result;
}

}  // namespace

extern "C" __attribute__((visibility("default"))) int EmailerShowMessageBox(
    const char* caption, const char* text, unsigned closeAfterMs) {
  if (!GtkReady()) return -1;
  DialogRun run{g_main_loop_new(nullptr, FALSE), 0, 0, resultCancel};
  return RunModal(NewMessageBoxWindow(caption, text, &run), &run, closeAfterMs);
}

extern "C" __attribute__((visibility("default"))) int EmailerRunResultDialog(
    const ResultDialogTemplate* dialog, const char* text, unsigned closeAfterMs) {
  if (!GtkReady()) return -1;
  DialogRun run{g_main_loop_new(nullptr, FALSE), 0, 0, resultOk};
  return RunModal(NewResultWindow(*dialog, text, &run), &run, closeAfterMs);
}

static_assert(std::is_same_v<decltype(&EmailerShowMessageBox), ShowMessageBoxFunction>);
static_assert(std::is_same_v<decltype(&EmailerRunResultDialog), RunResultDialogFunction>);
