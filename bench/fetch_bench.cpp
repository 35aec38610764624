// SPDX-License-Identifier: MIT
#include <spawn.h>
#include <sys/wait.h>

#include <chrono>
#include <string>
#include <thread>

#include <benchmark/benchmark.h>
#include <httplib.h>

#include "web/fetch.h"

// One 5 MB page from a loopback server, read by the page fetcher and by the
// curl command line in the same run. The command line pays for starting a
// process each time; the fetcher pays for its header handling, the cookie
// store and the UTF-8 test, and must stay close to it.

extern char** environ;

namespace {

constexpr std::size_t kPageBytes = 5u << 20;

class PageServer {
 public:
  PageServer() {
    std::string page;
    page.reserve(kPageBytes);
    const std::string line = "<tr><td class=\"rom\">miui_PACKAGE_V15.10.26.0_20261211_a1b2c3d4e5.tgz</td></tr>\n";
    while (page.size() + line.size() <= kPageBytes) page += line;
    page.append(kPageBytes - page.size(), ' ');
    server_.Get("/page",
                [page](const httplib::Request&, httplib::Response& res) { res.set_content(page, "text/html"); });
    port_ = server_.bind_to_any_port("127.0.0.1");
    thread_ = std::thread([this] { server_.listen_after_bind(); });
    while (!server_.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ~PageServer() {
    server_.stop();
    thread_.join();
  }

  std::string Url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/page"; }

 private:
  httplib::Server server_;
  std::thread thread_;
  int port_ = 0;
};

PageServer& Server() {
  static PageServer server;
  return server;
}

void BM_FetchPage(benchmark::State& state) {
  const kestrune::Text url = Server().Url();
  for (auto _ : state) {
    kestrune::Bytes body = kestrune::FetchPage(url);
    if (body.size() != kPageBytes) state.SkipWithError("the page came back short");
    benchmark::DoNotOptimize(body);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kPageBytes));
}
BENCHMARK(BM_FetchPage)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_CurlCommandLine(benchmark::State& state) {
  const std::string url = Server().Url();
  // -q first: no ~/.curlrc; no proxy from the environment either.
  const char* argv[] = {"curl", "-q", "-s", "-o", "/dev/null", "--noproxy", "*", url.c_str(), nullptr};
  for (auto _ : state) {
    pid_t pid = 0;
    if (posix_spawnp(&pid, "curl", nullptr, nullptr, const_cast<char* const*>(argv), environ) != 0) {
      state.SkipWithError("curl could not be started");
      break;
    }
    int status = 0;
    waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) state.SkipWithError("curl failed");
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kPageBytes));
}
BENCHMARK(BM_CurlCommandLine)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
