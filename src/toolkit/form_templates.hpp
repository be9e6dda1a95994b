// The templates from which form_load builds forms. Positions and sizes are in
// layout units: a quarter of the average character width horizontally and an
// eighth of the character height vertically, in the form's font, so that a
// form keeps its proportions whatever font size the system gives it.
#pragma once

#include <span>
#include <string_view>

namespace foilcad::toolkit {

// The identifiers of the input form and of the controls the program reads or
// changes; the form's flow (app/) refers to them by these names.
inline constexpr int kInputForm = 201;
inline constexpr int kElevationField = 210;
inline constexpr int kThicknessField = 211;
inline constexpr int kFileNameLabel = 213;
inline constexpr int kSelectButton = 214;
inline constexpr int kCancelButton = 215;
inline constexpr int kConvertButton = 216;

enum class ControlType { label, edit, button };

// Style bits of a control.
inline constexpr unsigned kStyleCentred = 1;  // text centred
inline constexpr unsigned kStyleSunken = 2;   // sunken edge
inline constexpr unsigned kStyleTabStop = 4;  // reached with Tab

struct ControlTemplate {
  int id;
  ControlType type;
  std::string_view text;
  int x, y, width, height;
  unsigned style;
};

struct FormTemplate {
  int id;
  std::string_view caption;
  int width, height;  // of the area inside the window frame
  int font_points;
  bool font_bold;
  std::span<const ControlTemplate> controls;  // in tab order
};

// The template of that identifier, or nullptr.
const FormTemplate* find_form_template(int id);

}  // namespace foilcad::toolkit
