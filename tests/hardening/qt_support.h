// SPDX-License-Identifier: MIT
#pragma once

#include <QAbstractButton>
#include <QTest>
#include <QTimer>

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "app/qt/qt_toolkit.h"
#include "app/qt_test_support.h"
#include "hardening_support.h"

// The program on real widgets, offscreen: the test's thread is the window
// thread and serves events while it waits, never sleeping a guessed time.

namespace kestrune::test {

// The addresses the toolkit handed to the system's browser.
class OpenedAddresses {
 public:
  std::function<void(const std::string&)> Opener() {
    return [this](const std::string& address) {
      std::lock_guard<std::mutex> lock(mutex_);
      opened_.push_back(address);
    };
  }
  std::vector<std::string> Get() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return opened_;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> opened_;
};

// A click as the user makes it: a disabled button takes none. A download
// window it opens is used at once (browser, then download manager) from
// inside its modal loop.
inline void ClickPackage(QtToolkit& toolkit, int button) {
  QTimer::singleShot(0, [&toolkit] {
    if (!toolkit.IsOpen(kDownload)) return;
    for (const char* name : {"百度网盘下载", "启动软件下载"})
      if (auto* b = qobject_cast<QAbstractButton*>(toolkit.ControlWidget(kDownload, name))) Click(b);
  });
  if (auto* b = qobject_cast<QAbstractButton*>(toolkit.ControlWidget(kMain, ButtonName(button)))) Click(b);
  // The click may have opened nothing: the queued use above then finds no window.
  QTest::qWait(0);
}

// A pick in the model list: the choice written, then its event, as the
// list raises it for a user's pick.
inline void PickModel(QtToolkit& toolkit, int row) {
  toolkit.SetProperty(kMain, "组合框1", Property::CurrentSelection, row);
  toolkit.FireEvent(kMain, "组合框1", Event::Selected);
}

// MainWindow with every part on the Qt toolkit, reading from a hostile
// server. The end is taken on the window thread; workers still in a transfer
// end once the server stops, and are waited for.
class ProgramOnQt {
 public:
  ProgramOnQt() {
    toolkit->SetUrlOpener(opened.Opener());
    toolkit->SetDownloadFolder(manager.Config().downloadFolder);
    ctx = WireProgram(toolkit, LoopbackEndpoints(server), ShortBackground(), manager.Config());
  }
  ~ProgramOnQt() {
    toolkit->ExitProgram(0);
    server.Stop();
    EXPECT_TRUE(PumpUntil([this] { return toolkit->RunningThreads() == 0; }, 15000));
  }

  void Pick(int row) { PickModel(*toolkit, row); }
  Shown Read() { return Shown::Read(*toolkit, *ctx.state); }

  FakeDownloadManager manager;
  HostileServer server;
  OpenedAddresses opened;
  std::shared_ptr<QtToolkit> toolkit = QtToolkit::Create();
  AppContext ctx;
};

}  // namespace kestrune::test
