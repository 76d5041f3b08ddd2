// Peak resident memory of one file-to-file resize against the data it must
// hold: compressed input + source pixels + destination pixels + encoded
// output. Each resize runs in a fresh process (this program re-executed), so
// neither the test image's making nor an earlier resize sits in its heap.
//
//   memory_bench                     the report
//   memory_bench --child IN W H OUT  one qresize; prints "baseline_kb peak_kb"
#include <qarvel/qarvel.h>

#include "bench_support.h"

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

namespace {

using namespace qarvel::bench;

int child(const char* in, int w, int h, const char* out) {
  long baseline = status_kb("VmRSS:");
  int rc;
  {
    StdoutSilencer quiet;
    rc = qresize(in, w, h, out);
  }
  long peak = status_kb("VmHWM:");
  struct rusage ru {};
  getrusage(RUSAGE_SELF, &ru);
  if (rc != 0) return 1;
  // ru_maxrss is kB on Linux; it should agree with VmHWM.
  printf("%ld %ld %ld\n", baseline, peak, ru.ru_maxrss);
  return 0;
}

// Runs this program as a child for one resize; false if it failed.
bool measure(const std::string& in, int w, int h, const std::string& out, long* baseline_kb,
             long* peak_kb, long* maxrss_kb) {
  int fds[2];
  if (pipe(fds) != 0) return false;
  pid_t pid = fork();
  if (pid < 0) return false;
  if (pid == 0) {
    dup2(fds[1], STDOUT_FILENO);
    close(fds[0]);
    close(fds[1]);
    std::string ws = std::to_string(w), hs = std::to_string(h);
    execl("/proc/self/exe", "memory_bench", "--child", in.c_str(), ws.c_str(), hs.c_str(),
          out.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  close(fds[1]);
  char buf[128] = {};
  ssize_t n = 0, got;
  while (n < ssize_t(sizeof buf) - 1 && (got = read(fds[0], buf + n, sizeof buf - 1 - n)) > 0)
    n += got;
  close(fds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0 &&
         sscanf(buf, "%ld %ld %ld", baseline_kb, peak_kb, maxrss_kb) == 3;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 6 && !strcmp(argv[1], "--child"))
    return child(argv[2], atoi(argv[3]), atoi(argv[4]), argv[5]);
  if (argc != 1) {
    fprintf(stderr, "usage: %s\n", argv[0]);
    return 2;
  }

  std::string dir = make_temp_dir();
  Image photo;
  std::string in = dir + "/photo-4000x3000.jpg";
  if (dir.empty() || !decode_file(QARVEL_BENCH_PHOTO, photo) ||
      !make_photo_jpeg(photo, 4000, 3000, in)) {
    fprintf(stderr, "cannot make the test image\n");
    return 1;
  }

  print_machine();
  printf("Peak RSS growth of one qresize in a fresh process (VmHWM at the end minus VmRSS\n"
         "before the call) against input file + source pixels + destination pixels +\n"
         "output file. MiB = 2^20 bytes.\n\n");
  printf("| resize | input | source | destination | output | sum | peak growth | ratio |\n");
  printf("|---|---:|---:|---:|---:|---:|---:|---:|\n");

  struct Target { int w, h; };
  const Target targets[] = {{1280, 960}, {2000, 1500}};
  const int src_w = 4000, src_h = 3000;
  bool failed = false;
  std::string notes;
  for (const Target& tg : targets) {
    std::string out = dir + "/out.jpg";
    long baseline = 0, peak = 0, maxrss = 0;
    if (!measure(in, tg.w, tg.h, out, &baseline, &peak, &maxrss)) {
      fprintf(stderr, "qresize to %dx%d failed\n", tg.w, tg.h);
      failed = true;
      continue;
    }
    const double mib = 1024.0 * 1024.0;
    double input = double(file_bytes(in)), output = double(file_bytes(out));
    double source = double(src_w) * src_h * 3, dest = double(tg.w) * tg.h * 3;
    double sum = input + source + dest + output;
    double growth = double(peak - baseline) * 1024.0;
    printf("| 4000x3000 -> %dx%d | %.2f | %.2f | %.2f | %.2f | %.2f | %.2f | %.3f |\n", tg.w,
           tg.h, input / mib, source / mib, dest / mib, output / mib, sum / mib, growth / mib,
           growth / sum);
    char note[160];
    snprintf(note, sizeof note, "%dx%d: VmRSS before %ld kB, VmHWM after %ld kB, ru_maxrss %ld kB\n",
             tg.w, tg.h, baseline, peak, maxrss);
    notes += note;
    std::filesystem::remove(out);
  }
  printf("\n%s", notes.c_str());
  std::filesystem::remove_all(dir);
  return failed ? 1 : 0;
}
