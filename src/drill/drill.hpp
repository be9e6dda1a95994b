// The drill reader: the holes of a board from an Excellon (NC drill) file, as
// layout tools write them.
//
// Read: a header from "M48" to "%" or "M95", or none at all; units ("METRIC",
// "INCH", "M71", "M72"), the zero rule and digit counts ("INCH,LZ",
// "METRIC,TZ,000.000", "FMAT", Altium's ";FILE_FORMAT=4:4", KiCad's
// ";FORMAT={3:3/ absolute / metric / ...}"); absolute and incremental
// coordinates ("G90", "G91", "ICI"), the zero set "G93", repeat codes
// ("R05X001000"); tools defined in the header or the body ("T1C0.250",
// "T01F00S00C0.2000"), in comments (";T01 Holesize 1. = 12.000000 ... PLATED
// MILS") or in a separate tool table; round holes, "G85" slots, and routed
// slots ("G00", "M15", "G01"/"G02"/"G03", "M16"), arcs as chains of straight
// slots; plating from X2 attributes in comments, Altium's ";TYPE=PLATED"
// sections, Allegro's tool comments and, for files that say nothing, KiCad's
// file names ("-NPTH.drl"). An Allegro parameter file (nc_param.txt) in the
// drill file's folder supplies the units, digits and zero rule the file does
// not state. README.md's "Drill files" describes the dialects and the order
// in which the format is found.
//
// Everything handed over is in millimetres, in the file's own absolute
// coordinates: the photoplot's coordinates. An inch is 25.4 mm exactly (the
// photoplot reader's single-precision inch differs from it by 1.5e-8 of a
// value, under 0.01 um on any board). A file whose units or digit layout cannot
// be known is refused with a message naming --drill-format; a guess from the
// coordinates' magnitudes is made only against the photoplot's extent, when
// exactly one reading fits it, and is reported as a warning.
//
// Errors are foilcad::Error naming the file and the line. Work and memory are
// bounded by the limits below, whatever the file asks for.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/box.hpp"
#include "common/hole.hpp"

namespace foilcad {

enum class DrillUnits : std::uint8_t { inch, millimetre };

// How a number without a decimal point is read. The names say which zeros
// the file keeps: "LZ" keeps the leading ones (numbers are aligned at the
// left and the integer digits come first), "TZ" the trailing ones (aligned at
// the right: the last digits are the decimals).
enum class Zeros : std::uint8_t {
  leading,   // LZ
  trailing,  // TZ
  decimal,   // numbers carry a decimal point; one without it is whole units
};

struct DrillFormat {
  DrillUnits units = DrillUnits::inch;
  Zeros zeros = Zeros::leading;
  int integer_digits = 2;
  int decimal_digits = 4;

  friend bool operator==(const DrillFormat&, const DrillFormat&) = default;
};

// The customary digits where nothing gives them: 2:4 for inches, 3:3 for
// millimetres.
DrillFormat customary_format(DrillUnits units, Zeros zeros);

// Where a part of the format came from.
enum class FormatSource : std::uint8_t {
  file,            // the drill file's own statements
  parameter_file,  // nc_param.txt beside it
  option,          // DrillOptions::format (--drill-format)
  customary,       // digits nobody gave: 2:4 inch, 3:3 mm
  guessed,         // the one reading that fits DrillOptions::board
  not_needed,      // every number had a decimal point, or all of them the full width
};

std::string_view describe(FormatSource source);

// The format in force at the file's first coordinate, and where each part of
// it came from.
struct FoundFormat {
  DrillFormat format;
  FormatSource units = FormatSource::not_needed;
  FormatSource zeros = FormatSource::not_needed;
  FormatSource digits = FormatSource::not_needed;
};

// What the reader does not read as the file means, or had to assume; kept
// apart from the photoplot's WarningKind, whose every kind the converter's
// summary names.
enum class DrillWarningKind : std::uint8_t {
  format_overridden,  // --drill-format replaces what the file says of its format
  format_guessed,     // the one reading that fits the board
  customary_digits,   // digits nobody gave
  parameter_file,     // units, digits or zeros from nc_param.txt
  plating_from_name,  // "-PTH" / "-NPTH" in the file's name
  plating_from_user,  // DrillOptions::plating for holes the file says nothing of
  plating_unknown,    // neither the file nor the user says
  outside_board,      // holes beyond the photoplot's extent
  unsupported,        // canned text, patterns, drilled circles: skipped
};

// One line of a report for a kind: how often it occurred and where first
// (line 0: the file as a whole).
struct DrillWarning {
  DrillWarningKind kind;
  std::size_t count = 0;
  std::size_t first_line = 0;
};

// A sentence that says what the reader did, for messages.
std::string_view describe(DrillWarningKind kind);

struct DrillOptions {
  // From the user (--drill-format INCH,LZ,2:4): overrides what the file says.
  std::optional<DrillFormat> format;
  // What the user says holes of unknown plating are.
  Plating plating = Plating::unknown;
  // The photoplot's extent: the only ground for a guess of the format.
  std::optional<Box> board;
  // A separate tool table (lines "T1 0.300mm", "T1 15mil (0.381mm)") for
  // tools the file uses without a size.
  std::optional<std::filesystem::path> tool_table;
  // How far a routed arc's chain of straight slots may stand off the arc, mm.
  double arc_tolerance = 0.001;
};

struct DrillFile {
  std::filesystem::path name;
  std::vector<Hole> holes;  // in file order; a routed arc is several slots
  FoundFormat format;
  // The parameter file that was read, when one was.
  std::optional<std::filesystem::path> parameter_file;
  std::vector<DrillWarning> warnings;  // by their first line
  std::size_t lines = 0;
};

// How many holes of each sort a list holds, for summaries.
struct DiameterCount {
  double diameter = 0;    // mm
  std::size_t holes = 0;  // round holes and slot pieces of this diameter
  std::size_t slots = 0;  // of which slot pieces
};

struct HoleCounts {
  std::size_t holes = 0;  // round holes and slot pieces
  std::size_t slots = 0;
  std::size_t by_plating[3] = {};        // indexed by Plating
  std::size_t by_use[4] = {};            // indexed by HoleUse
  std::vector<DiameterCount> diameters;  // by diameter, ascending

  void add(const Hole& hole);
  void add(const HoleCounts& other);
  std::size_t plating(Plating p) const { return by_plating[static_cast<int>(p)]; }
  std::size_t use(HoleUse u) const { return by_use[static_cast<int>(u)]; }
};

HoleCounts count_holes(const std::vector<Hole>& holes);

std::string_view plating_name(Plating plating);  // "plated", "non_plated", "unknown"
std::string_view use_name(HoleUse use);          // "via", "component", "mechanical", "unknown"

// Limits. Each bounds the work or memory a file can ask for; real files stay
// far below them.
// The largest boards drilled have some 200,000 holes and slot pieces; ten
// times that is 150 MB of holes.
inline constexpr std::size_t kMaxDrillHoles = 2'000'000;
// Excellon tools are numbered with up to three digits; four leave room for
// writers that number plated and non-plated tools apart (Fritzing's T100).
inline constexpr std::uint32_t kMaxToolNumber = 9999;
// No board is larger than a metre: a tool or a coordinate beyond these is no
// board's.
inline constexpr double kMaxToolDiameter = 1000.0;      // mm
inline constexpr double kMaxDrillCoordinate = 10000.0;  // mm, either sign
// Digits of a number without a decimal point: 18 convert exactly.
inline constexpr int kMaxDrillDigits = 18;

// Reads the drill file, and nc_param.txt beside it when the file lies in a
// folder that has one. Throws foilcad::Error naming the file (and the line).
DrillFile read_drill(const std::filesystem::path& path, const DrillOptions& options);

// The same over text in memory; name is used in messages and for KiCad's
// plating hint only. No parameter file is looked for.
DrillFile read_drill_text(std::string_view text, const std::filesystem::path& name,
                          const DrillOptions& options);

// Reads the user's format: units ("INCH", "METRIC" or "MM"), then the zero
// rule ("LZ", "TZ" or "DECIMAL"), then optionally the digits ("2:4"), comma
// separated, in any case: "INCH,LZ,2:4", "METRIC,TZ,3:3", "METRIC,DECIMAL".
// Digits left out are the customary ones. No format for anything else.
std::optional<DrillFormat> parse_drill_format(std::string_view text);

}  // namespace foilcad
