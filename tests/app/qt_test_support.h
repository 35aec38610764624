// SPDX-License-Identifier: MIT
#pragma once

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QTest>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

// Helpers for tests that drive real widgets: wait for a condition while the
// window thread keeps serving events, never a guessed sleep.

namespace kestrune::test {

// Processes events until `condition` holds; false after `timeoutMs`.
inline bool PumpUntil(const std::function<bool()>& condition, int timeoutMs = 10000) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!condition()) {
    if (std::chrono::steady_clock::now() > end) return false;
    QTest::qWait(2);
  }
  return true;
}

// Runs `work` on a worker thread while this (the window) thread serves
// events; returns when the worker is done. False if it hung.
inline bool OnWorker(const std::function<void()>& work, int timeoutMs = 20000) {
  std::atomic<bool> done{false};
  std::thread worker([&] {
    work();
    done = true;
  });
  const bool finished = PumpUntil([&] { return done.load(); }, timeoutMs);
  if (!finished) {
    worker.detach();  // a hang: fail rather than block the suite
    return false;
  }
  worker.join();
  return true;
}

// The message box on screen, if any.
inline QMessageBox* VisibleMessageBox() {
  for (QWidget* w : QApplication::topLevelWidgets()) {
    auto* box = qobject_cast<QMessageBox*>(w);
    if (box != nullptr && box->isVisible()) return box;
  }
  return nullptr;
}

// A loopback port that nothing listens on: bound once, then closed again, so
// a connection is refused at once.
inline int ClosedPort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  int port = 0;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0)
    port = ntohs(address.sin_port);
  ::close(fd);
  return port;
}

inline void Click(QAbstractButton* button) { QTest::mouseClick(button, Qt::LeftButton); }

}  // namespace kestrune::test
