// qarvel: the command-line tool, over the library's core.
//
//   qarvel resize [options] INPUT OUTPUT WIDTH [HEIGHT]
//   qarvel resize [options] --out-dir DIR --width W [--height H] INPUT...
//
// One line per resized file goes to standard output; messages, the progress
// bar and the summary go to standard error.
#include <getopt.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "core.h"

namespace fs = std::filesystem;

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

const char kUsage[] =
    "usage: qarvel resize [options] INPUT OUTPUT WIDTH [HEIGHT]\n"
    "       qarvel resize [options] -o DIR -W WIDTH [-H HEIGHT] INPUT...\n"
    "\n"
    "Resizes JPEG files into new JPEG files (4:2:2 chroma, quality 85).\n"
    "A HEIGHT of 0, or none, keeps the aspect ratio. Shrinking averages the\n"
    "source pixels; enlarging interpolates linearly.\n"
    "\n"
    "The first form resizes one file. The second writes each INPUT into DIR\n"
    "under its own file name; an INPUT that is a directory stands for the\n"
    "*.jpg and *.jpeg files in it. Failed files are listed at the end and do\n"
    "not stop the others.\n"
    "\n"
    "options:\n"
    "  -o, --out-dir DIR   batch mode: write outputs into DIR (created if missing)\n"
    "  -W, --width N       target width in pixels (batch mode)\n"
    "  -H, --height N      target height in pixels, 0 keeps the aspect ratio (batch mode)\n"
    "  -j, --jobs N        files resized at once in batch mode (default: number of cores)\n"
    "  -q, --quiet         print nothing per file (failures are still listed)\n"
    "      --help          show this help and exit\n"
    "\n"
    "exit status: 0 when every file was resized, 1 when any failed,\n"
    "2 when the command line is wrong.\n";

int usage_error(const std::string& message) {
  fprintf(stderr, "qarvel: %s\nTry 'qarvel --help'.\n", message.c_str());
  return kExitUsage;
}

// Parses a whole non-negative decimal int.
bool parse_size(const char* text, int* value) {
  if (!text || !*text) return false;
  errno = 0;
  char* end = nullptr;
  long v = strtol(text, &end, 10);
  if (errno || *end || v < 0 || v > INT_MAX) return false;
  *value = static_cast<int>(v);
  return true;
}

bool is_jpeg_name(const fs::path& p) {
  std::string ext = p.extension().string();
  std::transform(ext.begin(), ext.end(), ext.begin(), ::tolower);
  return ext == ".jpg" || ext == ".jpeg";
}

struct Job {
  std::string input;
  std::string output;
};

// Redraws one line on standard error; only used when it is a terminal.
class ProgressBar {
 public:
  explicit ProgressBar(size_t total) : total_(total), enabled_(isatty(STDERR_FILENO)) {}
  void advance(bool failed) {
    std::lock_guard<std::mutex> lock(mutex_);
    ++done_;
    failed_ += failed;
    if (!enabled_) return;
    constexpr int kWidth = 30;
    int filled = static_cast<int>(kWidth * done_ / total_);
    fprintf(stderr, "\r[%.*s%*s] %zu/%zu", filled, "##############################",
            kWidth - filled, "", done_, total_);
    if (failed_) fprintf(stderr, " (%zu failed)", failed_);
    if (done_ == total_) fputc('\n', stderr);
    fflush(stderr);
  }

 private:
  std::mutex mutex_;
  size_t total_, done_ = 0, failed_ = 0;
  bool enabled_;
};

// Resizes one file; returns the failure's message, or an empty one.
std::string resize_one(const Job& job, int width, int height, bool quiet) {
  qarvel::Result<qarvel::ResizeOutcome> r =
      qarvel::resize_file(job.input.c_str(), width, height, job.output.c_str());
  if (!r) return r.error().message;
  if (!quiet)
    printf("%s -> %s (%dx%d -> %dx%d)\n", job.input.c_str(), job.output.c_str(), r->src_width,
           r->src_height, r->dst_width, r->dst_height);
  return {};
}

int run_jobs(const std::vector<Job>& jobs, int width, int height, int threads, bool quiet) {
  std::vector<std::string> errors(jobs.size());
  std::atomic<size_t> next{0};
  ProgressBar bar(jobs.size());
  auto worker = [&] {
    for (size_t i; (i = next.fetch_add(1)) < jobs.size();) {
      errors[i] = resize_one(jobs[i], width, height, quiet);
      bar.advance(!errors[i].empty());
    }
  };
  threads = std::max(1, std::min<int>(threads, static_cast<int>(jobs.size())));
  std::vector<std::thread> pool;
  for (int t = 1; t < threads; ++t) pool.emplace_back(worker);
  worker();
  for (auto& t : pool) t.join();
  fflush(stdout);

  const size_t failures =
      std::count_if(errors.begin(), errors.end(), [](const std::string& e) { return !e.empty(); });
  if (jobs.size() > 1 || failures) {
    fprintf(stderr, "qarvel: %zu of %zu file(s) resized", jobs.size() - failures, jobs.size());
    fprintf(stderr, failures ? ", %zu failed:\n" : "\n", failures);
    for (size_t i = 0; i < jobs.size(); ++i)
      if (!errors[i].empty()) fprintf(stderr, "  %s: %s\n", jobs[i].input.c_str(), errors[i].c_str());
  }
  return failures ? kExitFailed : kExitOk;
}

int resize_command(int argc, char** argv) {
  static const option kOptions[] = {{"out-dir", required_argument, nullptr, 'o'},
                                    {"width", required_argument, nullptr, 'W'},
                                    {"height", required_argument, nullptr, 'H'},
                                    {"jobs", required_argument, nullptr, 'j'},
                                    {"quiet", no_argument, nullptr, 'q'},
                                    {"help", no_argument, nullptr, 'h'},
                                    {nullptr, 0, nullptr, 0}};
  const char* out_dir = nullptr;
  int width = -1, height = 0, jobs = static_cast<int>(std::thread::hardware_concurrency());
  bool quiet = false;
  optind = 1;
  opterr = 0;
  for (int c; (c = getopt_long(argc, argv, "+o:W:H:j:q", kOptions, nullptr)) != -1;) {
    switch (c) {
      case 'o': out_dir = optarg; break;
      case 'W':
        if (!parse_size(optarg, &width) || width == 0) return usage_error("bad width: " + std::string(optarg));
        break;
      case 'H':
        if (!parse_size(optarg, &height)) return usage_error("bad height: " + std::string(optarg));
        break;
      case 'j':
        if (!parse_size(optarg, &jobs) || jobs == 0) return usage_error("bad job count: " + std::string(optarg));
        break;
      case 'q': quiet = true; break;
      case 'h': fputs(kUsage, stdout); return kExitOk;
      default:
        return usage_error(std::string("unknown or incomplete option: ") + argv[optind - 1]);
    }
  }
  std::vector<std::string> args(argv + optind, argv + argc);

  std::vector<Job> todo;
  if (!out_dir) {
    if (width != -1) return usage_error("--width and --height go with --out-dir");
    if (args.size() < 3 || args.size() > 4) return usage_error("expected INPUT OUTPUT WIDTH [HEIGHT]");
    if (!parse_size(args[2].c_str(), &width) || width == 0) return usage_error("bad width: " + args[2]);
    if (args.size() == 4 && !parse_size(args[3].c_str(), &height))
      return usage_error("bad height: " + args[3]);
    todo.push_back({args[0], args[1]});
  } else {
    if (width == -1) return usage_error("--out-dir needs --width");
    if (args.empty()) return usage_error("no input files");
    std::set<std::string> outputs;
    auto add = [&](const fs::path& in) {
      std::string out = (fs::path(out_dir) / in.filename()).string();
      if (!outputs.insert(out).second) return false;
      todo.push_back({in.string(), out});
      return true;
    };
    for (const auto& a : args) {
      std::error_code ec;
      if (fs::is_directory(a, ec)) {
        std::vector<fs::path> found;
        for (const auto& e : fs::directory_iterator(a, ec))
          if (e.is_regular_file() && is_jpeg_name(e.path())) found.push_back(e.path());
        std::sort(found.begin(), found.end());
        for (const auto& f : found)
          if (!add(f)) return usage_error("two inputs would both write " + (fs::path(out_dir) / f.filename()).string());
      } else if (!add(a)) {
        return usage_error("two inputs would both write " + (fs::path(out_dir) / fs::path(a).filename()).string());
      }
    }
    if (todo.empty()) return usage_error("no JPEG files found in the inputs");
    std::error_code ec;
    fs::create_directories(out_dir, ec);
    if (ec) {
      fprintf(stderr, "qarvel: cannot create %s: %s\n", out_dir, ec.message().c_str());
      return kExitFailed;
    }
  }

  return run_jobs(todo, width, height, jobs, quiet);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return usage_error("missing command");
  std::string command = argv[1];
  if (command == "--help" || command == "-h" || command == "help") {
    fputs(kUsage, stdout);
    return kExitOk;
  }
  if (command == "resize") return resize_command(argc - 1, argv + 1);
  return usage_error("unknown command: " + command);
}
