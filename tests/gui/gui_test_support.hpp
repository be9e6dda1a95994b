// Driving the input form as a user would: clicks, typing, and answers to the
// file dialog and message boxes, which run their own event loops.
#pragma once

#include <QString>
#include <QTimer>
#include <QWidget>
#include <deque>
#include <functional>

namespace foilcad::test {

// The shown form of that identifier, or nullptr.
QWidget* find_form(int form = 201);

// A control of the input form; fails the test when there is none.
QWidget* control(int id);

// A mouse click in the middle of the control.
void click(int id);

// Clicks into an edit field and replaces its text by typing.
void type_into(int id, const QString& text);

// Presses a key on the widget that has the keyboard focus.
void press(Qt::Key key);

// Waits until the form is the active window, so that focus moves are seen.
bool wait_for_form();

// Steps played one after another from a timer while the code under test runs
// its own loop. A step that returns false is tried again at the next tick.
class UserScript {
 public:
  UserScript();
  UserScript& then(std::function<bool()> step);
  UserScript& act(std::function<void()> step);
  bool finished() const { return steps_.empty(); }

 private:
  std::deque<std::function<bool()>> steps_;
  QTimer timer_;
};

// A step that waits for the file dialog, types path into its name field and
// presses Enter; with an empty path it presses Escape instead.
std::function<bool()> answer_file_dialog(const QString& path, QString* title = nullptr,
                                         QStringList* filters = nullptr,
                                         QString* directory = nullptr);

// A step that waits until no dialog is open any more.
std::function<bool()> dialog_closed();

}  // namespace foilcad::test
