// foilcad: the input form. Takes the elevation, the thickness and a photoplot,
// and writes the conductor and insulator solids next to the photoplot.
#include "app/input_form.hpp"

int main() { return foilcad::app::run(); }
