// SPDX-License-Identifier: MIT
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "web/text.h"

// The download manager that the download window hands packages to: aria2,
// reached through its JSON-RPC endpoint on the loopback interface. The client
// has the shape of a download manager's automation object: it exists only
// while the endpoint answers, it takes tasks (AddTask) and then starts them
// (CommitTasks2), and no call reports an error.
//
// The endpoint is protected by an RPC secret. A manager this client starts
// reads its secret from a small configuration file (mode 0600, in the user's
// state folder) that the client writes and reads back; without a secret any
// web page could drive the manager through the user's browser, since the
// manager takes a plain cross-site POST. A manager running without a secret
// ignores the one sent; one with a secret of its own is not used.
//
// A manager the client starts lives on after the program ends, as a download
// manager does, so downloads continue. It listens on loopback only, saves into
// the download folder and never overwrites a file: a name already taken gets
// a number (name.1.ext).
//
// Calls block the caller: an answer is awaited for at most
// DownloadManagerConfig::answerTimeoutMs, a manager started here is waited for
// at most startTimeoutMs. Any thread; one object is used by one thread.

namespace kestrune {

struct DownloadManagerConfig {
  int rpcPort = 6800;
  // Where downloads are saved; empty: UserDownloadFolder().
  std::string downloadFolder;
  // Whether Create may start the manager when nothing answers.
  bool startIfMissing = true;
  // The program started; a name without "/" is looked up in PATH.
  std::string executable = "aria2c";
  // The manager's configuration file holding the RPC secret; empty:
  // DefaultSecretFile().
  std::string secretFile;
  // Appended to the command line of a manager started here (tests tie its
  // life to theirs with --stop-with-process).
  std::vector<std::string> extraArguments;
  // Told the process id of a manager started here.
  std::function<void(int pid)> started;
  int answerTimeoutMs = 2000;
  int startTimeoutMs = 3000;
};

class DownloadAgent {
 public:
  // An agent when the endpoint answers, after starting the manager if allowed
  // and needed; nullptr otherwise.
  static std::unique_ptr<DownloadAgent> Create(const DownloadManagerConfig& config);

  // Removes the tasks added but never committed.
  ~DownloadAgent();
  DownloadAgent(const DownloadAgent&) = delete;
  DownloadAgent& operator=(const DownloadAgent&) = delete;

  // Adds a download of `link` (code-page-936 text) saved as `fileName` in the
  // download folder; held until CommitTasks2. Only http and https links are
  // taken. A file name that is empty or names a path (".", "..", one with "/")
  // is left to the manager, which takes the name from the link. The comment
  // has no counterpart in this manager and is ignored.
  void AddTask(const Text& link, const Text& fileName, const Text& comment);
  // Starts every task added since the last commit. The argument, a commit
  // mode, is ignored: this manager has one way to start a task.
  void CommitTasks2(int mode);

  // The RPC secret this agent sends; empty when none is known.
  const std::string& secret() const { return secret_; }

 private:
  DownloadAgent(const DownloadManagerConfig& config, std::string secret, std::string folder);

  DownloadManagerConfig config_;
  std::string secret_;
  std::string folder_;
  std::vector<std::string> pending_;  // ids of tasks added, not yet committed
};

// The user's download folder: $XDG_DOWNLOAD_DIR, else XDG_DOWNLOAD_DIR of
// user-dirs.dirs in $XDG_CONFIG_HOME (default ~/.config), else ~/Downloads.
std::string UserDownloadFolder();

// $XDG_STATE_HOME/kestrune/aria2.conf, by default under ~/.local/state.
std::string DefaultSecretFile();

}  // namespace kestrune
