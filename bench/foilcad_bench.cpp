// foilcad-bench: how fast each stage of a conversion runs on generated boards
// of growing size, run by hand (see README.md beside this file).
//
//   foilcad-bench [--dir DIR] [--runs N] [--features N,N,...] [--write-limit GB]
//                 [--reference-seconds S] [--reader-lines N] [--switches N,N,...]
//   foilcad-bench checksums BOARD.gbr THICKNESS [plain|grouped]
//       md5 sums of both solids from the plain (default) or the grouped
//       geometry through the simple writer (emit_grid_solids), nothing stored
//   foilcad-bench board FEATURES FILE.gbr   (writes a generated board)
//   foilcad-bench alternating SWITCHES FILE.gbr
//       (writes a board of flashes in alternating polarity)
//   foilcad-bench real-board PARTS FILE.gbr (writes a board shaped like real ones)
//   foilcad-bench exact [--dir DIR] [--runs N] [--objects N,...] [FILE.gbr ...]
//       the exact model by stage beside the grid model (exact_bench.cpp)
//   foilcad-bench mixed-board UNITS FILE.gbr
//       (writes a board of every kind of object: flashes of standard and macro
//       apertures, strokes, arcs, regions)
//   foilcad-bench read FILE.gbr [RUNS]
//       the reader on a file: the drawing, and the drawing with its rectangles
//   foilcad-bench drill-file HOLES FILE.drl
//       (writes a drill file of that many holes and slots, as KiCad writes one)
//   foilcad-bench read-drill FILE.drl [RUNS]
//       the drill reader on a file
//   foilcad-bench layouts [--dir DIR] [--runs N] [--write-limit GB]
//                 [--features N,...] [--real-parts N,...]
//       facets and bytes of the default, merged and binary solids, and their
//       writes against raw writes of as many bytes
//
// Every size runs in a child process of its own, so that its peak memory is
// its own. Times are medians of --runs runs. The writer is measured against a
// raw O_DIRECT write of the same byte count in 1 MiB blocks to the same
// folder, the two taking turns, because the disk's speed drifts during a run.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <initializer_list>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "common/error.hpp"
#include "convert/convert.hpp"
#include "drill/drill.hpp"
#include "exact_bench.hpp"
#include "geometry/boxes.hpp"
#include "geometry/geometry.hpp"
#include "geometry/reference.hpp"
#include "photoplot/reader.hpp"
#include "stl/facets.hpp"
#include "stl/solid_files.hpp"

namespace fs = std::filesystem;
using namespace foilcad;

namespace {

// The rectangles the grid model makes of a photoplot, and its extremes.
struct BoardRectangles {
  std::vector<Box> rectangles;
  Box extremes = kNoExtremes;
};

BoardRectangles read_rectangles(const fs::path& file) {
  const Drawing drawing = read_photoplot(file);
  return {make_boxes(drawing).rectangles, drawing.extremes};
}

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

// A board as a layout tool writes it: 2.4 format in inches, a frame of four
// strokes first, then pads on a 25 mil routing grid and tracks between grid
// points, mostly horizontal and vertical, in four widths. The routing grid
// grows with the feature count up to 364 x 364 points, so that 1,500 features
// give some 2,000 grid lines per axis and 10,000 to 40,000 features about
// Four strokes of aperture D10 around the square from 0 to edge on both
// axes (1e-4 inch): the board outline the generated boards begin with.
std::string outline_frame(long long edge) {
  char line[256];
  std::snprintf(line, sizeof line,
                "G54D10*\nX0Y0D02*\nX%lldY0D01*\nX%lldY%lldD01*\nX0Y%lldD01*\nX0Y0D01*\n", edge,
                edge, edge, edge);
  return line;
}

// 5,000; 50,000 features get twice the points and about 10,000 lines.
std::string make_board(int features, unsigned seed) {
  std::mt19937_64 rng(seed);
  const auto pick = [&](long long lo, long long hi) {
    return lo + static_cast<long long>(rng() % static_cast<unsigned long long>(hi - lo + 1));
  };
  const long long pitch = 250;  // 0.025 inch in 1e-4 inch
  const long long cap = 364 * std::max(1, features / 20000);
  const long long span = std::clamp<long long>(features / 5, 40, cap);
  std::string text = "G04 foilcad-bench board*\n%FSLAX24Y24*%\n%MOIN*%\n";
  text += "%ADD010C,0.0100*%\n%ADD011C,0.0080*%\n%ADD012C,0.0120*%\n%ADD013C,0.0200*%\n";
  text += "%ADD014C,0.0600*%\n%ADD015R,0.0700X0.0700*%\n%ADD016R,0.0500X0.0300*%\n";
  const long long edge = (span + 1) * pitch;
  text += outline_frame(edge);
  char line[256];
  long long x = 0;
  long long y = 0;
  for (int f = 0; f < features; ++f) {
    if (pick(0, 99) < 40) {
      std::snprintf(line, sizeof line, "G54D%lld*\nX%lldY%lldD03*\n", pick(13, 16),
                    pick(1, span) * pitch, pick(1, span) * pitch);
      text += line;
      continue;
    }
    if (pick(0, 99) < 30) {
      x = pick(1, span);
      y = pick(1, span);
      std::snprintf(line, sizeof line, "G54D%lld*\nX%lldY%lldD02*\n", pick(10, 13), x * pitch,
                    y * pitch);
      text += line;
    }
    // Mostly horizontal and vertical runs, now and then a short 45 degree one.
    const long long kind = pick(0, 19);
    const long long length = kind == 0 ? pick(1, 5) : pick(1, 40);
    const long long step_x = pick(0, 1) != 0 ? length : -length;
    const long long step_y = pick(0, 1) != 0 ? length : -length;
    if (kind == 0 || kind % 2 == 1) x = std::clamp(x + step_x, 1LL, span);
    if (kind == 0 || kind % 2 == 0) y = std::clamp(y + step_y, 1LL, span);
    std::snprintf(line, sizeof line, "X%lldY%lldD01*\n", x * pitch, y * pitch);
    text += line;
  }
  text += "M02*\n";
  return text;
}

// A board shaped like the copper layers layout tools write, in millimetres
// (4.6 format): a ground pour with chamfered corners (their slanted edges
// become slabs), cleared around every pad and track and filled in again; many
// small pads (rows of chip pads, two-pad parts, vias) and long tracks, mostly
// horizontal and vertical with now and then a short 45 degree jog. The board's
// side grows with the root of the part count: 90 mm for 100 parts, 220 mm for
// 1,000.
std::string make_real_board(int parts, unsigned seed) {
  std::mt19937_64 rng(seed);
  const auto pick = [&](long long lo, long long hi) {
    return lo + static_cast<long long>(rng() % static_cast<unsigned long long>(hi - lo + 1));
  };
  constexpr long long kMm = 1000000;  // coordinate units per millimetre
  constexpr long long kStep = 50000;  // placement grid, 0.05 mm
  const long long side = (30 + static_cast<long long>(6 * std::sqrt(parts))) * kMm;
  const auto on_board = [&](long long v) { return std::clamp(v, 2 * kMm, side - 2 * kMm); };
  // A point on the placement grid with room for a part reaching `size`
  // further, at least 4 mm inside the outline.
  const auto place = [&](long long size) {
    return pick(4 * kMm / kStep, (side - 4 * kMm - size) / kStep) * kStep;
  };

  struct Object {
    int aperture;  // 11 to 17; its clearance is aperture + 10
    long long x1, y1, x2, y2;
    bool flash;
  };
  std::vector<Object> objects;
  const auto track = [&](long long x, long long y, int width) {
    const int segments = static_cast<int>(pick(2, 4));
    for (int s = 0; s < segments; ++s) {
      long long nx = x;
      long long ny = y;
      if (pick(0, 9) == 0) {
        const long long d = pick(10, 40) * kStep;
        nx = on_board(x + (pick(0, 1) ? d : -d));
        ny = on_board(y + (pick(0, 1) ? d : -d));
      } else if (s % 2 == 0) {
        nx = on_board(x + (pick(0, 1) ? 1 : -1) * pick(40, 800) * kStep);
      } else {
        ny = on_board(y + (pick(0, 1) ? 1 : -1) * pick(40, 800) * kStep);
      }
      objects.push_back({width, x, y, nx, ny, false});
      x = nx;
      y = ny;
    }
  };
  for (int p = 0; p < parts; ++p) {
    const long long kind = pick(0, 99);
    if (kind < 15) {
      // A chip: two or four rows of pads.
      const long long pitch = std::array<long long, 3>{500000, 650000, 1270000}[pick(0, 2)];
      const long long count = pick(8, 32);
      const long long span = pitch * (count - 1);
      const bool quad = pick(0, 1) != 0;
      const long long x = place(span + 4 * kMm) + 2 * kMm;
      const long long y = place(span / 2 + 3 * kMm);
      for (long long n = 0; n < count; ++n) {
        objects.push_back({16, x + n * pitch, y, 0, 0, true});
        objects.push_back({16, x + n * pitch, y + span / 2 + 2 * kMm, 0, 0, true});
        if (quad) {
          objects.push_back({15, x - 2 * kMm, y + 1 * kMm + n * pitch / 2, 0, 0, true});
          objects.push_back({15, x + span + 2 * kMm, y + 1 * kMm + n * pitch / 2, 0, 0, true});
        }
        if (pick(0, 3) == 0) track(x + n * pitch, y, 13);
      }
    } else if (kind < 65) {
      // A two-pad part, with a track from each pad.
      const long long x = place(2 * kMm);
      const long long y = place(2 * kMm);
      const bool turned = pick(0, 1) != 0;
      const long long dx = turned ? 0 : 1600000;
      const long long dy = turned ? 1600000 : 0;
      objects.push_back({17, x, y, 0, 0, true});
      objects.push_back({17, x + dx, y + dy, 0, 0, true});
      track(x, y, static_cast<int>(pick(11, 13)));
      track(x + dx, y + dy, static_cast<int>(pick(11, 13)));
    } else {
      const long long x = place(kMm);
      const long long y = place(kMm);
      objects.push_back({14, x, y, 0, 0, true});
      if (pick(0, 1) != 0) track(x, y, static_cast<int>(pick(11, 12)));
    }
  }

  std::string text = "G04 foilcad-bench real-like board*\n%FSLAX46Y46*%\n%MOMM*%\n";
  // Tracks 0.2, 0.3, 0.15; via 0.6; chip pads 1.5 x 0.3 and 0.3 x 1.5; part
  // pads 0.9 x 0.8; each again 0.4 larger as its clearance in the pour.
  const char* const shapes[] = {"C,%.2f",      "C,%.2f",      "C,%.2f",     "C,%.2f",
                                "R,%.2fX%.2f", "R,%.2fX%.2f", "R,%.2fX%.2f"};
  const double sizes[][2] = {{0.2, 0},   {0.3, 0},   {0.15, 0}, {0.6, 0},
                             {1.5, 0.3}, {0.3, 1.5}, {0.9, 0.8}};
  char line[512];
  text += "%ADD10C,0.1*%\n";
  for (int grow = 0; grow < 2; ++grow) {
    for (int a = 0; a < 7; ++a) {
      char shape[64];
      const double g = grow * 0.4;
      std::snprintf(shape, sizeof shape, shapes[a], sizes[a][0] + g, sizes[a][1] + g);
      std::snprintf(line, sizeof line, "%%ADD%d%s*%%\n", 11 + a + 10 * grow, shape);
      text += line;
    }
  }
  std::snprintf(line, sizeof line,
                "D10*\nX0Y0D02*\nX%lldY0D01*\nX%lldY%lldD01*\nX0Y%lldD01*\nX0Y0D01*\n", side, side,
                side, side);
  text += line;
  // The pour: an octagon 0.5 mm inside the outline, corners cut 5 mm.
  const long long a = kMm / 2;
  const long long b = side - kMm / 2;
  const long long c = 5 * kMm;
  std::snprintf(line, sizeof line,
                "G36*\nX%lldY%lldD02*\nX%lldY%lldD01*\nX%lldY%lldD01*\nX%lldY%lldD01*\n"
                "X%lldY%lldD01*\nX%lldY%lldD01*\nX%lldY%lldD01*\nX%lldY%lldD01*\nX%lldY%lldD01*\n"
                "G37*\n",
                a + c, a, b - c, a, b, a + c, b, b - c, b - c, b, a + c, b, a, b - c, a, a + c,
                a + c, a);
  text += line;
  for (int pass = 0; pass < 2; ++pass) {
    text += pass == 0 ? "%LPC*%\n" : "%LPD*%\n";
    int current = 0;
    for (const Object& o : objects) {
      const int aperture = o.aperture + (pass == 0 ? 10 : 0);
      if (aperture != current) {
        std::snprintf(line, sizeof line, "D%d*\n", aperture);
        text += line;
        current = aperture;
      }
      if (o.flash) {
        std::snprintf(line, sizeof line, "X%lldY%lldD03*\n", o.x1, o.y1);
      } else {
        std::snprintf(line, sizeof line, "X%lldY%lldD02*\nX%lldY%lldD01*\n", o.x1, o.y1, o.x2,
                      o.y2);
      }
      text += line;
    }
  }
  text += "M02*\n";
  return text;
}

void write_text(const fs::path& path, const std::string& text) {
  FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr || std::fwrite(text.data(), 1, text.size(), file) != text.size()) {
    std::perror(path.c_str());
    std::exit(1);
  }
  std::fclose(file);
}

// Writes bytes with O_DIRECT in 1 MiB blocks, like "dd bs=1M oflag=direct",
// and returns the seconds taken: zeros as dd from /dev/zero writes them, or
// facet text, in case the disk treats blocks of zeros specially.
double raw_direct_write(const fs::path& path, std::uint64_t bytes, bool text) {
  constexpr std::size_t kBlock = std::size_t{1} << 20;
  char* block = static_cast<char*>(std::aligned_alloc(4096, kBlock + kMaxBoxBytes));
  std::memset(block, 0, kBlock);
  if (text) {
    const BoxFields box{format_number_field(1.5),  format_number_field(2.25),
                        format_number_field(-3.0), format_number_field(10.5),
                        format_number_field(0.0),  format_number_field(1.6)};
    for (char* at = block; at < block + kBlock;) at = cube(at, box, {true, false, true, false});
  }
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_DIRECT, 0644);
  if (fd < 0) {
    std::perror(path.c_str());
    std::exit(1);
  }
  const Clock::time_point start = Clock::now();
  for (std::uint64_t done = 0; done < bytes;) {
    const std::size_t length =
        static_cast<std::size_t>(std::min<std::uint64_t>(kBlock, bytes - done));
    const std::size_t whole = (length + 4095) / 4096 * 4096;  // dd pads the last block
    if (::write(fd, block, whole) < 0) {
      std::perror("raw write");
      std::exit(1);
    }
    done += length;
  }
  ::close(fd);
  const double seconds = since(start);
  std::free(block);
  fs::remove(path);
  return seconds;
}

struct Options {
  fs::path dir = fs::current_path();
  int runs = 3;
  std::vector<int> features = {10, 30, 100, 300, 1000, 1500, 3000, 10000, 20000, 50000};
  double write_limit_gb = 6;      // sizes with more output skip the writer
  double reference_seconds = 60;  // the plain geometry gets this long per run
  long long reader_lines = 1000000;
  // Polarity switches of the boards of alternating dark and clear flashes.
  std::vector<int> switches = {1000, 10000, 100000};
};

// What one size gave, sent from the child to the parent.
struct Result {
  int features = 0;
  std::size_t rectangles = 0;
  std::uint64_t pieces = 0;
  std::size_t grid_x = 0;
  std::size_t grid_y = 0;
  double read = 0;
  double split = 0;
  double lists = 0;
  double map = 0;
  double map_last_clear = 0;  // the same grid with the last rectangle clear
  double format_gbs = 0;      // to /dev/null
  double output_gb = 0;
  double write = 0;  // 0: not measured
  double raw = 0;
  double raw_text = 0;  // the same with facet text instead of zeros
  double convert = 0;   // the whole conversion, end to end
  double convert_raw = 0;
  double reference = 0;  // plain geometry; < 0: did not end in time
  bool reference_same = false;
  double peak_mb = 0;
};

double peak_rss_mb() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_maxrss) / 1024.0;
}

// Runs work in a child of its own, killed after the time allowed. work returns
// its seconds and whether its result equals the fast one. Returns the seconds
// (< 0 when it did not end).
template <class Work>
double run_in_child(double allowed, bool& same, Work work) {
  int channel[2];
  if (::pipe(channel) != 0) return -1;
  const pid_t child = ::fork();
  if (child == 0) {
    ::close(channel[0]);
    const auto [seconds, equal] = work();
    const double report[2] = {seconds, equal ? 1.0 : 0.0};
    if (::write(channel[1], report, sizeof report) < 0) _exit(1);
    _exit(0);
  }
  ::close(channel[1]);
  const Clock::time_point start = Clock::now();
  double report[2] = {-1, 0};
  for (;;) {
    int status = 0;
    if (::waitpid(child, &status, WNOHANG) == child) break;
    if (since(start) > allowed) {
      ::kill(child, SIGKILL);
      ::waitpid(child, &status, 0);
      ::close(channel[0]);
      return -1;
    }
    ::usleep(20000);
  }
  if (::read(channel[0], report, sizeof report) != sizeof report) report[0] = -1;
  ::close(channel[0]);
  same = report[1] != 0;
  return report[0];
}

// The plain geometry in a child: its seconds and whether its map and lists
// equal the fast ones.
double run_reference(const BoardRectangles& plot, const CoordinateLists& lists, const CellMap& map,
                     double allowed, bool& same) {
  return run_in_child(allowed, same, [&] {
    std::vector<Box> pieces = plot.rectangles;
    const Clock::time_point start = Clock::now();
    reference::split_rectangles(pieces);
    const CoordinateLists plain_lists = reference::build_coordinate_lists(pieces, plot.extremes);
    const CellMap plain_map = reference::build_cell_map(pieces, plain_lists);
    const double seconds = since(start);
    // Lists may keep another member of a group of values that differ by
    // rounding only; the map must be the same bit for bit.
    const auto close = [](const std::vector<double>& a, const std::vector<double>& b) {
      return a.size() == b.size() &&
             std::equal(a.begin(), a.end(), b.begin(),
                        [](double u, double v) { return u == v || std::fabs(u - v) < kTolerance; });
    };
    const bool equal =
        plain_map == map && close(plain_lists.x, lists.x) && close(plain_lists.y, lists.y);
    return std::pair{seconds, equal};
  });
}

Result measure(const Options& options, int features) {
  Result result;
  result.features = features;
  const fs::path board = options.dir / ("bench-" + std::to_string(features) + ".gbr");
  write_text(board, make_board(features, 1000u + static_cast<unsigned>(features)));

  std::vector<double> read, split, lists_time, map_time, map_last_clear, format, write, raw,
      raw_text, whole, whole_raw;
  CoordinateLists lists;
  CellMap map;
  BoardRectangles plot;
  for (int run = 0; run < options.runs; ++run) {
    Clock::time_point start = Clock::now();
    plot = read_rectangles(board);
    read.push_back(since(start));
    start = Clock::now();
    const SplitGroups split_board = split_rectangles(plot.rectangles, kFirstActive);
    split.push_back(since(start));
    start = Clock::now();
    lists = build_coordinate_lists(split_board, plot.extremes);
    lists_time.push_back(since(start));
    map = CellMap{};  // so that two maps never live at once
    start = Clock::now();
    map = build_cell_map(split_board, lists);
    map_time.push_back(since(start));
    result.rectangles = plot.rectangles.size();
    result.pieces = split_board.pieces;
  }
  result.grid_x = lists.x.size();
  result.grid_y = lists.y.size();

  // Formatting alone: the whole writer, into /dev/null.
  const Grid grid{std::move(lists), std::move(map)};
  const std::vector<GridBody> bodies = grid_bodies(0.0, 1.6);
  SolidSizes sizes;
  for (int run = 0; run < options.runs; ++run) {
    const int a = ::open("/dev/null", O_WRONLY);
    const int b = ::open("/dev/null", O_WRONLY);
    const OpenSolid files[] = {{a, "/dev/null"}, {b, "/dev/null"}};
    const Clock::time_point start = Clock::now();
    sizes = write_open_grid_solids(files, grid, bodies, {});
    format.push_back(since(start));
    ::close(a);
    ::close(b);
  }
  const auto bytes = total_bytes(sizes);
  result.output_gb = static_cast<double>(bytes) / 1e9;
  result.format_gbs = result.output_gb / median(format);

  if (result.output_gb <= options.write_limit_gb) {
    const fs::path raw_file = options.dir / "bench-raw.tmp";
    const auto parameters = make_conversion_parameters(board, 0.0, 1.6, options.dir);
    for (int run = 0; run < options.runs; ++run) {
      Clock::time_point start = Clock::now();
      const std::filesystem::path paths[] = {parameters.conductor_path, parameters.insulator_path};
      write_grid_solids(paths, grid, bodies);
      write.push_back(since(start));
      fs::remove(parameters.conductor_path);
      fs::remove(parameters.insulator_path);
      raw.push_back(raw_direct_write(raw_file, bytes, false));
      raw_text.push_back(raw_direct_write(raw_file, bytes, true));
      start = Clock::now();
      convert(parameters);
      whole.push_back(since(start));
      fs::remove(parameters.conductor_path);
      fs::remove(parameters.insulator_path);
      whole_raw.push_back(raw_direct_write(raw_file, bytes, false));
    }
  }
  result.read = median(read);
  result.split = median(split);
  result.lists = median(lists_time);
  result.map = median(map_time);
  result.write = median(write);
  result.raw = median(raw);
  result.raw_text = median(raw_text);
  result.convert = median(whole);
  result.convert_raw = median(whole_raw);
  result.peak_mb = peak_rss_mb();
  fs::remove(board);

  if (options.reference_seconds > 0) {
    std::vector<double> times;
    for (int run = 0; run < options.runs; ++run) {
      bool same = false;
      const double seconds = run_reference(plot, lists, map, options.reference_seconds, same);
      if (seconds < 0) {
        times.clear();
        break;
      }
      times.push_back(seconds);
      result.reference_same = same;
    }
    result.reference = times.empty() ? -1 : median(times);
  }

  // One clear rectangle takes the map through the polarity path. Measured
  // last, so that the stages above run exactly as without it.
  map = CellMap{};
  const SplitGroups split_board = split_rectangles(plot.rectangles, kFirstActive);
  const std::size_t active = split_board.bounds.size();
  const PolarityRuns last_clear = {{active - 1, active}};
  for (int run = 0; run < options.runs; ++run) {
    map = CellMap{};
    const Clock::time_point start = Clock::now();
    map = build_cell_map(split_board, lists, last_clear);
    map_last_clear.push_back(since(start));
  }
  result.map_last_clear = median(map_last_clear);
  return result;
}

// Runs work() in a child so that each measurement's peak memory is its own;
// the child hands its result back through a pipe (the results are plain
// numbers).
template <class R, class Work>
bool in_child(R& result, Work work) {
  int channel[2];
  if (::pipe(channel) != 0) return false;
  const pid_t child = ::fork();
  if (child == 0) {
    ::close(channel[0]);
    try {
      const R r = work();
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
  return ok;
}

bool measure_in_child(const Options& options, int features, Result& result) {
  return in_child(result, [&] { return measure(options, features); });
}

void print_header() {
  std::printf(
      "| features | rects | pieces | grid | read s | split s | lists s | map s | map s, last "
      "clear | geometry s | "
      "vs plain | format GB/s | output GB | write GB/s | raw GB/s | write/raw | raw text GB/s | "
      "convert/raw | "
      "peak MB | MB allowed |\n");
  std::printf(
      "|---:|---:|---:|---|---:|---:|---:|---:|---:|---:|---|---:|---:|---:|---:|---:|---:|---:|"
      "---:|---:|\n");
}

void print_row(const Result& r) {
  const double geometry = r.split + r.lists + r.map;
  char versus[64] = "-";
  if (r.reference > 0) {
    std::snprintf(versus, sizeof versus, "%.3g s, x%.0f%s", r.reference, r.reference / geometry,
                  r.reference_same ? "" : " DIFFERENT");
  } else if (r.reference < 0) {
    std::snprintf(versus, sizeof versus, "> limit");
  }
  char write[160] = "- | - | - | - | -";
  if (r.write > 0) {
    const double write_gbs = r.output_gb / r.write;
    const double raw_gbs = r.output_gb / r.raw;
    std::snprintf(write, sizeof write, "%.2f | %.2f | %.2f | %.2f | %.2f", write_gbs, raw_gbs,
                  write_gbs / raw_gbs, r.output_gb / r.raw_text, r.convert_raw / r.convert);
  }
  const double cells = static_cast<double>(r.grid_x - 1) * static_cast<double>(r.grid_y - 1);
  std::printf(
      "| %d | %zu | %llu | %zu x %zu | %.3f | %.3f | %.3f | %.3f | %.3f | %.3f | %s | %.2f | "
      "%.2f | %s | %.0f | %.0f |\n",
      r.features, r.rectangles, static_cast<unsigned long long>(r.pieces), r.grid_x, r.grid_y,
      r.read, r.split, r.lists, r.map, r.map_last_clear, geometry, versus, r.format_gbs,
      r.output_gb, write, r.peak_mb, cells / 1e6 + 100);
  std::fflush(stdout);
}

// The drawing alone, and with the rectangles the grid model makes of it
// (what reading made before the reader handed over a drawing): medians.
struct ReadingTimes {
  double drawing = 0;
  double with_rectangles = 0;
  std::size_t rectangles = 0;
  int runs = 0;
};

ReadingTimes time_reading(const fs::path& file, int runs) {
  std::vector<double> times;
  std::vector<double> with_boxes;
  ReadingTimes result;
  for (int run = 0; run < runs; ++run) {
    Clock::time_point start = Clock::now();
    const Drawing drawing = read_photoplot(file);
    times.push_back(since(start));
    start = Clock::now();
    const DrawingBoxes boxes = make_boxes(drawing);
    with_boxes.push_back(times.back() + since(start));
    result.rectangles = boxes.rectangles.size();
  }
  result.drawing = median(times);
  result.with_rectangles = median(with_boxes);
  result.runs = runs;
  return result;
}

// The reader on a file of many plain lines.
void measure_reader(const Options& options) {
  std::string text = "%FSLAX24Y24*%\n%MOIN*%\n%ADD010C,0.0100*%\nG54D10*\n";
  std::mt19937_64 rng(7);
  char line[64];
  for (long long l = 0; l < options.reader_lines; ++l) {
    std::snprintf(line, sizeof line, "X%lluY%lluD0%d*\n",
                  static_cast<unsigned long long>(rng() % 100000),
                  static_cast<unsigned long long>(rng() % 100000), l % 3 == 0 ? 2 : 1);
    text += line;
  }
  const fs::path file = options.dir / "bench-reader.gbr";
  write_text(file, text);
  const ReadingTimes t = time_reading(file, std::max(options.runs, 3));
  fs::remove(file);
  std::printf("\nreader: %lld lines in %.3f s, %.3f s with the rectangles (medians of %d)\n",
              options.reader_lines, t.drawing, t.with_rectangles, t.runs);
}

// foilcad-bench read FILE [RUNS]: the same two times for any photoplot, for
// files of real boards; the second is what the read stage of a conversion
// (and the reader before it handed over a drawing) takes.
int read_file(const char* file, int runs) {
  const ReadingTimes t = time_reading(file, std::max(runs, 1));
  std::printf("read %s: %.4f s, %.4f s with the rectangles, %zu rectangles (medians of %d)\n", file,
              t.drawing, t.with_rectangles, t.rectangles, t.runs);
  return 0;
}

// Flashes in dark and clear turn, a polarity switch before each, the way a
// plane layer with many clearances may be written: a frame of four strokes,
// then round and rectangular pads on a 25 mil grid of 100 x 100 points, the
// same for every count, so that only the number of switches grows (the grid
// has some 600 lines a side). The pads are wider than the grid step, so later
// ones cut into earlier ones.
// Every kind of object the reader hands over, for timing the reader and the
// rectangles: after a frame of four strokes, units of one of four kinds at
// points of a 1.25 mm lattice 57 mm wide: four flashes of a rectangle,
// obround, polygon or one of three macros (centre line with a circle,
// polygon, thermal) (35 %), a move and four strokes of a round aperture
// (35 %), a quarter arc (20 %), a region of three lines and an arc at one of
// 20 places (10 %). Lines and arcs are written after "G01" and "G03", the way
// older tools write them.
std::string make_mixed_board(int units, unsigned seed) {
  std::mt19937_64 rng(seed);
  const auto pick = [&](long long lo, long long hi) {
    return lo + static_cast<long long>(rng() % static_cast<unsigned long long>(hi - lo));
  };
  const auto at = [](long long v) { return std::to_string(v * 1250000); };
  std::string text;
  const auto add = [&](std::initializer_list<std::string_view> parts) {
    for (const std::string_view part : parts) text.append(part);
  };
  text =
      "G04 mixed objects*\n%FSLAX46Y46*%\n%MOMM*%\n%LPD*%\n"
      "%AMRRECT*\n21,1,$1,$2,0,0,0*\n1,1,$3,$4,$5*\n%\n"
      "%AMOCT*\n5,1,8,0,0,$1,22.5*\n%\n"
      "%AMTHERM*\n7,0,0,$1,$2,$3,45*\n%\n"
      "%ADD10C,0.250000*%\n%ADD11R,1.500000X0.800000*%\n%ADD12O,1.200000X2.000000*%\n"
      "%ADD13P,1.500000X6X0*%\n%ADD14RRECT,1.6X0.9X0.5X0.3X0.2*%\n%ADD15OCT,1.4*%\n"
      "%ADD16THERM,2.0X1.4X0.3*%\n%ADD17C,0.500000*%\n"
      "D10*\nX0Y0D02*\nX60000000Y0D01*\nX60000000Y60000000D01*\nX0Y60000000D01*\nX0Y0D01*\n"
      "G75*\n";
  struct Spot {
    long long x, y, size;
  };
  std::vector<Spot> spots;
  for (int k = 0; k < 20; ++k) spots.push_back({pick(2, 40), pick(2, 40), pick(2, 6)});
  for (int unit = 0; unit < units; ++unit) {
    const long long kind = pick(0, 100);
    if (kind < 35) {
      add({"D", std::to_string(pick(11, 17)), "*\n"});
      for (int f = 0; f < 4; ++f) add({"X", at(pick(2, 46)), "Y", at(pick(2, 46)), "D03*\n"});
    } else if (kind < 70) {
      add({"D", pick(0, 2) == 0 ? "10" : "17", "*\n"});
      long long x = pick(2, 46);
      long long y = pick(2, 46);
      add({"X", at(x), "Y", at(y), "D02*\n"});
      for (int s = 0; s < 4; ++s) {
        long long& v = pick(0, 2) == 0 ? x : y;
        v = std::clamp<long long>(v + pick(-8, 9), 2, 46);
        add({"G01X", at(x), "Y", at(y), "D01*\n"});
      }
    } else if (kind < 90) {
      const long long x = pick(2, 46);
      const long long y = pick(2, 46);
      const long long r = pick(1, 4);
      add({"D10*\nX", at(x + r), "Y", at(y), "D02*\n"});
      add({"G03X", at(x), "Y", at(y + r), "I-", at(r), "J0D01*\nG01*\n"});
    } else {
      const Spot& p = spots[static_cast<std::size_t>(pick(0, 20))];
      add({"G36*\nX", at(p.x), "Y", at(p.y), "D02*\nG01X", at(p.x + p.size), "Y", at(p.y),
           "D01*\nX", at(p.x + p.size), "Y", at(p.y + p.size), "D01*\n"});
      add({"G03X", at(p.x + p.size - 1), "Y", at(p.y + p.size + 1), "I0J", at(1), "D01*\nG01X",
           at(p.x), "Y", at(p.y), "D01*\nG37*\n"});
    }
  }
  text += "M02*\n";
  return text;
}

std::string make_alternating_board(int switches, unsigned seed) {
  std::mt19937_64 rng(seed);
  const auto pick = [&](long long lo, long long hi) {
    return lo + static_cast<long long>(rng() % static_cast<unsigned long long>(hi - lo + 1));
  };
  const long long pitch = 250;
  const long long span = 100;
  std::string text = "G04 foilcad-bench alternating polarity*\n%FSLAX24Y24*%\n%MOIN*%\n";
  text += "%ADD010C,0.0100*%\n%ADD014C,0.0600*%\n%ADD015R,0.0700X0.0700*%\n";
  text += "%ADD016R,0.0500X0.0300*%\n";
  const long long edge = (span + 1) * pitch;
  text += outline_frame(edge);
  char line[256];
  for (int s = 0; s < switches; ++s) {
    text += s % 2 == 0 ? "%LPD*%\n" : "%LPC*%\n";
    if (pick(0, 9) == 0) {
      std::snprintf(line, sizeof line, "G54D%lld*\n", pick(14, 16));
      text += line;
    }
    std::snprintf(line, sizeof line, "X%lldY%lldD03*\n", pick(1, span) * pitch,
                  pick(1, span) * pitch);
    text += line;
  }
  text += "M02*\n";
  return text;
}

// The cell map of boards of alternating polarity, one pass against the runs
// laid one over the other (the layered reference, in a child killed after
// --reference-seconds), and the map of the same grid without the clear runs
// (every rectangle dark: the map of boards without clear polarity).
void measure_polarity(const Options& options) {
  std::printf(
      "\n| switches | rects | clear runs | grid | read s | split s | lists s | map s | map s, all "
      "dark | layered s | layered / map |\n");
  std::printf("|---:|---:|---:|---|---:|---:|---:|---:|---:|---:|---|\n");
  for (const int switches : options.switches) {
    const fs::path file = options.dir / ("bench-polarity-" + std::to_string(switches) + ".gbr");
    write_text(file, make_alternating_board(switches, 2000u + static_cast<unsigned>(switches)));
    std::vector<double> read, split, lists_time, map_time, dark_time;
    DrawingBoxes plot;
    Box extremes = kNoExtremes;
    SplitGroups board;
    CoordinateLists lists;
    PolarityRuns runs;
    CellMap map;
    for (int run = 0; run < options.runs; ++run) {
      Clock::time_point start = Clock::now();
      // Reading includes making the rectangles, as the conversion's read stage does.
      const Drawing drawing = read_photoplot(file);
      plot = make_boxes(drawing);
      extremes = drawing.extremes;
      read.push_back(since(start));
      const std::size_t first_active = plot.first_active;
      start = Clock::now();
      board = split_rectangles(plot.rectangles, first_active);
      split.push_back(since(start));
      start = Clock::now();
      lists = build_coordinate_lists(board, extremes);
      lists_time.push_back(since(start));
      // Clear runs counted in active rectangles, as the conversion counts them.
      runs.clear();
      for (const auto& [first, second] : plot.clear_runs) {
        if (second <= first_active) continue;
        runs.emplace_back(std::max(first, first_active) - first_active, second - first_active);
      }
      map = CellMap{};
      start = Clock::now();
      map = build_cell_map(board, lists, runs);
      map_time.push_back(since(start));
      start = Clock::now();
      const CellMap dark = build_cell_map(board, lists);
      dark_time.push_back(since(start));
    }
    fs::remove(file);

    std::vector<double> layered;
    bool same = true;
    for (int run = 0; run < options.runs && options.reference_seconds > 0; ++run) {
      bool equal = false;
      const double seconds = run_in_child(options.reference_seconds, equal, [&] {
        const Clock::time_point start = Clock::now();
        const CellMap plain = reference::build_cell_map(board, lists, runs);
        return std::pair{since(start), plain == map};
      });
      if (seconds < 0) {
        layered.clear();
        break;
      }
      layered.push_back(seconds);
      same = same && equal;
    }
    char versus[96] = "- | -";
    if (!layered.empty()) {
      std::snprintf(versus, sizeof versus, "%.3f | x%.0f%s", median(layered),
                    median(layered) / median(map_time), same ? "" : " DIFFERENT");
    } else if (options.reference_seconds > 0) {
      std::snprintf(versus, sizeof versus, "> %.0f s | -", options.reference_seconds);
    }
    std::printf("| %d | %zu | %zu | %zu x %zu | %.3f | %.3f | %.3f | %.4f | %.4f | %s |\n",
                switches, plot.rectangles.size(), runs.size(), lists.x.size(), lists.y.size(),
                median(read), median(split), median(lists_time), median(map_time),
                median(dark_time), versus);
    std::fflush(stdout);
  }
}

// Streams both solids of the plain geometry and the simple writer into
// md5sum, for comparing with the files foilcad-convert writes.
class PipeSink : public ByteSink {
 public:
  explicit PipeSink(const char* label) {
    const std::string command = std::string("md5sum | sed 's/-$/") + label + "/'";
    // The label is ours and holds no quote or slash.
    pipe_ = ::popen(command.c_str(), "w");
  }
  ~PipeSink() override { ::pclose(pipe_); }
  void write(std::string_view bytes) override { std::fwrite(bytes.data(), 1, bytes.size(), pipe_); }

 private:
  FILE* pipe_;
};

// With plain, the geometry of the plain loops; otherwise the grouped stages
// (to check the block writer alone on boards the loops cannot finish).
int checksums(const char* board, double thickness, bool plain) {
  const Clock::time_point start = Clock::now();
  BoardRectangles plot = read_rectangles(board);
  CoordinateLists lists;
  CellMap map;
  if (plain) {
    reference::split_rectangles(plot.rectangles);
    lists = reference::build_coordinate_lists(plot.rectangles, plot.extremes);
    map = reference::build_cell_map(plot.rectangles, lists);
  } else {
    const SplitGroups split = split_rectangles(plot.rectangles, kFirstActive);
    lists = build_coordinate_lists(split, plot.extremes);
    map = build_cell_map(split, lists);
  }
  const char* how = plain ? "plain geometry" : "grouped geometry";
  std::fprintf(stderr, "%s: %zu x %zu lines in %.1f s\n", how, lists.x.size(), lists.y.size(),
               since(start));
  {
    PipeSink conductor((std::string("conductor, ") + how + ", simple writer").c_str());
    PipeSink insulator((std::string("insulator, ") + how + ", simple writer").c_str());
    ByteSink* const sinks[] = {&conductor, &insulator};
    emit_grid_solids(sinks, Grid{std::move(lists), std::move(map)}, grid_bodies(0.0, thickness),
                     StlOptions{});
  }
  return 0;
}

// ------------------------------------------------------------ encodings

// The outputs compared: the default, merged boxes (classic text), merged
// boxes in binary, and binary with a box per cell.
struct Layout {
  const char* name;
  StlOptions stl;
};
constexpr Layout kLayouts[] = {
    {"default", {StlFormat::classic, false}},
    {"merge", {StlFormat::classic, true}},
    {"merge binary", {StlFormat::binary, true}},
    {"binary", {StlFormat::binary, false}},
};
constexpr int kLayoutCount = 4;

// What one board gave in every layout, sent from the child to the parent.
struct LayoutResult {
  char board[32] = {};
  std::size_t grid_x = 0;
  std::size_t grid_y = 0;
  double geometry = 0;  // read to cell map, once
  std::uint64_t facets[kLayoutCount] = {};
  std::uint64_t bytes[kLayoutCount] = {};
  double count[kLayoutCount] = {};  // the counting pass, s
  double write[kLayoutCount] = {};  // write_solids, s; 0: not written
  double raw[kLayoutCount] = {};    // raw O_DIRECT write of as many bytes, s
  double peak_mb = 0;
};

LayoutResult measure_layouts(const Options& options, const std::string& kind, int size) {
  LayoutResult result;
  std::snprintf(result.board, sizeof result.board, "%s %d", kind.c_str(), size);
  const fs::path board = options.dir / ("layouts-" + kind + "-" + std::to_string(size) + ".gbr");
  write_text(board, kind == "real" ? make_real_board(size, 2000u + static_cast<unsigned>(size))
                                   : make_board(size, 1000u + static_cast<unsigned>(size)));
  const auto parameters = make_conversion_parameters(board, 0.0, 0.035, options.dir);
  ConversionReport report;
  Clock::time_point start = Clock::now();
  conversion_parameters classic = parameters;
  const Grid grid = std::get<GridSolids>(build_solids(classic, report)).grid;
  const std::vector<GridBody> bodies = grid_bodies(0.0, 0.035);
  const std::filesystem::path paths[] = {parameters.conductor_path, parameters.insulator_path};
  result.geometry = since(start);
  result.grid_x = grid.lists.x.size();
  result.grid_y = grid.lists.y.size();
  const fs::path raw_file = options.dir / "layouts-raw.tmp";
  for (int l = 0; l < kLayoutCount; ++l) {
    const StlOptions& stl = kLayouts[l].stl;
    std::vector<double> count, write, raw;
    SolidSizes sizes;
    for (int run = 0; run < options.runs; ++run) {
      start = Clock::now();
      sizes = measure_grid_solids(stl, grid, bodies);
      count.push_back(since(start));
    }
    result.facets[l] = sizes[0].facets + sizes[1].facets;
    result.bytes[l] = total_bytes(sizes);
    if (static_cast<double>(result.bytes[l]) / 1e9 <= options.write_limit_gb) {
      // As a conversion writes them: the sizes known from the grid stage.
      WriteOptions write_options;
      write_options.stl = stl;
      write_options.expected = sizes;
      for (int run = 0; run < options.runs; ++run) {
        start = Clock::now();
        write_grid_solids(paths, grid, bodies, write_options);
        write.push_back(since(start));
        fs::remove(parameters.conductor_path);
        fs::remove(parameters.insulator_path);
        raw.push_back(raw_direct_write(raw_file, result.bytes[l], false));
      }
    }
    result.count[l] = median(count);
    result.write[l] = median(write);
    result.raw[l] = median(raw);
  }
  result.peak_mb = peak_rss_mb();
  fs::remove(board);
  return result;
}

bool measure_layouts_in_child(const Options& options, const std::string& kind, int size,
                              LayoutResult& result) {
  return in_child(result, [&] { return measure_layouts(options, kind, size); });
}

std::string megabytes(std::uint64_t bytes) {
  char text[32];
  const double mb = static_cast<double>(bytes) / 1e6;
  std::snprintf(text, sizeof text, mb < 10 ? "%.2f" : "%.0f", mb);
  return text;
}

// write/raw (the throughput of the writer against a raw write of the same
// bytes, same folder, taking turns) and the writer's seconds.
std::string versus_raw(const LayoutResult& r, int l) {
  if (r.write[l] <= 0) return "-";
  char text[64];
  std::snprintf(text, sizeof text, "%.2f (%.3f s)", r.raw[l] / r.write[l], r.write[l]);
  return text;
}

void print_layout_row(const LayoutResult& r) {
  const double cells = static_cast<double>(r.grid_x - 1) * static_cast<double>(r.grid_y - 1);
  std::printf(
      "| %s | %zu x %zu | %.1f M | %.2f | %.1f M | %s | %.0f k | %s | %s | x%.0f | x%.0f | %.3f | "
      "%s | %s | %s | %s | %.0f |\n",
      r.board, r.grid_x, r.grid_y, cells / 1e6, r.geometry, static_cast<double>(r.facets[0]) / 1e6,
      megabytes(r.bytes[0]).c_str(), static_cast<double>(r.facets[1]) / 1e3,
      megabytes(r.bytes[1]).c_str(), megabytes(r.bytes[2]).c_str(),
      static_cast<double>(r.facets[0]) / static_cast<double>(r.facets[1]),
      static_cast<double>(r.bytes[0]) / static_cast<double>(r.bytes[2]), r.count[1],
      versus_raw(r, 0).c_str(), versus_raw(r, 1).c_str(), versus_raw(r, 2).c_str(),
      versus_raw(r, 3).c_str(), r.peak_mb);
  std::fflush(stdout);
}

int run_layouts(const Options& options, const std::vector<int>& real_parts) {
  std::printf("folder %s, medians of %d runs, write limit %.1f GB\n\n", options.dir.c_str(),
              options.runs, options.write_limit_gb);
  std::printf(
      "| board | grid | cells | geometry s | default facets | default MB | merged facets | "
      "merged MB | merged binary MB | facets default/merged | bytes default/merged binary | "
      "merge count s | write/raw default | merged | merged binary | binary | peak MB |\n");
  std::printf("|---|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---|---|---|---|---:|\n");
  std::vector<std::pair<std::string, int>> boards;
  for (const int f : options.features) boards.emplace_back("bench", f);
  for (const int p : real_parts) boards.emplace_back("real", p);
  for (const auto& [kind, size] : boards) {
    LayoutResult result;
    if (!measure_layouts_in_child(options, kind, size, result)) {
      std::fprintf(stderr, "foilcad-bench: %s %d failed\n", kind.c_str(), size);
      return 1;
    }
    print_layout_row(result);
  }
  return 0;
}

// A drill file as KiCad writes one in inches with trailing zeros kept: a
// header of eight tools with their attributes, then per tool its holes on a
// 0.1 mm lattice 300 mm square; one hole in fifty is a G85 slot.
std::string make_drill_file(long long holes, unsigned seed) {
  std::mt19937_64 rng(seed);
  std::string text =
      "M48\n; DRILL file {foilcad-bench}\n; FORMAT={2:4/ absolute / inch / suppress leading "
      "zeros}\nFMAT,2\nINCH,TZ\n";
  const double sizes[] = {0.0118, 0.0157, 0.0236, 0.0315, 0.0394, 0.0472, 0.0630, 0.1260};
  char line[128];
  for (int t = 1; t <= 8; ++t) {
    text += t == 1 ? "; #@! TA.AperFunction,Plated,PTH,ViaDrill\n"
                   : "; #@! TA.AperFunction,Plated,PTH,ComponentDrill\n";
    std::snprintf(line, sizeof line, "T%dC%.4f\n", t, sizes[t - 1]);
    text += line;
  }
  text += "%\nG90\nG05\n";
  const auto at = [&] { return static_cast<long long>(rng() % 118110); };  // 0.0001 inch
  for (int t = 1; t <= 8; ++t) {
    std::snprintf(line, sizeof line, "T%d\n", t);
    text += line;
    const long long count = holes / 8 + (t <= holes % 8 ? 1 : 0);
    for (long long h = 0; h < count; ++h) {
      if (h % 50 == 49) {
        const long long x = at();
        const long long y = at();
        std::snprintf(line, sizeof line, "X%lldY%lldG85X%lldY%lld\n", x, -y, x + 400, -y);
      } else {
        std::snprintf(line, sizeof line, "X%lldY%lld\n", at(), -at());
      }
      text += line;
    }
  }
  text += "T0\nM30\n";
  return text;
}

// foilcad-bench read-drill FILE [RUNS]: the median time of read_drill.
int read_drill_file(const char* file, int runs) {
  std::vector<double> times;
  std::size_t holes = 0;
  for (int r = 0; r < std::max(runs, 1); ++r) {
    const auto start = Clock::now();
    const DrillFile drill = read_drill(file, {});
    times.push_back(since(start));
    holes = drill.holes.size();
  }
  std::printf("read-drill %s: %zu holes in %.4f s (median of %d)\n", file, holes, median(times),
              std::max(runs, 1));
  return 0;
}

std::vector<int> parse_list(const char* text) {
  std::vector<int> values;
  for (const char* p = text; *p != '\0';) {
    values.push_back(std::atoi(p));
    p = std::strchr(p, ',');
    if (p == nullptr) break;
    ++p;
  }
  return values;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && std::strcmp(argv[1], "exact") == 0) {
    return foilcad::bench::run_exact_bench(argc - 2, argv + 2);
  }
  if ((argc == 4 || argc == 5) && std::strcmp(argv[1], "checksums") == 0) {
    return checksums(argv[2], std::atof(argv[3]), argc == 4 || std::strcmp(argv[4], "plain") == 0);
  }
  if ((argc == 3 || argc == 4) && std::strcmp(argv[1], "read") == 0) {
    return read_file(argv[2], argc == 4 ? std::atoi(argv[3]) : 5);
  }
  if (argc == 4 && std::strcmp(argv[1], "drill-file") == 0) {
    write_text(argv[3], make_drill_file(std::atoll(argv[2]), 4000u));
    return 0;
  }
  if ((argc == 3 || argc == 4) && std::strcmp(argv[1], "read-drill") == 0) {
    try {
      return read_drill_file(argv[2], argc == 4 ? std::atoi(argv[3]) : 5);
    } catch (const Error& e) {
      std::fprintf(stderr, "foilcad-bench: %s\n", e.what());
      return 1;
    }
  }
  if (argc == 4 && std::strcmp(argv[1], "mixed-board") == 0) {
    write_text(argv[3], make_mixed_board(std::atoi(argv[2]),
                                         3000u + static_cast<unsigned>(std::atoi(argv[2]))));
    return 0;
  }
  if (argc == 4 && std::strcmp(argv[1], "alternating") == 0) {
    const int switches = std::atoi(argv[2]);
    write_text(argv[3], make_alternating_board(switches, 2000u + static_cast<unsigned>(switches)));
    return 0;
  }
  if (argc == 4 && std::strcmp(argv[1], "real-board") == 0) {
    write_text(argv[3], make_real_board(std::atoi(argv[2]),
                                        2000u + static_cast<unsigned>(std::atoi(argv[2]))));
    return 0;
  }
  if (argc == 4 && std::strcmp(argv[1], "board") == 0) {
    write_text(argv[3],
               make_board(std::atoi(argv[2]), 1000u + static_cast<unsigned>(std::atoi(argv[2]))));
    return 0;
  }
  Options options;
  const bool layouts = argc > 1 && std::strcmp(argv[1], "layouts") == 0;
  std::vector<int> real_parts = {100, 300, 1000};
  if (layouts) options.features = {1000, 3000, 20000};
  for (int a = layouts ? 2 : 1; a + 1 < argc; a += 2) {
    const std::string name = argv[a];
    const char* value = argv[a + 1];
    if (name == "--dir") {
      options.dir = value;
    } else if (name == "--runs") {
      options.runs = std::max(1, std::atoi(value));
    } else if (name == "--features") {
      options.features = parse_list(value);
    } else if (name == "--write-limit") {
      options.write_limit_gb = std::atof(value);
    } else if (name == "--reference-seconds") {
      options.reference_seconds = std::atof(value);
    } else if (name == "--reader-lines") {
      options.reader_lines = std::atoll(value);
    } else if (name == "--switches") {
      options.switches = parse_list(value);
    } else if (name == "--real-parts" && layouts) {
      real_parts = parse_list(value);
    } else {
      std::fprintf(stderr, "foilcad-bench: unknown option %s\n", name.c_str());
      return 2;
    }
  }
  // A size of 0 (--features 0) leaves a table out.
  std::erase_if(options.features, [](int n) { return n <= 0; });
  std::erase_if(options.switches, [](int n) { return n <= 0; });
  if (layouts) return run_layouts(options, real_parts);
  std::printf("folder %s, medians of %d runs\n\n", options.dir.c_str(), options.runs);
  if (!options.features.empty()) print_header();
  for (const int features : options.features) {
    Result result;
    if (!measure_in_child(options, features, result)) {
      std::fprintf(stderr, "foilcad-bench: size %d failed\n", features);
      return 1;
    }
    print_row(result);
  }
  if (options.reader_lines > 0) measure_reader(options);
  if (!options.switches.empty()) measure_polarity(options);
  return 0;
}
