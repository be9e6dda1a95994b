// foilcad-convert: the command-line converter for scripts and batch work.
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "cli/preview.hpp"
#include "cli/progress.hpp"
#include "cli/summary_json.hpp"
#include "common/error.hpp"
#include "common/number.hpp"
#include "common/replacing.hpp"
#include "common/signal_cleanup.hpp"
#include "convert/convert.hpp"
#include "convert/limits.hpp"

namespace foilcad {
namespace {

constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

// Finer than the coordinates the exact model computes with (about 61 nm), or
// so coarse that a pad loses its shape.
constexpr double kFinestTolerance = 1e-4;
constexpr double kCoarsestTolerance = 1.0;

// What the command line says, as typed.
struct Options {
  std::string elevation = "0.0";
  std::string thickness;
  std::optional<std::string> out_dir;
  bool quiet = false;
  bool strict = false;
  std::optional<std::string> preview;
  std::optional<double> preview_dpi;
  std::optional<std::string> json;
  bool dry_run = false;
  bool force = false;
  std::string stl = "classic";
  bool stl_given = false;
  bool merge = false;
  std::string geometry = "grid";
  std::string tolerance = "0.001";
  std::optional<std::string> outline;
  std::vector<std::string> drills;            // --drill
  std::vector<std::string> nonplated_drills;  // --drill-nonplated
  std::optional<std::string> drill_format;
  std::optional<std::string> drill_tools;
  std::string plating = "0.025";
  bool nets = false;
  bool gmsh = false;
  std::string input;
  // Both kinds of drill file in the order they were given (set after parsing).
  std::vector<DrillInput> drill_inputs;
};

// Millimetre values: the same free-format numbers the input form reads, and
// they must be finite.
std::string check_millimetres(const std::string& text) {
  const auto value = parse_free_number(text);
  if (!value || !std::isfinite(*value)) return "not a number of millimetres: " + text;
  return {};
}

std::string check_tolerance(const std::string& text) {
  if (std::string problem = check_millimetres(text); !problem.empty()) return problem;
  const double value = *parse_free_number(text);
  if (value >= kFinestTolerance && value <= kCoarsestTolerance) return {};
  return text + " mm is outside 0.0001 to 1 mm";
}

std::string check_plating(const std::string& text) {
  if (std::string problem = check_millimetres(text); !problem.empty()) return problem;
  if (*parse_free_number(text) >= 0.0) return {};
  return "the plating cannot be negative: " + text;
}

std::string check_drill_format(const std::string& text) {
  if (parse_drill_format(text)) return {};
  return "not a drill format: " + text +
         " (units, zeros and optionally digits, such as INCH,LZ,2:4, METRIC,TZ,3:3 or "
         "METRIC,DECIMAL)";
}

double millimetres(const std::string& text) { return *parse_free_number(text); }

void add_options(CLI::App& app, Options& o) {
  app.add_option("--elevation", o.elevation, "Height of the lower face of every box, in mm")
      ->type_name("MM")
      ->default_str("0.0")
      ->check(check_millimetres);
  app.add_option("--thickness", o.thickness, "Thickness of the copper layer, in mm")
      ->type_name("MM")
      ->required()
      ->check(check_millimetres);
  app.add_option("--out-dir", o.out_dir,
                 "Folder for the solids, made when it does not exist (default: next to the "
                 "input)")
      ->type_name("DIR");
  app.add_flag("-q,--quiet", o.quiet, "Do not report the stages on stderr (warnings still are)");
  app.add_flag("--strict", o.strict,
               "Treat every warning as an error: stop before any output is written");
  app.add_option("--preview", o.preview, "Write a picture of the result seen from above (PNG)")
      ->type_name("FILE.png");
  app.add_option("--preview-dpi", o.preview_dpi,
                 "Resolution of the picture (default: at most 2000 pixels a side)")
      ->type_name("D")
      ->check(CLI::Range(1.0, 100000.0));
  app.add_option("--json", o.json, "Write the run's summary as JSON (\"-\" for stdout)")
      ->type_name("FILE");
  app.add_flag("--dry-run", o.dry_run,
               "Read and build the model, report (and draw the picture), write no solids");
  app.add_flag("--force", o.force,
               "Write even when the output folder's file system has less free space than the "
               "solids need");
  app.add_option("--stl", o.stl,
                 "Encoding of the solids: classic (the default: text with one decimal, as stored "
                 "files have it), ascii (standard STL text, exact numbers) or binary (standard "
                 "binary STL)")
      ->type_name("FORMAT")
      ->check(CLI::IsMember({"classic", "ascii", "binary"}));
  app.add_flag("--merge", o.merge,
               "Write each solid as far fewer disjoint boxes, each whole, instead of one box per "
               "cell");
  app.add_option("--geometry", o.geometry,
                 "Model of the copper: grid (the default: every object covered by rectangles, "
                 "the board cut into boxes) or exact (the copper's true contours as closed "
                 "meshes that share their walls)")
      ->type_name("MODEL")
      ->check(CLI::IsMember({"grid", "exact"}));
  app.add_option("--tolerance", o.tolerance,
                 "Exact model: how far the chords of a circle or arc may stand off it, in mm, "
                 "0.0001 to 1 (default 0.001)")
      ->type_name("MM")
      ->default_str("0.001")
      ->check(check_tolerance);
  app.add_option("--outline", o.outline,
                 "The board's outline layer (edge cuts, .GKO, .GM1): its strokes and arcs must "
                 "close into contours; the board ends there and copper outside it is cut off")
      ->type_name("FILE");
  // One file an occurrence: a vector option would otherwise take the input
  // that follows it for a second drill file.
  app.add_option("--drill", o.drills,
                 "Exact model: a drill file (Excellon) whose holes are cut through the layer; "
                 "holes whose plating the file does not say are taken as plated (unless given "
                 "with --drill-nonplated). Repeatable")
      ->type_name("FILE")
      ->allow_extra_args(false);
  app.add_option("--drill-nonplated", o.nonplated_drills,
                 "The same, but holes whose plating the file does not say are taken as not "
                 "plated (mounting holes, NPTH files that do not say so). Repeatable; all drill "
                 "files are read in the order given")
      ->type_name("FILE")
      ->allow_extra_args(false);
  app.add_option("--drill-format", o.drill_format,
                 "Units, zeros and digits of the drill files' numbers, such as INCH,LZ,2:4, "
                 "METRIC,TZ,3:3 or METRIC,DECIMAL: read from each file (and nc_param.txt beside "
                 "it) when not given; given, it overrides what they say")
      ->type_name("FORMAT")
      ->check(check_drill_format);
  app.add_option("--drill-tools", o.drill_tools,
                 "A tool table (lines such as \"T1 0.300mm\" or \"T2 15mil (0.381mm)\") with the "
                 "sizes of tools the drill files use without one")
      ->type_name("FILE");
  app.add_option("--plating", o.plating,
                 "The copper ring a plated hole keeps around its wall, in mm, 0 or more (default "
                 "0.025); holes that are not plated are cut bare")
      ->type_name("MM")
      ->default_str("0.025")
      ->check(check_plating);
  app.add_flag("--nets", o.nets,
               "Exact model: each connected part of the copper a body and a solid of its own, "
               "named after the net its objects name (the photoplot's TO.N attributes), else "
               "copper_N; the solid files get the name added to the conductor's");
  app.add_flag("--gmsh", o.gmsh,
               "Exact model: also write NAME.geo and NAME_surfaces.msh beside the solids, from "
               "which `gmsh -3 NAME.geo` meshes every body in one run, with shared nodes on "
               "every wall between bodies");
  app.add_option("INPUT", o.input, "Photoplot file")->required();
  app.set_version_flag("--version", "foilcad-convert " FOILCAD_VERSION);
}

// --drill and --drill-nonplated as one list in command-line order, so that
// the stage lines and the summary list the files as they were typed.
std::vector<DrillInput> drills_in_order(const CLI::App& app, const Options& o) {
  const CLI::Option* plated = app.get_option("--drill");
  const CLI::Option* nonplated = app.get_option("--drill-nonplated");
  std::size_t next_plated = 0;
  std::size_t next_nonplated = 0;
  std::vector<DrillInput> drills;
  for (const CLI::Option* option : app.parse_order()) {
    if (option == plated && next_plated < o.drills.size()) {
      drills.push_back({o.drills[next_plated++], Plating::plated});
    } else if (option == nonplated && next_nonplated < o.nonplated_drills.size()) {
      drills.push_back({o.nonplated_drills[next_nonplated++], Plating::non_plated});
    }
  }
  return drills;
}

[[noreturn]] void usage_error(const char* message) {
  std::fprintf(stderr, "foilcad-convert: %s\n", message);
  std::exit(kExitUsage);
}

// The conversion the options ask for; combinations that cannot be written
// end the program as usage errors.
conversion_parameters parameters_from(const Options& o) {
  conversion_parameters p = make_conversion_parameters(
      o.input, millimetres(o.elevation), millimetres(o.thickness),
      o.out_dir ? std::optional<std::filesystem::path>(*o.out_dir) : std::nullopt);
  p.stl.format = o.stl == "ascii"    ? StlFormat::ascii
                 : o.stl == "binary" ? StlFormat::binary
                                     : StlFormat::classic;
  p.stl.merge = o.merge;
  p.geometry = o.geometry == "exact" ? Geometry::exact : Geometry::grid;
  p.tolerance = millimetres(o.tolerance);
  if (o.outline) p.outline_path = *o.outline;
  // The grid model refuses drill files itself, with the message that names
  // the exact model.
  p.drills = o.drill_inputs;
  if (o.drill_format) p.drill_format = parse_drill_format(*o.drill_format);
  if (o.drill_tools) p.drill_tool_table = *o.drill_tools;
  p.plating = millimetres(o.plating);
  if (p.geometry == Geometry::exact) {
    // The exact model writes standard text unless told otherwise; the
    // classic fields cannot hold its shapes.
    if (!o.stl_given) p.stl.format = StlFormat::ascii;
    if (p.stl.format == StlFormat::classic) {
      usage_error(
          "--stl classic cannot hold the exact model's shapes (its numbers keep one decimal of "
          "a millimetre): use --stl ascii or --stl binary");
    }
    if (o.merge) usage_error("--merge joins the grid's cells; the exact model has none to join");
    // The volumes gmsh fills are named after their nets.
    p.nets = o.nets || o.gmsh;
    if (o.gmsh) p.gmsh = gmsh_paths(p);
  } else if (o.gmsh) {
    usage_error("--gmsh writes the exact model's surfaces: add --geometry exact");
  } else if (o.nets) {
    usage_error("--nets parts the copper of the exact model; use it with --geometry exact");
  }
  return p;
}

// The files joined for a stage line: "A: N bytes, B: M bytes", the
// bodies' solids and then the gmsh files.
std::string body_sizes(const ConversionReport& r, std::string_view between) {
  if (r.bodies.size() > 4) {
    return std::to_string(r.bodies.size()) + " solids (" + r.bodies.front().path.string() +
           " ...)" + std::string(between) + std::to_string(total_bytes(r)) + " bytes";
  }
  std::string text;
  const auto add = [&](const std::filesystem::path& path, std::uint64_t bytes) {
    if (!text.empty()) text += ", ";
    text += path.string();
    text += between;
    text += std::to_string(bytes);
    text += " bytes";
  };
  for (const BodyReport& b : r.bodies) add(b.path, b.size.bytes);
  if (r.gmsh) {
    add(r.gmsh->paths.geo, r.gmsh->geo_bytes);
    add(r.gmsh->paths.surfaces, r.gmsh->surfaces_bytes);
  }
  return text;
}

// The format a drill file was read in, written as --drill-format takes it,
// with where each part came from: "INCH,LZ,2:4 (the file)", "INCH,LZ (guessed
// against the board), 2:4 (customary)", "METRIC (the file), zeros and digits
// not needed". Neighbouring parts of one source are told together.
std::string drill_format_text(const FoundFormat& found) {
  const DrillFormat& f = found.format;
  struct Part {
    std::string text;
    FormatSource from;
    const char* what;
  };
  const Part parts[] = {{f.units == DrillUnits::inch ? "INCH" : "METRIC", found.units, "units"},
                        {f.zeros == Zeros::leading    ? "LZ"
                         : f.zeros == Zeros::trailing ? "TZ"
                                                      : "DECIMAL",
                         found.zeros, "zeros"},
                        {std::to_string(f.integer_digits) + ":" + std::to_string(f.decimal_digits),
                         found.digits, "digits"}};
  std::string text;
  for (std::size_t begin = 0, end = 0; begin < std::size(parts); begin = end) {
    const FormatSource from = parts[begin].from;
    std::vector<std::string> group;
    for (end = begin; end < std::size(parts) && parts[end].from == from; ++end) {
      group.push_back(from == FormatSource::not_needed ? parts[end].what : parts[end].text);
    }
    if (!text.empty()) text += ", ";
    if (from == FormatSource::not_needed) {
      for (std::size_t i = 0; i < group.size(); ++i) {
        text += i == 0 ? "" : i + 1 == group.size() ? " and " : ", ";
        text += group[i];
      }
      text += " not needed";
    } else {
      for (std::size_t i = 0; i < group.size(); ++i) text += (i == 0 ? "" : ",") + group[i];
      text += " (";
      text += describe(from);
      text += ")";
    }
  }
  return text;
}

// "N things" with the noun's plural when N is not 1.
std::string count_of(std::size_t n, const char* one, const char* many) {
  return std::to_string(n) + " " + (n == 1 ? one : many);
}

// A line a drill file: "drill  FILE: 24 round holes and 2 slots (24 plated, 2
// non-plated); format METRIC,DECIMAL (the file), digits not needed". The
// plating counts add up to the holes and slots together.
void report_drills(const ConversionReport& r) {
  for (const DrillReport& d : r.drills) {
    const HoleCounts& h = d.holes;
    const std::size_t unknown = h.plating(Plating::unknown);
    const std::string unknown_text =
        unknown == 0 ? "" : ", " + std::to_string(unknown) + " of unknown plating";
    std::fprintf(stderr, "drill  %s: %s and %s (%zu plated, %zu non-plated%s); format %s\n",
                 d.path.c_str(), count_of(h.holes - h.slots, "round hole", "round holes").c_str(),
                 count_of(h.slots, "slot", "slots").c_str(), h.plating(Plating::plated),
                 h.plating(Plating::non_plated), unknown_text.c_str(),
                 drill_format_text(d.format).c_str());
  }
}

void report_stage(Stage stage, const ConversionReport& r, const conversion_parameters& p) {
  const double s = r.seconds[static_cast<int>(stage)];
  switch (stage) {
    case Stage::read:
      if (r.geometry == Geometry::exact) {
        const ObjectCounts& o = r.objects;
        std::fprintf(stderr, "read   %s: %zu records, %zu objects%s (%.3f s)\n",
                     p.input_path.c_str(), r.records, o.strokes + o.arcs + o.flashes + o.regions,
                     r.negative ? ", negative image" : "", s);
      } else {
        std::fprintf(stderr, "read   %s: %zu records, %zu rectangles%s (%.3f s)\n",
                     p.input_path.c_str(), r.records, r.rectangles,
                     r.negative ? ", negative image" : "", s);
      }
      report_drills(r);
      break;
    case Stage::split:
      std::fprintf(stderr, "split  %zu pieces (%.3f s)\n", r.pieces, s);
      break;
    case Stage::grid:
      std::fprintf(stderr, "grid   %zu x %zu lines, %zu cells, %zu copper (%.3f s)\n", r.grid_x,
                   r.grid_y, r.cells, r.copper_cells, s);
      break;
    case Stage::write:
      std::fprintf(stderr, "write  %s (%.3f s)\n", body_sizes(r, ": ").c_str(), s);
      break;
    case Stage::contours:
      std::fprintf(stderr, "trace  copper contours traced (%.3f s)\n", s);
      break;
    case Stage::mesh: {
      std::string triangles;
      if (r.bodies.size() <= 2) {
        for (const BodyReport& b : r.bodies) {
          if (!triangles.empty()) triangles += " + ";
          triangles += std::to_string(b.size.facets);
        }
        triangles += " triangles";
      } else {
        triangles = std::to_string(total_facets(r)) + " triangles in " +
                    std::to_string(r.bodies.size()) + " bodies";
      }
      std::fprintf(stderr, "mesh   %s, copper %.6g of %.6g mm\u00b2 (%.3f s)\n", triangles.c_str(),
                   r.copper_area, r.board_area, s);
      if (r.nets > 0) std::fprintf(stderr, "       %zu nets named in the photoplot\n", r.nets);
      if (r.gmsh) {
        const GmshReport& g = *r.gmsh;
        std::fprintf(stderr, "gmsh   %s: %zu volumes, %zu surfaces, %zu nodes, %zu triangles\n",
                     g.paths.geo.c_str(), g.volumes, g.surfaces, g.nodes, g.triangles);
      }
      break;
    }
  }
}

// One line per kind of warning, never one per statement; from is the first
// not printed yet.
void print_warnings(const ConversionReport& r, const conversion_parameters& p, std::size_t from) {
  for (std::size_t i = from; i < r.warnings.size(); ++i) {
    const Warning& w = r.warnings[i];
    const std::string text(describe(w.kind));
    std::fprintf(stderr, "foilcad-convert: warning: %s:%zu: %s (%zu %s)\n", p.input_path.c_str(),
                 w.first_line, text.c_str(), w.count, w.count == 1 ? "time" : "times");
  }
}

// The drill files' warnings, in the photoplot's style; line 0 is the file as
// a whole. Returns whether there was anything to say.
bool print_drill_warnings(const ConversionReport& r) {
  bool any = false;
  for (const DrillReport& d : r.drills) {
    for (const DrillWarning& w : d.warnings) {
      const std::string text(describe(w.kind));
      const std::string where = w.first_line == 0
                                    ? d.path.string()
                                    : d.path.string() + ":" + std::to_string(w.first_line);
      std::fprintf(stderr, "foilcad-convert: warning: %s: %s (%zu %s)\n", where.c_str(),
                   text.c_str(), w.count, w.count == 1 ? "time" : "times");
      any = true;
    }
  }
  return any;
}

// Distinct values the chosen encoding writes as one number make flat boxes.
// Returns whether there was anything to say.
bool print_flat_warnings(const ConversionReport& r, const conversion_parameters& p) {
  const FlatValues& flat = r.flat;
  if (!flat.any()) return false;
  const bool classic = p.stl.format == StlFormat::classic;
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

// Tells each stage as it ends and each warning once; with strict, a warning
// stops the conversion before anything is written.
StageObserver stage_reporter(const Options& o, const conversion_parameters& p,
                             std::size_t& warnings_printed) {
  return [&o, &p, &warnings_printed](Stage stage, const ConversionReport& report) {
    if (!o.quiet) report_stage(stage, report, p);
    bool warned = false;
    if (report.warnings.size() > warnings_printed) {
      print_warnings(report, p, warnings_printed);
      warnings_printed = report.warnings.size();
      warned = true;
    }
    // The drill files are read with the photoplot.
    if (stage == Stage::read && print_drill_warnings(report)) warned = true;
    if (stage == Stage::grid && print_flat_warnings(report, p)) warned = true;
    if (o.strict && warned) {
      throw Error(p.input_path.string() + ": stopped on warnings (--strict); no output written");
    }
  };
}

// Seconds a write must have taken before the progress bar shows: about one,
// or what FOILCAD_PROGRESS_AFTER says.
double progress_after() {
  const char* text = std::getenv("FOILCAD_PROGRESS_AFTER");
  if (text == nullptr) return 1.0;
  const auto value = parse_free_number(text);
  return value && *value >= 0 && std::isfinite(*value) ? *value : 1.0;
}

// Grid solids past this size are worth a word about the exact model.
constexpr std::uint64_t kLargeGridBytes = 1'000'000'000;

// What the exact model makes of the same board, for a grid too large: "; the
// exact model's binary solids of this board take 31.2 MB (--geometry exact
// --stl binary)", or nothing when it cannot make them. Built at most once a
// run: a large grid that then does not fit is told the same figure.
class ExactModelHint {
 public:
  explicit ExactModelHint(const conversion_parameters& p) : p_(p) {}

  const std::string& text() {
    if (!text_) {
      const std::optional<std::uint64_t> bytes = exact_binary_bytes(p_);
      text_ = bytes ? "; the exact model's binary solids of this board take " +
                          format_bytes(*bytes) + " (--geometry exact --stl binary)"
                    : std::string();
    }
    return *text_;
  }

 private:
  const conversion_parameters& p_;
  std::optional<std::string> text_;
};

// Builds the model, draws the picture, writes the solids and the summary;
// the files are replaced together at the end.
void convert_and_write(const Options& o, const conversion_parameters& p, ExactModelHint& hint) {
  std::size_t warnings_printed = 0;
  const StageObserver observer = stage_reporter(o, p, warnings_printed);
  ConversionReport report;
  // Solids that cannot fit whatever the cells hold are refused before the
  // cell map is built, in a dry run too: the map alone can take minutes and
  // gigabytes, for a conversion that could not be written. --force goes on.
  const GridCheck before_map = o.force ? GridCheck{} : solids_space_check(p);
  const ModelSolids solids = build_solids(p, report, observer, before_map);
  if (p.geometry == Geometry::grid && total_bytes(report) > kLargeGridBytes && !o.quiet) {
    if (!hint.text().empty()) {
      std::fprintf(stderr, "foilcad-convert: note: the grid's solids take %s%s\n",
                   format_bytes(total_bytes(report)).c_str(), hint.text().c_str());
    }
  }
  ReplacingFiles files;
  if (o.preview) {
    create_folders({*o.preview});
    const PreviewSize size =
        write_preview(files.add(*o.preview), *o.preview, solids, report, o.preview_dpi);
    if (!o.quiet) {
      std::fprintf(stderr, "preview %s: %d x %d pixels\n", o.preview->c_str(), size.width,
                   size.height);
    }
  }
  if (o.dry_run) {
    if (!o.quiet) std::fprintf(stderr, "dry run: %s\n", body_sizes(report, " would have ").c_str());
  } else {
    WriteSettings settings;
    settings.skip_space_check = o.force;
    settings.together = &files;
    // The bar goes before the stage line, which the observer prints.
    ProgressBar bar(STDERR_FILENO, !o.quiet, std::chrono::duration<double>(progress_after()));
    const StageObserver after_write = [&](Stage stage, const ConversionReport& r) {
      bar.clear();
      observer(stage, r);
    };
    if (bar.active()) {
      settings.progress = [&bar](std::uint64_t done, std::uint64_t total) {
        bar.update(done, total);
      };
    }
    write_solids(solids, p, report, after_write, settings);
  }
  if (o.json) {
    const std::string text = summary_json(p, report, !o.dry_run);
    if (*o.json == "-") {
      std::fwrite(text.data(), 1, text.size(), stdout);
    } else {
      write_fully(files.add(*o.json), *o.json, text, "cannot write the summary");
    }
  }
  files.commit();
}

// The conversion, with grid solids that do not fit refused with the size
// the exact model's would have.
void run(const Options& o, const conversion_parameters& p) {
  ExactModelHint hint(p);
  try {
    convert_and_write(o, p, hint);
  } catch (const DiskSpaceError& e) {
    if (p.geometry != Geometry::grid) throw;
    throw Error(e.what() + hint.text());
  }
}

}  // namespace
}  // namespace foilcad

int main(int argc, char** argv) {
  CLI::App app{
      "Converts the photoplot (RS-274X / Gerber) of one copper layer into two STL solids:\n"
      "the conductor (NAME_CND.stl) and the insulator (NAME_INS.stl), every box reaching from\n"
      "the elevation to the elevation plus the thickness.",
      "foilcad-convert"};
  foilcad::Options options;
  foilcad::add_options(app, options);
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    const int status = app.exit(e);
    return status == 0 ? 0 : foilcad::kExitUsage;
  }
  options.stl_given = app.count("--stl") != 0;
  options.drill_inputs = foilcad::drills_in_order(app, options);
  const foilcad::conversion_parameters parameters = foilcad::parameters_from(options);

  // SIGINT and SIGTERM remove the temporaries being written and end with
  // status 130 and 143; the files that had the target names stay as they were.
  foilcad::install_signal_cleanup();
  try {
    foilcad::run(options, parameters);
  } catch (const foilcad::Error& e) {
    std::fprintf(stderr, "foilcad-convert: %s\n", e.what());
    return foilcad::kExitFailure;
  } catch (const std::bad_alloc&) {
    std::fprintf(stderr, "foilcad-convert: out of memory\n");
    return foilcad::kExitFailure;
  } catch (const std::exception& e) {
    // A limit of the standard library (a vector's largest size) is a
    // failure of this conversion like any other.
    std::fprintf(stderr, "foilcad-convert: %s: %s\n", parameters.input_path.c_str(), e.what());
    return foilcad::kExitFailure;
  }
  return 0;
}
