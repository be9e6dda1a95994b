#include "gui_test_support.hpp"

#include <gtest/gtest.h>

#include <QAbstractItemView>
#include <QApplication>
#include <QCompleter>
#include <QFileDialog>
#include <QLineEdit>
#include <QTest>

namespace foilcad::test {

QWidget* find_form(int form) {
  const QString name = QStringLiteral("form%1").arg(form);
  for (QWidget* widget : QApplication::topLevelWidgets()) {
    if (widget->objectName() == name && widget->isVisible()) return widget;
  }
  return nullptr;
}

QWidget* control(int id) {
  QWidget* form = find_form();
  QWidget* widget = form ? form->findChild<QWidget*>(QStringLiteral("control%1").arg(id)) : nullptr;
  EXPECT_NE(widget, nullptr) << "no control " << id;
  return widget;
}

void click(int id) {
  if (QWidget* widget = control(id)) QTest::mouseClick(widget, Qt::LeftButton);
}

void type_into(int id, const QString& text) {
  click(id);
  if (QWidget* widget = control(id)) {
    QTest::keyClick(widget, Qt::Key_A, Qt::ControlModifier);
    QTest::keyClick(widget, Qt::Key_Delete);
    QTest::keyClicks(widget, text);
  }
}

void press(Qt::Key key) {
  QWidget* target = QApplication::focusWidget();
  if (target == nullptr) target = find_form();
  ASSERT_NE(target, nullptr);
  QTest::keyClick(target, key);
}

bool wait_for_form() {
  QWidget* form = find_form();
  return form != nullptr && QTest::qWaitForWindowActive(form);
}

UserScript::UserScript() {
  timer_.setInterval(10);
  QObject::connect(&timer_, &QTimer::timeout, [this] {
    if (steps_.empty()) {
      timer_.stop();
      return;
    }
    // Taken out while it runs: a step may open a dialog, whose own event loop
    // ticks this timer again.
    std::function<bool()> step = std::move(steps_.front());
    steps_.pop_front();
    if (!step()) steps_.push_front(std::move(step));
  });
  timer_.start();
}

UserScript& UserScript::then(std::function<bool()> step) {
  steps_.push_back(std::move(step));
  return *this;
}

UserScript& UserScript::act(std::function<void()> step) {
  return then([step = std::move(step)] {
    step();
    return true;
  });
}

std::function<bool()> answer_file_dialog(const QString& path, QString* title, QStringList* filters,
                                         QString* directory) {
  return [=] {
    auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
    // Keys go to the active window: wait until that is the dialog.
    if (dialog == nullptr || QApplication::activeWindow() != dialog) return false;
    if (title) *title = dialog->windowTitle();
    if (filters) *filters = dialog->nameFilters();
    if (directory) *directory = dialog->directory().absolutePath();
    if (path.isEmpty()) {
      press(Qt::Key_Escape);
      return true;
    }
    auto* name = dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
    EXPECT_NE(name, nullptr);
    if (name == nullptr) return true;
    name->clear();
    QTest::keyClicks(name, path);
    // Typing a path pops up the completer, which would take the Enter.
    if (QCompleter* completer = name->completer(); completer && completer->popup()) {
      completer->popup()->hide();
    }
    QTest::keyClick(name, Qt::Key_Return);
    return true;
  };
}

std::function<bool()> dialog_closed() {
  return [] {
    QWidget* modal = QApplication::activeModalWidget();
    return modal == nullptr || modal == find_form();
  };
}

}  // namespace foilcad::test
