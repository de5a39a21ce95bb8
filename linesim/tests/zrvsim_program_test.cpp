// The zrvsim program: its COM link in a prefix, the ready file, the image kept
// across a restart, a clean stop on SIGTERM or "quit", refused options.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "control_server.h"
#include "linesim_test_support.h"

extern char** environ;

namespace {

using linesim_test::TempDir;
using linesim_test::WaitUntil;

const std::string kRecord = "0102040506150000aabbccddeeff00112233445566778899aabbccddeeff";

class Zrvsim {
 public:
  explicit Zrvsim(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), ZRVSIM_PATH);
    std::vector<char*> argv;
    for (std::string& argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    if (posix_spawn(&pid_, ZRVSIM_PATH, &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
  }
  ~Zrvsim() {
    if (pid_ > 0 && !status_) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
  }

  void Signal(int signal) { kill(pid_, signal); }

  // The exit status, if the program ends within the bound.
  std::optional<int> Exit() {
    WaitUntil([this] {
      int status = 0;
      if (!status_ && waitpid(pid_, &status, WNOHANG) == pid_) {
        status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      }
      return status_.has_value();
    });
    return status_;
  }

 private:
  pid_t pid_ = -1;
  std::optional<int> status_;
};

std::map<std::string, std::string> ReadyValues(const std::string& path) {
  std::map<std::string, std::string> values;
  std::ifstream file(path);
  for (std::string line; std::getline(file, line);) {
    const size_t equals = line.find('=');
    if (equals != std::string::npos) values[line.substr(0, equals)] = line.substr(equals + 1);
  }
  return values;
}

std::string Control(const std::string& socket, const std::string& command) {
  std::string answer;
  linesim::SendControlCommand(socket, command, answer, 5000);
  return answer;
}

class ZrvsimProgram : public ::testing::Test {
 protected:
  void SetUp() override { std::filesystem::create_directories(dir.File("prefix/dosdevices")); }

  std::vector<std::string> Options() {
    return {"--prefix", dir.File("prefix"), "--com",        "7",
            "--image",  dir.File("image"),  "--control",    dir.File("control"),
            "--cable",  dir.File("cable"),  "--ready-file", dir.File("ready")};
  }
  bool Ready() {
    return WaitUntil([this] { return std::filesystem::exists(dir.File("ready")); });
  }
  std::string Link() const { return dir.File("prefix/dosdevices/com7"); }

  TempDir dir;
};

TEST_F(ZrvsimProgram, LinksTheComPortAndCleansUpOnSigterm) {
  Zrvsim zrvsim(Options());
  ASSERT_TRUE(Ready());
  const std::map<std::string, std::string> ready = ReadyValues(dir.File("ready"));
  ASSERT_EQ(ready.count("ZRVLINE_PTY"), 1u);
  EXPECT_EQ(std::filesystem::read_symlink(Link()).string(), ready.at("ZRVLINE_PTY"));
  EXPECT_EQ(ready.at("ZRVLINE_CABLE"), dir.File("cable"));
  EXPECT_EQ(ready.at("ZRVSIM_CONTROL"), dir.File("control"));
  EXPECT_EQ(std::filesystem::file_size(dir.File("image")), 27930u) << "a new device's image";

  zrvsim.Signal(SIGTERM);
  EXPECT_EQ(zrvsim.Exit(), 0);
  EXPECT_FALSE(std::filesystem::is_symlink(Link()));
  EXPECT_FALSE(std::filesystem::exists(dir.File("ready")));
  EXPECT_FALSE(std::filesystem::exists(dir.File("cable")));
}

TEST_F(ZrvsimProgram, RecordsSurviveARestart) {
  {
    Zrvsim first(Options());
    ASSERT_TRUE(Ready());
    ASSERT_EQ(Control(dir.File("control"), "record 931 " + kRecord), "ok\n");
    first.Signal(SIGINT);
    ASSERT_EQ(first.Exit(), 0);
  }
  Zrvsim second(Options());
  ASSERT_TRUE(Ready());
  EXPECT_EQ(Control(dir.File("control"), "record 931"), kRecord + "\nok\n");
  EXPECT_EQ(Control(dir.File("control"), "quit"), "ok\n");
  EXPECT_EQ(second.Exit(), 0);
}

TEST_F(ZrvsimProgram, ReplacesAStaleLink) {
  std::filesystem::create_symlink("/dev/null", Link());
  Zrvsim zrvsim(Options());
  ASSERT_TRUE(Ready());
  EXPECT_EQ(std::filesystem::read_symlink(Link()).string(),
            ReadyValues(dir.File("ready")).at("ZRVLINE_PTY"));
  zrvsim.Signal(SIGTERM);
  EXPECT_EQ(zrvsim.Exit(), 0);
}

TEST_F(ZrvsimProgram, ImageOfTheWrongSizeIsRefused) {
  std::ofstream(dir.File("image")) << "too short";
  Zrvsim zrvsim(Options());
  EXPECT_EQ(zrvsim.Exit(), 1);
  EXPECT_FALSE(std::filesystem::is_symlink(Link()));
}

struct Usage {
  const char* name;
  std::vector<std::string> arguments;
};

class ZrvsimUsage : public ::testing::TestWithParam<Usage> {};

TEST_P(ZrvsimUsage, BadOptionsExitWithTwo) {
  Zrvsim zrvsim(GetParam().arguments);
  EXPECT_EQ(zrvsim.Exit(), 2);
}

INSTANTIATE_TEST_SUITE_P(Options, ZrvsimUsage,
                         ::testing::Values(Usage{"ComZero", {"--com", "0", "--prefix", "/tmp"}},
                                           Usage{"ComWithoutPrefix", {"--com", "3"}},
                                           Usage{"StatusAboveAByte", {"--status", "300"}},
                                           Usage{"AdapterTimerAbove255", {"--adapter", "256"}},
                                           Usage{"AdapterTimerNotANumber", {"--adapter", "1ms"}},
                                           Usage{"FaultWithoutAction", {"--fault", "status-byte"}},
                                           Usage{"ImageWithoutFile", {"--image"}},
                                           Usage{"UnknownOption", {"--frobnicate"}},
                                           Usage{"CtlWithoutSocket", {"ctl"}}),
                         [](const ::testing::TestParamInfo<Usage>& info) {
                           return std::string(info.param.name);
                         });

}  // namespace
