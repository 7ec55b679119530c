// Built with the tool's own flags and run with velquin_clockstep preloaded:
// prints how far each wall clock moved across the step, less the time that
// passed, in whole seconds, so that a test can see the step happen.
#include <sys/time.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <thread>

namespace {

struct wall {
  long long time;       // time()
  long long timeofday;  // gettimeofday(), milliseconds
  long long realtime;   // clock_gettime(CLOCK_REALTIME), milliseconds
};

// Seconds and a fraction in milliseconds, whatever the width of time_t.
long long ms(long long seconds, long long thousandths) {
  return seconds * 1000 + thousandths;
}

wall now() {
  timeval tv{};
  gettimeofday(&tv, nullptr);
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  return {std::time(nullptr), ms(tv.tv_sec, tv.tv_usec / 1000),
          ms(ts.tv_sec, ts.tv_nsec / 1000000)};
}

}  // namespace

int main() {
  using namespace std::chrono_literals;
  const wall before = now();
  const auto t0 = std::chrono::steady_clock::now();
  std::this_thread::sleep_for(1s);  // the step comes half a second in
  const wall after = now();
  const auto passed =
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0)
          .count();
  // time() counts whole seconds, so its figure may be one more.
  const auto seconds = [passed](long long ms) {
    return std::llround(static_cast<double>(ms - passed) / 1000);
  };
  std::printf("time %lld gettimeofday %lld clock_gettime %lld\n",
              after.time - before.time - passed / 1000, seconds(after.timeofday - before.timeofday),
              seconds(after.realtime - before.realtime));
  return 0;
}
