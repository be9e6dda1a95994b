// foilcad-convert as scripts use it: exit status, messages, where files go.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <string>

#include "test_support.hpp"

namespace foilcad {
namespace {

namespace fs = std::filesystem;
using testing::read_file;
using testing::ScratchDir;
using testing::write_file;

const fs::path kData = FOILCAD_TEST_DATA;

struct Outcome {
  int status = -1;
  std::string out;
  std::string err;
};

// Runs foilcad-convert with args (already quoted for the shell) in dir.
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

using testing::contains;

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
      {"--thickness 1.6 --out-dir nowhere pad.gbr", "nowhere/pad_"},
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
  const Outcome r = run(dir, "-q --thickness 1.6 --dry-run --preview pad.png --json pad.json pad.gbr");
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

}  // namespace
}  // namespace foilcad
