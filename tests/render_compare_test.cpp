// The preview against a renderer: for shapes the rectangle model holds
// exactly (rectangular apertures, axis-parallel strokes and regions, step and
// repeat, clear polarity), the picture of the cell map must agree with what
// gerbv draws over the same window, except within a pixel of an edge.
#include <gtest/gtest.h>
#include <png.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

struct Picture {
  int width = 0;
  int height = 0;
  std::vector<bool> lit;  // copper (preview) or foreground (renderer)

  bool at(int x, int y) const { return lit[static_cast<std::size_t>(y) * width + x]; }
};

Picture load(const fs::path& file) {
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  EXPECT_NE(png_image_begin_read_from_file(&image, file.c_str()), 0) << file;
  image.format = PNG_FORMAT_RGB;
  std::vector<unsigned char> pixels(PNG_IMAGE_SIZE(image));
  EXPECT_NE(png_image_finish_read(&image, nullptr, pixels.data(), 0, nullptr), 0) << file;
  Picture picture{static_cast<int>(image.width), static_cast<int>(image.height), {}};
  picture.lit.resize(pixels.size() / 3);
  for (std::size_t p = 0; p < picture.lit.size(); ++p) {
    // Copper is orange in the preview, the renderer's foreground white: both
    // are bright in red, which the insulator green and the black are not.
    picture.lit[p] = pixels[3 * p] > 127;
  }
  return picture;
}

bool near_edge(const Picture& p, int x, int y) {
  for (int dy = -1; dy <= 1; ++dy) {
    for (int dx = -1; dx <= 1; ++dx) {
      const int nx = x + dx;
      const int ny = y + dy;
      if (nx < 0 || ny < 0 || nx >= p.width || ny >= p.height) continue;
      if (p.at(nx, ny) != p.at(x, y)) return true;
    }
  }
  return false;
}

double json_number(const std::string& json, const std::string& key) {
  const std::size_t at = json.find("\"" + key + "\":");
  EXPECT_NE(at, std::string::npos) << key;
  return std::strtod(json.c_str() + at + key.size() + 3, nullptr);
}

std::string slurp(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

TEST(RenderCompare, PreviewAgreesWithGerbv) {
  if (std::system("command -v gerbv > /dev/null 2>&1") != 0)
    GTEST_SKIP() << "gerbv is not installed";
  const fs::path work =
      fs::temp_directory_path() / ("foilcad-render-" + std::to_string(::getpid()));
  fs::create_directories(work);
  constexpr int kDpi = 254;  // ten pixels a millimetre
  // The negative plane: gerbv draws the plane, which must be our copper.
  for (const char* name : {"rectangles", "regions", "negative-plane"}) {
    const fs::path input = fs::path(FOILCAD_TEST_DATA) / "render" / (std::string(name) + ".gbr");
    const fs::path preview = work / (std::string(name) + ".png");
    const fs::path rendered = work / (std::string(name) + "-gerbv.png");
    const fs::path json = work / (std::string(name) + ".json");
    const std::string convert = std::string(FOILCAD_CONVERT_EXE) + " -q --thickness 1 --dry-run" +
                                " --preview-dpi " + std::to_string(kDpi) + " --preview " +
                                preview.string() + " --json " + json.string() + " " +
                                input.string() + " 2>/dev/null";
    ASSERT_EQ(std::system(convert.c_str()), 0) << convert;
    const std::string summary = slurp(json);
    const double min_x = json_number(summary, "min_x");
    const double max_x = json_number(summary, "max_x");
    const double min_y = json_number(summary, "min_y");
    const double max_y = json_number(summary, "max_y");
    char window[256];
    std::snprintf(window, sizeof window, "--origin=%.6fx%.6f --window_inch=%.6fx%.6f", min_x / 25.4,
                  min_y / 25.4, (max_x - min_x) / 25.4 + 5e-7, (max_y - min_y) / 25.4 + 5e-7);
    const std::string gerbv = "gerbv --export=png --dpi=" + std::to_string(kDpi) + " " + window +
                              " --border=0 --background=#000000 --foreground=#ffffffff -o " +
                              rendered.string() + " " + input.string() + " > /dev/null 2>&1";
    ASSERT_EQ(std::system(gerbv.c_str()), 0) << gerbv;

    const Picture ours = load(preview);
    const Picture theirs = load(rendered);
    EXPECT_LE(std::abs(ours.width - theirs.width), 1) << name;
    EXPECT_LE(std::abs(ours.height - theirs.height), 1) << name;
    // Both windows start at the lower left corner, so rows are matched from
    // the bottom when the sides differ by a pixel.
    const int shift = theirs.height - ours.height;
    int compared = 0;
    int differing = 0;
    for (int y = std::max(0, -shift); y < std::min(ours.height, theirs.height - shift); ++y) {
      for (int x = 0; x < std::min(ours.width, theirs.width); ++x) {
        if (near_edge(ours, x, y) || near_edge(theirs, x, y + shift)) continue;
        ++compared;
        if (ours.at(x, y) != theirs.at(x, y + shift)) ++differing;
      }
    }
    EXPECT_GT(compared, ours.width * ours.height / 2) << name;
    EXPECT_EQ(differing, 0) << name << ": pixels that differ away from edges";
  }
  fs::remove_all(work);
}

}  // namespace
