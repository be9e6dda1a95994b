// The exact model's benchmark (foilcad-bench exact ...).
#pragma once

namespace foilcad::bench {

// argv holds the arguments after "exact". Prints a table; returns the exit status.
int run_exact_bench(int argc, char** argv);

}  // namespace foilcad::bench
