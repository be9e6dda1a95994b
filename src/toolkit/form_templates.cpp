#include "toolkit/form_templates.hpp"

#include <array>

namespace foilcad::toolkit {

namespace {

// The input form: elevation, thickness and the photoplot file. The edit
// fields are not tab stops, so Tab walks the three buttons only, and no button
// is a default button: Enter in a field presses nothing.
constexpr std::array kInputFormControls{
    ControlTemplate{208, ControlType::label, "Elevation (mm)", 20, 20, 60, 12,
                    kStyleCentred | kStyleSunken},
    ControlTemplate{kElevationField, ControlType::edit, "0.0", 90, 20, 60, 12, kStyleCentred},
    ControlTemplate{209, ControlType::label, "Thickness (mm)", 220, 20, 60, 12,
                    kStyleCentred | kStyleSunken},
    ControlTemplate{kThicknessField, ControlType::edit, "", 290, 20, 60, 12, kStyleCentred},
    ControlTemplate{212, ControlType::label, "Input File", 20, 60, 50, 15,
                    kStyleCentred | kStyleSunken},
    ControlTemplate{kFileNameLabel, ControlType::label, "          ", 90, 60, 200, 15,
                    kStyleCentred | kStyleSunken},
    ControlTemplate{kSelectButton, ControlType::button, "Select  ", 310, 60, 50, 15,
                    kStyleCentred | kStyleTabStop},
    ControlTemplate{kCancelButton, ControlType::button, "Cancel", 40, 110, 120, 15,
                    kStyleCentred | kStyleTabStop},
    ControlTemplate{kConvertButton, ControlType::button, "Convert!", 240, 110, 120, 15,
                    kStyleCentred | kStyleTabStop},
};

constexpr std::array kFormTemplates{
    FormTemplate{kInputForm, "Tarnwick FOILCAD:  Photoplot to STL converter, v02", 400, 150, 12,
                 true, kInputFormControls},
};

}  // namespace

const FormTemplate* find_form_template(int id) {
  for (const FormTemplate& form : kFormTemplates) {
    if (form.id == id) return &form;
  }
  return nullptr;
}

}  // namespace foilcad::toolkit
