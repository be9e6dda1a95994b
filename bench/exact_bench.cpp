// foilcad-bench exact: the exact model's stages on generated boards of growing
// size and on given photoplots, each beside the grid model (merged binary
// solids, its cheapest output) on the same board in the same run.
//
//   foilcad-bench exact [--dir DIR] [--runs N] [--objects N,N,...] [FILE.gbr ...]
//   foilcad-bench exact board OBJECTS FILE.gbr   (writes one generated board)
//   foilcad-bench exact circle VERTICES FILE.gbr (a circle of 40 mm radius as one region)
//   foilcad-bench exact holes BOARD.gbr HOLES [RUNS] [--pads] (the board with
//       and without that many plated holes on a 1.27 mm lattice: vias of 0.3 mm,
//       one in five a component hole of 0.8 or 1.0 mm; with --pads, a board
//       that real-board wrote gets a pad flashed at each hole first, 0.6 mm for
//       a via and 1.2 mm for a component hole, as layers that holes pass through
//       carry them)
#include "exact_bench.hpp"

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <numeric>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "convert/convert.hpp"

namespace fs = std::filesystem;

namespace foilcad::bench {
namespace {

using Clock = std::chrono::steady_clock;

double since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

double median(std::vector<double> values) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const std::size_t n = values.size();
  return n % 2 == 1 ? values[n / 2] : 0.5 * (values[n / 2 - 1] + values[n / 2]);
}

// A board in millimetres (4.6 format) with the shapes the exact model traces:
// per hundred objects about 30 round pads, 15 rectangular, 5 obround and 3
// octagonal pads, 35 tracks (a fifth of them diagonal), 5 arcs, 5 thermal
// flashes, and now and then a pour (a region) with a cleared slot in it. The
// side grows with the root of the object count: 52 mm for 1,000 objects,
// 407 mm for 150,000.
std::string make_exact_board(int objects, unsigned seed) {
  std::mt19937_64 rng(seed);
  const auto pick = [&](long long lo, long long hi) {
    return lo + static_cast<long long>(rng() % static_cast<unsigned long long>(hi - lo + 1));
  };
  constexpr long long kMm = 1000000;
  const long long side = (20 + static_cast<long long>(std::sqrt(objects))) * kMm;
  const auto at = [&] { return pick(kMm, side - kMm); };
  std::string text = "G04 foilcad-bench exact board*\n%FSLAX46Y46*%\n%MOMM*%\n";
  text += "%AMTHERMAL*7,0,0,1.2,0.8,0.2,45*%\n";
  text += "%ADD10C,0.6*%\n%ADD11C,1.2*%\n%ADD12R,1.0X0.6*%\n%ADD13O,1.5X0.8*%\n";
  text += "%ADD14P,1.0X8*%\n%ADD15C,0.15*%\n%ADD16C,0.3*%\n%ADD17R,0.25X0.25*%\n";
  text += "%ADD18THERMAL*%\n";
  char line[512];
  const auto add = [&](const char* format, auto... values) {
    std::snprintf(line, sizeof line, format, values...);
    text += line;
  };
  for (int o = 0; o < objects; ++o) {
    const long long kind = pick(0, 99);
    const long long x = at();
    const long long y = at();
    if (kind < 53) {
      const int aperture = kind < 30   ? 10 + static_cast<int>(kind % 2)
                           : kind < 45 ? 12
                           : kind < 50 ? 13
                                       : 14;
      add("D%d*\nX%lldY%lldD03*\n", aperture, x, y);
    } else if (kind < 88) {
      const long long length = pick(kMm / 2, 8 * kMm);
      const bool diagonal = kind < 60;
      const bool vertical = kind % 2 == 0;
      const long long x2 = std::clamp(x + (diagonal || !vertical ? length : 0), kMm, side - kMm);
      const long long y2 = std::clamp(y + (diagonal || vertical ? length : 0), kMm, side - kMm);
      add("D%lld*\nX%lldY%lldD02*\nX%lldY%lldD01*\n", kind < 85 ? 15 + kind % 2 : 17LL, x, y, x2,
          y2);
    } else if (kind < 93) {
      const long long r = pick(kMm / 2, 3 * kMm);
      // Half a circle, below the chord from the start to the end.
      add("D15*\nG75*\nX%lldY%lldD02*\nG03X%lldY%lldI%lldJ0D01*\nG01*\n", x, y, x + 2 * r, y, r);
    } else if (kind < 98) {
      add("D18*\nX%lldY%lldD03*\n", x, y);
    } else {
      // A pour with a cleared slot: a region, then a clear stroke across it.
      const long long w = pick(2 * kMm, 6 * kMm);
      const long long h = pick(2 * kMm, 6 * kMm);
      add("G36*\nX%lldY%lldD02*\nX%lldY%lldD01*\nX%lldY%lldD01*\nX%lldY%lldD01*\nX%lldY%lldD01*\n"
          "G37*\n%%LPC*%%\nD16*\nX%lldY%lldD02*\nX%lldY%lldD01*\n%%LPD*%%\n",
          x, y, x + w, y, x + w, y + h, x, y + h, x, y, x + w / 4, y + h / 2, x + 3 * w / 4,
          y + h / 2);
    }
  }
  text += "M02*\n";
  return text;
}

// A circle of radius 40 mm about (50, 50) as one region (G36) of `vertices`
// vertices on it, as tools that flatten arcs finely write a pour's edge.
std::string make_dense_circle(long long vertices) {
  std::string text = "G04 foilcad-bench exact circle*\n%FSLAX46Y46*%\n%MOMM*%\nG36*\n";
  text.reserve(static_cast<std::size_t>(vertices) * 26 + 100);
  char line[96];
  constexpr double kPi = 3.14159265358979323846;
  for (long long k = 0; k <= vertices; ++k) {
    const double a = 2.0 * kPi * static_cast<double>(k % vertices) / static_cast<double>(vertices);
    std::snprintf(line, sizeof line, "X%lldY%lld%s*\n",
                  std::llround((50.0 + 40.0 * std::cos(a)) * 1e6),
                  std::llround((50.0 + 40.0 * std::sin(a)) * 1e6), k == 0 ? "D02" : "D01");
    text += line;
  }
  return text + "G37*\nM02*\n";
}

bool write_file(const char* path, const std::string& text) {
  std::FILE* f = std::fopen(path, "wb");
  const bool written = f != nullptr && std::fwrite(text.data(), 1, text.size(), f) == text.size();
  if (f != nullptr) std::fclose(f);
  return written;
}

struct ExactResult {
  char board[96] = {};
  std::size_t objects = 0;
  double seconds[kStages] = {};
  double exact_total = 0;
  double grid_total = 0;
  std::uint64_t triangles = 0;
  std::uint64_t bytes = 0;
  double copper_area = 0;
  double peak_mb = 0;
  bool ok = false;
};

double peak_rss_mb() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_maxrss) / 1024.0;
}

// One conversion with each model, the exact one first so that the peak
// memory is its own (the grid's, run after, is usually smaller).
ExactResult measure(const fs::path& file, const fs::path& dir, int runs) {
  ExactResult result;
  std::snprintf(result.board, sizeof result.board, "%s", file.filename().c_str());
  std::vector<double> exact_runs, grid_runs;
  std::vector<std::vector<double>> stage_runs(kStages);
  for (int run = 0; run < runs; ++run) {
    conversion_parameters p = make_conversion_parameters(file, 0.0, 0.035, dir);
    p.geometry = Geometry::exact;
    p.stl.format = StlFormat::ascii;
    Clock::time_point start = Clock::now();
    const ConversionReport report = convert(p);
    exact_runs.push_back(since(start));
    for (int s = 0; s < kStages; ++s) stage_runs[s].push_back(report.seconds[s]);
    result.objects = report.objects.flashes + report.objects.strokes + report.objects.arcs +
                     report.objects.regions;
    result.triangles = total_facets(report);
    result.bytes = total_bytes(report);
    result.copper_area = report.copper_area;
    if (run == 0) result.peak_mb = peak_rss_mb();

    p.geometry = Geometry::grid;
    p.stl = {StlFormat::binary, true};
    start = Clock::now();
    convert(p);
    grid_runs.push_back(since(start));
    fs::remove(p.conductor_path);
    fs::remove(p.insulator_path);
  }
  for (int s = 0; s < kStages; ++s) result.seconds[s] = median(stage_runs[s]);
  result.exact_total = median(exact_runs);
  result.grid_total = median(grid_runs);
  result.ok = true;
  return result;
}

// Runs the measurement in a child, so that its peak memory is its own.
bool measure_in_child(const fs::path& file, const fs::path& dir, int runs, ExactResult& result) {
  int channel[2];
  if (::pipe(channel) != 0) return false;
  const pid_t child = ::fork();
  if (child == 0) {
    ::close(channel[0]);
    try {
      const ExactResult r = measure(file, dir, runs);
      if (::write(channel[1], &r, sizeof r) != sizeof r) _exit(1);
    } catch (const std::exception& e) {
      std::fprintf(stderr, "foilcad-bench: %s\n", e.what());
      _exit(1);
    }
    _exit(0);
  }
  ::close(channel[1]);
  const bool ok = ::read(channel[0], &result, sizeof result) == sizeof result;
  ::close(channel[0]);
  int status = 0;
  ::waitpid(child, &status, 0);
  return ok && result.ok;
}

void print_row(const ExactResult& r) {
  const auto s = [&](Stage stage) { return r.seconds[static_cast<int>(stage)]; };
  std::printf(
      "| %s | %zu | %.3f | %.3f | %.3f | %.3f | %.3f | %.3f | %.1f | %.2f | %.1f | %.0f |\n",
      r.board, r.objects, s(Stage::read), s(Stage::contours), s(Stage::mesh), s(Stage::write),
      r.exact_total, r.grid_total, r.exact_total / r.grid_total,
      static_cast<double>(r.triangles) / 1e6, static_cast<double>(r.bytes) / 1e6, r.peak_mb);
  std::fflush(stdout);
}

struct Drilling {
  std::string drill;  // the Excellon file
  std::string pads;   // a pad flashed at each hole, in real-board's Gerber format
};

// A drill file of `holes` plated holes at distinct places of a 1.27 mm
// lattice over the box (holes of real boards do not overlap), in KiCad's
// decimal metric form, and their pads; none when the lattice has too few
// places.
std::optional<Drilling> make_holes(const Box& box, long long holes, unsigned seed) {
  constexpr double kPitch = 1.27;
  const long long nx = static_cast<long long>((box.max_x - box.min_x - 2) / kPitch);
  const long long ny = static_cast<long long>((box.max_y - box.min_y - 2) / kPitch);
  if (nx <= 0 || ny <= 0 || nx * ny < holes) return std::nullopt;
  std::vector<long long> places(static_cast<std::size_t>(nx * ny));
  std::iota(places.begin(), places.end(), 0LL);
  std::mt19937_64 rng(seed);
  std::shuffle(places.begin(), places.end(), rng);
  std::vector<std::string> by_tool(3);
  Drilling out;
  // Pads: D90 for vias, D91 for component holes; millimetres with 6 decimals.
  out.pads = "%ADD90C,0.60*%\n%ADD91C,1.20*%\n%LPD*%\n";
  char line[96];
  int aperture = 0;
  for (long long h = 0; h < holes; ++h) {
    const int tool = h % 5 != 4 ? 0 : h % 10 == 4 ? 1 : 2;
    const long long at = places[static_cast<std::size_t>(h)];
    const double x = box.min_x + 1 + kPitch * static_cast<double>(at % nx);
    const double y = box.min_y + 1 + kPitch * static_cast<double>(at / nx);
    std::snprintf(line, sizeof line, "X%.3fY%.3f\n", x, y);
    by_tool[tool] += line;
    const int pad = tool == 0 ? 90 : 91;
    if (pad != aperture) {
      std::snprintf(line, sizeof line, "D%d*\n", pad);
      out.pads += line;
      aperture = pad;
    }
    std::snprintf(line, sizeof line, "X%lldY%lldD03*\n", std::llround(x * 1e6),
                  std::llround(y * 1e6));
    out.pads += line;
  }
  out.drill = "M48\nMETRIC\nT1C0.300\nT2C0.800\nT3C1.000\n%\nG90\nG05\n";
  for (int t = 0; t < 3; ++t) {
    std::snprintf(line, sizeof line, "T%d\n", t + 1);
    out.drill += line;
    out.drill += by_tool[t];
  }
  out.drill += "T0\nM30\n";
  return out;
}

// The board with `pads` drawn last, before its end; none unless the board
// is in real-board's format (millimetres, 4.6 digits), which the pads use.
std::optional<std::string> with_pads(const fs::path& board, const std::string& pads) {
  std::ifstream in(board, std::ios::binary);
  if (!in) return std::nullopt;
  const std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  const std::size_t end = text.rfind("M02*");
  if (text.find("%FSLAX46Y46*%") == std::string::npos ||
      text.find("%MOMM*%") == std::string::npos || end == std::string::npos) {
    return std::nullopt;
  }
  return text.substr(0, end) + pads + text.substr(end);
}

// The exact model on a board, then on the board drilled with `holes` holes:
// the median time of each over runs.
int measure_holes(const fs::path& board, long long holes, int runs, bool pads) {
  const fs::path dir = fs::temp_directory_path() / "foilcad-bench-holes";
  fs::create_directories(dir);
  conversion_parameters p = make_conversion_parameters(board, 0.0, 0.035, dir);
  p.geometry = Geometry::exact;
  p.stl.format = StlFormat::binary;
  ConversionReport plain = convert(p);
  const fs::path drill = dir / "holes.drl";
  const std::optional<Drilling> made = make_holes(plain.extent, holes, 5000u);
  if (!made) {
    std::fprintf(stderr, "foilcad-bench: the board has no room for %lld holes 1.27 mm apart\n",
                 holes);
    return 2;
  }
  if (!write_file(drill.c_str(), made->drill)) return 1;
  if (pads) {
    const std::optional<std::string> padded = with_pads(board, made->pads);
    if (!padded) {
      std::fprintf(stderr, "foilcad-bench: --pads takes a board that real-board wrote\n");
      return 2;
    }
    const fs::path copy = dir / board.filename();
    if (!write_file(copy.c_str(), *padded)) return 1;
    p = make_conversion_parameters(copy, 0.0, 0.035, dir);
    p.geometry = Geometry::exact;
    p.stl.format = StlFormat::binary;
  }
  std::printf("| board | holes | contours s | mesh s | total s | ratio | triangles |\n");
  std::printf("|---|---:|---:|---:|---:|---:|---:|\n");
  double without = 0;
  for (const bool drilled : {false, true}) {
    p.drills.clear();
    if (drilled) p.drills.push_back({drill, Plating::plated});
    std::vector<double> totals, contours, meshes;
    ConversionReport report;
    for (int r = 0; r < runs; ++r) {
      const Clock::time_point start = Clock::now();
      report = convert(p);
      totals.push_back(since(start));
      contours.push_back(report.seconds[static_cast<int>(Stage::contours)]);
      meshes.push_back(report.seconds[static_cast<int>(Stage::mesh)]);
    }
    const double total = median(totals);
    if (!drilled) without = total;
    std::printf("| %s | %zu | %.3f | %.3f | %.3f | %.2f | %.2f M |\n", board.filename().c_str(),
                report.holes.holes, median(contours), median(meshes), total, total / without,
                static_cast<double>(total_facets(report)) / 1e6);
    std::fflush(stdout);
  }
  fs::remove_all(dir);
  return 0;
}

}  // namespace

int run_exact_bench(int argc, char** argv) {
  // The board with and without holes:
  // foilcad-bench exact holes BOARD.gbr HOLES [RUNS] [--pads]
  if (argc >= 3 && std::strcmp(argv[0], "holes") == 0) {
    const bool pads = std::strcmp(argv[argc - 1], "--pads") == 0;
    const int args = argc - (pads ? 1 : 0);
    if (args == 3 || args == 4) {
      return measure_holes(argv[1], std::atoll(argv[2]), args == 4 ? std::atoi(argv[3]) : 3, pads);
    }
  }
  // Writes one generated board: foilcad-bench exact board OBJECTS FILE.gbr
  if (argc == 3 && std::strcmp(argv[0], "board") == 0) {
    const int n = std::atoi(argv[1]);
    return write_file(argv[2], make_exact_board(n, 3000u + static_cast<unsigned>(n))) ? 0 : 1;
  }
  // Writes one dense region: foilcad-bench exact circle VERTICES FILE.gbr
  if (argc == 3 && std::strcmp(argv[0], "circle") == 0) {
    const long long n = std::atoll(argv[1]);
    if (n < 3) return 2;
    return write_file(argv[2], make_dense_circle(n)) ? 0 : 1;
  }
  fs::path dir = fs::temp_directory_path();
  int runs = 3;
  std::vector<int> objects = {1000, 10000, 50000, 150000};
  std::vector<fs::path> files;
  for (int a = 0; a < argc; ++a) {
    const std::string name = argv[a];
    if (name == "--dir" && a + 1 < argc) {
      dir = argv[++a];
    } else if (name == "--runs" && a + 1 < argc) {
      runs = std::max(1, std::atoi(argv[++a]));
    } else if (name == "--objects" && a + 1 < argc) {
      objects.clear();
      for (const char* p = argv[++a]; *p != '\0';) {
        if (const int n = std::atoi(p); n > 0) objects.push_back(n);
        p = std::strchr(p, ',');
        if (p == nullptr) break;
        ++p;
      }
    } else if (name.starts_with("--")) {
      std::fprintf(stderr, "foilcad-bench exact: unknown option %s\n", name.c_str());
      return 2;
    } else {
      files.emplace_back(name);
    }
  }
  std::printf("folder %s, medians of %d runs; grid = the grid model, merged binary solids\n\n",
              dir.c_str(), runs);
  std::printf(
      "| board | objects | read s | outlines s | mesh s | write s | exact s | grid s | "
      "exact/grid | triangles M | ascii MB | peak MB |\n");
  std::printf("|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|\n");
  std::vector<fs::path> generated;
  for (const int n : objects) {
    generated.push_back(dir / ("exact-" + std::to_string(n) + ".gbr"));
    const std::string text = make_exact_board(n, 3000u + static_cast<unsigned>(n));
    std::FILE* f = std::fopen(generated.back().c_str(), "wb");
    const bool written = f != nullptr && std::fwrite(text.data(), 1, text.size(), f) == text.size();
    if (f != nullptr) std::fclose(f);
    if (!written) return 1;
  }
  files.insert(files.begin(), generated.begin(), generated.end());
  int status = 0;
  for (const fs::path& file : files) {
    ExactResult result;
    if (!measure_in_child(file, dir, runs, result)) {
      std::fprintf(stderr, "foilcad-bench exact: %s failed\n", file.c_str());
      status = 1;
      continue;
    }
    print_row(result);
  }
  for (const fs::path& board : generated) fs::remove(board);
  return status;
}

}  // namespace foilcad::bench
