#include "app/input_form.hpp"

#include <cfenv>
#include <cmath>
#include <exception>
#include <new>
#include <string>

#include "common/error.hpp"
#include "common/number.hpp"

namespace foilcad::app {

namespace {

constexpr int kFailureStatus = 1;

}  // namespace

std::optional<double> read_field_number(int field) {
  return read_number_item(toolkit::field_get_text(field, kFieldTextLength));
}

void InputForm::open() {
  state_ = form_state{};
  toolkit::toolkit_start();
  toolkit::window_open(toolkit::hidden_window, std::nullopt, std::nullopt, 100, kMainWindowTitle);
  toolkit::form_load(kInputForm);
  toolkit::form_show(std::nullopt, std::nullopt, toolkit::semi_modeless);
  toolkit::field_set_text(kFileNameLabel, state_.input_path);
  toolkit::field_set_state(kConvertButton, toolkit::field_hidden);
  toolkit::message_enable(toolkit::field_changed, true);
}

std::optional<Outcome> InputForm::handle(int kind, const toolkit::message& m) {
  switch (kind) {
    case toolkit::close_request:
      return Outcome::closed;
    case toolkit::push_button:
      // The window system's accept and cancel commands (Enter, Escape, the
      // close box) fall through here and do nothing.
      if (m.control == kCancelButton) return Outcome::cancelled;
      if (m.control == kConvertButton) return Outcome::convert;
      if (m.control == kSelectButton) select_file();
      return std::nullopt;
    case toolkit::field_changed:
      if (m.control == kElevationField) {
        read_number_field(kElevationField, state_.elevation, state_.elevation_valid);
      }
      if (m.control == kThicknessField) {
        read_number_field(kThicknessField, state_.thickness, state_.thickness_valid);
      }
      return std::nullopt;
    default:
      return std::nullopt;
  }
}

std::optional<Outcome> InputForm::handle_pending() {
  for (;;) {
    toolkit::message m;
    const int kind = toolkit::message_poll(m);
    if (kind == toolkit::no_message) return std::nullopt;
    if (const auto outcome = handle(kind, m)) return outcome;
  }
}

Outcome InputForm::wait_for_user() {
  for (;;) {
    if (const auto outcome = handle_pending()) return *outcome;
    toolkit::message_wait();
  }
}

conversion_parameters InputForm::parameters() const {
  return make_conversion_parameters(state_.input_path, state_.elevation, state_.thickness);
}

void InputForm::read_number_field(int field, double& value, bool& valid) {
  if (const auto number = read_field_number(field)) {
    value = *number;
    valid = true;
    show_convert_when_complete();
  } else {
    // The field keeps its text for the user to correct, and the value the
    // last number it held; the hidden button is the only sign.
    valid = false;
    toolkit::field_set_state(kConvertButton, toolkit::field_hidden);
  }
}

void InputForm::select_file() {
  // The chosen path is both where the dialog starts and where its answer goes;
  // a cancelled dialog leaves it, and with it the earlier choice, alone.
  toolkit::choose_file(
      kPhotoplotFilter,
      toolkit::file_must_exist | toolkit::follow_directory | toolkit::confirm_prompt,
      state_.input_path, kFileDialogTitle);
  if (toolkit::last_dialog_result() != 1) return;
  toolkit::field_set_text(kFileNameLabel, state_.input_path);
  state_.file_chosen = true;
  show_convert_when_complete();
}

void InputForm::show_convert_when_complete() {
  if (state_.elevation_valid && state_.thickness_valid && state_.file_chosen) {
    toolkit::field_set_state(kConvertButton, toolkit::field_enabled);
  }
}

int convert_and_report(const conversion_parameters& parameters) {
  std::string failure;
  try {
    convert(parameters);
    return 0;
  } catch (const Error& e) {
    failure = e.what();
  } catch (const std::bad_alloc&) {
    failure = "There is not enough memory for this photoplot.";
  } catch (const std::exception& e) {
    failure = e.what();
  }
  toolkit::error_box(kMainWindowTitle,
                     "The conversion failed; no solid has been written.\n\n" + failure);
  return kFailureStatus;
}

int run() {
  // Exact IEEE double arithmetic, rounded to nearest; an overflow gives an
  // infinity rather than a trap.
  std::fesetenv(FE_DFL_ENV);

  InputForm form;
  form.open();
  const Outcome outcome = form.wait_for_user();
  // The conversion runs on this thread: the form stays on screen, unchanged,
  // until it ends.
  const int status = outcome == Outcome::convert ? convert_and_report(form.parameters()) : 0;
  toolkit::window_close();
  return status;
}

}  // namespace foilcad::app
