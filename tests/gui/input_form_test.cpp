// The input form's flow over the real form: reading the numbers, when
// "Convert!" shows, and whole runs of the program from typing to the solids.
#include "app/input_form.hpp"

#include <gtest/gtest.h>

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QMessageBox>
#include <QTemporaryDir>
#include <QTest>
#include <ctime>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "gui_test_support.hpp"

namespace app = foilcad::app;
namespace tk = foilcad::toolkit;
using foilcad::test::answer_file_dialog;
using foilcad::test::click;
using foilcad::test::control;
using foilcad::test::dialog_closed;
using foilcad::test::press;
using foilcad::test::type_into;
using foilcad::test::UserScript;

namespace {

std::string slurp(const QString& path) {
  std::ifstream in(path.toStdString(), std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// A copy of the example board in a folder of its own.
QString copy_board(const QTemporaryDir& dir, const QString& name = "board.gbr") {
  const QString path = dir.filePath(name);
  QFile::copy(FOILCAD_EXAMPLES "/board.gbr", path);
  return path;
}

bool convert_shown() { return !control(app::kConvertButton)->isHidden(); }

class InputFormTest : public ::testing::Test {
 protected:
  void SetUp() override {
    form_.open();
    ASSERT_TRUE(foilcad::test::wait_for_form());
    form_.handle_pending();
  }
  void TearDown() override {
    tk::window_close();
    QDir::setCurrent(start_folder_);  // the file dialog follows the chosen file's folder
  }

  // Presses "Select  " and answers the dialog: accepts path, or cancels when
  // it is empty.
  void choose(const QString& path) {
    UserScript script;
    script.then(answer_file_dialog(path));
    click(app::kSelectButton);
    EXPECT_FALSE(form_.handle_pending());
    EXPECT_TRUE(script.finished());
  }

  const QString start_folder_ = QDir::currentPath();
  QTemporaryDir dir_;
  app::InputForm form_;
};

TEST_F(InputFormTest, ReadsTheFirstItemAsAFreeFormatNumber) {
  const std::vector<std::pair<std::string, std::optional<double>>> cases{
      {"2", 2.0},
      {" -1.5 ", -1.5},
      {"1e-1", 0.1},
      {"1E-1", 0.1},
      {"1d-1", 0.1},
      {"1-1", 0.1},
      {"1q2", 100.0},
      {"1.5+3", 1500.0},
      {"1.5 mm", 1.5},
      {"1,5", 1.0},
      {"1/2", 1.0},
      {"  7. ", 7.0},
      {"1.5mm", {}},
      {"abc", {}},
      {"", {}},
      {"    ", {}},
      {",5", {}},
      {"- 1", {}},
      {"2*1.5", {}},
      {"1e400", {}},
      {std::string(79, ' ') + "5", 5.0},
      {std::string(80, ' ') + "5", {}}};
  for (const auto& [text, expected] : cases) {
    tk::field_set_text(app::kThicknessField, text);
    EXPECT_EQ(app::read_field_number(app::kThicknessField), expected) << '"' << text << '"';
  }
}

TEST_F(InputFormTest, ConvertShowsWhenTheThicknessIsReadAfterTheFile) {
  EXPECT_FALSE(convert_shown());
  const QString board = copy_board(dir_);
  choose(board);
  EXPECT_EQ(form_.state().input_path, board.toStdString());
  EXPECT_EQ(tk::field_get_text(app::kFileNameLabel, 300).find(board.toStdString()), 0u);
  EXPECT_FALSE(convert_shown());

  // Typing and Enter read nothing; leaving the field does.
  type_into(app::kThicknessField, "1.6");
  press(Qt::Key_Return);
  EXPECT_FALSE(form_.handle_pending());
  EXPECT_FALSE(convert_shown());
  press(Qt::Key_Tab);
  EXPECT_FALSE(form_.handle_pending());
  EXPECT_TRUE(convert_shown());
  EXPECT_TRUE(control(app::kConvertButton)->isEnabled());
}

TEST_F(InputFormTest, ConvertShowsWhenTheFileIsChosenAfterTheThickness) {
  type_into(app::kThicknessField, "0.035");
  // The click on "Select  " reads the thickness before the dialog opens.
  choose(copy_board(dir_));
  EXPECT_TRUE(convert_shown());
  // The elevation field was never read: its preset value holds.
  const foilcad::conversion_parameters parameters = form_.parameters();
  EXPECT_EQ(parameters.elevation, 0.0);
  EXPECT_EQ(parameters.top, 0.035);
  EXPECT_EQ(parameters.conductor_path, dir_.filePath("board_CND.stl").toStdString());
  EXPECT_EQ(parameters.insulator_path, dir_.filePath("board_INS.stl").toStdString());
}

TEST_F(InputFormTest, NoNumberHidesConvertUntilTheFieldIsCorrected) {
  type_into(app::kThicknessField, "1.6");
  choose(copy_board(dir_));
  ASSERT_TRUE(convert_shown());

  type_into(app::kElevationField, "abc");
  click(app::kThicknessField);
  EXPECT_FALSE(form_.handle_pending());
  EXPECT_FALSE(convert_shown());
  EXPECT_FALSE(form_.state().elevation_valid);

  type_into(app::kElevationField, "-0.5");
  click(app::kThicknessField);
  EXPECT_FALSE(form_.handle_pending());
  EXPECT_TRUE(convert_shown());
  EXPECT_EQ(form_.parameters().top, 1.6 + -0.5);
}

TEST_F(InputFormTest, ClickOnConvertIsLostWhenItsFocusMoveHidesIt) {
  type_into(app::kThicknessField, "1.6");
  choose(copy_board(dir_));
  ASSERT_TRUE(convert_shown());

  type_into(app::kThicknessField, "thick");
  click(app::kConvertButton);
  EXPECT_FALSE(form_.handle_pending());
  EXPECT_FALSE(convert_shown());
  // The focus went to the form, not on to a control that would be read next.
  EXPECT_EQ(QApplication::focusWidget(), foilcad::test::find_form());
}

TEST_F(InputFormTest, CancelledDialogKeepsTheEarlierChoice) {
  type_into(app::kThicknessField, "1.6");
  const QString first = copy_board(dir_);
  choose(first);
  const std::string label = tk::field_get_text(app::kFileNameLabel, 300);
  choose({});
  EXPECT_EQ(form_.state().input_path, first.toStdString());
  EXPECT_EQ(tk::field_get_text(app::kFileNameLabel, 300), label);
  EXPECT_TRUE(convert_shown());

  const QString second = copy_board(dir_, "other.pho");
  choose(second);
  EXPECT_EQ(form_.state().input_path, second.toStdString());
  EXPECT_EQ(form_.parameters().conductor_path, dir_.filePath("other_CND.stl").toStdString());
}

TEST_F(InputFormTest, EnterEscapeAndTheCloseBoxDoNothing) {
  type_into(app::kThicknessField, "1.6");
  press(Qt::Key_Return);
  press(Qt::Key_Escape);
  foilcad::test::find_form()->close();
  EXPECT_FALSE(form_.handle_pending());
  EXPECT_NE(foilcad::test::find_form(), nullptr);
}

TEST_F(InputFormTest, CancelAndACloseRequestEndTheWait) {
  click(app::kCancelButton);
  EXPECT_EQ(form_.handle_pending(), app::Outcome::cancelled);
  for (QWidget* window : QApplication::topLevelWidgets()) {
    if (window->objectName() == "mainWindow") window->close();
  }
  EXPECT_EQ(form_.handle_pending(), app::Outcome::closed);
}

TEST(ProgramTest, TypedNumbersAndAChosenFileGiveBothSolids) {
  QTemporaryDir dir;
  QTemporaryDir reference;
  const QString board = copy_board(dir);
  UserScript user;
  user.then(foilcad::test::wait_for_form)
      .act([] { type_into(app::kElevationField, "0.5"); })
      .act([] { type_into(app::kThicknessField, "1.6"); })
      .act([] { click(app::kSelectButton); })
      .then(answer_file_dialog(board))
      .then(dialog_closed())
      .then([] { return convert_shown(); })
      .act([] { click(app::kConvertButton); });
  EXPECT_EQ(app::run(), 0);
  EXPECT_TRUE(user.finished());

  // The same solids as the conversion core writes for these numbers.
  foilcad::convert(
      foilcad::make_conversion_parameters(copy_board(reference).toStdString(), 0.5, 1.6));
  for (const char* name : {"board_CND.stl", "board_INS.stl"}) {
    const std::string written = slurp(dir.filePath(name));
    EXPECT_GT(written.size(), 1000u) << name;
    EXPECT_EQ(written, slurp(reference.filePath(name))) << name;
  }
}

TEST(ProgramTest, FailedConversionIsShownAndEndsWithAFailureStatus) {
  QTemporaryDir dir;
  const QString board = copy_board(dir);
  QString shown;
  UserScript user;
  user.then(foilcad::test::wait_for_form)
      .act([] { type_into(app::kThicknessField, "1.6"); })
      .act([] { click(app::kSelectButton); })
      .then(answer_file_dialog(board))
      .then(dialog_closed())
      .then([] { return convert_shown(); })
      .act([&] {
        QFile::remove(board);
        click(app::kConvertButton);
      })
      .then([&] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (box == nullptr || QApplication::activeWindow() != box) return false;
        shown = box->text();
        press(Qt::Key_Return);
        return true;
      });
  EXPECT_EQ(app::run(), 1);
  EXPECT_TRUE(shown.contains(board)) << shown.toStdString();
  EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files), QStringList());
}

TEST(ProgramTest, WaitingFormUsesNoProcessorTime) {
  std::clock_t idle_cpu = 0;
  UserScript user;
  QElapsedTimer idle;
  std::clock_t cpu_start = 0;
  user.then(foilcad::test::wait_for_form)
      .act([&] {
        idle.start();
        cpu_start = std::clock();
      })
      .then([&] { return idle.elapsed() >= 1000; })
      .act([&] {
        idle_cpu = std::clock() - cpu_start;
        click(app::kCancelButton);
      });
  EXPECT_EQ(app::run(), 0);
  // A loop that polled without sleeping would take about the whole second.
  EXPECT_LT(static_cast<double>(idle_cpu) / CLOCKS_PER_SEC, 0.25);
}

}  // namespace
