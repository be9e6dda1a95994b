// The exact model on small inputs: any bytes either fail with a message or
// give two meshes that are closed, oriented, free of flat triangles and meet
// in one interface, whose volumes add up to the board's, and whose text and
// binary solids have exactly the bytes measured in advance. The same drawing
// drilled again at its own points (holes and slots of sizes the last bytes
// choose, plated or not, the copper parted by nets now and then) must mesh
// as soundly.
#include <cmath>
#include <cstdint>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "common/error.hpp"
#include "convert/convert.hpp"
#include "exact/board_extent.hpp"
#include "exact/exact.hpp"
#include "fuzz_check.hpp"
#include "photoplot/reader.hpp"
#include "stl/solid_files.hpp"
#include "support/mesh_check.hpp"

namespace {

// Objects beyond this are not converted: a few dozen already make every kind
// of overlap, and the triangulation of thousands takes too long per input.
constexpr std::size_t kMaxObjects = 64;
// Meshes beyond this are not checked: the checks sort every edge, which under
// the sanitizers takes seconds for a few hundred thousand triangles, and a
// few thousand already hold every case the checks look for.
constexpr std::size_t kMaxCheckedTriangles = 20'000;

class CountingSink : public foilcad::ByteSink {
 public:
  void write(std::string_view bytes) override { total_ += bytes.size(); }
  std::uint64_t total() const { return total_; }

 private:
  std::uint64_t total_ = 0;
};

void check_problem(const std::optional<std::string>& problem) {
  if (problem) foilcad::fuzz::broken(problem->c_str());
}

// Holes at the first objects' points, so that they meet the copper, its
// clearances and each other: from the last bytes, a diameter of 0.05 to 2 mm,
// a slot along a stroke, the plating.
void check_drilled(const foilcad::Drawing& drawing, const std::uint8_t* data, std::size_t size) {
  using foilcad::fuzz::check;
  constexpr std::size_t kHoles = 8;
  foilcad::exact::ExactOptions options;
  options.tolerance = 0.01;
  options.z2 = 0.035;
  options.extent = foilcad::exact::board_extent(drawing).box;
  options.hole_files = {"fuzz.drl"};
  options.nets = size % 2 == 0;
  for (std::size_t k = 0; k < drawing.objects.size() && k < kHoles && k < size; ++k) {
    const foilcad::DrawingObject& object = drawing.objects[k];
    const std::uint8_t byte = data[size - 1 - k];
    foilcad::Hole h;
    h.from = object.from;
    h.to = (byte & 0x80) != 0 && object.kind == foilcad::DrawingObject::Kind::stroke ? object.to
                                                                                     : object.from;
    h.diameter = 0.05 * (1 + byte % 40);
    h.plating = (byte & 0x40) != 0 ? foilcad::Plating::plated : foilcad::Plating::non_plated;
    h.line = k + 1;
    options.holes.push_back(h);
  }
  if (options.holes.empty()) return;
  foilcad::exact::ExactSolids made;
  try {
    made = foilcad::exact::build_exact_solids(drawing, options);
  } catch (const foilcad::Error& e) {
    const std::string_view what(e.what());
    check(what.find("fuzz.gbr") != std::string_view::npos ||
              what.find("fuzz.drl") != std::string_view::npos,
          "an error of the drilled board that does not name a file");
    return;
  }
  std::size_t triangles = 0;
  for (const foilcad::MeshBody& b : made.bodies) triangles += b.mesh.triangles.size();
  if (triangles > 0 && triangles <= kMaxCheckedTriangles) {
    check_problem(foilcad::exact::check_solids(made, 0.0, 0.035));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using foilcad::fuzz::check;
  if (size > 4096) return 0;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  foilcad::Drawing drawing;
  try {
    drawing = foilcad::read_photoplot_text(text, "fuzz.gbr");
    if (drawing.objects.size() > kMaxObjects) return 0;
    if (foilcad::make_boxes(drawing, foilcad::fuzz::read_limits()).rectangles.size() >
        4 * kMaxObjects) {
      return 0;  // step and repeat or regions that make thousands of shapes
    }
  } catch (const foilcad::Error&) {
    return 0;  // the reader target looks at these
  }
  foilcad::conversion_parameters parameters =
      foilcad::make_conversion_parameters("fuzz.gbr", 0.0, 0.035);
  parameters.geometry = foilcad::Geometry::exact;
  parameters.stl.format = foilcad::StlFormat::ascii;
  parameters.tolerance = 0.01;  // fewer chords: the checks, not the detail, are the point
  foilcad::ConversionReport report;
  foilcad::MeshSolids solids;
  try {
    solids = std::get<foilcad::MeshSolids>(foilcad::build_solids(drawing, parameters, report));
  } catch (const foilcad::Error& e) {
    // A refusal must say where: the file's name at least.
    check(std::string_view(e.what()).find("fuzz.gbr") != std::string_view::npos,
          "an error that does not name the file");
    return 0;
  }
  const foilcad::exact::ExactSolids made{
      solids.bodies, report.copper_area, report.board_area, {}, {}, {}};
  check(std::isfinite(report.copper_area) && report.copper_area >= 0, "a copper area below 0");
  check(report.copper_area <= report.board_area * (1 + 1e-9), "more copper than board");
  std::size_t triangles = 0;
  for (const foilcad::MeshBody& b : solids.bodies) triangles += b.mesh.triangles.size();
  if (triangles > kMaxCheckedTriangles) return 0;
  if (triangles > 0) {
    check_problem(foilcad::exact::check_solids(made, 0.0, 0.035));
  }
  for (const auto format : {foilcad::StlFormat::ascii, foilcad::StlFormat::binary}) {
    const foilcad::SolidSizes measured = foilcad::measure_mesh_solids(format, solids.bodies);
    std::vector<CountingSink> counted(solids.bodies.size());
    std::vector<foilcad::ByteSink*> sinks;
    for (CountingSink& c : counted) sinks.push_back(&c);
    const foilcad::SolidSizes written = foilcad::emit_mesh_solids(sinks, solids.bodies, format);
    check(written == measured, "mesh solids written with other counts than measured");
    for (std::size_t b = 0; b < counted.size(); ++b) {
      check(counted[b].total() == measured[b].bytes,
            "mesh solids written with other bytes than measured");
    }
  }
  check_drilled(drawing, data, size);
  return 0;
}
