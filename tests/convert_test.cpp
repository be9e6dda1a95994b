// The conversion as a whole: output names, heights, whole files, and what is
// left behind when a conversion fails.
#include "convert/convert.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "common/error.hpp"
#include "support/mesh_check.hpp"
#include "test_support.hpp"

namespace foilcad {
namespace {

namespace fs = std::filesystem;
using test_support::read_file;
using test_support::ScratchDir;
using test_support::write_file;

const fs::path kData = FOILCAD_TEST_DATA;

TEST(OutputPath, OnlyTheFileNameLosesItsExtension) {
  struct Row {
    std::string input;
    std::string conductor;
  };
  const std::string folder(300, 'f');
  const std::string name(300, 'n');
  const Row rows[] = {
      {"board.gbr", "board_CND.stl"},
      {"/boards/rev1.2/top.gbr", "/boards/rev1.2/top_CND.stl"},
      {"/boards.old/board", "/boards.old/board_CND.stl"},
      {"/boards/board", "/boards/board_CND.stl"},
      {"panel/a.b.PHO", "panel/a.b_CND.stl"},
      {folder + "/" + name + ".gbr", folder + "/" + name + "_CND.stl"},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(make_output_path(row.input, "_CND.stl"), fs::path(row.conductor)) << row.input;
  }
  EXPECT_EQ(make_output_path("/boards.old/board.gbr", "_INS.stl"),
            fs::path("/boards.old/board_INS.stl"));
}

TEST(Parameters, TopAndOutputFolder) {
  const conversion_parameters here = make_conversion_parameters("in/board.gbr", 0.1, 1.6);
  EXPECT_EQ(here.elevation, 0.1);
  EXPECT_EQ(here.top, 1.7000000000000002);  // one double addition
  EXPECT_EQ(here.conductor_path, fs::path("in/board_CND.stl"));
  EXPECT_EQ(here.insulator_path, fs::path("in/board_INS.stl"));

  const conversion_parameters there =
      make_conversion_parameters("in/board.gbr", 1, -1.5, fs::path("out"));
  EXPECT_EQ(there.top, -0.5);  // a negative thickness is taken as it is
  EXPECT_EQ(there.conductor_path, fs::path("out/board_CND.stl"));
  EXPECT_EQ(there.insulator_path, fs::path("out/board_INS.stl"));
}

// Copies a board from the test data into dir, so that solids written next to
// it land in the scratch folder.
fs::path copy_board(const ScratchDir& dir, const std::string& board) {
  fs::copy_file(kData / board, dir / board);
  return dir / board;
}

TEST(Convert, WholeFilesByteForByte) {
  struct Row {
    std::string board;  // the input is board.gbr
    double elevation;
    double thickness;
  };
  const Row rows[] = {
      {"pad", 0.0, 1.6}, {"track_pad", -0.2, 1.6},  // millimetres, CR LF lines
  };
  for (const Row& row : rows) {
    ScratchDir dir;
    const auto parameters = make_conversion_parameters(copy_board(dir, row.board + ".gbr"),
                                                       row.elevation, row.thickness);
    std::vector<Stage> stages;
    convert(parameters, [&](Stage stage, const ConversionReport&) { stages.push_back(stage); });
    EXPECT_EQ(stages, (std::vector<Stage>{Stage::read, Stage::split, Stage::grid, Stage::write}));
    for (const char* suffix : {"_CND.stl", "_INS.stl"}) {
      const std::string expected = read_file(kData / "expected" / (row.board + suffix));
      const std::string written = read_file(dir / (row.board + suffix));
      EXPECT_TRUE(written == expected) << row.board << suffix << " differs";
    }
    EXPECT_EQ(dir.entries().size(), 3u);
  }
}

// Coordinates that draw nothing leave an empty conductor: the report says so
// once, at the last line read.
TEST(Convert, NoCopperIsWarnedAbout) {
  const std::string head = "%FSLAX24Y24*%\n%ADD10R,0.0100X0.0100*%\n";
  const std::string empty[] = {
      head + "X1000Y1000D02*\nX2000Y2000D02*\n",          // only moves
      head + "X1000Y1000D02*\nX2000Y2000D4*\nM02*\n",     // a code that is no operation
      head + "X1000Y1000D03*\n%LPC*%\nX1000Y1000D03*\n",  // cleared again
  };
  for (const std::string& text : empty) {
    const Plotted plot = plot_text(text, "empty.gbr");
    ConversionReport report;
    grid_of(plot, report);
    EXPECT_EQ(report.copper_cells, 0u) << text;
    ASSERT_FALSE(report.warnings.empty()) << text;
    const Warning& last = report.warnings.back();
    EXPECT_EQ(last.kind, WarningKind::no_copper) << text;
    EXPECT_EQ(last.count, 1u);
    EXPECT_EQ(last.first_line, plot.records);
  }
  const Plotted copper = plot_text(head + "X1000Y1000D03*\n", "pad.gbr");
  ConversionReport report;
  grid_of(copper, report);
  for (const Warning& w : report.warnings) EXPECT_NE(w.kind, WarningKind::no_copper);
}

// The grid's limits belong to the grid: a panel (a board placed again by
// step and repeat) whose regions would make more rectangles than any grid
// takes converts in the exact model.
TEST(Convert, PanelBeyondTheGridInTheExactModel) {
  // A comb of 50 teeth 10 mm tall on a 1 mm base: 60 mm², and 5,001 region
  // rectangles (the teeth's slanted rows are 0.1 mm tall); 20 x 21 copies.
  const auto at = [](double v) { return std::to_string(std::lround(v * 1e6)); };
  std::string text = "%FSLAX46Y46*%\n%MOMM*%\n%SRX20Y21I12J12*%\nG36*\nX0Y0D02*\n";
  const auto line_to = [&](double x, double y) {
    text.append("X").append(at(x)).append("Y").append(at(y)).append("D01*\n");
  };
  for (int k = 0; k < 50; ++k) {
    line_to(k * 0.2 + 0.1, 10);
    line_to((k + 1) * 0.2, 0);
  }
  line_to(10, -1);
  line_to(0, -1);
  line_to(0, 0);
  text += "G37*\n";
  text += "%SR*%\nM02*\n";
  ScratchDir dir;
  write_file(dir / "panel.gbr", text);
  conversion_parameters p = make_conversion_parameters(dir / "panel.gbr", 0, 0.035);
  ConversionReport grid;
  try {
    build_solids(p, grid);
    ADD_FAILURE() << "the grid took the panel";
  } catch (const Error& e) {
    EXPECT_NE(std::string(e.what()).find("too many for any grid"), std::string::npos) << e.what();
  }
  p.geometry = Geometry::exact;
  p.stl.format = StlFormat::binary;
  ConversionReport exact;
  build_solids(p, exact);
  EXPECT_NEAR(exact.copper_area, 420 * 60.0, 0.01);
}

TEST(Convert, MakesTheOutputFolder) {
  ScratchDir dir;
  const fs::path input = copy_board(dir, "pad.gbr");
  convert(make_conversion_parameters(input, 0, 1.6, dir / "new" / "deeper"));
  EXPECT_EQ(read_file(dir / "new" / "deeper" / "pad_CND.stl"),
            read_file(kData / "expected/pad_CND.stl"));
}

TEST(Convert, ReplacesLargerFilesAndTakesLongNames) {
  ScratchDir dir;
  const std::string stem(245, 'b');  // the temporary's name must fit as well
  fs::copy_file(kData / "pad.gbr", dir / (stem + ".gbr"));
  write_file(dir / (stem + "_CND.stl"), std::string(100'000, 'x'));
  convert(make_conversion_parameters(dir / (stem + ".gbr"), 0, 1.6));
  EXPECT_EQ(read_file(dir / (stem + "_CND.stl")), read_file(kData / "expected/pad_CND.stl"));
  EXPECT_EQ(read_file(dir / (stem + "_INS.stl")), read_file(kData / "expected/pad_INS.stl"));
}

// A conversion that must fail: the old solids stay byte for byte, and no
// temporary is left in the folder.
class FailedConversion : public ::testing::Test {
 protected:
  void SetUp() override {
    input_ = copy_board(dir_, "pad.gbr");
    write_file(dir_ / "pad_CND.stl", kOldConductor);
    write_file(dir_ / "pad_INS.stl", kOldInsulator);
  }

  // Runs the conversion and returns the message it failed with.
  std::string fail(const conversion_parameters& parameters) {
    try {
      convert(parameters);
    } catch (const Error& e) {
      return e.what();
    }
    ADD_FAILURE() << "the conversion did not fail";
    return {};
  }

  void expect_old_files_kept() {
    EXPECT_EQ(read_file(dir_ / "pad_CND.stl"), kOldConductor);
    EXPECT_EQ(read_file(dir_ / "pad_INS.stl"), kOldInsulator);
    for (const std::string& name : dir_.entries()) {
      EXPECT_EQ(name.find(".partial-"), std::string::npos) << name;
    }
  }

  const std::string kOldConductor = " solid blob\r\n old conductor\r\n endsolid blob\r\n";
  const std::string kOldInsulator = std::string(20'000, 'i');
  ScratchDir dir_;
  fs::path input_;
};

TEST_F(FailedConversion, OutputFolderThatCannotBeMade) {
  // A missing folder is made (see Convert.MakesTheOutputFolder); one below a
  // file cannot be.
  write_file(dir_ / "file", "not a folder");
  const fs::path out = dir_ / "file" / "out";
  const std::string message = fail(make_conversion_parameters(input_, 0, 1.6, out));
  EXPECT_NE(message.find(out.string()), std::string::npos) << message;
  EXPECT_NE(message.find("Not a directory"), std::string::npos) << message;
  expect_old_files_kept();
}

TEST_F(FailedConversion, TargetNameIsAFolder) {
  // Either target; when the insulator's fails, the conductor already renamed
  // must get its old file back.
  for (const char* taken : {"pad_CND.stl", "pad_INS.stl"}) {
    const ScratchDir out;
    write_file(out / "pad_CND.stl", kOldConductor);
    write_file(out / "pad_INS.stl", kOldInsulator);
    fs::remove(out / taken);
    fs::create_directory(out / taken);
    const std::string message = fail(make_conversion_parameters(input_, 0, 1.6, out.path()));
    EXPECT_NE(message.find((out / taken).string()), std::string::npos) << message;
    EXPECT_TRUE(fs::is_directory(out / taken));
    for (const char* name : {"pad_CND.stl", "pad_INS.stl"}) {
      if (std::string(name) == taken) continue;
      EXPECT_EQ(read_file(out / name), name[4] == 'C' ? kOldConductor : kOldInsulator) << name;
    }
    EXPECT_EQ(out.entries().size(), 2u);
  }
  expect_old_files_kept();
}

TEST_F(FailedConversion, FullDisk) {
  // The two solids of pad.gbr are 2351 and 12415 bytes; a limit on the size
  // of each file stands in for the disk.
  for (const std::uint64_t limit : {0, 1, 13, 2351, 5000, 12414}) {
    std::string message;
    {
      const FileSizeLimit disk(limit);
      message = fail(make_conversion_parameters(input_, 0, 1.6));
    }
    EXPECT_NE(message.find("File too large"), std::string::npos) << limit << message;
    expect_old_files_kept();
  }
  {
    const FileSizeLimit disk(12415);
    convert(make_conversion_parameters(input_, 0, 1.6));
  }
  EXPECT_EQ(read_file(dir_ / "pad_INS.stl"), read_file(kData / "expected/pad_INS.stl"));
}

TEST_F(FailedConversion, UnreadableInput) {
  write_file(dir_ / "bad.gbr", "%FSLAX24Y24*%\nX1Y1D03*\nX1YD03*\n");
  write_file(dir_ / "bad_CND.stl", kOldConductor);
  const std::string message = fail(make_conversion_parameters(dir_ / "bad.gbr", 0, 1.6));
  EXPECT_EQ(message.rfind((dir_ / "bad.gbr").string() + ":3: ", 0), 0u) << message;
  EXPECT_TRUE(message.ends_with("\"X1YD03*\"")) << message;
  EXPECT_EQ(read_file(dir_ / "bad_CND.stl"), kOldConductor);
  EXPECT_FALSE(fs::exists(dir_ / "bad_INS.stl"));

  fs::remove(input_);
  const std::string missing = fail(make_conversion_parameters(input_, 0, 1.6));
  EXPECT_NE(missing.find(input_.string()), std::string::npos) << missing;
  expect_old_files_kept();
}

// Holes from drill files leave both bodies; a plated one keeps a ring of
// copper around its wall, in the copper it crosses, alone on bare board and
// within a clearance of the artwork. The volumes add up to the drilled board
// and the copper to the artwork with the holes and rings: each shape within
// its perimeter times the tolerance. The grid model refuses holes.
TEST(Convert, DrilledHolesInTheExactModel) {
  ScratchDir dir;
  // A 20 x 20 mm frame; a 4 mm pad at (5,5); a 4 mm square with a clearance
  // of 2 mm at (10,10); a 6 mm square at (15,5).
  write_file(dir / "layer.gbr",
             "%FSLAX46Y46*%\n%MOMM*%\n%ADD10C,0.1*%\n%ADD11R,4X4*%\n%ADD12C,2*%\n"
             "%ADD13R,6X6*%\nD10*\nX0Y0D02*\nX20000000Y0D01*\nX20000000Y20000000D01*\n"
             "X0Y20000000D01*\nX0Y0D01*\nD11*\nX5000000Y5000000D03*\nX10000000Y10000000D03*\n"
             "D13*\nX15000000Y5000000D03*\n%LPC*%\nD12*\nX10000000Y10000000D03*\nM02*\n");
  // Plated (the file does not say): in the pad, in the clearance, on bare
  // board, and a slot on bare board.
  write_file(dir / "plated.drl",
             "M48\nMETRIC\nT1C1.000\nT2C0.800\n%\nG90\nT1\nX5.0Y5.0\nX10.0Y10.0\nT2\n"
             "X15.0Y15.0\nT1\nX3.0Y15.0G85X7.0Y15.0\nM30\n");
  // A mounting hole through the 6 mm square.
  write_file(dir / "mounting.drl", "M48\nMETRIC\nT1C3.000\n%\nT1\nX15.0Y5.0\nM30\n");

  conversion_parameters p = make_conversion_parameters(dir / "layer.gbr", 1.0, 0.035);
  p.geometry = Geometry::exact;
  p.tolerance = 0.001;
  p.stl.format = StlFormat::ascii;
  p.drills = {{dir / "plated.drl", Plating::plated}, {dir / "mounting.drl", Plating::non_plated}};
  ConversionReport report;
  const ModelSolids built = build_solids(p, report);
  const auto& meshes = std::get<MeshSolids>(built);
  const exact::ExactSolids solids{meshes.bodies, report.copper_area, report.board_area, {}, {}, {}};
  const auto problem = check_solids(solids, 1.0, p.top);
  EXPECT_FALSE(problem) << *problem;

  constexpr double kPi = 3.14159265358979323846;
  const auto disc = [&](double r) { return kPi * r * r; };
  const auto slot = [&](double r) { return disc(r) + 2 * r * 4.0; };
  const double holes = 2 * disc(0.5) + disc(0.4) + slot(0.5) + disc(1.5);
  // Each shape within its perimeter times the tolerance.
  const double allowance = 0.001 * (2 * kPi * (3 * 0.5 + 0.4 + 1.5 + 4 * 0.525) + 16);
  EXPECT_NEAR(report.board_area, 400 - holes, allowance);
  const double rings = disc(0.525) - disc(0.5) + disc(0.425) - disc(0.4) + slot(0.525) - slot(0.5);
  const double copper = 16 - disc(0.5) + 16 - disc(1) + disc(0.525) - disc(0.5) + 36 - disc(1.5) +
                        disc(0.425) - disc(0.4) + slot(0.525) - slot(0.5);
  EXPECT_GT(rings, 0.2);
  EXPECT_NEAR(report.copper_area, copper, allowance);
  EXPECT_EQ(report.holes.holes, 5u);
  EXPECT_EQ(report.holes.slots, 1u);
  EXPECT_EQ(report.holes.plating(Plating::plated), 4u);
  EXPECT_EQ(report.holes.plating(Plating::non_plated), 1u);

  p.geometry = Geometry::grid;
  try {
    ConversionReport r;
    build_solids(p, r);
    ADD_FAILURE() << "the grid model cut holes";
  } catch (const Error& e) {
    EXPECT_NE(std::string(e.what()).find("--geometry exact"), std::string::npos) << e.what();
  }
}

// Each connected part of the copper is a body named after its net: checked on
// a short made by hand and on KiCad's plots of two demo boards, with the net
// attributes written both ways, which must part and name the copper alike,
// and drilled, where a pad's middle is its hole.
TEST(Convert, NetsNameTheCopperParts) {
  const fs::path nets = fs::path(FOILCAD_TEST_DATA) / "nets";
  const fs::path kicad = fs::path(FOILCAD_TEST_DATA) / "drill" / "kicad";
  const auto parted = [&](const fs::path& input, ConversionReport& report,
                          const fs::path& drill = {}) {
    conversion_parameters p = make_conversion_parameters(input, 0.0, 0.035);
    p.geometry = Geometry::exact;
    p.stl.format = StlFormat::binary;
    p.nets = true;
    if (!drill.empty()) p.drills = {{drill, Plating::plated}};
    const ModelSolids built = build_solids(p, report);
    const auto& meshes = std::get<MeshSolids>(built);
    std::vector<double> areas;
    for (const BodyReport& b : report.bodies) areas.push_back(b.area.value_or(-1));
    const exact::ExactSolids solids{
        meshes.bodies, report.copper_area, report.board_area, areas, {}, {}};
    const auto problem = check_solids(solids, 0.0, 0.035);
    EXPECT_FALSE(problem) << input << ": " << *problem;
    std::map<std::string, std::vector<std::string>> found;
    for (const BodyReport& b : report.bodies) found[b.body.name] = b.nets;
    return found;
  };

  // Pads of A and B joined by a track of A; a pad in N/C; a pad in no net.
  // Drilled, at the round pads' middles.
  const ScratchDir dir;
  write_file(dir / "pads.drl", "M48\nMETRIC\nT1C0.800\n%\nT1\nX5.0Y3.0\nX15.0Y3.0\nM30\n");
  for (const fs::path& drill : {fs::path(), dir / "pads.drl"}) {
    ConversionReport report;
    const auto shorted = parted(nets / "short.gbr", report, drill);
    const std::map<std::string, std::vector<std::string>> expected = {
        {"copper_1", {"A", "B"}}, {"copper_2", {}}, {"copper_3", {}}, {"insulator", {}}};
    EXPECT_EQ(shorted, expected) << drill;
    const auto joined = std::find_if(report.warnings.begin(), report.warnings.end(),
                                     [](auto& w) { return w.kind == WarningKind::joined_nets; });
    ASSERT_NE(joined, report.warnings.end()) << drill;
    EXPECT_EQ(joined->first_line, 25u);  // pad B's flash
    EXPECT_EQ(report.bodies[0].path.filename(), "short_CND_copper_1.stl");
  }

  const std::map<std::string, fs::path> drills = {
      {"ecc83-pp_v2", kicad / "ecc83-pp_v2" / "mm-decimal-g85-merged" / "ecc83-pp_v2.drl"},
      {"pic_programmer", kicad / "pic_programmer" / "mm-decimal-merged" / "pic_programmer.drl"}};
  for (const std::string board : {"ecc83-pp_v2", "pic_programmer"}) {
    std::set<std::string> names;
    std::istringstream listed(read_file(nets / (board + ".nets")));
    for (std::string name; std::getline(listed, name);) names.insert(name);
    ConversionReport x2, g04;
    const auto by_x2 = parted(nets / (board + "-x2.gbr"), x2);
    EXPECT_EQ(by_x2, parted(nets / (board + "-g04.gbr"), g04)) << board;
    EXPECT_EQ(x2.copper_area, g04.copper_area) << board;
    std::size_t named = 0;
    for (const auto& [name, seen] : by_x2) {
      if (name == "insulator" || name.starts_with("copper_")) continue;
      EXPECT_TRUE(names.contains(name)) << board << ": " << name;
      EXPECT_EQ(seen, std::vector<std::string>{name}) << board;
      ++named;
    }
    EXPECT_GT(named, names.size() / 2) << board;
    // Drilled, every net keeps its body (nearly every pad of the front
    // copper is alone there, its hole where its middle was).
    ConversionReport drilled;
    auto by_drilled = parted(nets / (board + "-x2.gbr"), drilled, drills.at(board));
    EXPECT_GT(drilled.holes.holes, 30u) << board;
    std::erase_if(by_drilled, [](const auto& b) { return b.first.starts_with("copper_"); });
    auto named_x2 = by_x2;
    std::erase_if(named_x2, [](const auto& b) { return b.first.starts_with("copper_"); });
    EXPECT_EQ(by_drilled, named_x2) << board;
  }
}

}  // namespace
}  // namespace foilcad
