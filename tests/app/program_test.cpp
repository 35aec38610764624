// SPDX-License-Identifier: MIT
// The whole program, in a child process of this test: its exit code, the
// clean-up run once, and an end that does not wait for workers.
#include "app/startup/program.h"

#include <QWidget>

#include <gtest/gtest.h>

#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>

#include "app/names.h"
#include "app/qt/qt_toolkit.h"
#include "qt_test_support.h"

extern char** environ;

namespace kestrune {
namespace {

constexpr const char* kMain = names::kMainWindow;
constexpr const char kChildFlag[] = "--program-child=";

// ---- The child: the program, driven by a thread standing in for the user ----

Endpoints LoopbackEndpoints() {
  const std::string closed = "http://127.0.0.1:" + std::to_string(test::ClosedPort());
  Endpoints endpoints;
  endpoints.catalogueBaseUrl = closed;
  endpoints.configPageUrl = closed + "/config";
  endpoints.netDiskLinkPrefix = closed + "/d";
  endpoints.promoPageUrl = closed + "/promo";
  endpoints.aria2RpcPort = test::ClosedPort();
  endpoints.downloadDir = std::filesystem::temp_directory_path().string();
  endpoints.startDownloadManager = false;
  return endpoints;
}

[[noreturn]] void RunChild(const std::string& mode) {
  auto toolkit = QtToolkit::CreateWithApplication();
  if (!toolkit) std::_Exit(100);
  std::thread([toolkit, mode] {
    while (!toolkit->IsOpen(kMain)) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    // A worker that never finishes, busy with the window thread: the end
    // must neither wait for it nor leave it waiting.
    toolkit->StartThread([toolkit] {
      for (;;) toolkit->GetProperty(kMain, "标签1", Property::Caption);
    });
    if (mode == "close") {
      toolkit->RunOnWindowThread([&] { toolkit->WindowWidget(kMain)->close(); });
    } else if (mode == "exit-from-worker") {
      toolkit->ExitProgram(3);
    }
  }).detach();
  const int code = RunProgram(toolkit, LoopbackEndpoints());
  std::printf("cleanup_runs=%d\n", toolkit->CleanupRuns());
  std::fflush(nullptr);
  std::_Exit(code);
}

// ---- The parent ----

struct ChildResult {
  bool ended = false;
  int exitCode = -1;
  std::string output;
};

ChildResult RunProgramChild(const std::string& mode, int timeoutMs = 60000) {
  ChildResult result;
  int pipeFds[2];
  if (pipe(pipeFds) != 0) return result;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
  posix_spawn_file_actions_addclose(&actions, pipeFds[0]);
  const std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
  const std::string flag = kChildFlag + mode;
  char* argv[] = {const_cast<char*>(self.c_str()), const_cast<char*>(flag.c_str()), nullptr};
  pid_t pid = 0;
  const int spawned = posix_spawn(&pid, self.c_str(), &actions, nullptr, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  close(pipeFds[1]);
  if (spawned != 0) {
    close(pipeFds[0]);
    return result;
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  int status = 0;
  while (std::chrono::steady_clock::now() < deadline) {
    pollfd fd{pipeFds[0], POLLIN, 0};
    if (poll(&fd, 1, 10) > 0) {
      char buffer[256];
      const ssize_t n = read(pipeFds[0], buffer, sizeof buffer);
      if (n > 0) result.output.append(buffer, static_cast<std::size_t>(n));
    }
    if (waitpid(pid, &status, WNOHANG) == pid) {
      result.ended = true;
      break;
    }
  }
  if (!result.ended) {
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
  } else {
    char buffer[256];
    ssize_t n;
    while ((n = read(pipeFds[0], buffer, sizeof buffer)) > 0) result.output.append(buffer, static_cast<std::size_t>(n));
    if (WIFEXITED(status)) result.exitCode = WEXITSTATUS(status);
  }
  close(pipeFds[0]);
  return result;
}

TEST(ProgramTest, ClosingTheMainWindowEndsWithCodeZeroAfterOneCleanUp) {
  const ChildResult child = RunProgramChild("close");
  ASSERT_TRUE(child.ended) << "the program did not end";
  EXPECT_EQ(child.exitCode, 0);
  EXPECT_EQ(child.output, "cleanup_runs=1\n");
}

TEST(ProgramTest, ExitFromAWorkerEndsWithItsCodeAfterOneCleanUp) {
  const ChildResult child = RunProgramChild("exit-from-worker");
  ASSERT_TRUE(child.ended) << "the program did not end";
  EXPECT_EQ(child.exitCode, 3);
  EXPECT_EQ(child.output, "cleanup_runs=1\n");
}

}  // namespace
}  // namespace kestrune

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i)
    if (std::strncmp(argv[i], kestrune::kChildFlag, std::strlen(kestrune::kChildFlag)) == 0)
      kestrune::RunChild(argv[i] + std::strlen(kestrune::kChildFlag));
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
