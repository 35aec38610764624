// SPDX-License-Identifier: MIT
#include "download/download_manager.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "download/aria2_test_support.h"
#include "support/loopback_server.h"
#include "web/codepage.h"

namespace kestrune {
namespace {

using test::Aria2Process;
using test::TempFolder;

// Sets (or with nullopt removes) an environment variable for one scope.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, std::optional<std::string> value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    if (value) ::setenv(name, value->c_str(), 1);
    else ::unsetenv(name);
  }
  ~ScopedEnv() {
    if (old_) ::setenv(name_.c_str(), old_->c_str(), 1);
    else ::unsetenv(name_.c_str());
  }

 private:
  std::string name_;
  std::optional<std::string> old_;
};

// A package with every byte value, NULs included, large enough to come in
// several pieces.
std::string PackageBytes() {
  std::string bytes;
  for (int i = 0; i < 300 * 1024; ++i) bytes += static_cast<char>((i * 7 + i / 256) & 0xFF);
  return bytes;
}

class DownloadAgentTest : public ::testing::Test {
 protected:
  void SetUp() override {
    server_.Page("/rom/pkg.tgz", package_, "application/octet-stream");
    server_.Start();
  }

  DownloadManagerConfig Config(int port, const std::string& folder) const {
    DownloadManagerConfig config;
    config.rpcPort = port;
    config.downloadFolder = folder;
    config.startIfMissing = false;
    config.secretFile = secrets_ / "aria2.conf";
    config.startTimeoutMs = 8000;  // generous under sanitizers
    return config;
  }

  std::string Link() const { return server_.Url("/rom/pkg.tgz"); }

  const std::string package_ = PackageBytes();
  test::LoopbackServer server_;
  TempFolder folder_;
  TempFolder secrets_;
};

TEST_F(DownloadAgentTest, NoAgentWithoutAManagerThatAnswers) {
  EXPECT_EQ(DownloadAgent::Create(Config(test::DeadPort(), folder_.path())), nullptr) << "nothing listening";

  DownloadManagerConfig missing = Config(test::DeadPort(), folder_.path());
  missing.startIfMissing = true;
  missing.executable = "/nonexistent/aria2c";
  EXPECT_EQ(DownloadAgent::Create(missing), nullptr) << "no manager installed";

  test::LoopbackServer other;
  other.Page("/jsonrpc", R"({"hello":"world"})", "application/json");
  other.Start();
  EXPECT_EQ(DownloadAgent::Create(Config(other.port(), folder_.path())), nullptr) << "another server on the port";

  Aria2Process locked(folder_.path(), 0, "someone-elses-secret");
  ASSERT_TRUE(locked.answering());
  EXPECT_EQ(DownloadAgent::Create(Config(locked.port(), folder_.path())), nullptr) << "a secret we do not know";
}

TEST_F(DownloadAgentTest, HandsTheLinkToARunningManagerUnderTheGivenName) {
  Aria2Process manager(folder_.path());
  ASSERT_TRUE(manager.answering());
  auto agent = DownloadAgent::Create(Config(manager.port(), folder_.path()));
  ASSERT_NE(agent, nullptr);

  agent->AddTask(Link(), Ansi("线刷包_V7.0.5.tgz"), "");
  agent->CommitTasks2(1);

  EXPECT_TRUE(test::WaitForDownload(folder_ / "线刷包_V7.0.5.tgz", package_));
  EXPECT_EQ(test::FileNames(folder_.path()), std::vector<std::string>{"线刷包_V7.0.5.tgz"});
}

TEST_F(DownloadAgentTest, TasksWaitForTheCommitAndGoWithAnAgentReleasedBeforeIt) {
  Aria2Process manager(folder_.path());
  ASSERT_TRUE(manager.answering());
  auto agent = DownloadAgent::Create(Config(manager.port(), folder_.path()));
  ASSERT_NE(agent, nullptr);

  agent->AddTask(Link(), "pkg.tgz", "");
  nlohmann::json tasks = test::AllTasks(manager.port());
  ASSERT_EQ(tasks.size(), 1u);
  EXPECT_EQ(tasks[0]["status"], "paused");
  EXPECT_EQ(server_.RequestCount(), 0u);

  agent.reset();
  for (const auto& task : test::AllTasks(manager.port())) EXPECT_EQ(task["status"], "removed");
  EXPECT_EQ(server_.RequestCount(), 0u);
  EXPECT_FALSE(std::filesystem::exists(folder_ / "pkg.tgz"));
}

TEST_F(DownloadAgentTest, AnExistingFileIsKeptAndTheDownloadTakesANumberedName) {
  // Even by a manager whose owner told it to overwrite.
  Aria2Process manager(folder_.path(), 0, "", {"--allow-overwrite=true", "--auto-file-renaming=false"});
  ASSERT_TRUE(manager.answering());
  test::WriteFile(folder_ / "pkg.tgz", "the user's own file");
  auto agent = DownloadAgent::Create(Config(manager.port(), folder_.path()));
  ASSERT_NE(agent, nullptr);

  agent->AddTask(Link(), "pkg.tgz", "");
  agent->CommitTasks2(1);

  EXPECT_TRUE(test::WaitForDownload(folder_ / "pkg.1.tgz", package_));
  EXPECT_EQ(test::ReadFile(folder_ / "pkg.tgz"), "the user's own file");
}

TEST_F(DownloadAgentTest, OnlyWebLinksAreHandedOver) {
  Aria2Process manager(folder_.path());
  ASSERT_TRUE(manager.answering());
  test::WriteFile(folder_ / "secret.txt", "private");
  auto agent = DownloadAgent::Create(Config(manager.port(), folder_.path()));
  ASSERT_NE(agent, nullptr);

  const std::vector<std::string> links = {"file://" + (folder_ / "secret.txt"), "FILE://" + (folder_ / "secret.txt"),
                                          "ftp://127.0.0.1/x.tgz", "magnet:?xt=urn:btih:0", "",
                                          " http://127.0.0.1/x.tgz"};
  for (const std::string& link : links) {
    agent->AddTask(link, "copy.tgz", "");
    agent->CommitTasks2(1);
  }
  EXPECT_TRUE(test::AllTasks(manager.port()).empty());
  EXPECT_FALSE(std::filesystem::exists(folder_ / "copy.tgz"));
}

TEST_F(DownloadAgentTest, ANameThatIsAPathIsLeftToTheManager) {
  Aria2Process manager(folder_.path());
  ASSERT_TRUE(manager.answering());
  for (const std::string name : {"../escape.tgz", "..", ".", "", "a/b.tgz"}) {
    SCOPED_TRACE("name \"" + name + "\"");
    TempFolder target;
    auto agent = DownloadAgent::Create(Config(manager.port(), target.path()));
    ASSERT_NE(agent, nullptr);
    agent->AddTask(Link(), name, "");
    agent->CommitTasks2(1);
    EXPECT_TRUE(test::WaitForDownload(target / "pkg.tgz", package_));
    EXPECT_EQ(test::FileNames(target.path()), std::vector<std::string>{"pkg.tgz"});
  }
  EXPECT_FALSE(std::filesystem::exists(std::filesystem::temp_directory_path() / "escape.tgz"));
}

TEST_F(DownloadAgentTest, StartsAManagerOfItsOwnBehindASecretAndFindsItAgain) {
  // Proxies in the environment must not reach the manager or the client.
  const std::string deadProxy = "http://127.0.0.1:" + std::to_string(test::DeadPort());
  ScopedEnv p1("http_proxy", deadProxy), p2("HTTP_PROXY", deadProxy), p3("all_proxy", deadProxy),
      p4("ALL_PROXY", deadProxy);

  DownloadManagerConfig config = Config(test::DeadPort(), folder_.path());
  config.startIfMissing = true;
  config.secretFile = secrets_ / "kestrune/aria2.conf";
  config.extraArguments = {"--stop-with-process=" + std::to_string(::getpid())};
  std::vector<int> started;
  config.started = [&](int pid) { started.push_back(pid); };

  auto agent = DownloadAgent::Create(config);
  ASSERT_EQ(started.size(), 1u);
  struct Cleanup {
    int pid;
    ~Cleanup() { test::KillStarted(pid); }
  } cleanup{started[0]};
  ASSERT_NE(agent, nullptr);

  EXPECT_EQ(agent->secret().size(), 32u);
  EXPECT_EQ(test::ReadFile(config.secretFile), "rpc-secret=" + agent->secret() + "\n");
  struct stat st {};
  ASSERT_EQ(::stat(config.secretFile.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  nlohmann::json intruder = test::RawRpc(config.rpcPort, "aria2.getVersion");
  EXPECT_FALSE(intruder.contains("result")) << intruder.dump();

  agent->AddTask(Link(), "pkg.tgz", "");
  agent->CommitTasks2(1);
  EXPECT_TRUE(test::WaitForDownload(folder_ / "pkg.tgz", package_));

  auto again = DownloadAgent::Create(config);
  ASSERT_NE(again, nullptr);
  EXPECT_EQ(again->secret(), agent->secret());
  EXPECT_EQ(started.size(), 1u) << "the running manager is used, not a second one";
}

TEST_F(DownloadAgentTest, APortHeldByAnotherProgramStartsNoManager) {
  test::LoopbackServer occupant;
  occupant.Page("/jsonrpc", "not a download manager", "text/plain");
  occupant.Start();
  DownloadManagerConfig config = Config(occupant.port(), folder_.path());
  config.startIfMissing = true;
  config.extraArguments = {"--stop-with-process=" + std::to_string(::getpid())};
  int pid = 0;
  config.started = [&](int p) { pid = p; };

  EXPECT_EQ(DownloadAgent::Create(config), nullptr);
  EXPECT_EQ(pid, 0);
  test::KillStarted(pid);
}

TEST_F(DownloadAgentTest, AStartedManagerThatNeverAnswersIsEnded) {
  // Stands in for a manager that hangs before it listens.
  const std::string hanging = secrets_ / "hanging-manager";
  test::WriteFile(hanging, "#!/bin/sh\nexec sleep 60\n");
  ASSERT_EQ(::chmod(hanging.c_str(), 0700), 0);
  DownloadManagerConfig config = Config(test::DeadPort(), folder_.path());
  config.startIfMissing = true;
  config.executable = hanging;
  config.startTimeoutMs = 300;
  int pid = 0;
  config.started = [&](int p) { pid = p; };

  EXPECT_EQ(DownloadAgent::Create(config), nullptr);
  ASSERT_GT(pid, 0);
  EXPECT_TRUE(test::WaitUntil([pid] { return test::ProcessEnded(pid); }));
  test::KillStarted(pid);
}

struct FolderCase {
  const char* name;
  std::optional<std::string> xdgDownloadDir;
  std::optional<std::string> userDirsLine;  // written to user-dirs.dirs
  std::string expected;                     // "~" stands for the home folder
};

void PrintTo(const FolderCase& c, std::ostream* os) { *os << c.name; }

class UserDownloadFolderTest : public ::testing::TestWithParam<FolderCase> {};

TEST_P(UserDownloadFolderTest, FollowsTheDesktopsSetting) {
  TempFolder home, config;
  const FolderCase& c = GetParam();
  if (c.userDirsLine) test::WriteFile(config / "user-dirs.dirs", "# written by xdg-user-dirs-update\n" + *c.userDirsLine + "\n");
  ScopedEnv h("HOME", home.path()), x("XDG_CONFIG_HOME", config.path()), d("XDG_DOWNLOAD_DIR", c.xdgDownloadDir);

  std::string expected = c.expected;
  if (expected.rfind("~", 0) == 0) expected = home.path() + expected.substr(1);
  EXPECT_EQ(UserDownloadFolder(), expected);
}

INSTANTIATE_TEST_SUITE_P(
    Settings, UserDownloadFolderTest,
    ::testing::Values(FolderCase{"NothingSet", std::nullopt, std::nullopt, "~/Downloads"},
                      FolderCase{"UnderHome", std::nullopt, R"(XDG_DOWNLOAD_DIR="$HOME/下载")", "~/下载"},
                      FolderCase{"Absolute", std::nullopt, R"(XDG_DOWNLOAD_DIR="/srv/dl/")", "/srv/dl"},
                      FolderCase{"HomeItselfMeansNone", std::nullopt, R"(XDG_DOWNLOAD_DIR="$HOME/")", "~/Downloads"},
                      FolderCase{"EnvironmentFirst", std::string("/data/in"), R"(XDG_DOWNLOAD_DIR="$HOME/x")",
                                 "/data/in"},
                      FolderCase{"RelativeEnvironmentIgnored", std::string("in"), std::nullopt, "~/Downloads"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(DefaultSecretFileTest, LivesInTheUsersStateFolder) {
  ScopedEnv home("HOME", "/home/someone");
  {
    ScopedEnv state("XDG_STATE_HOME", std::nullopt);
    EXPECT_EQ(DefaultSecretFile(), "/home/someone/.local/state/kestrune/aria2.conf");
  }
  ScopedEnv state("XDG_STATE_HOME", "/var/state/someone");
  EXPECT_EQ(DefaultSecretFile(), "/var/state/someone/kestrune/aria2.conf");
}

}  // namespace
}  // namespace kestrune
