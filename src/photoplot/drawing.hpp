// What a photoplot draws: its objects in file order, with their apertures,
// polarity and placement, as the reader hands them to the models.
//
// Lengths are millimetres: the units of the file are applied. Coordinates
// are as the file wrote them (scaled to millimetres); the image transform in
// force when an object was drawn is kept with it, so that a model places the
// object with exactly the arithmetic it needs. The drawing knows nothing of
// rectangles or grids.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "common/box.hpp"
#include "common/warning.hpp"

namespace foilcad {

// Several constants are single-precision values widened to double, and the
// output depends on them bit for bit: the solids of existing files and
// scripts were made with exactly these values.
inline constexpr double kInchFactor = static_cast<double>(25.4f);    // 25.399999618530273
inline constexpr double kNoCoordinate = static_cast<double>(1e30f);  // 1.0000000150474662e+30

// The extremes before any coordinate has been received: the smallest stands
// above the largest.
inline constexpr Box kNoExtremes{kNoCoordinate, -kNoCoordinate, kNoCoordinate, -kNoCoordinate};

// How the image of a photoplot is placed: mirror, scale factor, offset,
// rotation and axis select, always applied in this order whatever the order
// of their statements. The first three act on coordinates only (A is the
// first coordinate, B the second): apertures and step and repeat distances
// are neither mirrored nor scaled. The rotation (counterclockwise about the
// origin) and the axis select turn the whole image, apertures and step and
// repeat distances included. Each step at its identity value is skipped, so
// the identity leaves every value as it was, bit for bit.
struct ImageTransform {
  bool mirror_a = false;
  bool mirror_b = false;
  double scale_a = 1.0;  // positive
  double scale_b = 1.0;
  double offset_a = 0.0;  // mm
  double offset_b = 0.0;
  int rotation = 0;        // degrees: 0, 90, 180 or 270
  bool swap_axes = false;  // %ASAYBX: the first device axis takes the data's y

  bool identity() const;
  // Mirror, scale and offset of one data axis (0 = x, 1 = y) on an interval.
  void coordinates(int axis, double& low, double& high) const;
  // Rotation and axis select on a box: where it lies once the image is turned.
  void turn(double& min_x, double& max_x, double& min_y, double& max_y) const;
  // The same on a point (exact: quarter turns only negate and swap).
  Point turned(Point p) const;
  // Both on a box of coordinates.
  void place(double& min_x, double& max_x, double& min_y, double& max_y) const;
  void place(double& x, double& y) const;
  // The device axis a data axis ends up on, and whether it is negated there.
  int device_axis(int axis, bool& negated) const;

  friend bool operator==(const ImageTransform&, const ImageTransform&) = default;
};

// One primitive of a macro aperture, its expressions evaluated with the
// aperture's parameters. Modifiers are in the file's units (the aperture's
// unit turns them into millimetres) and in the order the primitive takes
// them: code 1 circle, 2 and 20 vector line, 21 centre line, 22 lower-left
// line, 4 outline, 5 polygon, 6 moire, 7 thermal.
struct MacroPrimitive {
  int code = 0;
  std::size_t statement = 0;  // counted from 1 after the macro's name, for messages
  bool exposed = true;        // exposure on (moire and thermal always are)
  double rotation = 0.0;      // degrees about the macro's origin; 0 when not written
  std::vector<double> modifiers;
};

// An aperture as defined, sizes in millimetres.
struct Aperture {
  enum class Shape : std::uint8_t { circle, rectangle, obround, polygon, macro };
  Shape shape = Shape::circle;
  // Circle: diameter, [hole]. Rectangle and obround: x size, [y size, hole].
  // Polygon: outer diameter, [vertices, rotation in degrees, hole]. What the
  // file left out is not here; a modifier after the first two that cannot be
  // read as a number is left out too.
  std::vector<double> sizes;
  // Macro: its name, the file's unit (mm per unit of the primitives), and its
  // primitives; none when the macro was never defined or draws nothing.
  std::string macro_name;
  double unit = 1.0;
  std::vector<MacroPrimitive> primitives;
  bool macro_defined = true;
  std::size_t line = 0;  // where it was defined
  // The record that completed the definition (a definition may span records).
  std::size_t record_line = 0;
};

// A drawing object. Points are as the file wrote them, in millimetres; the
// image transform with index transform places them.
struct DrawingObject {
  enum class Kind : std::uint8_t { flash, stroke, arc, region };
  Kind kind = Kind::flash;
  bool clear = false;           // clear polarity: removes what earlier objects drew
  std::uint32_t transform = 0;  // into Drawing::transforms
  std::uint32_t aperture = 0;   // into Drawing::apertures, or kNoAperture
  std::uint32_t detail = 0;     // arc: into Drawing::arcs; region: into Drawing::regions
  std::size_t line = 0;         // where it was drawn (a region: where it was closed)
  Point from{0.0, 0.0};         // stroke and arc: the start; flash: the point
  Point to{0.0, 0.0};           // stroke and arc: the end; flash: the point
};

// An aperture code never defined (the starting code 0 too): size 0.
inline constexpr std::uint32_t kNoAperture = UINT32_MAX;

struct ArcDetail {
  Point centre;
  bool clockwise;
};

// A filled region's contour, closed (the last point joins the first); arcs
// are followed by chords within a micrometre. Points into Drawing::points.
struct RegionDetail {
  std::size_t first_point;
  std::size_t point_count;
  // The line a report of the region's first copper names: where it was
  // closed by a move, or, closed by G36/G37, the next statement that draws,
  // selects or defines (the end of the file when none follows).
  std::size_t report_line;
};

// A step and repeat block: objects [first_object, end_object) are placed
// again at every step, the placement at (0, 0) being the objects themselves.
struct Placement {
  std::size_t first_object;
  std::size_t end_object;
  long long steps_x;
  long long steps_y;
  double step_x;  // mm, turned with the image (transform) but not mirrored or scaled
  double step_y;
  std::uint32_t transform;  // in force when the block closed
  std::size_t line;         // where the block was opened
  std::size_t record_line;  // the record that completed the opening statement
  std::size_t close_line;   // where it was closed

  // How far copy (i, j) lies from the block itself: the step distances
  // turned with the image (transform) but neither mirrored nor scaled.
  Point offset(long long i, long long j, const ImageTransform& t) const {
    return t.turned({static_cast<double>(i) * step_x, static_cast<double>(j) * step_y});
  }
};

// How many objects of each kind a file drew.
struct ObjectCounts {
  std::size_t strokes = 0;
  std::size_t arcs = 0;
  std::size_t flashes = 0;
  std::size_t regions = 0;
};

struct Drawing {
  std::filesystem::path name;  // for messages
  std::vector<DrawingObject> objects;
  std::vector<Aperture> apertures;
  std::vector<ImageTransform> transforms;  // the first is the identity
  std::vector<ArcDetail> arcs;
  std::vector<RegionDetail> regions;
  std::vector<Point> points;
  std::vector<Placement> placements;  // in the order they close, never overlapping
  // The smallest and largest coordinate received on each axis, placed on the
  // device: coordinates as written in the file and scaled, moves and step and
  // repeat copies included, aperture sizes not.
  Box extremes = kNoExtremes;
  // The frame the file begins with: the first four objects are straight
  // strokes that join end to end into a closed axis-parallel frame. The box
  // of their centre lines, placed on the device. The frame takes no part in
  // the copper; the board ends there.
  std::optional<Box> frame;
  // A negative image ("%IPNEG", or the attribute ".FilePolarity,Negative"):
  // the objects are where the copper is removed.
  bool negative = false;
  std::size_t records = 0;  // records read, up to "M02" or the end of the file
  // What the reader found the file to mean that the converter does not draw
  // as it means, by the line each kind first occurred on.
  std::vector<Warning> warnings;
  ObjectCounts counts;  // strokes, arcs, flashes and regions
  // The units coordinates were read in: inches, millimetres, or both.
  bool inches_used = false;
  bool millimetres_used = false;
  // The text of the file when it was read from memory; a file is read again
  // for the text of a line that a message names.
  std::shared_ptr<const std::string> text;

  // The distinct net names the objects name, in order of first use: the
  // values of the object attribute .N ("%TO.N,GND*%", or "G04 #@! TO.N,GND*"
  // where the file has no extended attributes), their escapes ("\u00B5")
  // written out as UTF-8, the other bytes as the file wrote them. Neither the
  // empty name nor "N/C" is a net: they say that an object is in no net.
  // Every name is text of the file, so the names take no more room than the
  // file does.
  std::vector<std::string> nets;
  // Which nets objects belong to, as runs in object order: from first_object
  // on (up to the next run's) every object names the nets
  // run_nets[first_net, first_net + net_count), indices into nets without
  // repeats, in increasing order; a count of 0: no net. Objects before the
  // first run name no net. A run begins only where the set changes (layout
  // tools repeat the same attribute before every object). Step and repeat
  // copies are their objects placed again and share their nets. Kept apart
  // from the objects, which large files hold millions of, and flat: 16
  // bytes a run and 4 a net it names.
  struct NetRun {
    std::size_t first_object;
    std::uint32_t first_net;  // into run_nets
    std::uint32_t net_count;
  };
  std::vector<NetRun> net_runs;
  std::vector<std::uint32_t> run_nets;

  // The nets of object k (indices into nets; a binary search over the runs):
  // empty when it names none.
  std::span<const std::uint32_t> nets_of(std::size_t object) const;

  // The text of record line (counted from 1), for messages.
  std::string record(std::size_t line) const;
};

// Thrown for a macro that cannot be read, evaluated or placed. The message is
// one sentence naming the macro and the statement (counted from 1 after the
// name), without file or line: the caller adds those.
class MacroError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// "aperture macro "NAME", statement N" with long names shortened, for
// messages about a macro.
std::string describe_macro_statement(std::string_view name, std::size_t statement);

}  // namespace foilcad
