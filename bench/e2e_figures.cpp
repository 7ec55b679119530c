// End-to-end figures through the emulated receiver and the real tool, beside
// the same figures for the floor (a loop that only reads the port and prints
// the bytes in hex):
//   latency from a frame written into the pseudo-terminal to its line on
//   standard output, median and 99th percentile;
//   CPU used while idle for 10 seconds;
//   CPU used during a failed exchange.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "sim/exchange.h"
#include "sim/line.h"

namespace {

using namespace std::chrono_literals;
using clock_type = std::chrono::steady_clock;
namespace sim = velquin::sim;

constexpr int frames = 1000;
constexpr auto idlespan = 10s;

struct running {
  pid_t pid = -1;
  int out = -1;
};

running start(const std::vector<std::string>& words) {
  int p[2];
  if (pipe2(p, O_CLOEXEC) != 0) return {};
  std::vector<char*> argv;
  std::vector<std::string> w = words;
  for (std::string& s : w) argv.push_back(s.data());
  argv.push_back(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(p[1], 1);
    const int null = open("/dev/null", O_RDWR);
    dup2(null, 0);
    dup2(null, 2);
    execv(argv[0], argv.data());
    _exit(127);
  }
  close(p[1]);
  return {pid, p[0]};
}

bool readline(int fd, std::string& pending, std::chrono::milliseconds limit) {
  const auto deadline = clock_type::now() + limit;
  for (;;) {
    const auto nl = pending.find('\n');
    if (nl != std::string::npos) {
      pending.erase(0, nl + 1);
      return true;
    }
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock_type::now());
    if (left.count() <= 0) return false;
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
    char buf[4096];
    const ssize_t n = read(fd, buf, sizeof buf);
    if (n <= 0) return false;
    pending.append(buf, static_cast<std::size_t>(n));
  }
}

// Nanoseconds the process has spent on a CPU so far.
long long cpuns(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/schedstat");
  long long ns = -1;
  in >> ns;
  return ns;
}

struct figures {
  double median_us = 0;
  double p99_us = 0;
  double idle_pct = 0;
};

bool measure(const std::vector<std::string>& command, const std::string& link, bool exchange,
             figures& f) {
  sim::line l;
  std::string err;
  if (!sim::lineopen(l, nullptr, link, err)) {
    std::fprintf(stderr, "%s\n", err.c_str());
    return false;
  }
  std::jthread receiver;
  if (exchange) {
    receiver =
        std::jthread([&](std::stop_token stop) { sim::playexchange(l, {}, 30s, nullptr, stop); });
  }
  running r = start(command);
  std::string pending;
  if (!readline(r.out, pending, 15s)) {
    std::fprintf(stderr, "%s did not start\n", command[0].c_str());
    return false;
  }
  receiver = {};
  std::this_thread::sleep_for(200ms);

  const std::uint8_t press[] = {0xFF, 0x15, 0xEA};
  std::vector<double> us;
  for (int k = 0; k < frames; ++k) {
    const auto t0 = clock_type::now();
    sim::linesend(l, press);
    if (!readline(r.out, pending, 5s)) {
      std::fprintf(stderr, "%s: no line for frame %d\n", command[0].c_str(), k);
      return false;
    }
    us.push_back(std::chrono::duration<double, std::micro>(clock_type::now() - t0).count());
    // Off the tool's half-second beat, so that every phase of it is sampled.
    std::this_thread::sleep_for(std::chrono::microseconds(1000 + (k * 7919) % 3000));
  }
  std::sort(us.begin(), us.end());
  f.median_us = us[us.size() / 2];
  f.p99_us = us[us.size() * 99 / 100];

  const long long before = cpuns(r.pid);
  const auto t0 = clock_type::now();
  std::this_thread::sleep_for(idlespan);
  const long long after = cpuns(r.pid);
  const double wall = std::chrono::duration<double, std::nano>(clock_type::now() - t0).count();
  f.idle_pct = 100.0 * static_cast<double>(after - before) / wall;

  sim::lineclose(l);
  int status = 0;
  waitpid(r.pid, &status, 0);
  close(r.out);
  return true;
}

// CPU over wall time of a whole run against a receiver that never answers.
double failedexchange(const std::string& tool, const std::string& link) {
  sim::line l;
  std::string err;
  if (!sim::lineopen(l, nullptr, link, err)) return -1;
  const auto t0 = clock_type::now();
  running r = start({tool});
  int status = 0;
  rusage ru{};
  wait4(r.pid, &status, 0, &ru);
  const double wall = std::chrono::duration<double>(clock_type::now() - t0).count();
  close(r.out);
  sim::lineclose(l);
  const double cpu = static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
                     static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
  return 100.0 * cpu / wall;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: %s LINK TOOL FLOOR\n", argv[0]);
    return 2;
  }
  const std::string link = argv[1];
  const std::string tool = argv[2];
  const std::string floor = argv[3];
  signal(SIGPIPE, SIG_IGN);

  figures t;
  figures f;
  if (!measure({tool}, link, true, t) || !measure({floor, link}, link, false, f)) return 1;
  const double failed = failedexchange(tool, link);

  std::printf("%-34s %12s %12s\n", "", "velquin", "floor");
  std::printf("%-34s %12.1f %12.1f\n", "latency, median (us)", t.median_us, f.median_us);
  std::printf("%-34s %12.1f %12.1f\n", "latency, 99th percentile (us)", t.p99_us, f.p99_us);
  std::printf("%-34s %12.3f %12.3f\n", "CPU idle for 10 s (% of a core)", t.idle_pct, f.idle_pct);
  std::printf("%-34s %12.3f %12s\n", "CPU, failed exchange (% of a core)", failed, "-");
  std::printf("(%d frames; the floor has no exchange)\n\n", frames);

  const bool latency = t.median_us <= 1.2 * f.median_us;
  const bool idle = t.idle_pct < 0.5;
  const bool exchange = failed >= 0 && failed < 1.0;
  std::printf("median latency within 1.2 x floor: %s (%.2f x)\n", latency ? "yes" : "NO",
              t.median_us / f.median_us);
  std::printf("idle under 0.5%%: %s\n", idle ? "yes" : "NO");
  std::printf("failed exchange under 1%%: %s\n", exchange ? "yes" : "NO");
  return latency && idle && exchange ? 0 : 1;
}
