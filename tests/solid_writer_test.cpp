// The block writer of the solid files against the sinks in memory: the same
// bytes on grids whose files span several blocks, and failures that leave no
// temporaries and no touched targets, whenever in the run they come.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "common/error.hpp"
#include "stl/solid_files.hpp"
#include "support/conversions.hpp"

namespace foilcad {
namespace {

namespace fs = std::filesystem;

class StringSink : public ByteSink {
 public:
  void write(std::string_view bytes) override { text.append(bytes); }
  std::string text;
};

std::string read_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// A grid of columns x rows cells with uneven spacing, copper in random blocks
// and single cells, so that boxes of every size occur.
Grid make_grid(std::size_t columns, std::size_t rows, unsigned seed, int copper_percent) {
  std::mt19937 rng(seed);
  Grid grid;
  double x = -3.0;
  for (std::size_t i = 0; i <= columns; ++i) grid.lists.x.push_back(x += 0.05 * (rng() % 7));
  double y = 100.0;
  for (std::size_t k = 0; k <= rows; ++k) grid.lists.y.push_back(y += 0.13 * (rng() % 5));
  grid.map.columns = columns;
  grid.map.rows = rows;
  grid.map.flags.assign(columns * rows, 0);
  for (auto& flag : grid.map.flags) flag = static_cast<int>(rng() % 100) < copper_percent;
  return grid;
}

class SolidWriterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("foilcad-writer-" + std::to_string(::getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  // Writes the files into dir and expects exactly what the sinks get.
  void expect_same_bytes(const Grid& grid, const fs::path& dir) {
    StringSink conductor;
    StringSink insulator;
    const SolidSizes expected = emit_layer(conductor, insulator, 0.0, 1.6, grid);
    const SolidSizes summary = write_layer(dir / "b_CND.stl", dir / "b_INS.stl", 0.0, 1.6, grid);
    EXPECT_EQ(summary[0].bytes, expected[0].bytes);
    EXPECT_EQ(summary[1].bytes, expected[1].bytes);
    EXPECT_EQ(summary[0].boxes, expected[0].boxes);
    EXPECT_EQ(summary[1].boxes, expected[1].boxes);
    EXPECT_TRUE(read_file(dir / "b_CND.stl") == conductor.text);
    EXPECT_TRUE(read_file(dir / "b_INS.stl") == insulator.text);
    EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 2);
  }

  fs::path dir_;
};

TEST_F(SolidWriterTest, SameBytesAsTheSimplePath) {
  // One cell; all copper; no copper; files of several 4 MiB blocks each,
  // where boxes straddle the block ends.
  expect_same_bytes(make_grid(1, 1, 1, 100), dir_);
  expect_same_bytes(make_grid(7, 3, 2, 100), dir_);
  expect_same_bytes(make_grid(5, 9, 3, 0), dir_);
  expect_same_bytes(make_grid(130, 110, 4, 40), dir_);
  expect_same_bytes(make_grid(300, 90, 5, 3), dir_);
}

TEST_F(SolidWriterTest, EveryEncodingMergedOrNotAndItsProgress) {
  // Unmerged binary and text files of several blocks; merged ones of one.
  const Grid grid = make_grid(300, 90, 9, 30);
  for (const StlFormat format : {StlFormat::classic, StlFormat::ascii, StlFormat::binary}) {
    for (const bool merge : {false, true}) {
      SCOPED_TRACE(std::string(format_name(format)) + (merge ? " merged" : ""));
      const StlOptions stl{format, merge};
      StringSink conductor;
      StringSink insulator;
      const SolidSizes expected = emit_layer(conductor, insulator, 0.0, 1.6, grid, stl);
      const std::uint64_t total = expected[0].bytes + expected[1].bytes;
      std::vector<std::pair<std::uint64_t, std::uint64_t>> calls;
      WriteOptions options;
      options.stl = stl;
      options.progress = [&](std::uint64_t done, std::uint64_t all) {
        calls.push_back({done, all});
      };
      const SolidSizes summary =
          write_layer(dir_ / "b_CND.stl", dir_ / "b_INS.stl", 0.0, 1.6, grid, options);
      EXPECT_EQ(summary, expected);
      EXPECT_TRUE(read_file(dir_ / "b_CND.stl") == conductor.text);
      EXPECT_TRUE(read_file(dir_ / "b_INS.stl") == insulator.text);
      // Told as blocks go out, never backwards, and complete at the end.
      ASSERT_FALSE(calls.empty());
      EXPECT_EQ(calls.back(), std::make_pair(total, total));
      for (std::size_t c = 1; c < calls.size(); ++c) {
        EXPECT_LE(calls[c - 1].first, calls[c].first);
        EXPECT_EQ(calls[c].second, total);
      }
      if (std::max(expected[0].bytes, expected[1].bytes) > 2 * kWriteBlock) {
        EXPECT_GT(calls.size(), 2u);
      }
    }
  }
}

TEST_F(SolidWriterTest, SameBytesWhereDirectWritesAreRefused) {
  // tmpfs takes no O_DIRECT: the writer falls back to ordinary writes.
  const fs::path shm = "/dev/shm";
  if (!fs::is_directory(shm)) GTEST_SKIP() << "no /dev/shm";
  const fs::path dir = shm / ("foilcad-writer-" + std::to_string(::getpid()));
  fs::create_directories(dir);
  expect_same_bytes(make_grid(120, 100, 6, 30), dir);
  fs::remove_all(dir);
}

TEST_F(SolidWriterTest, AFullDiskAnywhereLeavesTheTargetsAsTheyWere) {
  const Grid grid = make_grid(130, 110, 7, 40);
  StringSink conductor;
  StringSink insulator;
  const SolidSizes whole = emit_layer(conductor, insulator, 0.0, 1.6, grid);
  const std::uint64_t largest = std::max(whole[0].bytes, whole[1].bytes);
  {
    std::ofstream(dir_ / "b_CND.stl") << "old conductor";
    std::ofstream(dir_ / "b_INS.stl") << "old insulator";
  }
  // Before the first byte, inside the first block, at a block's end, and one
  // byte short of the larger file's end (a limit on each file's size stands
  // in for the disk).
  for (const std::uint64_t limit :
       {std::uint64_t{0}, std::uint64_t{1000}, std::uint64_t{kWriteBlock}, largest - 1}) {
    SCOPED_TRACE(limit);
    try {
      const FileSizeLimit disk(limit);
      write_layer(dir_ / "b_CND.stl", dir_ / "b_INS.stl", 0.0, 1.6, grid);
      ADD_FAILURE() << "no error";
    } catch (const Error& e) {
      EXPECT_NE(std::string(e.what()).find("File too large"), std::string::npos) << e.what();
    }
    EXPECT_EQ(read_file(dir_ / "b_CND.stl"), "old conductor");
    EXPECT_EQ(read_file(dir_ / "b_INS.stl"), "old insulator");
    EXPECT_EQ(std::distance(fs::directory_iterator(dir_), fs::directory_iterator()), 2);
  }
  // Exactly enough room.
  {
    const FileSizeLimit disk(largest);
    write_layer(dir_ / "b_CND.stl", dir_ / "b_INS.stl", 0.0, 1.6, grid);
  }
  EXPECT_TRUE(read_file(dir_ / "b_CND.stl") == conductor.text);
  EXPECT_TRUE(read_file(dir_ / "b_INS.stl") == insulator.text);
}

TEST_F(SolidWriterTest, WritesIntoOpenFilesAndLeavesThemOpen) {
  const Grid grid = make_grid(40, 30, 8, 50);
  StringSink conductor;
  StringSink insulator;
  emit_layer(conductor, insulator, -1.0, 2.5, grid);
  const fs::path c = dir_ / "c.stl";
  const fs::path i = dir_ / "i.stl";
  std::ofstream(c).close();
  std::ofstream(i).close();
  const int cfd = ::open(c.c_str(), O_WRONLY);
  const int ifd = ::open(i.c_str(), O_WRONLY);
  ASSERT_GE(cfd, 0);
  ASSERT_GE(ifd, 0);
  const OpenSolid files[] = {{cfd, c}, {ifd, i}};
  write_open_grid_solids(files, grid, grid_bodies(-1.0, 2.5), {});
  EXPECT_EQ(::write(cfd, "", 0), 0);  // still open
  ::close(cfd);
  ::close(ifd);
  EXPECT_TRUE(read_file(c) == conductor.text);
  EXPECT_TRUE(read_file(i) == insulator.text);
}

// A sheet of columns x rows quads, two triangles each, at uneven points and
// two heights: text of some 200 bytes a facet.
Mesh make_sheet(std::size_t columns, std::size_t rows, unsigned seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<double> jitter(0.0, 0.01);
  Mesh mesh;
  for (std::size_t k = 0; k <= rows; ++k) {
    for (std::size_t i = 0; i <= columns; ++i) {
      mesh.vertices.push_back({0.1 * i + jitter(rng), 0.1 * k + jitter(rng), k % 2 ? 0.035 : 0.0});
    }
  }
  const auto at = [&](std::size_t i, std::size_t k) {
    return static_cast<std::uint32_t>(k * (columns + 1) + i);
  };
  for (std::size_t k = 0; k < rows; ++k) {
    for (std::size_t i = 0; i < columns; ++i) {
      mesh.triangles.push_back({at(i, k), at(i + 1, k), at(i + 1, k + 1)});
      mesh.triangles.push_back({at(i, k), at(i + 1, k + 1), at(i, k + 1)});
    }
  }
  return mesh;
}

TEST_F(SolidWriterTest, MeshesWrittenSideBySideAndTheirProgress) {
  // Each solid in turn the larger one, of several blocks.
  const Mesh small = make_sheet(60, 50, 1);
  const Mesh large = make_sheet(150, 120, 2);
  for (const StlFormat format : {StlFormat::ascii, StlFormat::binary}) {
    for (const bool large_conductor : {false, true}) {
      SCOPED_TRACE(std::string(format_name(format)) + (large_conductor ? " conductor" : ""));
      const Mesh& conductor_mesh = large_conductor ? large : small;
      const Mesh& insulator_mesh = large_conductor ? small : large;
      StringSink conductor;
      StringSink insulator;
      const SolidSizes expected =
          emit_layer(conductor, insulator, conductor_mesh, insulator_mesh, format);
      const std::uint64_t total = expected[0].bytes + expected[1].bytes;
      std::vector<std::uint64_t> done;
      WriteOptions options;
      options.stl.format = format;
      // A progress bar draws on the thread that asked for the write.
      const std::thread::id caller = std::this_thread::get_id();
      options.progress = [&](std::uint64_t written, std::uint64_t all) {
        EXPECT_EQ(std::this_thread::get_id(), caller);
        EXPECT_EQ(all, total);
        done.push_back(written);
      };
      EXPECT_EQ(write_layer(dir_ / "m_CND.stl", dir_ / "m_INS.stl", conductor_mesh, insulator_mesh,
                            options),
                expected);
      EXPECT_TRUE(read_file(dir_ / "m_CND.stl") == conductor.text);
      EXPECT_TRUE(read_file(dir_ / "m_INS.stl") == insulator.text);
      ASSERT_FALSE(done.empty());
      EXPECT_EQ(done.back(), total);
      EXPECT_TRUE(std::is_sorted(done.begin(), done.end()));
      // A full disk, whichever solid meets it first, leaves the targets as
      // they were.
      const std::uint64_t largest = std::max(expected[0].bytes, expected[1].bytes);
      for (const std::uint64_t limit : {std::uint64_t{0}, largest / 2, largest - 1}) {
        SCOPED_TRACE(limit);
        {
          const FileSizeLimit disk(limit);
          EXPECT_THROW(write_layer(dir_ / "m_CND.stl", dir_ / "m_INS.stl", conductor_mesh,
                                   insulator_mesh, options),
                       Error);
        }
        EXPECT_TRUE(read_file(dir_ / "m_CND.stl") == conductor.text);
        EXPECT_TRUE(read_file(dir_ / "m_INS.stl") == insulator.text);
        EXPECT_EQ(std::distance(fs::directory_iterator(dir_), fs::directory_iterator()), 2);
      }
    }
  }
}

}  // namespace
}  // namespace foilcad
