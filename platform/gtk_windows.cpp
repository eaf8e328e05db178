// The GTK 3 window module (e-mailer-gtk.so): the message box and the result dialog
// behind window_module.h. GTK starts on the first call; when the display cannot be
// opened every call answers -1 and the program falls back to standard error.
#include <gtk/gtk.h>

#include <cmath>
#include <string>
#include <type_traits>

#include "platform/window_module.h"

namespace {

constexpr int resultOk = 1;
constexpr int resultCancel = 2;

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
  EndDialog(run, resultOk);
  return G_SOURCE_REMOVE;
}

// The text as far as it fits into lines lines of width pixels when it is wrapped as
// the label wraps it; the rest is cut off.
std::string FittingText(GtkWidget* label, const char* text, int width, int lines) {
  PangoLayout* layout = gtk_widget_create_pango_layout(label, text);
  pango_layout_set_width(layout, width * PANGO_SCALE);
  pango_layout_set_wrap(layout, PANGO_WRAP_WORD_CHAR);
  std::string fitting = text;
  if (pango_layout_get_line_count(layout) > lines) {
    fitting.resize(static_cast<std::size_t>(pango_layout_get_line_readonly(layout, lines)->start_index));
    while (!fitting.empty() && fitting.back() == '\n') fitting.pop_back();
  }
  g_object_unref(layout);
  return fitting;
}

// The text area: a label wrapped to the area's width, its lines centred. The area holds
// as many whole lines as fit into its height (so no line shows cut in half), and the
// text beyond them is cut off rather than growing the window.
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

  gtk_widget_set_can_default(ok, TRUE);
  gtk_widget_grab_default(ok);
  gtk_widget_grab_focus(ok);
  g_signal_connect(ok, "clicked", G_CALLBACK(OnOkClicked), run);
  g_signal_connect(window, "key-press-event", G_CALLBACK(OnKeyPress), run);
  g_signal_connect(window, "delete-event", G_CALLBACK(OnDelete), run);
  g_signal_connect(window, "destroy", G_CALLBACK(OnDestroy), run);
  return window;
}

}  // namespace

extern "C" __attribute__((visibility("default"))) int EmailerShowMessageBox(const char* caption,
                                                                             const char* text) {
  if (!GtkReady()) return -1;
  g_autofree char* valid = g_utf8_make_valid(text, -1);
  GtkWidget* box = gtk_message_dialog_new(nullptr, GTK_DIALOG_MODAL, GTK_MESSAGE_WARNING,
                                          GTK_BUTTONS_OK, "%s", valid);
  g_autofree char* title = g_utf8_make_valid(caption, -1);
  gtk_window_set_title(GTK_WINDOW(box), title);
  gtk_window_set_position(GTK_WINDOW(box), GTK_WIN_POS_CENTER);
  g_object_ref(box);  // alive until the run is over, even if destroyed from outside
  gtk_widget_show(box);
  gtk_window_present(GTK_WINDOW(box));  // brings a visible window to the front
  gtk_dialog_run(GTK_DIALOG(box));
  gtk_widget_destroy(box);
  g_object_unref(box);
  FlushWindowSystem();
  return 0;
}

extern "C" __attribute__((visibility("default"))) int EmailerRunResultDialog(
    const ResultDialogTemplate* dialog, const char* text, unsigned closeAfterMs) {
  if (!GtkReady()) return -1;
  DialogRun run{g_main_loop_new(nullptr, FALSE), 0, 0};
  GtkWidget* window = NewResultWindow(*dialog, text, &run);
  g_object_ref(window);  // alive until the run is over, even if destroyed from outside
  gtk_widget_show_all(window);
  gtk_window_present(GTK_WINDOW(window));
  run.timer = g_timeout_add(closeAfterMs, OnTimer, &run);
  g_main_loop_run(run.loop);

  if (run.timer != 0) g_source_remove(run.timer);
  gtk_widget_destroy(window);
  g_object_unref(window);
  g_main_loop_unref(run.loop);
  FlushWindowSystem();
  return run.result;
}

static_assert(std::is_same_v<decltype(&EmailerShowMessageBox), ShowMessageBoxFunction>);
static_assert(std::is_same_v<decltype(&EmailerRunResultDialog), RunResultDialogFunction>);
