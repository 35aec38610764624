// SPDX-License-Identifier: MIT
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

// A loopback HTTP server that misbehaves on purpose. It speaks raw bytes: a
// script per path prefix decides, byte by byte, what goes back on each
// connection (nothing at all, a byte a second, endless redirects, a header
// block of a megabyte ...). Every connection runs on a thread of its own; the
// destructor wakes every script that waits and joins them all.

namespace kestrune::test {

class HostileConnection {
 public:
  HostileConnection(int fd, std::string request, const std::atomic<bool>& stopping, std::mutex& mutex,
                    std::condition_variable& wake)
      : fd_(fd), request_(std::move(request)), stopping_(stopping), mutex_(mutex), wake_(wake) {}

  // The request head as it arrived, and the parts of its first line.
  const std::string& request() const { return request_; }
  std::string RequestLine() const { return request_.substr(0, request_.find("\r\n")); }
  std::string Path() const {
    const std::string line = RequestLine();
    const std::size_t start = line.find(' ');
    if (start == std::string::npos) return {};
    const std::size_t end = line.find(' ', start + 1);
    return line.substr(start + 1, end == std::string::npos ? std::string::npos : end - start - 1);
  }

  // Writes every byte unless the peer went away or the server stops.
  bool Send(std::string_view bytes) {
    while (!bytes.empty()) {
      if (stopping_) return false;
      pollfd p{fd_, POLLOUT, 0};
      if (::poll(&p, 1, 20) <= 0) continue;
      const ssize_t n = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
      if (n <= 0) return false;
      bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
  }

  // Sleeps, ending early when the server stops (false then).
  bool Pause(std::chrono::milliseconds pause) {
    std::unique_lock<std::mutex> lock(mutex_);
    return !wake_.wait_for(lock, pause, [this] { return stopping_.load(); });
  }

  // Answers nothing and waits until the peer hangs up or the server stops.
  void Hold() {
    char sink[4096];
    while (!stopping_) {
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, 20) <= 0) continue;
      if (::recv(fd_, sink, sizeof sink, 0) <= 0) return;
    }
  }

  // Ends the connection with a reset instead of an orderly close.
  void Reset() {
    linger hard{1, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
  }

 private:
  int fd_;
  std::string request_;
  const std::atomic<bool>& stopping_;
  std::mutex& mutex_;
  std::condition_variable& wake_;
};

using HostileScript = std::function<void(HostileConnection&)>;

// A whole answer with its length, closing the connection after it.
inline std::string HttpAnswer(const std::string& status, const std::string& body, const std::string& headers = "") {
  return "HTTP/1.1 " + status + "\r\n" + headers + "Content-Length: " + std::to_string(body.size()) +
         "\r\nConnection: close\r\n\r\n" + body;
}

class HostileServer {
 public:
  HostileServer() {
    listenFd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    const int one = 1;
    ::setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ::bind(listenFd_, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
    ::listen(listenFd_, 64);
    acceptor_ = std::thread([this] { AcceptLoop(); });
  }

  ~HostileServer() { Stop(); }
  HostileServer(const HostileServer&) = delete;
  HostileServer& operator=(const HostileServer&) = delete;

  // The script for every path that starts with `prefix`; the longest prefix
  // wins. Paths without a script get a plain 404.
  void Route(const std::string& prefix, HostileScript script) {
    std::lock_guard<std::mutex> lock(mutex_);
    routes_[prefix] = std::make_shared<HostileScript>(std::move(script));
  }
  // A normal answer, for the requests that should see a well-behaved server.
  void Page(const std::string& prefix, std::string body, std::string headers = "Content-Type: text/html\r\n") {
    Route(prefix, [body = std::move(body), headers = std::move(headers)](HostileConnection& c) {
      c.Send(HttpAnswer("200 OK", body, headers));
    });
  }

  int port() const { return port_; }
  std::string Url(const std::string& path = "") const { return "http://127.0.0.1:" + std::to_string(port_) + path; }

  // Request lines in arrival order ("GET /path HTTP/1.1").
  std::vector<std::string> RequestLines() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return requestLines_;
  }
  std::size_t RequestCount() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return requestLines_.size();
  }
  std::size_t RequestsFor(const std::string& prefix) const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::size_t n = 0;
    for (const std::string& line : requestLines_)
      if (line.find(" " + prefix) != std::string::npos) ++n;
    return n;
  }
  // Connections whose script is running now.
  int Busy() const { return busy_.load(); }

  void Stop() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (stopping_) return;
      stopping_ = true;
    }
    wake_.notify_all();
    if (acceptor_.joinable()) acceptor_.join();
    std::list<std::thread> workers;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      workers.swap(workers_);
    }
    for (std::thread& t : workers) t.join();
    ::close(listenFd_);
  }

 private:
  void AcceptLoop() {
    while (!stopping_) {
      pollfd p{listenFd_, POLLIN, 0};
      if (::poll(&p, 1, 20) <= 0) continue;
      const int fd = ::accept(listenFd_, nullptr, nullptr);
      if (fd < 0) continue;
      std::lock_guard<std::mutex> lock(mutex_);
      workers_.emplace_back([this, fd] { Serve(fd); });
    }
  }

  // The head up to its empty line, and a body as long as Content-Length says.
  std::string ReadRequest(int fd) {
    std::string request;
    std::size_t wanted = std::string::npos;
    char buffer[4096];
    while (!stopping_ && request.size() < (1u << 20)) {
      if (wanted == std::string::npos) {
        const std::size_t end = request.find("\r\n\r\n");
        if (end != std::string::npos) {
          wanted = end + 4;
          const std::size_t length = request.find("Content-Length: ");
          if (length != std::string::npos && length < end) wanted += std::stoul(request.substr(length + 16));
        }
      }
      if (wanted != std::string::npos && request.size() >= wanted) break;
      pollfd p{fd, POLLIN, 0};
      if (::poll(&p, 1, 20) <= 0) continue;
      const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
      if (n <= 0) break;
      request.append(buffer, static_cast<std::size_t>(n));
    }
    return request;
  }

  void Serve(int fd) {
    ++busy_;
    std::string request = ReadRequest(fd);
    std::shared_ptr<HostileScript> script;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      requestLines_.push_back(request.substr(0, request.find("\r\n")));
      HostileConnection probe(fd, request, stopping_, mutex_, wake_);
      const std::string path = probe.Path();
      std::size_t best = 0;
      for (const auto& [prefix, s] : routes_) {
        if (path.rfind(prefix, 0) == 0 && prefix.size() >= best) {
          best = prefix.size();
          script = s;
        }
      }
    }
    HostileConnection connection(fd, std::move(request), stopping_, mutex_, wake_);
    if (script)
      (*script)(connection);
    else
      connection.Send(HttpAnswer("404 Not Found", "not here"));
    ::shutdown(fd, SHUT_WR);
    ::close(fd);
    --busy_;
  }

  int listenFd_ = -1;
  int port_ = 0;
  std::atomic<bool> stopping_{false};
  std::atomic<int> busy_{0};
  mutable std::mutex mutex_;
  std::condition_variable wake_;
  std::map<std::string, std::shared_ptr<HostileScript>> routes_;
  std::vector<std::string> requestLines_;
  std::thread acceptor_;
  std::list<std::thread> workers_;
};

}  // namespace kestrune::test
