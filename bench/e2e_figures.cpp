// End-to-end figures through the emulated receiver and the real tool, beside
// the same figures for the floor (a loop that only reads the port and prints
// the bytes in hex), and a pass or a fail on them:
//   latency from a frame written into the pseudo-terminal to its line on
//   standard output, median and 99th percentile, and per round of frames the
//   ratio of the tool's median to the floor's, which must stay under a mark;
//   CPU used while idle for 10 seconds;
//   CPU used during a failed exchange.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
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

#include "sim/receiver/exchange.h"
#include "sim/receiver/line.h"

namespace {

using namespace std::chrono_literals;
using clock_type = std::chrono::steady_clock;
namespace sim = velquin::sim;

constexpr int rounds = 50;
constexpr int perround = 20;
constexpr auto idlespan = 10s;
// The pass mark: the median of the rounds' ratios of the tool's median
// latency to the floor's.
constexpr double latencymark = 1.25;

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

// A program under measure on a line of its own.
struct subject {
  std::vector<std::string> command;
  std::string link;
  sim::line l;
  running r;
  std::string pending;
  std::vector<double> us;  // every frame's latency
  long long cpu0 = 0;
};

bool begin(subject& s, bool exchange) {
  if (const std::string why = sim::lineopen(s.l, nullptr, s.link); !why.empty()) {
    std::fprintf(stderr, "%s\n", why.c_str());
    return false;
  }
  // The exchange on a copy of the line whose stop ends it once the tool has
  // started, or failed to.
  sim::line own = s.l;
  own.stop = eventfd(0, EFD_CLOEXEC);
  std::thread receiver;
  if (exchange) {
    receiver =
        std::thread([own] { sim::playexchange(own, {}, sim::steady::now() + 30s, nullptr); });
  }
  s.r = start(s.command);
  const bool started = readline(s.r.out, s.pending, 15s);
  eventfd_write(own.stop, 1);
  if (receiver.joinable()) receiver.join();
  close(own.stop);
  if (!started) std::fprintf(stderr, "%s did not start\n", s.command[0].c_str());
  return started;
}

void end(subject& s) {
  sim::lineclose(s.l);
  int status = 0;
  waitpid(s.r.pid, &status, 0);
  close(s.r.out);
}

// One frame through one subject: microseconds from the write to its line.
bool latency(subject& s) {
  static const std::uint8_t press[] = {0xFF, 0x15, 0xEA};
  const auto t0 = clock_type::now();
  sim::linesend(s.l, press);
  if (!readline(s.r.out, s.pending, 5s)) {
    std::fprintf(stderr, "%s: no line for a frame\n", s.command[0].c_str());
    return false;
  }
  s.us.push_back(std::chrono::duration<double, std::micro>(clock_type::now() - t0).count());
  return true;
}

double quantile(std::vector<double> v, double q) {
  std::sort(v.begin(), v.end());
  return v[static_cast<std::size_t>(q * static_cast<double>(v.size() - 1) + 0.5)];
}

// CPU over wall time of a whole run against a receiver that never answers.
double failedexchange(const std::string& tool, const std::string& link) {
  sim::line l;
  if (!sim::lineopen(l, nullptr, link).empty()) return -1;
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
  const std::string floorlink = link + "-floor";
  signal(SIGPIPE, SIG_IGN);

  // Both run at once, each on a line of its own, and every round sends the
  // same frames to both, one after the other in turn: whatever else the
  // machine does then falls on both alike.
  subject tool;
  tool.command = {argv[2]};
  tool.link = link;
  subject floor;
  floor.command = {argv[3], floorlink};
  floor.link = floorlink;
  if (!begin(tool, true) || !begin(floor, false)) return 1;
  std::this_thread::sleep_for(200ms);
  std::vector<double> ratios;
  for (int round = 0; round < rounds; ++round) {
    const std::size_t from = tool.us.size();
    for (int k = 0; k < perround; ++k) {
      subject* order[2] = {&tool, &floor};
      if ((round + k) % 2 != 0) std::swap(order[0], order[1]);
      for (subject* s : order) {
        if (!latency(*s)) return 1;
      }
      // Off the tool's half-second beat, so that every phase of it is sampled.
      std::this_thread::sleep_for(std::chrono::microseconds(1000 + (k * 7919) % 3000));
    }
    const auto part = [from](const subject& s) {
      return std::vector<double>(s.us.begin() + static_cast<long>(from), s.us.end());
    };
    ratios.push_back(quantile(part(tool), 0.5) / quantile(part(floor), 0.5));
  }

  tool.cpu0 = cpuns(tool.r.pid);
  floor.cpu0 = cpuns(floor.r.pid);
  const auto t0 = clock_type::now();
  std::this_thread::sleep_for(idlespan);
  const double wall = std::chrono::duration<double, std::nano>(clock_type::now() - t0).count();
  const auto idle = [wall](const subject& s) {
    return 100.0 * static_cast<double>(cpuns(s.r.pid) - s.cpu0) / wall;
  };
  const double toolidle = idle(tool);
  const double flooridle = idle(floor);
  end(tool);
  end(floor);
  const double failed = failedexchange(argv[2], link);

  std::printf("%-34s %12s %12s\n", "", "velquin", "floor");
  std::printf("%-34s %12.1f %12.1f\n", "latency, median (us)", quantile(tool.us, 0.5),
              quantile(floor.us, 0.5));
  std::printf("%-34s %12.1f %12.1f\n", "latency, 99th percentile (us)", quantile(tool.us, 0.99),
              quantile(floor.us, 0.99));
  std::printf("%-34s %12.3f %12.3f\n", "CPU idle for 10 s (% of a core)", toolidle, flooridle);
  std::printf("%-34s %12.3f %12s\n", "CPU, failed exchange (% of a core)", failed, "-");
  std::printf("(%d rounds of %d frames each; the floor has no exchange)\n\n", rounds, perround);

  const double ratio = quantile(ratios, 0.5);
  const bool latencyok = ratio <= latencymark;
  const bool idleok = toolidle < 0.5;
  const bool exchangeok = failed >= 0 && failed < 1.0;
  std::printf("latency per round, velquin / floor: median %.2f x, interquartile %.2f to %.2f x\n",
              ratio, quantile(ratios, 0.25), quantile(ratios, 0.75));
  std::printf("median within %.2f x floor: %s\n", latencymark, latencyok ? "yes" : "NO");
  std::printf("idle under 0.5%%: %s\n", idleok ? "yes" : "NO");
  std::printf("failed exchange under 1%%: %s\n", exchangeok ? "yes" : "NO");
  return latencyok && idleok && exchangeok ? 0 : 1;
}
