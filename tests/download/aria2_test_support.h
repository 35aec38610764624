// SPDX-License-Identifier: MIT
#pragma once

#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "support/loopback_server.h"

extern char** environ;

// Hermetic download-manager fixtures: a temporary folder, an aria2c of the
// test's own on a free loopback port that ends with the test process, and a
// raw JSON-RPC call to look at its task lists.

namespace kestrune::test {

class TempFolder {
 public:
  TempFolder() {
    std::string pattern = (std::filesystem::temp_directory_path() / "kestrune-dl-XXXXXX").string();
    path_ = ::mkdtemp(pattern.data()) ? pattern : std::string();
  }
  ~TempFolder() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;

  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

inline std::optional<std::string> ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void WriteFile(const std::string& path, const std::string& content) {
  std::ofstream(path, std::ios::binary) << content;
}

// Names of the files in `folder`, aria2's control files included.
inline std::vector<std::string> FileNames(const std::string& folder) {
  std::vector<std::string> names;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(folder, ec))
    names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

// Waits until `path` holds exactly `content` and aria2 has let go of it.
inline bool WaitForDownload(const std::string& path, const std::string& content, int timeoutMs = 15000) {
  return WaitUntil(
      [&] {
        std::error_code ec;
        return ReadFile(path) == content && !std::filesystem::exists(path + ".aria2", ec);
      },
      timeoutMs);
}

// One JSON-RPC call as any local program could make it; the whole reply.
inline nlohmann::json RawRpc(int port, const std::string& method, nlohmann::json params = nlohmann::json::array()) {
  httplib::Client client("127.0.0.1", port);
  client.set_connection_timeout(2);
  client.set_read_timeout(2);
  const std::string body =
      nlohmann::json{{"jsonrpc", "2.0"}, {"id", "t"}, {"method", method}, {"params", std::move(params)}}.dump();
  auto answer = client.Post("/jsonrpc", body, "application/json");
  if (!answer) return nullptr;
  return nlohmann::json::parse(answer->body, nullptr, false);
}

// Every task the manager knows, waiting, active or stopped, as
// [{"gid","status"}...]; `secret` when it has one.
inline nlohmann::json AllTasks(int port, const std::string& secret = "") {
  nlohmann::json all = nlohmann::json::array();
  auto ask = [&](const std::string& method, nlohmann::json params) {
    if (!secret.empty()) params.insert(params.begin(), "token:" + secret);
    nlohmann::json reply = RawRpc(port, method, std::move(params));
    if (reply.is_object() && reply.contains("result"))
      for (auto& task : reply["result"]) all.push_back(task);
  };
  const nlohmann::json keys = {"gid", "status", "files"};
  ask("aria2.tellActive", nlohmann::json::array({keys}));
  ask("aria2.tellWaiting", nlohmann::json::array({0, 100, keys}));
  ask("aria2.tellStopped", nlohmann::json::array({0, 100, keys}));
  return all;
}

// The environment without proxy variables, as the manager must see it.
inline std::vector<std::string> EnvironmentWithoutProxies() {
  std::vector<std::string> env;
  for (char** e = environ; e && *e; ++e) {
    std::string entry = *e;
    std::string name = entry.substr(0, entry.find('='));
    for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (name.find("proxy") == std::string::npos) env.push_back(entry);
  }
  return env;
}

// An aria2c of the test's own on a free loopback port, saving into `folder`,
// killed when the object goes and in any case ending with the test process.
class Aria2Process {
 public:
  explicit Aria2Process(const std::string& folder, int port = 0, const std::string& secret = "",
                        const std::vector<std::string>& extraArguments = {})
      : port_(port ? port : DeadPort()) {
    std::vector<std::string> args = {"aria2c",
                                     "--enable-rpc=true",
                                     "--rpc-listen-all=false",
                                     "--rpc-listen-port=" + std::to_string(port_),
                                     "--dir=" + folder,
                                     "--no-conf=true",
                                     "--quiet=true",
                                     "--stop-with-process=" + std::to_string(::getpid())};
    if (!secret.empty()) args.push_back("--rpc-secret=" + secret);
    args.insert(args.end(), extraArguments.begin(), extraArguments.end());
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<std::string> env = EnvironmentWithoutProxies();
    std::vector<char*> envp;
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    if (::posix_spawnp(&pid_, "aria2c", nullptr, nullptr, argv.data(), envp.data()) != 0) pid_ = -1;
    const std::string token = secret.empty() ? "" : "token:" + secret;
    answering_ = pid_ > 0 && WaitUntil([&] {
                   nlohmann::json params = nlohmann::json::array();
                   if (!token.empty()) params.push_back(token);
                   nlohmann::json reply = RawRpc(port_, "aria2.getVersion", params);
                   return reply.is_object() && reply.contains("result");
                 });
  }
  ~Aria2Process() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
  }
  Aria2Process(const Aria2Process&) = delete;
  Aria2Process& operator=(const Aria2Process&) = delete;

  int port() const { return port_; }
  bool answering() const { return answering_; }

 private:
  int port_;
  pid_t pid_ = -1;
  bool answering_ = false;
};

// Kills a manager that the client under test started (it is not our child).
inline bool ProcessEnded(int pid) {
  if (::kill(pid, 0) != 0) return true;
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  std::getline(stat, line);
  const auto close = line.rfind(')');
  return close != std::string::npos && close + 2 < line.size() && line[close + 2] == 'Z';
}

inline void KillStarted(int pid) {
  if (pid <= 0) return;
  ::kill(pid, SIGKILL);
  WaitUntil([pid] { return ProcessEnded(pid); });
}

}  // namespace kestrune::test
