// SPDX-License-Identifier: MIT
#pragma once

#include <chrono>

#include "app/context.h"

// The remote configuration and the update check, a chain of worker tasks
// started by the single tick of 时钟1:
//
//   ConfigurationTask -> FolderLookupTask -> FileLookupTask
//
// Each task runs on a thread of its own (Toolkit::StartThread) and ends after
// starting the next, so one background worker runs at a time. The tasks read
// the author's configuration page, look the update file up in the net-disk
// listing, and compare the published version with LocalVersion.
//
// Threads and shutdown: the tasks keep the toolkit and the shared state alive
// through shared_ptrs. They touch the background state only under
// backgroundLock and the Matcher only under LockMatcher(), never holding
// either across a network call, a toolkit call or a message box. Once the
// clean-up has run (SharedState::released), a task stops at its next step and
// touches nothing more; a retry pause ends within about 50 ms.
//
// Failures are silent: an unreadable listing or a missing link shows nothing.
// A non-empty configuration page without an entry of at least five fields
// ends the chain there. An empty page is asked for again, without limit,
// after a pause that doubles from firstRetryPause up to maxRetryPause.
//
// Addresses handed to the browser controls must be http or https and free of
// control characters; anything else is not loaded.

namespace kestrune {

struct BackgroundOptions {
  std::chrono::milliseconds firstRetryPause{1000};  // after the first empty configuration page
  std::chrono::milliseconds maxRetryPause{300000};  // the pause stops doubling here
  long readerTimeoutMs = 18000;                     // connect, send and receive, each
};

// Registers the tick handler of 时钟1 on MainWindow. The handler stops the
// timer, takes LocalVersion as it stands then, and starts ConfigurationTask.
void InstallBackgroundChecks(const AppContext& ctx);
void InstallBackgroundChecks(const AppContext& ctx, const BackgroundOptions& options);

}  // namespace kestrune
