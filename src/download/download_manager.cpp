// SPDX-License-Identifier: MIT
#include "download/download_manager.h"

#include <curl/curl.h>
#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <random>
#include <thread>

#include <nlohmann/json.hpp>

#include "web/codepage.h"
#include "web/curl_global.h"
#include "web/url.h"

extern char** environ;

namespace kestrune {

namespace {

using nlohmann::json;
namespace fs = std::filesystem;

std::string Env(const char* name) {
  const char* v = std::getenv(name);
  return v ? std::string(v) : std::string();
}

std::string HomeFolder() {
  std::string home = Env("HOME");
  if (!home.empty()) return home;
  if (const passwd* pw = getpwuid(getuid()); pw && pw->pw_dir) return pw->pw_dir;
  return "/";
}

size_t Collect(char* data, size_t size, size_t count, void* out) {
  static_cast<std::string*>(out)->append(data, size * count);
  return size * count;
}

// One JSON-RPC call; the "result" member of the answer, or nothing when the
// endpoint did not answer, answered with an error or with something else.
// `refused` tells whether nothing at all listens on the port.
std::optional<json> Call(int port, const std::string& secret, const std::string& method, json params,
                         int timeoutMs, bool* refused = nullptr) {
  if (refused) *refused = false;
  EnsureCurlReady();
  if (!secret.empty()) params.insert(params.begin(), "token:" + secret);
  const std::string body =
      json{{"jsonrpc", "2.0"}, {"id", "1"}, {"method", method}, {"params", std::move(params)}}.dump();
  const std::string url = "http://127.0.0.1:" + std::to_string(port) + "/jsonrpc";

  CURL* curl = curl_easy_init();
  if (!curl) return std::nullopt;
  std::string answer;
  curl_slist* headers = curl_slist_append(nullptr, "Content-Type: application/json");
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http");
  // The endpoint is local: never through a proxy the environment names.
  curl_easy_setopt(curl, CURLOPT_PROXY, "");
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(timeoutMs));
  curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, static_cast<long>(timeoutMs));
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
  curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body.c_str());
  curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE, static_cast<long>(body.size()));
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, Collect);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &answer);
  const CURLcode rc = curl_easy_perform(curl);
  curl_slist_free_all(headers);
  curl_easy_cleanup(curl);
  if (refused) *refused = rc == CURLE_COULDNT_CONNECT;
  if (rc != CURLE_OK) return std::nullopt;

  json reply = json::parse(answer, nullptr, false);
  if (!reply.is_object() || !reply.contains("result")) return std::nullopt;
  return reply["result"];
}

bool Answers(int port, const std::string& secret, int timeoutMs, bool* refused = nullptr) {
  std::optional<json> version = Call(port, secret, "aria2.getVersion", json::array(), timeoutMs, refused);
  return version && version->is_object() && version->contains("version");
}

std::string ReadSecret(const std::string& file) {
  std::ifstream in(file);
  std::string line;
  static const std::string key = "rpc-secret=";
  while (std::getline(in, line)) {
    if (line.rfind(key, 0) == 0) return line.substr(key.size());
  }
  return {};
}

std::string NewSecret() {
  std::random_device random;
  static const char digits[] = "0123456789abcdef";
  std::string secret;
  for (int i = 0; i < 32; ++i) secret += digits[random() & 15u];
  return secret;
}

// Writes the manager's configuration file, readable by the user only.
bool WriteSecretFile(const std::string& file, const std::string& secret) {
  std::error_code ec;
  const fs::path path(file);
  if (path.has_parent_path()) {
    fs::create_directories(path.parent_path(), ec);
    if (ec) return false;
  }
  const std::string temporary = file + ".new";
  ::unlink(temporary.c_str());
  const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  const std::string content = "rpc-secret=" + secret + "\n";
  const bool written = ::write(fd, content.data(), content.size()) == static_cast<ssize_t>(content.size());
  const bool closed = ::close(fd) == 0;
  if (!written || !closed || ::rename(temporary.c_str(), file.c_str()) != 0) {
    ::unlink(temporary.c_str());
    return false;
  }
  return true;
}

std::string FindExecutable(const std::string& name) {
  if (name.empty()) return {};
  if (name.find('/') != std::string::npos) return ::access(name.c_str(), X_OK) == 0 ? name : std::string();
  std::string path = Env("PATH");
  std::size_t start = 0;
  while (start <= path.size()) {
    std::size_t end = path.find(':', start);
    if (end == std::string::npos) end = path.size();
    // An empty entry is the current folder. Built without assigning a literal
    // to a string: gcc 12 at -O3 takes that for an overlapping copy
    // (-Wrestrict) and would fail the Release build.
    std::string candidate = end > start ? path.substr(start, end - start) : std::string(1, '.');
    candidate += '/';
    candidate += name;
    struct stat st {};
    if (::stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(candidate.c_str(), X_OK) == 0)
      return candidate;
    start = end + 1;
  }
  return {};
}

bool IsProxyVariable(std::string_view entry) {
  const std::size_t eq = entry.find('=');
  std::string name(entry.substr(0, eq));
  for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return name == "http_proxy" || name == "https_proxy" || name == "ftp_proxy" || name == "all_proxy" ||
         name == "no_proxy";
}

// Starts `argv` detached from this process (its own session, no inherited
// descriptors, a clean proxy environment): it is not our child, so it needs
// no reaping and outlives us. The process id, or -1.
int SpawnDetached(const std::vector<std::string>& arguments) {
  // Everything the children need is prepared before fork: after it, only
  // async-signal-safe calls are allowed in a threaded program.
  std::vector<char*> argv;
  for (const std::string& a : arguments) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  std::vector<char*> envp;
  for (char** e = environ; e && *e; ++e)
    if (!IsProxyVariable(*e)) envp.push_back(*e);
  envp.push_back(nullptr);

  int report[2];
  if (::pipe2(report, O_CLOEXEC) != 0) return -1;
  const int null = ::open("/dev/null", O_RDWR | O_CLOEXEC);
  if (null < 0) {
    ::close(report[0]);
    ::close(report[1]);
    return -1;
  }

  const pid_t child = ::fork();
  if (child == 0) {
    ::setsid();
    const pid_t grandchild = ::fork();
    if (grandchild == 0) {
      ::dup2(null, 0);
      ::dup2(null, 1);
      ::dup2(null, 2);
      ::close_range(3, ~0u, 0);
      ::execve(argv[0], argv.data(), envp.data());
      ::_exit(127);
    }
    const pid_t reported = grandchild;
    [[maybe_unused]] ssize_t n = ::write(report[1], &reported, sizeof reported);
    ::_exit(0);
  }
  ::close(report[1]);
  ::close(null);
  pid_t pid = -1;
  if (child > 0) {
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    if (::read(report[0], &pid, sizeof pid) != static_cast<ssize_t>(sizeof pid)) pid = -1;
  }
  ::close(report[0]);
  return pid;
}

// Gone, or a zombie waiting for whoever adopted it to reap it.
bool ProcessGone(int pid) {
  if (::kill(pid, 0) != 0) return errno == ESRCH;
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  std::getline(stat, line);
  const std::size_t close = line.rfind(')');
  return close != std::string::npos && close + 2 < line.size() && line[close + 2] == 'Z';
}

// A file name the manager may use as it is: one plain name in the folder.
bool IsPlainFileName(const std::string& name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos &&
         name.find('\0') == std::string::npos;
}

}  // namespace

std::string UserDownloadFolder() {
  const std::string home = HomeFolder();
  std::string set = Env("XDG_DOWNLOAD_DIR");
  if (!set.empty() && set.front() == '/') return set;

  std::string config = Env("XDG_CONFIG_HOME");
  if (config.empty() || config.front() != '/') config = home + "/.config";
  std::ifstream in(config + "/user-dirs.dirs");
  std::string line;
  static const std::string key = "XDG_DOWNLOAD_DIR=";
  while (std::getline(in, line)) {
    if (line.rfind(key, 0) != 0) continue;
    std::string value = line.substr(key.size());
    if (value.size() >= 2 && value.front() == '"' && value.back() == '"') value = value.substr(1, value.size() - 2);
    if (value.rfind("$HOME", 0) == 0) value = home + value.substr(5);
    // A folder equal to home means "no download folder" to the desktop.
    while (value.size() > 1 && value.back() == '/') value.pop_back();
    if (!value.empty() && value.front() == '/' && value != home) return value;
  }
  return home + "/Downloads";
}

std::string DefaultSecretFile() {
  // Not the runtime folder: that goes at logout while the manager may live
  // on, and a manager whose secret is lost can be neither used nor replaced.
  std::string state = Env("XDG_STATE_HOME");
  if (state.empty() || state.front() != '/') state = HomeFolder() + "/.local/state";
  return state + "/kestrune/aria2.conf";
}

DownloadAgent::DownloadAgent(const DownloadManagerConfig& config, std::string secret, std::string folder)
    : config_(config), secret_(std::move(secret)), folder_(std::move(folder)) {}

std::unique_ptr<DownloadAgent> DownloadAgent::Create(const DownloadManagerConfig& config) {
  const std::string folder = config.downloadFolder.empty() ? UserDownloadFolder() : config.downloadFolder;
  const std::string secretFile = config.secretFile.empty() ? DefaultSecretFile() : config.secretFile;
  auto agent = [&](std::string secret) {
    return std::unique_ptr<DownloadAgent>(new DownloadAgent(config, std::move(secret), folder));
  };

  std::string secret = ReadSecret(secretFile);
  bool refused = false;
  if (Answers(config.rpcPort, secret, config.answerTimeoutMs, &refused)) return agent(secret);
  // Something else holds the port (another program, or a manager with a
  // secret we do not know): a manager started now could not take it.
  if (!refused || !config.startIfMissing) return nullptr;
  const std::string executable = FindExecutable(config.executable);
  if (executable.empty()) return nullptr;

  secret = NewSecret();
  if (!WriteSecretFile(secretFile, secret)) return nullptr;
  std::vector<std::string> arguments = {
      executable,
      "--enable-rpc=true",
      "--rpc-listen-all=false",
      "--rpc-listen-port=" + std::to_string(config.rpcPort),
      "--conf-path=" + secretFile,
      "--dir=" + folder,
      "--quiet=true",
      "--auto-file-renaming=true",
      "--allow-overwrite=false",
  };
  arguments.insert(arguments.end(), config.extraArguments.begin(), config.extraArguments.end());
  const int pid = SpawnDetached(arguments);
  if (pid <= 0) return nullptr;
  if (config.started) config.started(pid);

  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(config.startTimeoutMs);
  for (;;) {
    if (Answers(config.rpcPort, secret, config.answerTimeoutMs)) return agent(secret);
    if (ProcessGone(pid)) return nullptr;
    if (std::chrono::steady_clock::now() >= end) {
      // Started but never answering: of no use to anyone, so it goes.
      ::kill(pid, SIGTERM);
      return nullptr;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(25));
  }
}

DownloadAgent::~DownloadAgent() {
  for (const std::string& id : pending_)
    Call(config_.rpcPort, secret_, "aria2.remove", json::array({id}), config_.answerTimeoutMs);
}

void DownloadAgent::AddTask(const Text& link, const Text& fileName, const Text& /*comment*/) {
  // The manager fetches whatever it is given, local files included; only
  // web links are handed over.
  if (!HasWebScheme(link)) return;
  json options = {
      {"dir", folder_},
      {"pause", "true"},
      {"auto-file-renaming", "true"},
      {"allow-overwrite", "false"},
  };
  const std::string name = AnsiToUtf8(fileName);
  if (IsPlainFileName(name)) options["out"] = name;
  std::optional<json> id = Call(config_.rpcPort, secret_, "aria2.addUri",
                                json::array({json::array({AnsiToUtf8(link)}), options}), config_.answerTimeoutMs);
  if (id && id->is_string()) pending_.push_back(id->get<std::string>());
}

void DownloadAgent::CommitTasks2(int /*mode*/) {
  for (const std::string& id : pending_)
    Call(config_.rpcPort, secret_, "aria2.unpause", json::array({id}), config_.answerTimeoutMs);
  pending_.clear();
}

}  // namespace kestrune
