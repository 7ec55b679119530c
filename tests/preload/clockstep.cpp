// Preloaded into the program under test: steps the wall clock by
// CLOCKSTEP_SECONDS once CLOCKSTEP_AFTER_MS milliseconds have passed since the
// program started, as NTP steps the clock of a board without a real-time clock.
#include <dlfcn.h>
#include <sys/time.h>

#include <cstdlib>
#include <ctime>

namespace {

using clockfn = int (*)(clockid_t, timespec*);

// With a 64-bit time_t on a 32-bit machine (-D_TIME_BITS=64), the program
// calls __clock_gettime64, __time64 and __gettimeofday64, which the
// definitions below become through the headers' own renaming; the real clock
// is then the 64-bit entry point too, and "clock_gettime" the 32-bit one.
#if defined(__USE_TIME_BITS64) && __TIMESIZE == 32
constexpr const char* realclockname = "__clock_gettime64";
#else
constexpr const char* realclockname = "clock_gettime";
#endif

clockfn realclock() {
  static const auto fn = reinterpret_cast<clockfn>(dlsym(RTLD_NEXT, realclockname));
  return fn;
}

long envnumber(const char* name) {
  const char* v = std::getenv(name);
  return v != nullptr ? std::strtol(v, nullptr, 10) : 0;
}

timespec startup{};

__attribute__((constructor)) void notestart() {
  realclock()(CLOCK_MONOTONIC, &startup);
}

// The step, in seconds, in force now.
long step() {
  timespec now{};
  realclock()(CLOCK_MONOTONIC, &now);
  const long long seconds = now.tv_sec - startup.tv_sec;  // a 64-bit time_t on any machine
  const long long ms = seconds * 1000 + (now.tv_nsec - startup.tv_nsec) / 1000000;
  return ms >= envnumber("CLOCKSTEP_AFTER_MS") ? envnumber("CLOCKSTEP_SECONDS") : 0;
}

}  // namespace

extern "C" {

int clock_gettime(clockid_t id, timespec* t) noexcept {
  const int r = realclock()(id, t);
  if (r == 0 && (id == CLOCK_REALTIME || id == CLOCK_REALTIME_COARSE)) t->tv_sec += step();
  return r;
}

int gettimeofday(timeval* tv, void*) noexcept {
  timespec t{};
  const int r = clock_gettime(CLOCK_REALTIME, &t);
  if (r == 0) *tv = {t.tv_sec, t.tv_nsec / 1000};
  return r;
}

time_t time(time_t* out) noexcept {
  timespec t{};
  clock_gettime(CLOCK_REALTIME, &t);
  if (out != nullptr) *out = t.tv_sec;
  return t.tv_sec;
}

}  // extern "C"
