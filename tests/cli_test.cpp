// foilcad-convert as scripts use it: exit status, messages, where files go.
#include <gtest/gtest.h>
#include <png.h>
#include <sys/wait.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "convert/convert.hpp"
#include "test_support.hpp"

namespace foilcad {
namespace {

namespace fs = std::filesystem;
using test_support::read_file;
using test_support::ScratchDir;
using test_support::write_file;

const fs::path kData = FOILCAD_TEST_DATA;
const fs::path kExamples = FOILCAD_EXAMPLES;
const fs::path kExample = fs::path(FOILCAD_EXAMPLES) / "board.gbr";

struct Outcome {
  int status = -1;
  std::string out;
  std::string err;
};

// Runs foilcad-convert with args (already quoted for the shell) in dir; with
// "--version >/dev/null; COMMAND" it runs COMMAND instead.
Outcome run(const ScratchDir& dir, const std::string& args) {
  const std::string command =
      "cd '" + dir.path().string() + "' && '" FOILCAD_CONVERT_EXE "' " + args + " >.out 2>.err";
  const int raw = std::system(command.c_str());
  Outcome result;
  if (raw != -1 && WIFEXITED(raw)) result.status = WEXITSTATUS(raw);
  result.out = read_file(dir / ".out");
  result.err = read_file(dir / ".err");
  fs::remove(dir / ".out");
  fs::remove(dir / ".err");
  return result;
}

using test_support::contains;

TEST(Cli, ConvertsNextToTheInputAndReportsEachStage) {
  ScratchDir dir;
  fs::copy_file(kData / "pad.gbr", dir / "pad.gbr");
  const Outcome r = run(dir, "--thickness 1.6 pad.gbr");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(dir.entries(), (std::vector<std::string>{"pad.gbr", "pad_CND.stl", "pad_INS.stl"}));
  // Rectangles read, pieces after splitting, grid, copper cells, bytes.
  for (const char* part :
       {"5 rectangles", "1 pieces", "4 x 4", "1 copper", "2351 bytes", "12415 bytes"}) {
    EXPECT_TRUE(contains(r.err, part)) << part << " missing in:\n" << r.err;
  }
}

TEST(Cli, QuietIntoAnotherFolder) {
  ScratchDir dir;
  fs::copy_file(kData / "track_pad.gbr", dir / "track_pad.gbr");
  fs::create_directory(dir / "out");
  const Outcome r =
      run(dir, "--quiet --elevation -0.2 --thickness 1.6 --out-dir out track_pad.gbr");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(read_file(dir / "out/track_pad_CND.stl"),
            read_file(kData / "expected/track_pad_CND.stl"));
  EXPECT_EQ(read_file(dir / "out/track_pad_INS.stl"),
            read_file(kData / "expected/track_pad_INS.stl"));
  EXPECT_EQ(dir.entries(), (std::vector<std::string>{"out", "track_pad.gbr"}));
}

TEST(Cli, UsageErrorsExitWithTwo) {
  ScratchDir dir;
  fs::copy_file(kData / "pad.gbr", dir / "pad.gbr");
  const char* cases[] = {
      "pad.gbr",                  // no thickness
      "--thickness 1.6",          // no input
      "--thickness abc pad.gbr",  // not a number
      "--thickness 1.5mm pad.gbr",
      "--thickness 1.6 --elevation '' pad.gbr",
      "--thickness 1e999 pad.gbr",             // not finite
      "--thickness 1.6 --colour red pad.gbr",  // unknown option
      "--thickness 1.6 pad.gbr other.gbr",
  };
  for (const char* args : cases) {
    const Outcome r = run(dir, args);
    EXPECT_EQ(r.status, 2) << args;
    EXPECT_NE(r.err, "") << args;
  }
  EXPECT_EQ(dir.entries(), (std::vector<std::string>{"pad.gbr"}));
}

TEST(Cli, HelpAndVersion) {
  ScratchDir dir;
  const Outcome help = run(dir, "--help");
  EXPECT_EQ(help.status, 0);
  EXPECT_TRUE(contains(help.out, "--thickness")) << help.out;
  EXPECT_TRUE(contains(help.out, "--out-dir")) << help.out;
  const Outcome version = run(dir, "--version");
  EXPECT_EQ(version.status, 0);
  EXPECT_TRUE(contains(version.out, "foilcad-convert")) << version.out;
}

TEST(Cli, FailuresExitWithOneAndSayWhy) {
  ScratchDir dir;
  fs::copy_file(kData / "pad.gbr", dir / "pad.gbr");
  write_file(dir / "bad.gbr", "G04 bad*\n%FSLAX24Y24*%\nX12Y3QD01*\nX1Y1D03*\n");
  struct Row {
    const char* args;
    const char* said;
  };
  const Row rows[] = {
      {"--thickness 1.6 missing.gbr", "missing.gbr"},
      {"--thickness 1.6 bad.gbr", "bad.gbr:3: "},
      // A missing folder is made; one below a file cannot be.
      {"--thickness 1.6 --out-dir pad.gbr/out pad.gbr", "pad.gbr/out: cannot create the folder"},
  };
  for (const Row& row : rows) {
    const Outcome r = run(dir, row.args);
    EXPECT_EQ(r.status, 1) << row.args;
    EXPECT_TRUE(contains(r.err, row.said)) << row.args << ":\n" << r.err;
  }
  EXPECT_EQ(dir.entries(), (std::vector<std::string>{"bad.gbr", "pad.gbr"}));
}

TEST(Cli, DryRunPreviewAndSummary) {
  ScratchDir dir;
  fs::copy_file(kData / "pad.gbr", dir / "pad.gbr");
  const Outcome r =
      run(dir, "-q --thickness 1.6 --dry-run --preview pad.png --json pad.json pad.gbr");
  EXPECT_EQ(r.status, 0) << r.err;
  // No solid is written; the summary counts the bytes they would have, the
  // same as a real run writes.
  EXPECT_EQ(dir.entries(), (std::vector<std::string>{"pad.gbr", "pad.json", "pad.png"}));
  const std::string json = read_file(dir / "pad.json");
  for (const char* part : {"\"written\":false", "\"units\":\"inch\"", "\"outline\":true",
                           "\"x_lines\":4", "\"copper_cells\":1", "\"facets\":12,\"bytes\":2351",
                           "\"bytes\":12415", "\"warnings\":[]", "\"flashes\":1"}) {
    EXPECT_TRUE(contains(json, part)) << part << " missing in:\n" << json;
  }
  EXPECT_TRUE(read_file(dir / "pad.png").starts_with("\x89PNG"));
  // --json - prints the summary instead.
  const Outcome printed = run(dir, "-q --thickness 1.6 --dry-run --json - pad.gbr");
  EXPECT_TRUE(printed.out.starts_with("{\"input\":\"pad.gbr\"")) << printed.out;
}

// The summary is read by scripts: every key, its place and every value are
// pinned here. Only the stage times change from run to run; they are checked
// to be numbers under the same four keys. Lengths are JSON reals throughout,
// so a whole number of millimetres is written as 0.0, never 0.
std::string without_times(const std::string& json) {
  const std::string key = R"("seconds":{)";
  const std::size_t begin = json.find(key);
  const std::size_t end = json.find('}', begin);
  if (begin == std::string::npos || end == std::string::npos) {
    ADD_FAILURE() << json;
    return json;
  }
  // "read":N,"split":N,"grid":N,"write":N with N a number.
  std::string keys;
  std::istringstream times(json.substr(begin + key.size(), end - begin - key.size()));
  for (std::string item; std::getline(times, item, ',');) {
    const std::size_t colon = item.find(':');
    const std::string value = colon == std::string::npos ? "" : item.substr(colon + 1);
    EXPECT_TRUE(!value.empty() && value.find_first_not_of("-+.e0123456789") == std::string::npos)
        << json;
    keys += item.substr(0, colon) + ";";
  }
  EXPECT_EQ(keys, R"("read";"split";"grid";"write";)") << json;
  return json.substr(0, begin) + R"("seconds":TIMES)" + json.substr(end + 1);
}

// A grid whose solids pass a gigabyte is told what the exact model writes
// for the same board: 600 pads on a diagonal make 2,400 x 2,400 cells.
TEST(Cli, LargeGridIsToldTheExactModelsSize) {
  ScratchDir dir;
  std::string board = "%FSLAX46Y46*%\n%MOMM*%\n%ADD10C,0.2*%\nD10*\n";
  for (int k = 0; k < 600; ++k) {
    const std::string at = std::to_string(k * 500000);
    board.append("X").append(at).append("Y").append(at).append("D03*\n");
  }
  write_file(dir / "diagonal.gbr", board + "M02*\n");
  const Outcome r = run(dir, "--thickness 0.035 --dry-run diagonal.gbr");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(contains(r.err, "note: the grid's solids take ")) << r.err;
  EXPECT_TRUE(contains(r.err, "the exact model's binary solids of this board take ")) << r.err;
  EXPECT_TRUE(contains(r.err, "(--geometry exact --stl binary)")) << r.err;
}

TEST(Cli, SummaryKeysAndValuesArePinned) {
  ScratchDir dir;
  fs::copy_file(kExamples / "board.gbr", dir / "board.gbr");
  const Outcome board = run(dir, "-q --thickness 1.6 --json - board.gbr");
  EXPECT_EQ(board.status, 0) << board.err;
  EXPECT_EQ(
      without_times(board.out),
      R"({"input":"board.gbr","units":"inch","objects":{"strokes":14,"arcs":0,"flashes":8,)"
      R"("regions":0,"region_rectangles":0,"step_and_repeat_copies":0},"rectangles":22,)"
      R"("outline":true,"negative_image":false,"pieces":230,"grid":{"x_lines":25,"y_lines":24,"cells":552,)"
      R"("extent_mm":{"min_x":0.0,"max_x":50.80000534611745,"min_y":0.0,)"
      R"("max_y":38.10000400958809}},)"
      R"("copper_cells":183,"solids":{"written":true,"format":"classic","merge":false,)"
      R"("flat":{"top_and_bottom":false,"x_lines":0,"y_lines":0},)"
      R"("conductor":{"path":"board_CND.stl","boxes":183,"facets":1192,"bytes":230681},)"
      R"("insulator":{"path":"board_INS.stl","boxes":369,"facets":2124,"bytes":411025}},)"
      R"("warnings":[],"seconds":TIMES})"
      "\n");

  // Warnings, millimetres, a dry run, and a name that needs escaping.
  write_file(dir / "we\"ird.gbr",
             "%FSLAX24Y24*%\n%MOMM*%\n%ADD10C,0.5*%\nX10000Y10000D03*\nX20000Y10000D03*\nM02*\n");
  const Outcome pads = run(dir, "-q --dry-run --thickness 1 --json - 'we\"ird.gbr'");
  EXPECT_EQ(pads.status, 0) << pads.err;
  EXPECT_EQ(
      without_times(pads.out),
      R"({"input":"we\"ird.gbr","units":"mm","objects":{"strokes":0,"arcs":0,"flashes":2,)"
      R"("regions":0,"region_rectangles":0,"step_and_repeat_copies":0},"rectangles":2,)"
      R"("outline":false,"negative_image":false,"pieces":2,"grid":{"x_lines":4,"y_lines":2,"cells":3,)"
      R"("extent_mm":{"min_x":0.7500001202570274,"max_x":2.250000240514055,)"
      R"("min_y":0.7500001202570274,"max_y":1.2500001202570274}},)"
      R"("copper_cells":2,"solids":{"written":false,"format":"classic","merge":false,)"
      R"("flat":{"top_and_bottom":false,"x_lines":0,"y_lines":0},)"
      R"("conductor":{"path":"we\"ird_CND.stl","boxes":2,"facets":24,"bytes":4673},)"
      R"("insulator":{"path":"we\"ird_INS.stl","boxes":1,"facets":12,"bytes":2353}},)"
      R"("warnings":[{"kind":"no_outline",)"
      R"("message":"no board outline comes first: the board ends at the copper's outer edges",)"
      R"("count":1,"first_line":4}],"seconds":TIMES})"
      "\n");
}

// File names need not be UTF-8; the summary must be. A name that is not
// is written with U+FFFD in place of the stray bytes, and the run succeeds.
TEST(Cli, SummaryOfANameThatIsNotUtf8IsStillJson) {
  ScratchDir dir;
  fs::copy_file(kData / "pad.gbr", dir / "caf\xe9.gbr");
  const Outcome r = run(dir, "-q --thickness 1.6 --json - 'caf\xe9.gbr'");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(r.out.starts_with("{\"input\":\"caf\xef\xbf\xbd.gbr\"")) << r.out;
  EXPECT_TRUE(contains(r.out, "\"path\":\"caf\xef\xbf\xbd_CND.stl\"")) << r.out;
  EXPECT_EQ(dir.entries(),
            (std::vector<std::string>{"caf\xe9.gbr", "caf\xe9_CND.stl", "caf\xe9_INS.stl"}));
}

TEST(Cli, StrictStopsOnWarningsBeforeWriting) {
  ScratchDir dir;
  write_file(dir / "pads.gbr", "%FSLAX24Y24*%\n%ADD10C,0.01*%\nX1000Y1000D03*\nM02*\n");
  const Outcome r = run(dir, "-q --strict --thickness 1 pads.gbr");
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(contains(r.err, "pads.gbr:3: no board outline")) << r.err;
  EXPECT_EQ(dir.entries(), (std::vector<std::string>{"pads.gbr"}));
  // A warning found with the grid (no copper) stops the conversion too, and
  // each warning is printed once.
  write_file(dir / "moves.gbr", "%FSLAX24Y24*%\n%ADD10C,0.01*%\nX1000Y1000D02*\nX2000Y1000D02*\n");
  const Outcome moves = run(dir, "-q --strict --thickness 1 --preview m.png moves.gbr");
  EXPECT_EQ(moves.status, 1);
  EXPECT_TRUE(contains(moves.err, "moves.gbr:4: the photoplot has coordinates but draws no copper"))
      << moves.err;
  EXPECT_EQ(dir.entries(), (std::vector<std::string>{"moves.gbr", "pads.gbr"}));
  const Outcome loose = run(dir, "-q --thickness 1 --dry-run --json - moves.gbr");
  EXPECT_EQ(loose.status, 0);
  EXPECT_TRUE(contains(loose.out, "\"kind\":\"no_copper\"")) << loose.out;
  EXPECT_EQ(loose.err.find("no copper"), loose.err.rfind("no copper")) << loose.err;
  EXPECT_TRUE(contains(loose.err, "no copper")) << loose.err;
}

TEST(Cli, NegativeImageReportsThePlane) {
  ScratchDir dir;
  fs::copy_file(kData / "image" / "plane-ipneg.gbr", dir / "plane.gbr");
  const Outcome r = run(dir, "--thickness 1 --dry-run --json - plane.gbr");
  EXPECT_EQ(r.status, 0) << r.err;
  // The copper is the plane, not the clearances drawn.
  for (const char* part : {"negative image", "195 cells, 161 copper"}) {
    EXPECT_TRUE(contains(r.err, part)) << part << " missing in:\n" << r.err;
  }
  for (const char* part : {"\"negative_image\":true", "\"copper_cells\":161", "\"boxes\":161"}) {
    EXPECT_TRUE(contains(r.out, part)) << part << " missing in:\n" << r.out;
  }
}

// The number after "key": inside the object that "solid": opens in a JSON
// summary.
std::uint64_t json_number(const std::string& json, const std::string& solid,
                          const std::string& key) {
  const std::size_t object = json.find("\"" + solid + "\":{");
  const std::size_t at = json.find("\"" + key + "\":", object);
  if (object == std::string::npos || at == std::string::npos) return 0;
  return std::stoull(json.substr(at + key.size() + 3));
}

TEST(Cli, EncodingsAndMergedBoxesHaveTheSizesADryRunGives) {
  ScratchDir dir;
  fs::copy_file(kExample, dir / "board.gbr");
  struct Row {
    const char* args;
    const char* starts;  // the conductor file's first bytes
  };
  const Row rows[] = {{"--stl ascii", "solid blob\nfacet normal 0 0 1\n"},
                      {"--stl binary", "binary STL"},
                      {"--merge", " solid blob\r\n"},
                      {"--merge --stl ascii", "solid blob\n"},
                      {"--stl binary --merge", "binary STL"}};
  std::uint64_t merged_classic = 0;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.args);
    const std::string args = std::string("-q --thickness 1.6 ") + row.args;
    const Outcome dry = run(dir, args + " --dry-run --json - board.gbr");
    ASSERT_EQ(dry.status, 0) << dry.err;
    const Outcome real = run(dir, args + " --json board.json board.gbr");
    ASSERT_EQ(real.status, 0) << real.err;
    const std::string json = read_file(dir / "board.json");
    for (const char* solid : {"conductor", "insulator"}) {
      const std::string file =
          dir / (std::string("board_") + (solid[0] == 'c' ? "CND" : "INS") + ".stl");
      EXPECT_EQ(json_number(dry.out, solid, "bytes"), fs::file_size(file)) << solid;
      EXPECT_EQ(json_number(json, solid, "bytes"), fs::file_size(file)) << solid;
      EXPECT_EQ(json_number(json, solid, "facets"), json_number(dry.out, solid, "facets"));
    }
    EXPECT_TRUE(read_file(dir / "board_CND.stl").starts_with(row.starts));
    if (std::string(row.args) == "--merge") merged_classic = fs::file_size(dir / "board_CND.stl");
  }
  // Far fewer boxes, and the default unchanged.
  EXPECT_LT(3 * merged_classic, 230681u);
  ASSERT_EQ(run(dir, "-q --thickness 1.6 board.gbr").status, 0);
  EXPECT_EQ(fs::file_size(dir / "board_CND.stl"), 230681u);
  EXPECT_EQ(run(dir, "--thickness 1.6 --stl stl board.gbr").status, 2);
}

TEST(Cli, FlatSolidsWarnAndNameTheEncodingsThatKeepThemApart) {
  ScratchDir dir;
  fs::copy_file(kData / "pad.gbr", dir / "pad.gbr");
  // A 0.035 mm foil: bottom and top both print as 0.0 with one decimal.
  const Outcome classic = run(dir, "-q --thickness 0.035 pad.gbr");
  EXPECT_EQ(classic.status, 0);
  EXPECT_TRUE(contains(classic.err, "every box is flat")) << classic.err;
  EXPECT_TRUE(contains(classic.err, "--stl ascii or --stl binary")) << classic.err;
  for (const char* format : {"ascii", "binary"}) {
    const Outcome exact =
        run(dir, std::string("-q --thickness 0.035 --stl ") + format + " pad.gbr");
    EXPECT_EQ(exact.status, 0);
    EXPECT_EQ(exact.err, "") << format;
  }
  // Grid lines 0.02 mm apart (0.48 and 0.5) print as one number.
  write_file(dir / "near.gbr",
             "%FSLAX24Y24*%\n%MOMM*%\n%ADD10R,1X1*%\n%ADD11R,1.04X1*%\nD10*\nX0Y0D03*\n"
             "D11*\nX10000Y0D03*\nM02*\n");
  const Outcome near = run(dir, "-q --thickness 1.6 near.gbr");
  EXPECT_TRUE(contains(near.err, "1 neighbouring x and 0 neighbouring y grid lines")) << near.err;
  // --strict stops on them before anything is written.
  fs::remove(dir / "pad_CND.stl");
  fs::remove(dir / "pad_INS.stl");
  const Outcome strict = run(dir, "-q --strict --thickness 0.035 pad.gbr");
  EXPECT_EQ(strict.status, 1);
  EXPECT_TRUE(contains(strict.err, "--strict")) << strict.err;
  EXPECT_FALSE(fs::exists(dir / "pad_CND.stl"));
}

TEST(Cli, ProgressBarOnlyOnATerminal) {
  if (std::system("script --version >/dev/null 2>&1") != 0) GTEST_SKIP() << "no script(1)";
  ScratchDir dir;
  fs::copy_file(kExample, dir / "board.gbr");
  // Under a pseudo-terminal, shown from the start when told so; everything
  // the terminal received lands in .out.
  const std::string convert = "'" FOILCAD_CONVERT_EXE "' --thickness 1.6 ";
  auto on_terminal = [&](const std::string& args) {
    return run(dir, "--version >/dev/null; FOILCAD_PROGRESS_AFTER=0 script -qec \"" + convert +
                        args + " board.gbr\" /dev/null </dev/null");
  };
  const Outcome shown = on_terminal("");
  EXPECT_EQ(shown.status, 0);
  EXPECT_TRUE(contains(shown.out, "] 100%")) << shown.out;
  EXPECT_TRUE(contains(shown.out, "\r\x1b[K")) << "not cleared: " << shown.out;
  EXPECT_TRUE(contains(shown.out, "write  board_CND.stl")) << shown.out;
  // Not with --quiet, and not when stderr is no terminal.
  const Outcome quiet = on_terminal("-q");
  EXPECT_EQ(quiet.status, 0);
  EXPECT_FALSE(contains(quiet.out, "%")) << quiet.out;
  const Outcome piped =
      run(dir, "--version >/dev/null; FOILCAD_PROGRESS_AFTER=0 " + convert + "board.gbr");
  EXPECT_EQ(piped.status, 0);
  EXPECT_FALSE(contains(piped.err, "%")) << piped.err;
  EXPECT_TRUE(contains(piped.err, "write  board_CND.stl")) << piped.err;
}

// The volume of the tetrahedra of a gmsh mesh in the 2.2 text format.
double tetrahedra_volume(const std::string& msh, std::size_t& count) {
  std::istringstream in(msh);
  std::string word;
  std::vector<std::array<double, 3>> nodes;
  double volume = 0;
  count = 0;
  while (in >> word) {
    if (word == "$Nodes") {
      std::size_t n = 0;
      in >> n;
      nodes.assign(n + 1, {});
      for (std::size_t i = 0; i < n; ++i) {
        std::size_t id = 0;
        in >> id;
        if (id >= nodes.size()) nodes.resize(id + 1);
        in >> nodes[id][0] >> nodes[id][1] >> nodes[id][2];
      }
    } else if (word == "$Elements") {
      std::size_t n = 0;
      in >> n;
      std::string line;
      std::getline(in, line);
      for (std::size_t e = 0; e < n && std::getline(in, line); ++e) {
        std::istringstream fields(line);
        std::size_t id = 0, type = 0, tags = 0, tag = 0;
        fields >> id >> type >> tags;
        for (std::size_t t = 0; t < tags; ++t) fields >> tag;
        if (type != 4) continue;
        std::size_t v[4];
        for (auto& node : v) fields >> node;
        const auto& a = nodes[v[0]];
        double d[3][3];
        for (int r = 0; r < 3; ++r) {
          for (int c = 0; c < 3; ++c) d[r][c] = nodes[v[r + 1]][c] - a[c];
        }
        const double det = d[0][0] * (d[1][1] * d[2][2] - d[1][2] * d[2][1]) -
                           d[0][1] * (d[1][0] * d[2][2] - d[1][2] * d[2][0]) +
                           d[0][2] * (d[1][0] * d[2][1] - d[1][1] * d[2][0]);
        volume += std::fabs(det) / 6;
        ++count;
      }
    }
  }
  return volume;
}

TEST(Cli, GmshFillsEachSolidOfTheExampleWithTetrahedra) {
  if (std::system("gmsh --version >/dev/null 2>&1") != 0) GTEST_SKIP() << "gmsh not installed";
  ScratchDir dir;
  fs::copy_file(kExample, dir / "board.gbr");
  // The volumes the solids must have: their cells' areas times the thickness.
  ConversionReport report;
  const Grid board = grid_of(dir / "board.gbr", report);
  double volume[2] = {0, 0};  // insulator, conductor
  for (std::size_t k = 0; k < board.map.rows; ++k) {
    for (std::size_t i = 0; i < board.map.columns; ++i) {
      volume[board.map.at(i, k) != 0 ? 1 : 0] += (board.lists.x[i + 1] - board.lists.x[i]) *
                                                 (board.lists.y[k + 1] - board.lists.y[k]) * 1.6;
    }
  }
  for (const char* format : {"ascii", "binary"}) {
    ASSERT_EQ(run(dir, std::string("-q --thickness 1.6 --stl ") + format + " board.gbr").status, 0);
    for (const char* solid : {"INS", "CND"}) {
      SCOPED_TRACE(std::string(format) + " " + solid);
      // The surfaces as the mesher reads them, closed into one volume.
      write_file(dir / "solid.geo", std::string("Merge \"board_") + solid +
                                        ".stl\";\nSurface Loop(1) = {1};\nVolume(1) = {1};\n");
      fs::remove(dir / "solid.msh");
      const Outcome mesh =
          run(dir, "--version >/dev/null; gmsh -3 -format msh22 -o solid.msh solid.geo");
      ASSERT_TRUE(fs::exists(dir / "solid.msh")) << mesh.out << mesh.err;
      std::size_t tetrahedra = 0;
      const double meshed = tetrahedra_volume(read_file(dir / "solid.msh"), tetrahedra);
      EXPECT_GT(tetrahedra, 100u);
      const double want = volume[solid[0] == 'C' ? 1 : 0];
      EXPECT_NEAR(meshed, want, want * 1e-5) << mesh.out;
    }
  }
}

}  // namespace
}  // namespace foilcad

namespace foilcad {
namespace {

double json_real(const std::string& json, const std::string& key) {
  const std::size_t at = json.find("\"" + key + "\":");
  EXPECT_NE(at, std::string::npos) << key << " missing in " << json;
  return at == std::string::npos ? 0.0 : std::stod(json.substr(at + key.size() + 3));
}

TEST(CliExact, WritesStandardTextMeshesAndItsOwnSummary) {
  ScratchDir dir;
  fs::copy_file(kExample, dir / "board.gbr");
  const Outcome r = run(dir, "--geometry exact --thickness 0.035 --json s.json board.gbr");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(contains(r.err, "copper contours traced")) << r.err;
  EXPECT_TRUE(contains(r.err, "mesh ")) << r.err;
  EXPECT_TRUE(read_file(dir / "board_CND.stl").starts_with("solid blob\nfacet normal "));
  EXPECT_TRUE(read_file(dir / "board_INS.stl").ends_with("endsolid nblob\n"));
  const std::string json = read_file(dir / "s.json");
  for (const char* part : {R"("geometry":"exact")", R"("tolerance_mm":0.001)",
                           R"("format":"ascii")", R"("triangles":)", R"("outlines":)"}) {
    EXPECT_TRUE(contains(json, part)) << part << " missing in " << json;
  }
  EXPECT_FALSE(contains(json, R"("pieces")")) << json;
  // The example's copper: its area in the grid model is larger (round pads
  // become squares), and the board is the frame's.
  const double copper = json_real(json, "copper_area_mm2");
  EXPECT_GT(copper, 80.0);
  EXPECT_LT(copper, 100.0);
  EXPECT_NEAR(json_real(json, "area_mm2"), 50.8 * 38.1, 0.01);

  // A dry run counts what binary solids would take: 84 bytes and 50 a triangle.
  const Outcome dry = run(dir,
                          "-q --geometry exact --stl binary --dry-run --json - board.gbr "
                          "--thickness 0.035");
  ASSERT_EQ(dry.status, 0) << dry.err;
  const std::size_t at = dry.out.find(R"("conductor":{)");
  const std::uint64_t triangles =
      std::stoull(dry.out.substr(dry.out.find("\"triangles\":", at) + 12));
  const std::uint64_t bytes = std::stoull(dry.out.substr(dry.out.find("\"bytes\":", at) + 8));
  EXPECT_EQ(bytes, 84 + 50 * triangles);
}

TEST(CliExact, RefusesWhatItCannotWrite) {
  ScratchDir dir;
  fs::copy_file(kData / "pad.gbr", dir / "pad.gbr");
  for (const char* args :
       {"--geometry exact --stl classic --thickness 1 pad.gbr",
        "--geometry exact --merge --thickness 1 pad.gbr",
        "--geometry exact --tolerance 0 --thickness 1 pad.gbr",
        "--geometry exact --tolerance 5 --thickness 1 pad.gbr",
        "--geometry round --thickness 1 pad.gbr", "--gmsh --thickness 1 pad.gbr"}) {
    const Outcome r = run(dir, args);
    EXPECT_EQ(r.status, 2) << args;
    EXPECT_NE(r.err, "") << args;
  }
  EXPECT_EQ(dir.entries(), (std::vector<std::string>{"pad.gbr"}));
  // A photoplot named like the .geo it would get is not replaced by it.
  fs::rename(dir / "pad.gbr", dir / "pad.geo");
  const Outcome named = run(dir, "--geometry exact --gmsh --thickness 1 pad.geo");
  EXPECT_EQ(named.status, 1);
  EXPECT_TRUE(contains(named.err, "would replace the input")) << named.err;
  EXPECT_EQ(dir.entries(), (std::vector<std::string>{"pad.geo"}));
}

TEST(CliExact, OutlineLayerCutsTheCopperInBothModels) {
  ScratchDir dir;
  const fs::path outlines = kData / "outline";
  for (const char* name : {"copper.gbr", "kicad-edge-cuts.gbr", "gap.gbr"}) {
    fs::copy_file(outlines / name, dir / name);
  }
  const Outcome grid =
      run(dir, "-q --dry-run --thickness 1 --outline kicad-edge-cuts.gbr --json - copper.gbr");
  ASSERT_EQ(grid.status, 0) << grid.err;
  EXPECT_TRUE(contains(grid.out, R"("outline_layer":{"path":"kicad-edge-cuts.gbr","contours":)"))
      << grid.out;
  const Outcome exact = run(dir,
                            "-q --dry-run --geometry exact --thickness 1 --outline "
                            "kicad-edge-cuts.gbr --json - copper.gbr");
  ASSERT_EQ(exact.status, 0) << exact.err;
  EXPECT_EQ(exact.err, "");  // quiet: not a word on stderr
  // The board is the outline's area less its cut-outs; copper outside is gone.
  EXPECT_LT(json_real(exact.out, "copper_area_mm2"), json_real(exact.out, "area_mm2"));
  EXPECT_TRUE(contains(exact.out, R"("outline_layer":{"path":"kicad-edge-cuts.gbr")")) << exact.out;
  // An outline that does not close names the gap and its line; nothing is written.
  const Outcome open = run(dir, "--geometry exact --thickness 1 --outline gap.gbr copper.gbr");
  EXPECT_EQ(open.status, 1);
  EXPECT_TRUE(contains(open.err, "gap.gbr:17: the outline does not close: a gap of")) << open.err;
  EXPECT_FALSE(fs::exists(dir / "copper_CND.stl"));
}

}  // namespace
}  // namespace foilcad

namespace foilcad {
namespace {

// A framed board of 20 x 12 mm with two pads, and its drill files: holes of
// both platings by attribute, a slot and a number format the file states;
// and a mounting hole whose plating the file does not say.
constexpr const char* kDrilledLayer =
    "%FSLAX24Y24*%\n%MOMM*%\n%ADD10C,0.1*%\n%ADD11C,1*%\nD10*\nX0Y0D02*\nX200000Y0D01*\n"
    "X200000Y120000D01*\nX0Y120000D01*\nX0Y0D01*\nD11*\nX20000Y20000D03*\nX180000Y100000D03*\n"
    "M02*\n";
constexpr const char* kBoardDrill =
    "M48\n; #@! TF.FileFunction,MixedPlating,1,2\nMETRIC,TZ,000.000\n"
    "; #@! TA.AperFunction,Plated,PTH,ViaDrill\nT1C0.300\n"
    "; #@! TA.AperFunction,NonPlated,NPTH,ComponentDrill\nT2C1.000\n%\nG90\nG05\nT1\n"
    "X010000Y005000\nX012000Y005000\nX010000Y010000G85X014000Y010000\nT2\nX015000Y008000\nM30\n";
constexpr const char* kMountDrill = "M48\nMETRIC\nT1C3.2\n%\nT1\nX5.0Y5.0\nM30\n";

void write_drilled_board(const ScratchDir& dir) {
  write_file(dir / "layer.gbr", kDrilledLayer);
  write_file(dir / "board.drl", kBoardDrill);
  write_file(dir / "mount.drl", kMountDrill);
}

TEST(CliDrill, RefusedOptionsWriteNothing) {
  ScratchDir dir;
  write_drilled_board(dir);
  struct Row {
    const char* args;
    int status;
    const char* said;
  };
  const Row rows[] = {
      {"--geometry exact --drill board.drl --drill-format INCH,XZ,2:4", 2,
       "not a drill format: INCH,XZ,2:4"},
      {"--geometry exact --drill board.drl --drill-format METRIC,TZ,3", 2, "--drill-format"},
      {"--geometry exact --drill board.drl --plating -0.01", 2, "cannot be negative"},
      {"--geometry exact --drill board.drl --plating 1e999", 2, "--plating"},
      // The grid cuts no holes; the message names the model that does.
      {"--drill board.drl", 1,
       "board.drl: holes are cut by the exact model only; convert with --geometry exact"},
      {"--stl ascii --drill-nonplated mount.drl", 1, "--geometry exact"},
      {"--geometry exact --drill board.drl --drill missing.drl", 1, "missing.drl"},
      {"--geometry exact --drill board.drl --drill-tools missing.Tool", 1, "missing.Tool"},
      // A drill file that does not say how to read its numbers, and no
      // reading fits the board: the message names --drill-format.
      {"--geometry exact --drill-nonplated mount.drl --drill bare.drl", 1,
       "bare.drl:1: the drill file does not say its units"},
  };
  write_file(dir / "bare.drl", "T1C0.8\nT1\nX1000Y2000\nM30\n");
  for (const Row& row : rows) {
    const Outcome r = run(
        dir, std::string("--thickness 1 --preview p.png --json s.json ") + row.args + " layer.gbr");
    EXPECT_EQ(r.status, row.status) << row.args << ":\n" << r.err;
    EXPECT_TRUE(contains(r.err, row.said)) << row.args << ":\n" << r.err;
  }
  EXPECT_EQ(dir.entries(),
            (std::vector<std::string>{"bare.drl", "board.drl", "layer.gbr", "mount.drl"}));
}

// The holes' summary (exact model only; null without drill files) and the
// stage lines, files in command-line order across both options.
TEST(CliDrill, SummaryAndStageLinesCountTheHoles) {
  ScratchDir dir;
  write_drilled_board(dir);
  const Outcome r = run(dir,
                        "--geometry exact --thickness 1 --dry-run --drill-nonplated mount.drl "
                        "--drill board.drl --json - layer.gbr");
  ASSERT_EQ(r.status, 0) << r.err;
  const std::size_t begin = r.out.find(R"("holes":)");
  const std::size_t end = r.out.find(R"(,"solids":)");
  ASSERT_NE(end, std::string::npos) << r.out;
  EXPECT_EQ(
      r.out.substr(begin, end - begin),
      R"("holes":{"plating_mm":0.025,"total":5,"slots":1,"plated":3,"non_plated":2,)"
      R"("unknown_plating":0,"via":3,"component":1,"mechanical":0,)"
      R"("diameters":[{"mm":0.3,"holes":3,"slots":1},{"mm":1.0,"holes":1,"slots":0},)"
      R"({"mm":3.2,"holes":1,"slots":0}],"files":[)"
      R"({"path":"mount.drl","lines":7,"units":"mm","zeros":"leading","integer_digits":3,)"
      R"("decimal_digits":3,"format_from":{"units":"file","zeros":"not_needed",)"
      R"("digits":"not_needed"},"parameter_file":null,"holes":1,"slots":0,"plated":0,)"
      R"("non_plated":1,"unknown_plating":0,"warnings":[{"kind":"plating_from_user",)"
      R"("message":"the drill file does not say whether these holes are plated: they are taken )"
      R"(as the user says","count":1,"first_line":6}]},)"
      R"({"path":"board.drl","lines":17,"units":"mm","zeros":"trailing","integer_digits":3,)"
      R"("decimal_digits":3,"format_from":{"units":"file","zeros":"file","digits":"file"},)"
      R"("parameter_file":null,"holes":4,"slots":1,"plated":3,"non_plated":1,)"
      R"("unknown_plating":0,"warnings":[]}]})");
  for (const char* line :
       {"\ndrill  mount.drl: 1 round hole and 0 slots (0 plated, 1 non-plated); format METRIC "
        "(the file), zeros and digits not needed\n"
        "drill  board.drl: 3 round holes and 1 slot (3 plated, 1 non-plated); format "
        "METRIC,TZ,3:3 (the file)\n",
        "\nfoilcad-convert: warning: mount.drl:6: the drill file does not say whether these "
        "holes are plated: they are taken as the user says (1 time)\n"}) {
    EXPECT_TRUE(contains(r.err, line)) << line << " missing in:\n" << r.err;
  }

  // --drill-format takes the place of what the files say.
  const Outcome given = run(dir,
                            "-q --geometry exact --thickness 1 --dry-run --drill board.drl "
                            "--drill-format metric,tz,3:3 --json - layer.gbr");
  EXPECT_TRUE(contains(given.out, R"("format_from":{"units":"option","zeros":"option",)"))
      << given.out;
  // --strict stops on a drill file's warning before anything is written.
  const Outcome strict =
      run(dir, "-q --strict --geometry exact --thickness 1 --drill-nonplated mount.drl layer.gbr");
  EXPECT_EQ(strict.status, 1);
  EXPECT_TRUE(contains(strict.err, "mount.drl:6: the drill file does not say")) << strict.err;
  EXPECT_FALSE(fs::exists(dir / "layer_CND.stl"));
  // Without drill files the key stays, null.
  const Outcome none = run(dir, "-q --geometry exact --thickness 1 --dry-run --json - layer.gbr");
  EXPECT_TRUE(contains(none.out, R"("copper_area_mm2":)")) << none.out;
  EXPECT_TRUE(contains(none.out, R"(,"holes":null,"solids":)")) << none.out;
}

}  // namespace
}  // namespace foilcad

namespace foilcad {
namespace {

// A preview as the colours it shows: 'c' copper, 'i' insulator, 'n' no board
// (holes, outside the outline), '?' anything else.
struct Preview {
  int width = 0;
  int height = 0;
  std::string cover;

  char at(int x, int y) const { return cover[static_cast<std::size_t>(y) * width + x]; }
};

Preview load_preview(const fs::path& file) {
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  if (png_image_begin_read_from_file(&image, file.c_str()) == 0) {
    ADD_FAILURE() << "cannot read " << file;
    return {};
  }
  image.format = PNG_FORMAT_RGB;
  std::vector<unsigned char> rgb(PNG_IMAGE_SIZE(image));
  EXPECT_NE(png_image_finish_read(&image, nullptr, rgb.data(), 0, nullptr), 0) << file;
  Preview preview{static_cast<int>(image.width), static_cast<int>(image.height), {}};
  for (std::size_t p = 0; p + 2 < rgb.size(); p += 3) {
    const unsigned long colour = (rgb[p] << 16) | (rgb[p + 1] << 8) | rgb[p + 2];
    preview.cover += colour == 0xd88a2c   ? 'c'
                     : colour == 0x1d4d2b ? 'i'
                     : colour == 0x262626 ? 'n'
                                          : '?';
  }
  return preview;
}

TEST(CliPreview, NoBoardInAThirdColour) {
  ScratchDir dir;
  for (const char* name : {"copper.gbr", "kicad-edge-cuts.gbr"}) {
    fs::copy_file(kData / "outline" / name, dir / name);
  }
  fs::copy_file(kExample, dir / "board.gbr");
  // The board is the outline's 50 x 30 mm with rounded corners, a round and
  // a slotted cut-out; at 10 pixels a millimetre pixel (x, y) is x / 10 mm
  // right of its left edge and y / 10 mm below its top.
  const Outcome r = run(dir,
                        "-q --geometry exact --thickness 1 --dry-run --outline kicad-edge-cuts.gbr "
                        "--preview-dpi 254 --preview p.png copper.gbr");
  ASSERT_EQ(r.status, 0) << r.err;
  const Preview outlined = load_preview(dir / "p.png");
  ASSERT_EQ(outlined.width, 500);
  ASSERT_EQ(outlined.height, 300);
  struct Pixel {
    int x, y;
    char cover;
  };
  const Pixel pixels[] = {
      {2, 2, 'n'},      // outside a rounded corner
      {100, 150, 'n'},  // the round cut-out
      {350, 150, 'n'},  // the slot
      {50, 250, 'i'},   // the board
      {200, 200, 'c'},  // a pad
      {450, 20, 'c'},   // a pour across a corner, on the board
      {496, 4, 'n'},    // and beyond the corner: cut off
  };
  for (const Pixel& p : pixels) {
    EXPECT_EQ(outlined.at(p.x, p.y), p.cover) << p.x << ", " << p.y;
  }
  EXPECT_EQ(outlined.cover.find('?'), std::string::npos);

  // A board that fills its extent has not a pixel of the third colour in
  // either model, also where the picture's last row and column reach past
  // the extent (the example is 2 x 1.5 inches: 100.1 dots an inch end it 0.2
  // and 0.15 pixels into the last ones), or where the exact model's rounding
  // of its coordinates ends the board a hair above the centres of the last
  // row (the excerpt at 300).
  fs::copy_file(kData / "excerpts" / "pcad-short-codes-end.gbr", dir / "pcad.gbr");
  struct Run {
    const char* args;
    const char* file;
  };
  const Run runs[] = {{"", "board.gbr"},
                      {"--geometry exact", "board.gbr"},
                      {"--geometry exact --preview-dpi 100.1", "board.gbr"},
                      {"--geometry exact --preview-dpi 300", "pcad.gbr"}};
  for (const Run& run_of : runs) {
    const std::string args = std::string(run_of.args) + " " + run_of.file;
    ASSERT_EQ(run(dir, "-q --thickness 1 --dry-run --preview b.png " + args).status, 0) << args;
    const std::string cover = load_preview(dir / "b.png").cover;
    EXPECT_EQ(cover.find_first_not_of("ci"), std::string::npos) << args;
    EXPECT_NE(cover.find('c'), std::string::npos) << args;
  }
}

}  // namespace
}  // namespace foilcad
