// The dialog toolkit: the few window operations the input form needs, a main
// window that owns the forms, forms built from templates, per-field text and
// state, a message queue fetched by polling, and the file-open dialog.
//
// Everything runs on the program's one thread. Window-system events are only
// processed inside message_poll, message_wait, choose_file and the calls that
// show or change windows. No operation throws: a failure records an error code
// (last_error) and the operation carries on.
//
// This is the only part of foilcad that knows the windowing library; nothing
// in this header depends on it.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace foilcad::toolkit {

// What message_poll hands out. Other kinds (1 to 16) can be switched with
// message_enable, but this toolkit raises only these three.
enum message_kind : int {
  no_message = -1,
  push_button = 3,
  close_request = 9,
  field_changed = 10,
};

// The fields of one message; all -1 when there is none.
//   push_button:   window = form, control = button
//   close_request: window = main window number, control = -1
//   field_changed: window = form, control = the control that had the keyboard
//                  focus, next_control = the one that has it now
struct message {
  int window = -1;
  int control = -1;
  int next_control = -1;
};

// Push-button identifiers of the window system's own commands: Enter while an
// edit field (or the form itself) has the focus, and Escape or the form's
// close box. The form stays open in both cases.
inline constexpr int accept_command = 1;
inline constexpr int cancel_command = 2;

// The number by which close_request messages name the main window.
inline constexpr int main_window_number = 1;

enum field_state : int {
  field_disabled = 0,   // visible, takes no input
  field_enabled = 1,    // visible, takes input
  field_read_only = 2,  // edit field: text cannot be changed; others: as disabled
  field_hidden = 3,     // invisible, takes no input
};

enum show_mode : int {
  modal = 1,          // returns when the form has been closed
  modeless = 2,       // returns at once
  semi_modeless = 3,  // returns at once; the program's other windows take no input
};

// window_open option.
inline constexpr int hidden_window = 128;

// choose_file option bits.
inline constexpr int confirm_prompt = 2;     // only for save dialogs; no effect here
inline constexpr int follow_directory = 8;   // the chosen file's folder becomes the current one
inline constexpr int file_must_exist = 128;  // only an existing file can be accepted

enum error_code : int {
  no_error = 0,
  error_dialog_failed = 1004,   // choose_file: the dialog failed (a cancel is no error)
  error_no_form = 1005,         // a field operation or form_show without a current form
  error_no_field = 1006,        // the current form has no control of that identifier
  error_no_template = 1007,     // form_load: no template of that identifier
  error_too_many_forms = 1087,  // form_load: kMaxForms forms exist already
  error_form_failed = 1088,     // form_load: the form could not be created
};

inline constexpr std::size_t kMaxForms = 100;

struct ScreenPoint {
  int x = 0;
  int y = 0;
};

struct ScreenSize {
  int width = 0;
  int height = 0;
};

// Starts the toolkit; must come first. Uses the application object that is
// already there, if any (a test's), and otherwise makes one.
void toolkit_start();

// Opens the main window, which owns the forms. Without a position it is
// centred on the screen, without a size it takes 80 % of the screen. With the
// hidden_window option it is never shown. A second call does nothing. The
// title loses its trailing blanks; there are no menus, so menu is not used.
void window_open(int options, std::optional<ScreenPoint> position, std::optional<ScreenSize> size,
                 int menu, std::string_view title);

// Makes the form of that template, invisible, and makes it the current form,
// on which the field operations act. A form that exists already only becomes
// current.
void form_load(int form);

// Shows the current form: at position (screen pixels) or centred on the
// screen, with the focus in focus_field or else on the form's first tab stop.
void form_show(std::optional<ScreenPoint> position, std::optional<int> focus_field, int mode);

// The field shows text without its trailing blanks, and only up to a
// character of code 0 in it.
void field_set_text(int field, std::string_view text);

// The field's text up to a character of code 0, cut to its first length
// characters and padded with blanks to length characters. All blanks when the
// current form has no such field.
std::string field_get_text(int field, std::size_t length);

// One of the field_state codes. When the control that has the keyboard focus
// is disabled or hidden, the focus goes to the form itself.
void field_set_state(int field, int state);

// Switches the delivery of a message kind (1 to 16). Messages of a kind that is
// off are dropped, not kept for later.
void message_enable(int kind, bool on);

// Hands out the oldest pending message, or processes the window system's
// pending events and hands out the first message they gave; no_message when
// there is none. Never waits. A push button that is hidden or disabled by the
// time its message would be handed out is dropped: a click can lose its button
// to the handling of the focus move that came before it.
int message_poll(message& m);

// Sleeps until the window system has something for the program, and
// processes it. Returns at once while a message is pending. A loop that calls
// this whenever message_poll finds nothing uses no processor time while the
// user does nothing.
void message_wait();

// Shows the window system's file-open dialog over the current form and
// returns when it is closed.
//   filter: "description|patterns|...": its last character is the separator;
//           patterns within an entry are separated by ';'.
//   options: the choose_file option bits.
//   name: the initial folder and file name on entry; on acceptance the full
//         path of the chosen file, of whatever length; left as it was when the
//         dialog is cancelled or fails.
//   filter_index: the entry selected at first, counted from 1.
void choose_file(std::string_view filter, int options, std::string& name, std::string_view title,
                 int filter_index = 1);

// 1 when the most recent file dialog accepted a file, 0 otherwise.
int last_dialog_result();

// A modal message box for a failure the user must know about.
void error_box(std::string_view title, std::string_view text);

// Closes the forms and the main window and releases what the toolkit holds.
void window_close();

// The code of the most recent failure, no_error while none happened.
int last_error();

}  // namespace foilcad::toolkit
