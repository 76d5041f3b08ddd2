// Wall-clock elapsed time shared by the resize entry points.
#ifndef QARVEL_ELAPSED_H
#define QARVEL_ELAPSED_H

#include <sys/time.h>

namespace qarvel::detail {

// Milliseconds between two gettimeofday readings. The second and microsecond
// differences are taken as whole numbers first, then combined in double.
inline double elapsed_ms(const timeval& start, const timeval& end) {
  const long sec = static_cast<long>(end.tv_sec - start.tv_sec);
  const long usec = static_cast<long>(end.tv_usec - start.tv_usec);
  return static_cast<double>(sec) * 1000.0 + static_cast<double>(usec) / 1000.0;
}

}  // namespace qarvel::detail

#endif
