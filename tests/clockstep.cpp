// Preloaded into the program under test: steps the wall clock by
// CLOCKSTEP_SECONDS once CLOCKSTEP_AFTER_MS milliseconds have passed since the
// program started, as NTP steps the clock of a board without a real-time clock.
#include <dlfcn.h>
#include <sys/time.h>

#include <cstdlib>
#include <ctime>

namespace {

using clockfn = int (*)(clockid_t, timespec*);

clockfn realclock() {
  static const auto fn = reinterpret_cast<clockfn>(dlsym(RTLD_NEXT, "clock_gettime"));
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
  const long ms = (now.tv_sec - startup.tv_sec) * 1000 + (now.tv_nsec - startup.tv_nsec) / 1000000;
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
