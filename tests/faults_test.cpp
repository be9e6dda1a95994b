// Faults a conversion must survive without losing a file the user had or
// leaving a half-written one: limits refused before anything is written,
// inputs that are no photoplot, and signals during the writing.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "common/error.hpp"
#include "common/replacing.hpp"
#include "convert/convert.hpp"
#include "convert/limits.hpp"
#include "geometry/geometry.hpp"
#include "stl/solid_files.hpp"
#include "test_support.hpp"

namespace foilcad {
namespace {

namespace fs = std::filesystem;
using test_support::read_file;
using test_support::ScratchDir;
using test_support::write_file;

const fs::path kData = FOILCAD_TEST_DATA;

using test_support::contains;

// The message of the foilcad::Error that f throws, or "" after a failure.
template <class F>
std::string error_of(F&& f) {
  try {
    f();
  } catch (const Error& e) {
    return e.what();
  }
  ADD_FAILURE() << "no error";
  return {};
}

// ---------------------------------------------------------------- limits

TEST(Limits, CellMapThatDoesNotFitIsRefusedNamingTheGrid) {
  EXPECT_EQ(error_of([] { check_cell_map_memory(164425, 11746, 1'200'000'000); }),
            "the grid of 164425 x 11746 lines needs 1.93 GB for its cell map; "
            "1.20 GB are available");
  // Exactly enough, or no figure to go by: no refusal.
  const std::uint64_t cells = std::uint64_t{164424} * 11745;
  EXPECT_EQ(cell_map_bytes(164425, 11746), cells);
  EXPECT_NO_THROW(check_cell_map_memory(164425, 11746, cells));
  EXPECT_NO_THROW(check_cell_map_memory(164425, 11746, std::nullopt));
  EXPECT_THROW(check_cell_map_memory(164425, 11746, cells - 1), Error);
  // Line counts whose product overflows still count as too many.
  const std::uint64_t huge = std::uint64_t{1} << 40;
  EXPECT_EQ(cell_map_bytes(huge, huge), UINT64_MAX);
  EXPECT_THROW(check_cell_map_memory(huge, huge, UINT64_MAX - 1), Error);
  EXPECT_EQ(cell_map_bytes(2, 2), 1u);
  EXPECT_EQ(cell_map_bytes(1, 5), 0u);
}

TEST(Limits, SolidsThatDoNotFitAreRefusedNamingBothFigures) {
  const std::string message =
      error_of([] { check_disk_space("/out", 3'521'234'567, 1'000'000'000); });
  EXPECT_EQ(message,
            "/out: the solids need 3.52 GB (3521234567 bytes); its file system has 1.00 GB free "
            "(1000000000 bytes)");
  EXPECT_NO_THROW(check_disk_space("/out", 1000, 1000));
  EXPECT_THROW(check_disk_space("/out", 1001, 1000), Error);
}

TEST(Limits, SolidsThatCannotFitWhateverTheCellsHoldAreRefusedBeforeTheMap) {
  // Every cell is a box with at least its top and bottom faces.
  const std::uint64_t frame = least_layer_bytes(0);
  const std::uint64_t box = least_layer_bytes(1) - frame;
  EXPECT_GT(frame, 0u);
  EXPECT_EQ(least_layer_bytes(1000), frame + 1000 * box);
  EXPECT_EQ(least_layer_bytes(UINT64_MAX / 2), UINT64_MAX);
  for (const std::vector<std::uint8_t>& flags :
       {std::vector<std::uint8_t>(9, 0), std::vector<std::uint8_t>(9, 1),
        std::vector<std::uint8_t>{0, 1, 0, 1, 1, 1, 0, 1, 0}}) {
    CellMap map;
    map.columns = 3;
    map.rows = 3;
    map.flags = flags;
    EXPECT_GE(total_bytes(measure_cells(map)), least_layer_bytes(9));
  }

  ScratchDir dir;
  const GridCheck check = solids_space_check(make_conversion_parameters(dir / "b.gbr", 0, 1.6));
  CoordinateLists small;
  small.x = {0, 1, 2};
  small.y = {0, 1};
  EXPECT_NO_THROW(check(small));
  // A million lines a side: 10^12 cells, hundreds of terabytes at the least.
  CoordinateLists huge;
  huge.x.assign(1'000'000, 0.0);
  huge.y.assign(1'000'000, 0.0);
  const std::string message = error_of([&] { check(huge); });
  EXPECT_TRUE(contains(message, dir.path().string() + ": the grid of 1000000 x 1000000 lines "
                                                      "makes solids of at least "))
      << message;
  EXPECT_TRUE(contains(message, " free (")) << message;
}

TEST(Limits, FiguresInMessages) {
  EXPECT_EQ(format_bytes(0), "0 bytes");
  EXPECT_EQ(format_bytes(1), "1 byte");
  EXPECT_EQ(format_bytes(999), "999 bytes");
  EXPECT_EQ(format_bytes(1000), "1.00 kB");
  EXPECT_EQ(format_bytes(14'766), "14.8 kB");
  EXPECT_EQ(format_bytes(999'499), "999 kB");
  EXPECT_EQ(format_bytes(999'500), "1.00 MB");
  EXPECT_EQ(format_bytes(360'000'000'000), "360 GB");
  EXPECT_EQ(format_bytes(UINT64_MAX), "18.4 EB");
}

TEST(Limits, MemoryAvailableFromMeminfo) {
  const std::string meminfo =
      "MemTotal:       24669612 kB\nMemFree:        20000000 kB\n"
      "MemAvailable:   23896604 kB\nBuffers:          120000 kB\n";
  EXPECT_EQ(parse_mem_available(meminfo), std::uint64_t{23896604} * 1024);
  // Kernels before 3.14 have no such line; anything unreadable is no figure.
  for (const char* text :
       {"MemTotal: 1 kB\n", "", "MemAvailable: lots kB\n", "MemAvailable: 12 MB\n",
        "MemAvailable: -5 kB\n", "MemAvailable: 99999999999999999999 kB\n"}) {
    EXPECT_EQ(parse_mem_available(text), std::nullopt) << text;
  }
  // This machine has the line.
  EXPECT_NE(available_memory(), std::nullopt);
}

TEST(Limits, MemoryRoomUnderACgroupLimit) {
  EXPECT_EQ(parse_cgroup_room("1073741824\n", "73741824\n"), 1'000'000'000u);
  EXPECT_EQ(parse_cgroup_room("1000\n", "5000\n"), 0u);  // over the limit already
  // No limit: version 2's "max", version 1's number near 2^63; unreadable texts.
  for (const auto& [limit, usage] :
       std::vector<std::pair<std::string, std::string>>{{"max\n", "5\n"},
                                                        {"9223372036854771712\n", "5\n"},
                                                        {"", "5\n"},
                                                        {"12\n", "lots\n"},
                                                        {"-4\n", "5\n"}}) {
    EXPECT_EQ(parse_cgroup_room(limit, usage), std::nullopt) << limit << usage;
  }

  // A fake /sys/fs/cgroup: the least room of the process's cgroup and its
  // parents counts, in either version.
  ScratchDir root;
  const auto put = [&](const fs::path& folder, const std::string& limit_file,
                       const std::string& limit, const std::string& usage_file,
                       const std::string& usage) {
    fs::create_directories(root / folder);
    write_file(root / folder / limit_file, limit + "\n");
    write_file(root / folder / usage_file, usage + "\n");
  };
  put("app.slice", "memory.max", "8000", "memory.current", "1000");
  put("app.slice/job", "memory.max", "max", "memory.current", "900");
  EXPECT_EQ(cgroup_memory_room(root.path(), "0::/app.slice/job\n"), 7000u);
  put("app.slice/job", "memory.max", "3000", "memory.current", "900");
  EXPECT_EQ(cgroup_memory_room(root.path(), "0::/app.slice/job\n"), 2100u);
  EXPECT_EQ(cgroup_memory_room(root.path(), "0::/\n"), std::nullopt);
  EXPECT_EQ(cgroup_memory_room(root.path(), "0::/../../elsewhere\n"), std::nullopt);
  put("memory/docker/c1", "memory.limit_in_bytes", "4096", "memory.usage_in_bytes", "96");
  EXPECT_EQ(cgroup_memory_room(root.path(), "5:cpu,cpuacct:/x\n4:memory:/docker/c1\n"), 4000u);
  EXPECT_EQ(cgroup_memory_room(root.path(), "4:memory:/docker/c1\n0::/app.slice/job\n"), 2100u);
  EXPECT_EQ(cgroup_memory_room(root.path(), "4:cpu:/docker/c1\n"), std::nullopt);
  EXPECT_EQ(cgroup_memory_room(root.path() / "missing", "0::/app.slice/job\n"), std::nullopt);
}

TEST(Limits, FreeSpaceOfTheTargetFolder) {
  ScratchDir dir;
  const auto space = free_space(dir.path());
  ASSERT_NE(space, std::nullopt);
  EXPECT_GT(space->bytes, 0u);
  EXPECT_EQ(free_space(dir / "missing"), std::nullopt);
  EXPECT_EQ(folder_of("board_CND.stl"), fs::path("."));
  EXPECT_EQ(folder_of("/out/board_CND.stl"), fs::path("/out"));
}

// ------------------------------------------------------ inputs that are no photoplot

// A conversion of input that must fail before any solid is written: the
// message starts with the input's name and the folder holds what it held.
std::string refused_input(const ScratchDir& dir, const fs::path& input) {
  const std::vector<std::string> before = dir.entries();
  const std::string message = error_of([&] { convert(make_conversion_parameters(input, 0, 1.6)); });
  EXPECT_EQ(message.rfind(input.string() + ":", 0), 0u) << message;
  EXPECT_EQ(dir.entries(), before);
  return message;
}

TEST(Inputs, NothingToConvertIsAnError) {
  ScratchDir dir;
  struct Row {
    const char* name;
    std::string text;
    const char* said;
  };
  const Row rows[] = {
      {"empty.gbr", "", "the photoplot holds no coordinates: nothing to convert"},
      {"blank.gbr", "\n\r\n\n", "the photoplot holds no coordinates"},
      {"header.gbr", "G04 only a header*\n%FSLAX24Y24*%\n%MOIN*%\n%ADD10C,0.01*%\nM02*\n",
       "the photoplot holds no coordinates"},
      // A zero-size flash where no coordinate was ever set.
      {"origin.gbr", "%FSLAX24Y24*%\n%ADD10C,0*%\nD10*\nD03*\n", "holds no coordinates"},
      {"only_x.gbr", "%FSLAX24Y24*%\nX100D02*\nM02*\n", "holds no Y coordinate"},
      {"only_y.gbr", "%FSLAX24Y24*%\nY100D02*\nM02*\n", "holds no X coordinate"},
  };
  for (const Row& row : rows) {
    write_file(dir / row.name, row.text);
    const std::string message = refused_input(dir, dir / row.name);
    EXPECT_TRUE(contains(message, row.said)) << row.name << ": " << message;
  }
  // One flash with a size draws a box even without coordinates.
  write_file(dir / "flash.gbr", "%FSLAX24Y24*%\n%ADD10C,0.01*%\nD10*\nD03*\n");
  convert(make_conversion_parameters(dir / "flash.gbr", 0, 1.6));
  EXPECT_TRUE(fs::exists(dir / "flash_CND.stl"));
}

TEST(Inputs, FoldersAndBinaryFiles) {
  ScratchDir dir;
  fs::create_directory(dir / "folder.gbr");
  EXPECT_TRUE(contains(refused_input(dir, dir / "folder.gbr"), "Is a directory"));

  // Random bytes, with and without line ends and NUL bytes, and a program's
  // header: an unreadable field or no coordinates, never solids.
  std::mt19937 rng(7);
  for (int round = 0; round < 20; ++round) {
    std::string bytes(1000 + 500 * round, '\0');
    for (char& c : bytes) c = static_cast<char>(rng() % (round % 2 == 0 ? 256 : 128));
    write_file(dir / "noise.gbr", bytes);
    refused_input(dir, dir / "noise.gbr");
  }
  std::string program =
      "\x7f"
      "ELF\x02\x01\x01";
  program.append(64, '\0');
  program +=
      "X\x01\x02Y\x03"
      "D03*\nGLIBC_2.34\n";
  write_file(dir / "program.gbr", program);
  refused_input(dir, dir / "program.gbr");
}

// ------------------------------------------------------ the command-line converter

struct Outcome {
  int status = -1;  // exit status, or 128 + the signal that ended it
  std::string err;
};

// Starts foilcad-convert in dir with args; its stderr goes to dir/.err.
pid_t start(const ScratchDir& dir, const std::vector<std::string>& args) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    if (::chdir(dir.path().c_str()) != 0) ::_exit(120);
    const int err = ::open(".err", O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int null = ::open("/dev/null", O_RDWR);
    if (err < 0 || null < 0) ::_exit(121);
    ::dup2(null, 0);
    ::dup2(null, 1);
    ::dup2(err, 2);
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(FOILCAD_CONVERT_EXE));
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    ::execv(argv[0], argv.data());
    ::_exit(122);
  }
  return pid;
}

Outcome finish(const ScratchDir& dir, pid_t pid) {
  int raw = 0;
  Outcome result;
  if (::waitpid(pid, &raw, 0) == pid) {
    if (WIFEXITED(raw)) result.status = WEXITSTATUS(raw);
    if (WIFSIGNALED(raw)) result.status = 128 + WTERMSIG(raw);
  }
  result.err = read_file(dir / ".err");
  fs::remove(dir / ".err");
  return result;
}

Outcome run(const ScratchDir& dir, const std::vector<std::string>& args) {
  return finish(dir, start(dir, args));
}

// Appends "X<x>Y<y>D03*". Appended piece by piece, which keeps GCC 12's
// -Wrestrict quiet.
void add_flash(std::string& text, long x, long y) {
  text.append("X").append(std::to_string(x)).append("Y").append(std::to_string(y)).append("D03*\n");
}

TEST(CliFaults, InputsThatAreNoPhotoplotExitWithOne) {
  ScratchDir dir;
  fs::create_directory(dir / "folder.gbr");
  write_file(dir / "empty.gbr", "");
  write_file(dir / "binary.gbr", std::string("\x7f"
                                             "ELF\x02\x01\x01\0\0\0",
                                             10) +
                                     "\xff\xfe");
  for (const char* name : {"folder.gbr", "empty.gbr", "binary.gbr"}) {
    const Outcome r = run(dir, {"-q", "--thickness", "1.6", name});
    EXPECT_EQ(r.status, 1) << name;
    EXPECT_TRUE(r.err.starts_with(std::string("foilcad-convert: ") + name + ": ")) << r.err;
  }
  EXPECT_EQ(dir.entries(), (std::vector<std::string>{"binary.gbr", "empty.gbr", "folder.gbr"}));
}

TEST(CliFaults, TargetThatIsAFolderExitsWithOne) {
  ScratchDir dir;
  fs::copy_file(kData / "pad.gbr", dir / "pad.gbr");
  fs::create_directory(dir / "pad_INS.stl");
  write_file(dir / "pad_CND.stl", "old");
  const Outcome r = run(dir, {"-q", "--thickness", "1.6", "pad.gbr"});
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(contains(r.err, "pad_INS.stl: cannot replace")) << r.err;
  EXPECT_EQ(read_file(dir / "pad_CND.stl"), "old");
  EXPECT_EQ(dir.entries(), (std::vector<std::string>{"pad.gbr", "pad_CND.stl", "pad_INS.stl"}));
}

TEST(CliFaults, ForceIsAcceptedAndARefusalWritesNothing) {
  ScratchDir dir;
  fs::copy_file(kData / "pad.gbr", dir / "pad.gbr");
  const Outcome forced = run(dir, {"-q", "--force", "--thickness", "1.6", "pad.gbr"});
  EXPECT_EQ(forced.status, 0) << forced.err;
  EXPECT_EQ(read_file(dir / "pad_CND.stl"), read_file(kData / "expected/pad_CND.stl"));

  // 300000 flashes on a diagonal: 600000 grid lines a side, whose cell map
  // (360 GB) no test machine has. Without a figure for the memory available
  // the converter would try to allocate it.
  if (!available_memory()) GTEST_SKIP() << "no MemAvailable in /proc/meminfo";
  std::string text = "%FSLAX24Y24*%\n%MOIN*%\n%ADD10C,0.002*%\nD10*\n";
  for (int i = 0; i < 300'000; ++i) {
    add_flash(text, i * 100, i * 100);
  }
  write_file(dir / "diagonal.gbr", text);
  const Outcome refused =
      run(dir, {"-q", "--force", "--thickness", "1.6", "--json", "d.json", "diagonal.gbr"});
  EXPECT_EQ(refused.status, 1);
  EXPECT_TRUE(contains(refused.err,
                       "the grid of 600000 x 600000 lines needs 360 GB for its "
                       "cell map; "))
      << refused.err;
  EXPECT_EQ(dir.entries(),
            (std::vector<std::string>{"diagonal.gbr", "pad.gbr", "pad_CND.stl", "pad_INS.stl"}));
  // Without --force the solids' least size (279 TB) is refused first, in a
  // dry run too.
  for (const bool dry : {false, true}) {
    std::vector<std::string> args = {"-q", "--thickness", "1.6", "diagonal.gbr"};
    if (dry) args.insert(args.begin(), "--dry-run");
    const Outcome unforced = run(dir, args);
    EXPECT_EQ(unforced.status, 1);
    EXPECT_TRUE(
        contains(unforced.err, "the grid of 600000 x 600000 lines makes solids of at least "))
        << unforced.err;
  }
  EXPECT_EQ(dir.entries(),
            (std::vector<std::string>{"diagonal.gbr", "pad.gbr", "pad_CND.stl", "pad_INS.stl"}));
}

// ------------------------------------------------------ signals during the writing

// A board of n x n square pads, each a cell of its own: about 6 MB of solids
// per thousand pads, written in a good fraction of a second for n = 250.
std::string pad_grid(int n) {
  std::string text = "%FSLAX24Y24*%\n%MOIN*%\n%ADD10R,0.0100X0.0100*%\nD10*\n";
  for (int i = 0; i < n; ++i) {
    for (int k = 0; k < n; ++k) {
      add_flash(text, i * 200, k * 200);
    }
  }
  return text + "M02*\n";
}

std::vector<fs::path> temporaries(const ScratchDir& dir) {
  std::vector<fs::path> found;
  for (const auto& entry : fs::directory_iterator(dir.path())) {
    if (contains(entry.path().filename().string(), ".partial-")) found.push_back(entry.path());
  }
  return found;
}

std::uintmax_t size_or_zero(const fs::path& path) {
  std::error_code error;
  const std::uintmax_t size = fs::file_size(path, error);
  return error ? 0 : size;
}

// A conversion of a big board stopped (SIGSTOP) while both temporaries exist
// and neither is complete, with old solids under the target names.
class InterruptedWrite : public ::testing::Test {
 protected:
  void SetUp() override {
    write_file(dir_ / "board.gbr", pad_grid(250));
    write_file(dir_ / "board_CND.stl", kOldConductor);
    write_file(dir_ / "board_INS.stl", kOldInsulator);
  }

  // Starts the conversion and stops it in the middle of the writing. Stopped
  // while a temporary is shorter than any solid of this board can be, the
  // process is before the renames, whatever it does when it goes on.
  pid_t start_and_stop_mid_write() {
    const pid_t pid = start(dir_, {"-q", "--thickness", "1.6", "board.gbr"});
    for (int tries = 0; tries < 20'000; ++tries) {
      const std::vector<fs::path> found = temporaries(dir_);
      if (found.size() == 2 && size_or_zero(found[0]) > 0 && size_or_zero(found[1]) > 0) {
        ::kill(pid, SIGSTOP);
        int raw = 0;
        if (::waitpid(pid, &raw, WUNTRACED) != pid || !WIFSTOPPED(raw)) {
          ADD_FAILURE() << "the conversion ended before it could be stopped";
          return -1;
        }
        const std::vector<fs::path> still = temporaries(dir_);
        bool short_files = still.size() == 2;
        for (const fs::path& p : still) short_files = short_files && size_or_zero(p) < kTooShort;
        if (short_files) return pid;
        ::kill(pid, SIGCONT);
      }
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    ADD_FAILURE() << "never found the conversion in the middle of the writing";
    ::kill(pid, SIGKILL);
    finish(dir_, pid);
    return -1;
  }

  void expect_old_files_kept() {
    EXPECT_EQ(read_file(dir_ / "board_CND.stl"), kOldConductor);
    EXPECT_EQ(read_file(dir_ / "board_INS.stl"), kOldInsulator);
  }

  // Both solids of the 250 x 250 pads are well over 100 MB.
  static constexpr std::uintmax_t kTooShort = 100'000'000;
  const std::string kOldConductor = " solid blob\r\n old conductor\r\n endsolid blob\r\n";
  const std::string kOldInsulator = std::string(50'000, 'i');
  ScratchDir dir_;
};

TEST_F(InterruptedWrite, SigintAndSigtermRemoveTheTemporaries) {
  for (const int signo : {SIGINT, SIGTERM}) {
    SCOPED_TRACE(signo);
    const pid_t pid = start_and_stop_mid_write();
    ASSERT_GT(pid, 0);
    ::kill(pid, signo);
    ::kill(pid, SIGCONT);
    const Outcome r = finish(dir_, pid);
    EXPECT_EQ(r.status, 128 + signo) << r.err;
    EXPECT_EQ(temporaries(dir_), std::vector<fs::path>{});
    expect_old_files_kept();
    EXPECT_EQ(dir_.entries(),
              (std::vector<std::string>{"board.gbr", "board_CND.stl", "board_INS.stl"}));
  }
}

TEST_F(InterruptedWrite, SigkillLeavesTemporariesTheNextConversionRemoves) {
  const pid_t pid = start_and_stop_mid_write();
  ASSERT_GT(pid, 0);
  ::kill(pid, SIGKILL);
  EXPECT_EQ(finish(dir_, pid).status, 128 + SIGKILL);
  expect_old_files_kept();
  // "<target>.partial-PID-N", one for each target.
  const std::string tag = ".partial-" + std::to_string(pid) + "-";
  std::vector<std::string> left;
  for (const fs::path& p : temporaries(dir_)) left.push_back(p.filename().string());
  std::sort(left.begin(), left.end());
  ASSERT_EQ(left.size(), 2u);
  EXPECT_TRUE(left[0].starts_with("board_CND.stl" + tag)) << left[0];
  EXPECT_TRUE(left[1].starts_with("board_INS.stl" + tag)) << left[1];

  // A temporary of a process that still runs (this test), and names that are
  // no temporaries of the targets, stay.
  const std::string alive = "board_CND.stl.partial-" + std::to_string(::getpid()) + "-9";
  const std::vector<std::string> kept = {alive, "board_INS.stl.partial-notes",
                                         "other_CND.stl.partial-" + std::to_string(pid) + "-0"};
  for (const std::string& name : kept) write_file(dir_ / name, "kept");

  write_file(dir_ / "board.gbr", read_file(kData / "pad.gbr"));
  const Outcome next = run(dir_, {"-q", "--thickness", "1.6", "board.gbr"});
  EXPECT_EQ(next.status, 0) << next.err;
  EXPECT_EQ(read_file(dir_ / "board_CND.stl"), read_file(kData / "expected/pad_CND.stl"));
  EXPECT_EQ(read_file(dir_ / "board_INS.stl"), read_file(kData / "expected/pad_INS.stl"));
  for (const std::string& name : left) EXPECT_FALSE(fs::exists(dir_ / name)) << name;
  for (const std::string& name : kept) EXPECT_EQ(read_file(dir_ / name), "kept") << name;
}

// ------------------------------------------------------ stale temporaries

// The id of a process that has ended and been reaped.
pid_t ended_process() {
  const pid_t pid = ::fork();
  if (pid == 0) ::_exit(0);
  int raw = 0;
  ::waitpid(pid, &raw, 0);
  return pid;
}

// The preview and the summary go through a temporary like the solids.
TEST(Replacing, OnlyACompleteFileReplacesTheOldOne) {
  ScratchDir dir;
  const fs::path target = dir / "board.png";
  write_file(target, "old");
  const auto put = [](int fd, std::string_view text) {
    ASSERT_EQ(::write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
  };
  EXPECT_THROW(write_file_replacing(target,
                                    [&](int fd) {
                                      put(fd, "half");
                                      throw Error("the encoder failed");
                                    }),
               Error);
  EXPECT_EQ(read_file(target), "old");
  EXPECT_EQ(dir.entries(), std::vector<std::string>{"board.png"});
  write_file_replacing(target, [&](int fd) { put(fd, "new picture"); });
  EXPECT_EQ(read_file(target), "new picture");
  EXPECT_EQ(dir.entries(), std::vector<std::string>{"board.png"});
  // A file that was not there is made; a folder that is not there is an error.
  write_file_replacing(dir / "summary.json", [&](int fd) { put(fd, "{}"); });
  EXPECT_EQ(read_file(dir / "summary.json"), "{}");
  EXPECT_THROW(write_file_replacing(dir / "missing" / "a.png", [](int) {}), Error);
}

TEST(StaleTemporaries, OnlyThoseOfEndedProcessesGo) {
  ScratchDir dir;
  const std::string dead = std::to_string(ended_process());
  const std::string running = std::to_string(::getppid());
  const std::string self = std::to_string(::getpid());
  const std::vector<std::string> gone = {"b_CND.stl.partial-" + dead + "-0",
                                         "b_CND.stl.partial-" + dead + "-17",
                                         "b_CND.stl.partial-" + dead + "-0.previous"};
  const std::vector<std::string> stay = {
      "b_CND.stl",
      "b_CND.stl.partial-" + running + "-0",
      "b_CND.stl.partial-" + self + "-3",
      "b_CND.stl.partial-" + dead,
      "b_CND.stl.partial-" + dead + "-",
      "b_CND.stl.partial-" + dead + "-1x",
      "b_CND.stl.partial--" + dead + "-1",
      "b_CND.stl.partial-x" + dead + "-1",
      "b_INS.stl.partial-" + dead + "-1",
      "a_CND.stl.partial-" + dead + "-1",
  };
  for (const auto& name : gone) write_file(dir / name, "x");
  for (const auto& name : stay) write_file(dir / name, "x");
  fs::create_directory(dir / ("b_CND.stl.partial-" + dead + "-5"));  // not a file
  remove_stale_temporaries(dir / "b_CND.stl");
  for (const auto& name : gone) EXPECT_FALSE(fs::exists(dir / name)) << name;
  for (const auto& name : stay) EXPECT_TRUE(fs::exists(dir / name)) << name;
  EXPECT_TRUE(fs::is_directory(dir / ("b_CND.stl.partial-" + dead + "-5")));

  // Long target names are cut to 200 bytes in the temporary's name.
  const std::string long_name(240, 'n');
  write_file(dir / (long_name.substr(0, 200) + ".partial-" + dead + "-2"), "x");
  remove_stale_temporaries(dir / long_name);
  EXPECT_FALSE(fs::exists(dir / (long_name.substr(0, 200) + ".partial-" + dead + "-2")));
  // A folder that does not exist is left to the write to report.
  EXPECT_NO_THROW(remove_stale_temporaries(dir / "missing" / "b_CND.stl"));
}

}  // namespace
}  // namespace foilcad
