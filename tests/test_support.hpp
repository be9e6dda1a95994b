// Small helpers shared by the test programs: scratch folders and whole files.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iomanip>
#include <ostream>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "common/box.hpp"
#include "geometry/boxes.hpp"
#include "photoplot/reader.hpp"
#include "support/conversions.hpp"

namespace foilcad {

// Full precision in failure messages: the tests compare doubles bit for bit.
inline void PrintTo(const Box& r, std::ostream* os) {
  *os << std::setprecision(17) << "{x " << r.min_x << " .. " << r.max_x << ", y " << r.min_y
      << " .. " << r.max_y << "}";
}

// A photoplot as the tests of the reader look at it: its drawing, and the
// rectangles the grid model makes of it.
struct Plotted {
  Drawing drawing;
  std::vector<Box> rectangles;
  Box extremes = kNoExtremes;
  PolarityRuns clear_runs;
  bool has_frame = false;
  Box frame = kNoExtremes;  // of the outline, when there is one
  bool negative = false;
  ObjectCounts counts;
  std::vector<Warning> warnings;
  std::size_t records = 0;
  std::size_t first_active_ = 0;

  std::size_t first_active() const { return first_active_; }
  operator const Drawing&() const { return drawing; }  // NOLINT: build_board takes it
};

inline Plotted plotted(Drawing drawing, const BoxLimits& limits = {}) {
  Plotted p;
  DrawingBoxes boxes = make_boxes(drawing, limits);
  p.rectangles = std::move(boxes.rectangles);
  p.clear_runs = std::move(boxes.clear_runs);
  p.first_active_ = boxes.first_active;
  p.counts = drawing.counts;
  p.warnings = std::move(boxes.warnings);
  p.extremes = drawing.extremes;
  p.has_frame = drawing.frame.has_value();
  if (drawing.frame) p.frame = *drawing.frame;
  p.negative = drawing.negative;
  p.records = drawing.records;
  p.drawing = std::move(drawing);
  return p;
}

inline Plotted plot_text(std::string_view text, const std::filesystem::path& name,
                         const BoxLimits& limits = {}) {
  return plotted(read_photoplot_text(text, name), limits);
}

inline Plotted plot_file(const std::filesystem::path& path, const BoxLimits& limits = {}) {
  return plotted(read_photoplot(path), limits);
}

}  // namespace foilcad

namespace foilcad::test_support {

namespace fs = std::filesystem;

// A fresh folder under the system's temporary folder, removed with everything
// in it when the test ends.
class ScratchDir {
 public:
  ScratchDir() {
    std::string pattern = (fs::temp_directory_path() / "foilcad-test-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) ADD_FAILURE() << "mkdtemp failed";
    path_ = pattern;
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  ~ScratchDir() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
  }
  const fs::path& path() const { return path_; }
  fs::path operator/(const fs::path& name) const { return path_ / name; }

  // Names of the entries in the folder, sorted.
  std::vector<std::string> entries() const {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(path_))
      names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    return names;
  }

 private:
  fs::path path_;
};

inline std::string read_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  EXPECT_TRUE(in.good()) << "cannot open " << path;
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

inline void write_file(const fs::path& path, std::string_view bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  ASSERT_TRUE(out.good()) << "cannot write " << path;
}

inline bool contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

}  // namespace foilcad::test_support
