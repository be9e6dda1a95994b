// foilcad-convert: the command-line converter for scripts and batch work.
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include "cli/preview.hpp"
#include "cli/progress.hpp"
#include "cli/summary_json.hpp"
#include "common/error.hpp"
#include "common/number.hpp"
#include "common/replacing.hpp"
#include "common/signal_cleanup.hpp"
#include "convert/convert.hpp"

namespace {

constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

// Millimetre values: the same free-format numbers the input form reads, and
// they must be finite.
std::string check_millimetres(const std::string& text) {
  const auto value = foilcad::parse_free_number(text);
  if (!value || !std::isfinite(*value)) return "not a number of millimetres: " + text;
  return {};
}

double millimetres(const std::string& text) { return *foilcad::parse_free_number(text); }

// One line per kind of warning, never one per statement; from is the first
// not printed yet.
void print_warnings(const foilcad::ConversionReport& r, const foilcad::conversion_parameters& p,
                    std::size_t from) {
  for (std::size_t i = from; i < r.warnings.size(); ++i) {
    const foilcad::Warning& w = r.warnings[i];
    const std::string text(foilcad::describe(w.kind));
    std::fprintf(stderr, "foilcad-convert: warning: %s:%zu: %s (%zu %s)\n", p.input_path.c_str(),
                 w.first_line, text.c_str(), w.count, w.count == 1 ? "time" : "times");
  }
}

// Distinct values the chosen encoding writes as one number make flat boxes.
// Returns whether there was anything to say.
bool print_flat_warnings(const foilcad::ConversionReport& r,
                         const foilcad::conversion_parameters& p) {
  const foilcad::FlatValues& flat = r.flat;
  if (!flat.any()) return false;
  const bool classic = p.stl.format == foilcad::StlFormat::classic;
  const char* as = classic ? "the same number in classic STL (one decimal)"
                           : "the same 32-bit float in binary STL";
  const char* instead = classic ? "--stl ascii or --stl binary" : "--stl ascii";
  if (flat.top_and_bottom) {
    std::fprintf(stderr,
                 "foilcad-convert: warning: the bottom (%.17g mm) and the top (%.17g mm) are "
                 "written as %s: every box is flat; %s keeps them apart\n",
                 p.elevation, p.top, as, instead);
  }
  if (flat.x_lines != 0 || flat.y_lines != 0) {
    std::fprintf(stderr,
                 "foilcad-convert: warning: %zu neighbouring x and %zu neighbouring y grid lines "
                 "are written as %s: the cells between them are flat; %s keeps them apart\n",
                 flat.x_lines, flat.y_lines, as, instead);
  }
  return true;
}

// Seconds a write must have taken before the progress bar shows: about one,
// or what FOILCAD_PROGRESS_AFTER says.
double progress_after() {
  const char* text = std::getenv("FOILCAD_PROGRESS_AFTER");
  if (text == nullptr) return 1.0;
  const auto value = foilcad::parse_free_number(text);
  return value && *value >= 0 && std::isfinite(*value) ? *value : 1.0;
}

void write_json(const std::string& file, const std::string& text) {
  if (file == "-") {
    std::fwrite(text.data(), 1, text.size(), stdout);
    return;
  }
  // Through a temporary, like the solids: a failed write leaves the summary
  // that was there.
  foilcad::write_file_replacing(file, [&](int fd) {
    std::string_view rest = text;
    while (!rest.empty()) {
      const ssize_t written = ::write(fd, rest.data(), rest.size());
      if (written < 0 && errno == EINTR) continue;
      if (written <= 0) {
        throw foilcad::file_error(file, "cannot write the summary", written < 0 ? errno : EIO);
      }
      rest.remove_prefix(static_cast<std::size_t>(written));
    }
  });
}

void report_stage(foilcad::Stage stage, const foilcad::ConversionReport& r,
                  const foilcad::conversion_parameters& p) {
  const double s = r.seconds[static_cast<int>(stage)];
  switch (stage) {
    case foilcad::Stage::read:
      std::fprintf(stderr, "read   %s: %zu records, %zu rectangles%s (%.3f s)\n",
                   p.input_path.c_str(), r.records, r.rectangles,
                   r.negative ? ", negative image" : "", s);
      break;
    case foilcad::Stage::split:
      std::fprintf(stderr, "split  %zu pieces (%.3f s)\n", r.pieces, s);
      break;
    case foilcad::Stage::grid:
      std::fprintf(stderr, "grid   %zu x %zu lines, %zu cells, %zu copper (%.3f s)\n", r.grid_x,
                   r.grid_y, r.cells, r.copper_cells, s);
      break;
    case foilcad::Stage::write:
      std::fprintf(
          stderr, "write  %s: %llu bytes, %s: %llu bytes (%.3f s)\n", p.conductor_path.c_str(),
          static_cast<unsigned long long>(r.solids.conductor_bytes), p.insulator_path.c_str(),
          static_cast<unsigned long long>(r.solids.insulator_bytes), s);
      break;
    case foilcad::Stage::outlines:
      std::fprintf(stderr, "outline copper traced (%.3f s)\n", s);
      break;
    case foilcad::Stage::mesh:
      std::fprintf(stderr, "mesh   %llu + %llu triangles, copper %.6g of %.6g mm\u00b2 (%.3f s)\n",
                   static_cast<unsigned long long>(r.solids.conductor_facets),
                   static_cast<unsigned long long>(r.solids.insulator_facets), r.copper_area,
                   r.board_area, s);
      break;
  }
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{
      "Converts the photoplot (RS-274X / Gerber) of one copper layer into two STL solids:\n"
      "the conductor (NAME_CND.stl) and the insulator (NAME_INS.stl), every box reaching from\n"
      "the elevation to the elevation plus the thickness.",
      "foilcad-convert"};
  std::string elevation_text = "0.0";
  std::string thickness_text;
  std::optional<std::string> out_dir;
  bool quiet = false;
  std::string input;
  app.add_option("--elevation", elevation_text, "Height of the lower face of every box, in mm")
      ->type_name("MM")
      ->default_str("0.0")
      ->check(check_millimetres);
  app.add_option("--thickness", thickness_text, "Thickness of the copper layer, in mm")
      ->type_name("MM")
      ->required()
      ->check(check_millimetres);
  app.add_option("--out-dir", out_dir, "Folder for the solids (default: next to the input)")
      ->type_name("DIR");
  bool strict = false;
  app.add_flag("-q,--quiet", quiet, "Do not report the stages on stderr (warnings still are)");
  app.add_flag("--strict", strict,
               "Treat every warning as an error: stop before any output is written");
  std::optional<std::string> preview;
  std::optional<double> preview_dpi;
  std::optional<std::string> json;
  bool dry_run = false;
  bool force = false;
  app.add_option("--preview", preview, "Write a picture of the result seen from above (PNG)")
      ->type_name("FILE.png");
  app.add_option("--preview-dpi", preview_dpi,
                 "Resolution of the picture (default: at most 2000 pixels a side)")
      ->type_name("D")
      ->check(CLI::Range(1.0, 100000.0));
  app.add_option("--json", json, "Write the run's summary as JSON (\"-\" for stdout)")
      ->type_name("FILE");
  app.add_flag("--dry-run", dry_run,
               "Read and build the grid, report (and draw the picture), write no solids");
  app.add_flag("--force", force,
               "Write even when the output folder's file system has less free space than the "
               "solids need");
  std::string stl_format = "classic";
  bool merge = false;
  app.add_option("--stl", stl_format,
                 "Encoding of the solids: classic (the default: text with one decimal, as stored "
                 "files have it), ascii (standard STL text, exact numbers) or binary (standard "
                 "binary STL)")
      ->type_name("FORMAT")
      ->check(CLI::IsMember({"classic", "ascii", "binary"}));
  app.add_flag("--merge", merge,
               "Write each solid as far fewer disjoint boxes, each whole, instead of one box per "
               "cell");
  std::string geometry = "grid";
  std::string tolerance_text = "0.001";
  app.add_option("--geometry", geometry,
                 "Model of the copper: grid (the default: every object covered by rectangles, "
                 "the board cut into boxes) or exact (the copper's true outline as two closed "
                 "meshes that share their walls)")
      ->type_name("MODEL")
      ->check(CLI::IsMember({"grid", "exact"}));
  app.add_option("--tolerance", tolerance_text,
                 "Exact model: how far the chords of a circle or arc may stand off it, in mm "
                 "(default 0.001)")
      ->type_name("MM")
      ->default_str("0.001")
      ->check(check_millimetres);
  std::optional<std::string> outline;
  app.add_option("--outline", outline,
                 "The board's outline layer (edge cuts, .GKO, .GM1): its strokes and arcs must "
                 "close into contours; the board ends there and copper outside it is cut off")
      ->type_name("FILE");
  app.add_option("INPUT", input, "Photoplot file")->required();
  app.set_version_flag("--version", "foilcad-convert " FOILCAD_VERSION);

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    const int status = app.exit(e);
    return status == 0 ? 0 : kExitUsage;
  }

  // SIGINT and SIGTERM remove the temporaries being written and end with
  // status 130 and 143; the files that had the target names stay as they were.
  foilcad::install_signal_cleanup();

  foilcad::conversion_parameters parameters = foilcad::make_conversion_parameters(
      input, millimetres(elevation_text), millimetres(thickness_text),
      out_dir ? std::optional<std::filesystem::path>(*out_dir) : std::nullopt);
  parameters.stl.format = stl_format == "ascii"    ? foilcad::StlFormat::ascii
                          : stl_format == "binary" ? foilcad::StlFormat::binary
                                                   : foilcad::StlFormat::classic;
  parameters.stl.merge = merge;
  parameters.geometry = geometry == "exact" ? foilcad::Geometry::exact : foilcad::Geometry::grid;
  parameters.tolerance = millimetres(tolerance_text);
  if (outline) parameters.outline_path = *outline;
  if (parameters.geometry == foilcad::Geometry::exact) {
    // The exact model writes standard text unless told otherwise; the
    // classic fields cannot hold its shapes.
    if (app.count("--stl") == 0) parameters.stl.format = foilcad::StlFormat::ascii;
    if (parameters.stl.format == foilcad::StlFormat::classic) {
      std::fprintf(stderr,
                   "foilcad-convert: --stl classic cannot hold the exact model's shapes (its "
                   "numbers keep one decimal of a millimetre): use --stl ascii or --stl binary\n");
      return kExitUsage;
    }
    if (merge) {
      std::fprintf(stderr,
                   "foilcad-convert: --merge joins the grid's cells; the exact model "
                   "has none to join\n");
      return kExitUsage;
    }
    // Finer than the coordinates the model computes with (about 61 nm), or
    // so coarse that a pad loses its shape.
    if (!(parameters.tolerance >= 1e-4 && parameters.tolerance <= 1.0)) {
      std::fprintf(stderr, "foilcad-convert: --tolerance: %s mm is outside 0.0001 to 1 mm\n",
                   tolerance_text.c_str());
      return kExitUsage;
    }
  }
  // The reader's warnings come with the read stage; the one about the cells
  // (no copper) and those about values the encoding writes flat come with
  // the grid. Each is printed once, and --strict stops on it before anything
  // is written.
  std::size_t warnings_printed = 0;
  const foilcad::StageObserver observer = [&](foilcad::Stage stage,
                                              const foilcad::ConversionReport& report) {
    if (!quiet) report_stage(stage, report, parameters);
    bool warned = false;
    if (report.warnings.size() > warnings_printed) {
      print_warnings(report, parameters, warnings_printed);
      warnings_printed = report.warnings.size();
      warned = true;
    }
    if (stage == foilcad::Stage::grid && print_flat_warnings(report, parameters)) warned = true;
    if (strict && warned) {
      throw foilcad::Error(parameters.input_path.string() +
                           ": stopped on warnings (--strict); no output written");
    }
  };
  foilcad::ConversionReport report;
  try {
    // Solids that cannot fit whatever the cells hold are refused before the
    // cell map is built, in a dry run too: the map alone can take minutes and
    // gigabytes, for a conversion that could not be written. --force goes on.
    const foilcad::GridCheck before_map =
        force ? foilcad::GridCheck{} : foilcad::solids_space_check(parameters);
    const foilcad::ModelSolids solids =
        foilcad::build_solids(parameters, report, observer, before_map);
    if (preview) {
      const foilcad::PreviewSize size =
          foilcad::write_preview(*preview, solids, report, preview_dpi);
      if (!quiet)
        std::fprintf(stderr, "preview %s: %d x %d pixels\n", preview->c_str(), size.width,
                     size.height);
    }
    if (dry_run) {
      if (!quiet) {
        std::fprintf(stderr, "dry run: %s would have %llu bytes, %s %llu bytes\n",
                     parameters.conductor_path.c_str(),
                     static_cast<unsigned long long>(report.solids.conductor_bytes),
                     parameters.insulator_path.c_str(),
                     static_cast<unsigned long long>(report.solids.insulator_bytes));
      }
    } else {
      foilcad::WriteOptions options;
      options.skip_space_check = force;
      // The bar goes before the stage line, which the observer prints.
      foilcad::ProgressBar bar(STDERR_FILENO, !quiet,
                               std::chrono::duration<double>(progress_after()));
      const foilcad::StageObserver after_write = [&](foilcad::Stage stage,
                                                     const foilcad::ConversionReport& r) {
        bar.clear();
        observer(stage, r);
      };
      if (bar.active()) {
        options.progress = [&bar](std::uint64_t done, std::uint64_t total) {
          bar.update(done, total);
        };
      }
      foilcad::write_model_solids(solids, parameters, report, after_write, options);
    }
    if (json) write_json(*json, foilcad::summary_json(parameters, report, !dry_run));
  } catch (const foilcad::Error& e) {
    std::fprintf(stderr, "foilcad-convert: %s\n", e.what());
    return kExitFailure;
  } catch (const std::bad_alloc&) {
    std::fprintf(stderr, "foilcad-convert: out of memory\n");
    return kExitFailure;
  } catch (const std::exception& e) {
    // A limit of the standard library (a vector's largest size) is a
    // failure of this conversion like any other.
    std::fprintf(stderr, "foilcad-convert: %s: %s\n", parameters.input_path.c_str(), e.what());
    return kExitFailure;
  }
  return 0;
}
