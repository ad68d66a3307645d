#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

extern char** environ;

namespace {

struct ProbeRun {
  int exit_code = -1;
  std::string out;
  std::string err;
};

std::string slurp(const std::string& path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// Runs the probe program (argv[0] "probe") with its output in two files of a fresh folder.
ProbeRun runProbe(const std::vector<std::string>& args) {
  char folder[] = "/tmp/rtt_main_testXXXXXX";
  if (mkdtemp(folder) == nullptr) return {};
  const std::string out = std::string(folder) + "/out";
  const std::string err = std::string(folder) + "/err";
  posix_spawn_file_actions_t files;
  posix_spawn_file_actions_init(&files);
  posix_spawn_file_actions_addopen(&files, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_addopen(&files, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  std::vector<std::string> words{"probe"};
  words.insert(words.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& w : words) argv.push_back(w.data());
  argv.push_back(nullptr);
  ProbeRun run;
  pid_t pid = 0;
  if (posix_spawn(&pid, RTT_MAIN_PROBE, &files, nullptr, argv.data(), environ) == 0) {
    int status = 0;
    waitpid(pid, &status, 0);
    if (WIFEXITED(status)) run.exit_code = WEXITSTATUS(status);
  }
  posix_spawn_file_actions_destroy(&files);
  run.out = slurp(out);
  run.err = slurp(err);
  unlink(out.c_str());
  unlink(err.c_str());
  rmdir(folder);
  return run;
}

struct MainCase {
  const char* name;
  std::vector<std::string> args;
  std::string out;
  std::string err;
};

// Names the case in test listings instead of dumping its bytes.
void PrintTo(const MainCase& c, std::ostream* os) { *os << c.name; }

class StartUp : public ::testing::TestWithParam<MainCase> {};

TEST_P(StartUp, CallsTheProgramAndReportsWhatEscapes) {
  const MainCase& c = GetParam();
  const ProbeRun run = runProbe(c.args);
  EXPECT_EQ(run.exit_code, 255);  // main returns -1 whenever the program's entry comes back
  EXPECT_EQ(run.out, c.out);
  EXPECT_EQ(run.err, c.err);
}

INSTANTIATE_TEST_SUITE_P(
    Main, StartUp,
    ::testing::Values(
        MainCase{"NoArguments", {}, "args:\n", ""},
        MainCase{"ArgumentsPassOn", {"/srv/ui", "x"}, "args: /srv/ui x\n", ""},
        MainCase{"StdException",
                 {"throw"},
                 "args: throw\n",
                 "probe: ORO_main_impl ended with an exception: probe failure\n"},
        MainCase{"OtherException",
                 {"throw-int"},
                 "args: throw-int\n",
                 "probe: ORO_main_impl ended with an unknown exception\n"},
        MainCase{"NoCatchIsTakenOffTheCommandLine", {"a", "--nocatch", "b"}, "args: a b\n", ""}),
    [](const ::testing::TestParamInfo<MainCase>& info) { return info.param.name; });

}  // namespace
