#include "toolkit/form_templates.hpp"

#include <array>

namespace foilcad::toolkit {

namespace {

// The input form: elevation, thickness and the photoplot file. The edit
// fields are not tab stops, so Tab walks the three buttons only, and no button
// is a default button: Enter in a field presses nothing.
constexpr std::array kInputFormControls{
    control_template{208, control_type::label, "Elevation (mm)", 20, 20, 60, 12,
                     style_centred | style_sunken},
    control_template{210, control_type::edit, "0.0", 90, 20, 60, 12, style_centred},
    control_template{209, control_type::label, "Thickness (mm)", 220, 20, 60, 12,
                     style_centred | style_sunken},
    control_template{211, control_type::edit, "", 290, 20, 60, 12, style_centred},
    control_template{212, control_type::label, "Input File", 20, 60, 50, 15,
                     style_centred | style_sunken},
    control_template{213, control_type::label, "          ", 90, 60, 200, 15,
                     style_centred | style_sunken},
    control_template{214, control_type::button, "Select  ", 310, 60, 50, 15,
                     style_centred | style_tab_stop},
    control_template{215, control_type::button, "Cancel", 40, 110, 120, 15,
                     style_centred | style_tab_stop},
    control_template{216, control_type::button, "Convert!", 240, 110, 120, 15,
                     style_centred | style_tab_stop},
};

constexpr std::array kFormTemplates{
    form_template{201, "Tarnwick FOILCAD:  Photoplot to STL converter, v02", 400, 150, 12, true,
                  kInputFormControls},
};

}  // namespace

const form_template* find_form_template(int id) {
  for (const form_template& form : kFormTemplates) {
    if (form.id == id) return &form;
  }
  return nullptr;
}

}  // namespace foilcad::toolkit
