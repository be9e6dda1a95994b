// foilcad: the input form. Takes the elevation, the thickness and a photoplot,
// and writes the conductor and insulator solids next to the photoplot.
#include "app/input_form.hpp"
#include "common/signal_cleanup.hpp"

int main() {
  // Interrupted from a terminal, the form leaves no half-written solid.
  foilcad::install_signal_cleanup();
  return foilcad::app::run();
}
