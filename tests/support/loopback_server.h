// SPDX-License-Identifier: MIT
#pragma once

#include <httplib.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// A cpp-httplib server on a free loopback port, run on its own thread for the
// life of the object, recording every request it answers.

namespace kestrune::test {

struct RecordedRequest {
  std::string method;
  std::string path;  // with the query
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body;

  std::string Header(const std::string& name) const {
    for (const auto& [k, v] : headers)
      if (strcasecmp(k.c_str(), name.c_str()) == 0) return v;
    return {};
  }
};

class LoopbackServer {
 public:
  LoopbackServer() = default;
  ~LoopbackServer() { Stop(); }
  LoopbackServer(const LoopbackServer&) = delete;
  LoopbackServer& operator=(const LoopbackServer&) = delete;

  httplib::Server& server() { return server_; }

  // Serves `body` for GET and POST of `path`.
  void Page(const std::string& path, std::string body, std::string contentType = "text/html") {
    auto handler = [body = std::move(body), contentType](const httplib::Request&, httplib::Response& res) {
      res.set_content(body, contentType);
    };
    server_.Get(path, handler);
    server_.Post(path, handler);
  }

  void Start() {
    // Recorded before the answer is written, so a client that has its answer
    // always finds its request recorded.
    server_.set_post_routing_handler([this](const httplib::Request& req, httplib::Response&) {
      RecordedRequest r;
      r.method = req.method;
      r.path = req.target.empty() ? req.path : req.target;
      for (const auto& [k, v] : req.headers) r.headers.emplace_back(k, v);
      r.body = req.body;
      std::lock_guard<std::mutex> lock(mutex_);
      requests_.push_back(std::move(r));
    });
    port_ = server_.bind_to_any_port("127.0.0.1");
    thread_ = std::thread([this] { server_.listen_after_bind(); });
    while (!server_.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }

  void Stop() {
    if (thread_.joinable()) {
      server_.stop();
      thread_.join();
    }
  }

  int port() const { return port_; }
  std::string Url(const std::string& path = "") const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
  }

  std::vector<RecordedRequest> Requests() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
  }
  std::size_t RequestCount() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_.size();
  }

 private:
  httplib::Server server_;
  std::thread thread_;
  int port_ = 0;
  mutable std::mutex mutex_;
  std::vector<RecordedRequest> requests_;
};

// A loopback port with nothing listening on it: bound once to learn a free
// number, then closed, so connections are refused rather than left hanging.
inline int DeadPort() {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = 0;
  socklen_t len = sizeof addr;
  ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  ::close(fd);
  return ntohs(addr.sin_port);
}

// Polls `condition` until it holds or `timeoutMs` passes.
template <typename Condition>
bool WaitUntil(Condition condition, int timeoutMs = 10000) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!condition()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

}  // namespace kestrune::test
