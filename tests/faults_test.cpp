// Faults a conversion must survive without losing a file the user had or
// leaving a half-written one: signals during the writing.
#include <gtest/gtest.h>

#include <fcntl.h>
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
#include "convert/convert.hpp"
#include "test_support.hpp"

namespace foilcad {
namespace {

namespace fs = std::filesystem;
using testing::read_file;
using testing::ScratchDir;
using testing::write_file;

const fs::path kData = FOILCAD_TEST_DATA;

bool contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

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

TEST(StaleTemporaries, OnlyThoseOfEndedProcessesGo) {
  ScratchDir dir;
  const std::string dead = std::to_string(ended_process());
  const std::string running = std::to_string(::getppid());
  const std::string self = std::to_string(::getpid());
  const std::vector<std::string> gone = {
      "b_CND.stl.partial-" + dead + "-0", "b_CND.stl.partial-" + dead + "-17",
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
