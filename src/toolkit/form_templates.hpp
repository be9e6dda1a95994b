// The templates from which form_load builds forms. Positions and sizes are in
// layout units: a quarter of the average character width horizontally and an
// eighth of the character height vertically, in the form's font, so that a
// form keeps its proportions whatever font size the system gives it.
#pragma once

#include <span>
#include <string_view>

namespace foilcad::toolkit {

enum class control_type { label, edit, button };

// Style bits of a control.
inline constexpr unsigned style_centred = 1;   // text centred
inline constexpr unsigned style_sunken = 2;    // sunken edge
inline constexpr unsigned style_tab_stop = 4;  // reached with Tab

struct control_template {
  int id;
  control_type type;
  std::string_view text;
  int x, y, width, height;
  unsigned style;
};

struct form_template {
  int id;
  std::string_view caption;
  int width, height;  // of the area inside the window frame
  int font_points;
  bool font_bold;
  std::span<const control_template> controls;  // in tab order
};

// The template of that identifier, or nullptr.
const form_template* find_form_template(int id);

}  // namespace foilcad::toolkit
