// The input form of foilcad: the user types the elevation and the thickness,
// chooses the photoplot, and "Convert!" hands all three to the conversion.
//
// "Convert!" is shown exactly while both numbers are valid and a file has
// been chosen. A field is read when the keyboard focus leaves it for another
// control of the form; typing alone, or Enter, reads nothing.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "convert/convert.hpp"
#include "toolkit/form_templates.hpp"
#include "toolkit/toolkit.hpp"

namespace foilcad::app {

using toolkit::kCancelButton;
using toolkit::kConvertButton;
using toolkit::kElevationField;
using toolkit::kFileNameLabel;
using toolkit::kInputForm;
using toolkit::kSelectButton;
using toolkit::kThicknessField;

inline constexpr std::string_view kMainWindowTitle = "Tarnwick FOILCAD v02";
inline constexpr std::string_view kFileDialogTitle = "FOILCAD - select an existing photoplot file";
inline constexpr std::string_view kPhotoplotFilter = "Gerber files|*.pho;*.gbr|";

// A field is read as the number at the start of its first 80 characters.
inline constexpr std::size_t kFieldTextLength = 80;

// The number at the start of an edit field of the current form.
std::optional<double> read_field_number(int field);

struct form_state {
  double elevation = 0.0;  // mm, the last valid elevation read
  double thickness = 0.0;  // mm, the last valid thickness read
  // The Elevation field starts valid: its initial "0.0" is the preset value.
  bool elevation_valid = true;
  bool thickness_valid = false;
  bool file_chosen = false;  // never false again once a file has been chosen
  std::string input_path;    // the chosen photoplot; empty until then
};

// How the waiting for the user ended.
enum class Outcome { cancelled, closed, convert };

class InputForm {
 public:
  // Opens the hidden main window and shows the form with "Convert!" hidden.
  // The toolkit must have been started.
  void open();

  // Acts on one message from toolkit::message_poll; gives the outcome when
  // the message ends the waiting.
  std::optional<Outcome> handle(int kind, const toolkit::message& m);

  // Handles every message there is now, without waiting for more.
  std::optional<Outcome> handle_pending();

  // Handles messages until the user ends the waiting. While nothing happens
  // the program sleeps on the window system instead of polling.
  Outcome wait_for_user();

  const form_state& state() const { return state_; }

  // What "Convert!" converts: the solids go next to the photoplot, every box
  // from the elevation to the elevation plus the thickness.
  conversion_parameters parameters() const;

 private:
  // Reads an edit field into value and its flag, showing or hiding
  // "Convert!" to match.
  void read_number_field(int field, double& value, bool& valid);
  void select_file();
  void show_convert_when_complete();

  form_state state_;
};

// Converts, and shows a failure in a message box. Gives the exit status:
// 0 when both solids have been written, 1 when the conversion failed.
int convert_and_report(const conversion_parameters& parameters);

// The whole program: start-up, the form, and the conversion. Gives the exit
// status; every end but a failed conversion is silent with status 0.
int run();

}  // namespace foilcad::app
