// SPDX-License-Identifier: MIT
// Starts a program on the X display and measures it from outside:
//   first_frame_ms  from the start until its first top-level window is mapped
//                   and has something drawn in it (more than one colour),
//   cpu_percent     its user + system time over an idle period, as a share
//                   of one core,
//   x_cpu_percent   the X server's time over the same period (drawing is
//                   done there), when its process id is given,
//   peak_rss_kb     its peak resident memory (VmHWM) at the end.
//
// Usage: window_probe IDLE_SECONDS XSERVER_PID|0 PROGRAM [ARGUMENTS...]
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

// User + system time of a process, in clock ticks.
long long CpuTicks(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string stat((std::istreambuf_iterator<char>(in)), {});
  const auto close = stat.rfind(')');
  if (close == std::string::npos) return -1;
  std::istringstream fields(stat.substr(close + 2));
  std::string field;
  long long utime = 0, stime = 0;
  for (int i = 3; i <= 15 && fields >> field; ++i) {
    if (i == 14) utime = std::stoll(field);
    if (i == 15) stime = std::stoll(field);
  }
  return utime + stime;
}

long PeakRssKb(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line))
    if (line.rfind("VmHWM:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
  return -1;
}

pid_t WindowPid(Display* display, Window window) {
  static const Atom pidAtom = XInternAtom(display, "_NET_WM_PID", False);
  Atom type;
  int format;
  unsigned long count, after;
  unsigned char* data = nullptr;
  pid_t pid = 0;
  if (XGetWindowProperty(display, window, pidAtom, 0, 1, False, XA_CARDINAL, &type, &format, &count, &after, &data) ==
          Success &&
      data != nullptr && count == 1)
    pid = static_cast<pid_t>(*reinterpret_cast<unsigned long*>(data));
  if (data != nullptr) XFree(data);
  return pid;
}

bool HasContent(Display* display, Window window) {
  XWindowAttributes attributes;
  if (!XGetWindowAttributes(display, window, &attributes) || attributes.map_state != IsViewable) return false;
  XImage* image = XGetImage(display, window, 0, 0, attributes.width, attributes.height, AllPlanes, ZPixmap);
  if (image == nullptr) return false;
  const unsigned long first = XGetPixel(image, 0, 0);
  int different = 0;
  for (int y = 0; y < attributes.height; y += 2)
    for (int x = 0; x < attributes.width; x += 2)
      if (XGetPixel(image, x, y) != first) ++different;
  XDestroyImage(image);
  return different > 50;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: %s IDLE_SECONDS XSERVER_PID|0 PROGRAM [ARGUMENTS...]\n", argv[0]);
    return 2;
  }
  const int idleSeconds = std::atoi(argv[1]);
  const pid_t xserver = static_cast<pid_t>(std::atol(argv[2]));
  Display* display = XOpenDisplay(nullptr);
  if (display == nullptr) {
    std::fprintf(stderr, "no X display\n");
    return 2;
  }
  const Window root = DefaultRootWindow(display);
  XSelectInput(display, root, SubstructureNotifyMask);
  XSync(display, False);

  const auto start = Clock::now();
  const pid_t child = fork();
  if (child == 0) {
    execv(argv[3], argv + 3);
    _exit(127);
  }

  Window window = 0;
  const auto deadline = start + std::chrono::seconds(30);
  while (window == 0 && Clock::now() < deadline) {
    if (XPending(display) == 0) {
      pollfd fd{ConnectionNumber(display), POLLIN, 0};
      poll(&fd, 1, 10);
      continue;
    }
    XEvent event;
    XNextEvent(display, &event);
    if (event.type == MapNotify && WindowPid(display, event.xmap.window) == child) window = event.xmap.window;
  }
  if (window == 0) {
    std::fprintf(stderr, "no window appeared\n");
    kill(child, SIGKILL);
    return 1;
  }
  const auto mapped = Clock::now();
  while (!HasContent(display, window) && Clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  const auto drawn = Clock::now();

  // Let start-up work settle before the idle period begins.
  std::this_thread::sleep_for(std::chrono::seconds(1));
  const long long cpuBefore = CpuTicks(child);
  const long long xBefore = xserver > 0 ? CpuTicks(xserver) : 0;
  const auto idleStart = Clock::now();
  std::this_thread::sleep_for(std::chrono::seconds(idleSeconds));
  const double idleMs = Ms(Clock::now() - idleStart);
  const long long cpuAfter = CpuTicks(child);
  const long long xAfter = xserver > 0 ? CpuTicks(xserver) : 0;
  const long peak = PeakRssKb(child);

  kill(child, SIGTERM);
  waitpid(child, nullptr, 0);
  XCloseDisplay(display);

  const double tickMs = 1000.0 / static_cast<double>(sysconf(_SC_CLK_TCK));
  std::printf("first_frame_ms=%.1f mapped_ms=%.1f cpu_percent=%.2f x_cpu_percent=%.2f peak_rss_kb=%ld\n",
              Ms(drawn - start), Ms(mapped - start),
              100.0 * static_cast<double>(cpuAfter - cpuBefore) * tickMs / idleMs,
              xserver > 0 ? 100.0 * static_cast<double>(xAfter - xBefore) * tickMs / idleMs : 0.0, peak);
  return 0;
}
