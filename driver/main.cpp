#include <unistd.h>

#include <cstdlib>

#include "driver/driver.h"

namespace {

// korvan runs as one of several workers on a shared host. By default the
// OpenMP runtime lets a thread that reaches the end of a parallel region
// spin for milliseconds before it sleeps; with another process on the
// machine a descheduled peer holds the spinning threads up at every view, and
// the spinning takes the very cores the peer needs (a 256^3 run on the
// 2-core machine of docs/PERFORMANCE.md went from 2.3 s alone to 13.4 s
// beside one busy process, against 5.1 s with idle threads sleeping). So
// korvan's idle threads sleep unless the user chose otherwise with
// OMP_WAIT_POLICY or GOMP_SPINCOUNT.
//
// The runtime reads its environment once, when it is loaded, before main,
// and offers no call to change the policy afterwards; so the program starts
// itself again, at once, with the variable set. The process (and its id)
// stays the same, and nothing has been read or written yet. Should the
// restart fail, the run goes on with the runtime's default.
void preferSleepingThreads(char** argv) {
  if (std::getenv("OMP_WAIT_POLICY") || std::getenv("GOMP_SPINCOUNT")) return;
  // Started again by its own path, not as /proc/self/exe, so that the
  // process keeps its name (ps, top, pkill).
  char self[4096];
  const ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
  if (length <= 0) return;
  self[length] = '\0';
  if (setenv("OMP_WAIT_POLICY", "passive", 1) != 0) return;
  execv(self, argv);
  unsetenv("OMP_WAIT_POLICY");
}

}  // namespace

int main(int argc, char** argv) {
  preferSleepingThreads(argv);
  korvanMain(argc, argv);
}
