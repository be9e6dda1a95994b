// The dialog toolkit over real widgets: the form from its template, text and
// state transfer, the order and kinds of messages, and the file dialog.
#include "toolkit/toolkit.hpp"

#include <gtest/gtest.h>

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <string>
#include <utility>
#include <vector>

#include "gui_test_support.hpp"

namespace tk = foilcad::toolkit;
using foilcad::test::click;
using foilcad::test::control;
using foilcad::test::find_form;
using foilcad::test::press;

namespace {

struct Polled {
  int kind;
  int control;
  int next_control;
  bool operator==(const Polled&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Polled& p) {
  return out << "{" << p.kind << ", " << p.control << ", " << p.next_control << "}";
}

std::vector<Polled> poll_all() {
  std::vector<Polled> messages;
  tk::message m;
  for (int kind; (kind = tk::message_poll(m)) != tk::no_message;) {
    messages.push_back({kind, m.control, m.next_control});
  }
  return messages;
}

class ToolkitTest : public ::testing::Test {
 protected:
  void SetUp() override {
    tk::toolkit_start();
    tk::window_open(tk::hidden_window, std::nullopt, std::nullopt, 100, "Main  ");
    tk::form_load(201);
    tk::form_show(std::nullopt, std::nullopt, tk::semi_modeless);
    tk::message_enable(tk::field_changed, true);
    ASSERT_TRUE(foilcad::test::wait_for_form());
    poll_all();
  }
  void TearDown() override { tk::window_close(); }
};

TEST_F(ToolkitTest, FormFollowsItsTemplate) {
  QWidget* form = find_form();
  EXPECT_EQ(form->windowTitle(), "Tarnwick FOILCAD:  Photoplot to STL converter, v02");
  EXPECT_EQ(form->minimumSize(), form->maximumSize());
  const std::vector<std::pair<int, std::string>> texts{
      {208, "Elevation (mm)"}, {210, "0.0"},        {209, "Thickness (mm)"}, {211, ""},
      {212, "Input File"},     {213, "          "}, {214, "Select  "},       {215, "Cancel"},
      {216, "Convert!"}};
  for (auto [id, text] : texts) {
    text.resize(14, ' ');
    EXPECT_EQ(tk::field_get_text(id, 14), text) << id;
  }
  for (const int id : {214, 215, 216}) {
    const auto* button = qobject_cast<QPushButton*>(control(id));
    EXPECT_FALSE(button->isDefault() || button->autoDefault()) << id;
  }

  // The form's focus goes to its first tab stop; Tab walks the buttons only,
  // and skips a hidden one.
  EXPECT_EQ(QApplication::focusWidget(), control(214));
  press(Qt::Key_Tab);
  EXPECT_EQ(QApplication::focusWidget(), control(215));
  press(Qt::Key_Tab);
  EXPECT_EQ(QApplication::focusWidget(), control(216));
  press(Qt::Key_Tab);
  EXPECT_EQ(QApplication::focusWidget(), control(214));
  tk::field_set_state(216, tk::field_hidden);
  press(Qt::Key_Backtab);
  EXPECT_EQ(QApplication::focusWidget(), control(215));

  tk::form_load(999);
  EXPECT_EQ(tk::last_error(), tk::error_no_template);
}

TEST_F(ToolkitTest, TextTransferCutsPadsAndStops) {
  tk::field_set_text(211, std::string("  \0rest   ", 10));
  EXPECT_EQ(qobject_cast<QLineEdit*>(control(211))->text(), "  ");
  tk::field_set_text(211, "1.5   ");
  EXPECT_EQ(qobject_cast<QLineEdit*>(control(211))->text(), "1.5");

  const std::string hundred = std::string(60, '7') + std::string(40, '9');
  tk::field_set_text(210, hundred);
  EXPECT_EQ(tk::field_get_text(210, 80), hundred.substr(0, 80));
  tk::field_set_text(210, "");
  EXPECT_EQ(tk::field_get_text(210, 80), std::string(80, ' '));

  EXPECT_EQ(tk::field_get_text(217, 8), std::string(8, ' '));
  EXPECT_EQ(tk::last_error(), tk::error_no_field);
}

TEST_F(ToolkitTest, FocusMoveComesBeforeTheClickThatCausedIt) {
  click(211);
  QTest::keyClicks(control(211), "1.6");
  click(215);
  const std::vector<Polled> expected{
      {tk::field_changed, 214, 211}, {tk::field_changed, 211, 215}, {tk::push_button, 215, -1}};
  EXPECT_EQ(poll_all(), expected);
}

TEST_F(ToolkitTest, OnlyMovesBetweenDifferentControlsAreReported) {
  click(211);
  click(211);
  EXPECT_EQ(poll_all().size(), 1u);

  // The user goes to another program and comes back.
  QWidget elsewhere;
  elsewhere.setWindowModality(Qt::ApplicationModal);
  elsewhere.show();
  elsewhere.activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&elsewhere));
  elsewhere.hide();
  find_form()->activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(find_form()));
  EXPECT_EQ(QApplication::focusWidget(), control(211));
  EXPECT_TRUE(poll_all().empty());

  tk::message_enable(tk::field_changed, false);
  click(210);
  EXPECT_TRUE(poll_all().empty());
}

TEST_F(ToolkitTest, EnterEscapeAndCloseBoxAreTheSystemsCommands) {
  click(210);
  poll_all();
  press(Qt::Key_Return);
  press(Qt::Key_Escape);
  find_form()->close();
  const std::vector<Polled> expected{{tk::push_button, tk::accept_command, -1},
                                     {tk::push_button, tk::cancel_command, -1},
                                     {tk::push_button, tk::cancel_command, -1}};
  EXPECT_EQ(poll_all(), expected);
  EXPECT_NE(find_form(), nullptr);

  // Enter on a focused button presses it.
  press(Qt::Key_Tab);
  press(Qt::Key_Return);
  const std::vector<Polled> pressed{{tk::field_changed, 210, 214}, {tk::push_button, 214, -1}};
  EXPECT_EQ(poll_all(), pressed);
}

TEST_F(ToolkitTest, FileDialogAcceptsCancelsAndFollowsTheFolder) {
  QTemporaryDir dir;
  // Far longer than the 255 characters that older dialogs allowed.
  const QString folder = dir.path() + "/" + QString(120, 'f') + "/" + QString(120, 'g');
  ASSERT_TRUE(QDir().mkpath(folder));
  const QString path = folder + "/top.gbr";
  QFile file(path);
  ASSERT_TRUE(file.open(QIODevice::WriteOnly));
  file.close();

  const std::string first = folder.toStdString() + "/old.pho" + std::string("\0  ", 3);
  std::string name = first;
  QString title, directory;
  QStringList filters;
  foilcad::test::UserScript cancel;
  cancel.then(foilcad::test::answer_file_dialog({}, &title, &filters, &directory));
  tk::choose_file("Gerber files|*.pho;*.gbr|   ", 138, name, "Pick one   ");
  EXPECT_EQ(tk::last_dialog_result(), 0);
  EXPECT_EQ(name, first);
  EXPECT_EQ(title, "Pick one");
  EXPECT_EQ(filters, QStringList{"Gerber files (*.pho *.gbr)"});
  EXPECT_EQ(directory, folder);

  foilcad::test::UserScript accept;
  accept.then(foilcad::test::answer_file_dialog(path));
  tk::choose_file("Gerber files|*.pho;*.gbr|", 138, name, "Pick one");
  EXPECT_EQ(tk::last_dialog_result(), 1);
  EXPECT_EQ(name, path.toStdString());
  EXPECT_EQ(QDir::currentPath(), folder);
  ASSERT_TRUE(foilcad::test::wait_for_form());
  EXPECT_EQ(QApplication::focusWidget(), control(214));
  EXPECT_TRUE(poll_all().empty());
}

}  // namespace
