// qarvel: the command-line tool, over the library's core.
//
//   qarvel resize [options] INPUT OUTPUT WIDTH [HEIGHT]
//   qarvel resize [options] -s BOX INPUT OUTPUT
//   qarvel resize [options] -o DIR (-W WIDTH [-H HEIGHT] | -s BOX) INPUT...
//
// One line per resized file goes to standard output; messages, warnings,
// the progress bar and the summary go to standard error.
#include <getopt.h>
#include <malloc.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "core.h"
#include "photo/photo.h"
#include "qarvel_version.h"

namespace fs = std::filesystem;

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

const char kUsage[] =
    "usage: qarvel resize [options] INPUT OUTPUT WIDTH [HEIGHT]\n"
    "       qarvel resize [options] -s BOX INPUT OUTPUT\n"
    "       qarvel resize [options] -o DIR (-W WIDTH [-H HEIGHT] | -s BOX) INPUT...\n"
    "\n"
    "Makes JPEG thumbnails of JPEG photos (4:2:2 chroma, quality 85). Sizes are\n"
    "those of the image as displayed: a photo whose EXIF Orientation says it is\n"
    "stored sideways or mirrored comes out upright. A HEIGHT of 0, or none, keeps\n"
    "the aspect ratio. Shrinking averages the source pixels; enlarging\n"
    "interpolates linearly. When the source is four or more times the target,\n"
    "it is decoded at 1/2, 1/4 or 1/8 size, the smallest that keeps at least\n"
    "twice the target on both axes, and then averaged down (see --exact).\n"
    "The ICC colour profile is kept, other metadata is not (see --keep-metadata).\n"
    "\n"
    "The first two forms resize one file. The third writes each INPUT into DIR\n"
    "under its own file name; an INPUT that is a directory stands for the *.jpg\n"
    "and *.jpeg files in it. Failed files are listed at the end and do not stop\n"
    "the others.\n"
    "\n"
    "options:\n"
    "  -o, --out-dir DIR   batch mode: write outputs into DIR (created if missing)\n"
    "  -W, --width N       target width in pixels (batch mode)\n"
    "  -H, --height N      target height in pixels, 0 keeps the aspect ratio (batch mode)\n"
    "  -s, --size BOX      fit inside BOX, aspect kept: WxH, or W (also Wx) to bound\n"
    "                      the width only, or xH to bound the height only; not with\n"
    "                      WIDTH/HEIGHT, -W or -H\n"
    "  -r, --recursive     walk INPUT directories and their subdirectories, mirroring\n"
    "                      them under DIR; symbolic links to directories are not followed\n"
    "  -j, --jobs N        files resized at once in batch mode (default: number of cores)\n"
    "      --no-rotate     ignore the EXIF Orientation: keep the image as stored\n"
    "      --keep-metadata keep EXIF (Orientation set to 1 when the image was turned,\n"
    "                      embedded thumbnail removed), XMP and IPTC as well as the\n"
    "                      colour profile\n"
    "      --strip         keep no metadata, not even the colour profile (by default\n"
    "                      only the ICC colour profile is kept)\n"
    "      --exact         decode at full size and resample in one step; with\n"
    "                      --no-rotate --strip the output equals qresize's byte for byte\n"
    "      --skip-existing leave outputs that already exist untouched (resumable runs)\n"
    "  -q, --quiet         print nothing per file (failures are still listed)\n"
    "      --help          show this help and exit\n"
    "      --version       show the version and exit\n"
    "\n"
    "Outputs are written to a temporary file beside them and renamed into place,\n"
    "so a failed write leaves an existing output as it was. An OUTPUT that is a\n"
    "symbolic link is replaced by the new file; the file it pointed to is left\n"
    "alone. An output that is the same file as an input of the run (a hard or\n"
    "symbolic link to it included) is refused.\n"
    "\n"
    "Problems that do not stop a file (a malformed EXIF block, an inconsistent\n"
    "colour profile, which is then dropped) are listed at the end on standard\n"
    "error, one per line, as '  INPUT: warning: MESSAGE'; failures follow as\n"
    "'  INPUT: MESSAGE'.\n"
    "\n"
    "exit status: 0 when every file was resized or skipped (warnings included),\n"
    "1 when any failed, 2 when the command line is wrong.\n";

int usage_error(const std::string& message) {
  fprintf(stderr, "qarvel: %s\nTry 'qarvel --help'.\n", message.c_str());
  return kExitUsage;
}

// Parses a whole non-negative decimal int.
bool parse_size(const char* text, int* value) {
  if (!text || !*text || *text == '+' || *text == '-' || *text == ' ') return false;
  errno = 0;
  char* end = nullptr;
  long v = strtol(text, &end, 10);
  if (errno || *end || v < 0 || v > INT_MAX) return false;
  *value = static_cast<int>(v);
  return true;
}

// Parses a box: "WxH", "W", "Wx" or "xH", with at least one positive side.
bool parse_box(const std::string& text, int* width, int* height) {
  const size_t x = text.find('x');
  const std::string w = text.substr(0, x);
  const std::string h = x == std::string::npos ? "" : text.substr(x + 1);
  *width = *height = 0;
  if (!w.empty() && !parse_size(w.c_str(), width)) return false;
  if (!h.empty() && !parse_size(h.c_str(), height)) return false;
  return *width > 0 || *height > 0;
}

bool is_jpeg_name(const fs::path& p) {
  std::string ext = p.extension().string();
  std::transform(ext.begin(), ext.end(), ext.begin(), ::tolower);
  return ext == ".jpg" || ext == ".jpeg";
}

struct Job {
  std::string input;
  std::string output;
  std::string error;  // set while listing: the entry cannot be read
};

// What happened to one job.
struct Outcome {
  enum { kDone, kSkipped, kFailed } state = kDone;
  std::string error;
  std::vector<std::string> warnings;
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

// A file's identity: device and inode, which links and other names share.
using FileId = std::pair<dev_t, ino_t>;

struct RunOptions {
  qarvel::ThumbnailOptions thumbnail;
  bool quiet = false;
  bool skip_existing = false;
  int threads = 1;
  std::map<FileId, std::string> inputs;  // every input of the run, by identity
};

Outcome resize_one(const Job& job, const RunOptions& run) {
  Outcome o;
  if (!job.error.empty()) return {Outcome::kFailed, job.error, {}};
  struct stat st;
  if (run.skip_existing && lstat(job.output.c_str(), &st) == 0) return {Outcome::kSkipped, "", {}};
  if (stat(job.output.c_str(), &st) == 0) {
    auto same = run.inputs.find({st.st_dev, st.st_ino});
    if (same != run.inputs.end())
      return {Outcome::kFailed, job.output + " is the same file as the input " + same->second +
                                    "; not written", {}};
  }
  qarvel::Result<qarvel::Thumbnail> r =
      qarvel::thumbnail_file(job.input.c_str(), job.output.c_str(), run.thumbnail);
  if (!r) return {Outcome::kFailed, r.error().message, {}};
  o.warnings = std::move(r->warnings);
  if (!run.quiet)
    printf("%s -> %s (%dx%d -> %dx%d)\n", job.input.c_str(), job.output.c_str(), r->src_width,
           r->src_height, r->width, r->height);
  return o;
}

int run_jobs(const std::vector<Job>& jobs, const RunOptions& run) {
  std::vector<Outcome> outcomes(jobs.size());
  const int threads = std::max(1, std::min<int>(run.threads, static_cast<int>(jobs.size())));
  // With several threads, largest inputs first, so that no thread is left
  // with a big file while the others have run out of work.
  std::vector<std::pair<off_t, size_t>> order;
  for (size_t i = 0; i < jobs.size(); ++i) {
    struct stat st;
    order.push_back({threads > 1 && stat(jobs[i].input.c_str(), &st) == 0 ? st.st_size : 0, i});
  }
  std::stable_sort(order.begin(), order.end(),
                   [](const auto& a, const auto& b) { return a.first > b.first; });
  std::atomic<size_t> next{0};
  ProgressBar bar(jobs.size());
  auto worker = [&] {
    for (size_t k; (k = next.fetch_add(1)) < jobs.size();) {
      const size_t i = order[k].second;
      outcomes[i] = resize_one(jobs[i], run);
      bar.advance(outcomes[i].state == Outcome::kFailed);
    }
  };
  std::vector<std::thread> pool;
  for (int t = 1; t < threads; ++t) pool.emplace_back(worker);
  worker();
  for (auto& t : pool) t.join();
  fflush(stdout);

  size_t failures = 0, skipped = 0;
  for (size_t i = 0; i < jobs.size(); ++i) {
    failures += outcomes[i].state == Outcome::kFailed;
    skipped += outcomes[i].state == Outcome::kSkipped;
    for (const std::string& w : outcomes[i].warnings)
      fprintf(stderr, "  %s: warning: %s\n", jobs[i].input.c_str(), w.c_str());
  }
  if (jobs.size() > 1 || failures || skipped) {
    fprintf(stderr, "qarvel: %zu of %zu file(s) resized", jobs.size() - failures - skipped,
            jobs.size());
    if (skipped) fprintf(stderr, ", %zu skipped (output exists)", skipped);
    fprintf(stderr, failures ? ", %zu failed:\n" : "\n", failures);
    for (size_t i = 0; i < jobs.size(); ++i)
      if (outcomes[i].state == Outcome::kFailed)
        fprintf(stderr, "  %s: %s\n", jobs[i].input.c_str(), outcomes[i].error.c_str());
  }
  return failures ? kExitFailed : kExitOk;
}

// Lists the JPEG files of `dir` (and, when recursive, of its subdirectories,
// symbolic links to directories excepted) into `found`, each with its path
// relative to `root`. Entries that cannot be read become failed jobs.
void list_folder(const fs::path& root, const fs::path& dir, bool recursive,
                 std::vector<std::pair<fs::path, fs::path>>* found, std::vector<Job>* broken) {
  std::error_code ec;
  std::vector<fs::path> files, subdirs;
  for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
    const fs::path p = it->path();
    std::error_code sec;
    const fs::file_status st = fs::status(p, sec);  // follows links
    if (sec) {
      // A loop, a dangling link, a file gone since the listing.
      if (is_jpeg_name(p) || (recursive && sec != std::errc::no_such_file_or_directory))
        broken->push_back({p.string(), "", "cannot read this entry: " + sec.message()});
    } else if (fs::is_directory(st)) {
      if (recursive && !fs::is_symlink(fs::symlink_status(p, sec))) subdirs.push_back(p);
    } else if (fs::is_regular_file(st) && is_jpeg_name(p)) {
      files.push_back(p);
    }
  }
  if (ec) broken->push_back({dir.string(), "", "cannot list this directory: " + ec.message()});
  std::sort(files.begin(), files.end());
  std::sort(subdirs.begin(), subdirs.end());
  for (const auto& f : files) found->push_back({f, f.lexically_relative(root)});
  for (const auto& d : subdirs) list_folder(root, d, recursive, found, broken);
}

int resize_command(int argc, char** argv) {
  enum { kNoRotate = 256, kKeepMetadata, kStrip, kExact, kSkipExisting };
  static const option kOptions[] = {{"out-dir", required_argument, nullptr, 'o'},
                                    {"width", required_argument, nullptr, 'W'},
                                    {"height", required_argument, nullptr, 'H'},
                                    {"size", required_argument, nullptr, 's'},
                                    {"recursive", no_argument, nullptr, 'r'},
                                    {"jobs", required_argument, nullptr, 'j'},
                                    {"quiet", no_argument, nullptr, 'q'},
                                    {"no-rotate", no_argument, nullptr, kNoRotate},
                                    {"keep-metadata", no_argument, nullptr, kKeepMetadata},
                                    {"strip", no_argument, nullptr, kStrip},
                                    {"exact", no_argument, nullptr, kExact},
                                    {"skip-existing", no_argument, nullptr, kSkipExisting},
                                    {"help", no_argument, nullptr, 'h'},
                                    {nullptr, 0, nullptr, 0}};
  const char* out_dir = nullptr;
  int width = -1, height = -1;
  bool recursive = false, boxed = false;
  RunOptions run;
  run.threads = static_cast<int>(std::thread::hardware_concurrency());
  qarvel::ThumbnailOptions& t = run.thumbnail;
  optind = 1;
  opterr = 0;
  for (int c; (c = getopt_long(argc, argv, "+o:W:H:s:rj:q", kOptions, nullptr)) != -1;) {
    switch (c) {
      case 'o': out_dir = optarg; break;
      case 'W':
        if (!parse_size(optarg, &width) || width == 0) return usage_error("bad width: " + std::string(optarg));
        break;
      case 'H':
        if (!parse_size(optarg, &height)) return usage_error("bad height: " + std::string(optarg));
        break;
      case 's':
        if (!parse_box(optarg, &t.width, &t.height)) return usage_error("bad size: " + std::string(optarg));
        boxed = t.fit = true;
        break;
      case 'r': recursive = true; break;
      case 'j':
        if (!parse_size(optarg, &run.threads) || run.threads == 0)
          return usage_error("bad job count: " + std::string(optarg));
        break;
      case 'q': run.quiet = true; break;
      case kNoRotate: t.rotate = false; break;
      case kKeepMetadata: t.keep_metadata = true; break;
      case kStrip: t.strip = true; break;
      case kExact: t.exact = true; break;
      case kSkipExisting: run.skip_existing = true; break;
      case 'h': fputs(kUsage, stdout); return kExitOk;
      default:
        return usage_error(std::string("unknown or incomplete option: ") + argv[optind - 1]);
    }
  }
  std::vector<std::string> args(argv + optind, argv + argc);
  if (t.keep_metadata && t.strip) return usage_error("--keep-metadata and --strip exclude each other");
  if (boxed && (width != -1 || height != -1))
    return usage_error("--size cannot be combined with a width or height");

  std::vector<Job> todo;
  if (!out_dir) {
    if (width != -1 || height != -1) return usage_error("--width and --height go with --out-dir");
    if (recursive) return usage_error("--recursive goes with --out-dir");
    if (boxed) {
      if (args.size() != 2) return usage_error("expected INPUT OUTPUT with --size");
    } else {
      if (args.size() < 3 || args.size() > 4) return usage_error("expected INPUT OUTPUT WIDTH [HEIGHT]");
      if (!parse_size(args[2].c_str(), &t.width) || t.width == 0) return usage_error("bad width: " + args[2]);
      if (args.size() == 4 && !parse_size(args[3].c_str(), &t.height))
        return usage_error("bad height: " + args[3]);
    }
    todo.push_back({args[0], args[1], ""});
  } else {
    if (!boxed && width == -1) return usage_error("--out-dir needs --width or --size");
    if (!boxed) {
      t.width = width;
      t.height = std::max(height, 0);
    }
    if (args.empty()) return usage_error("no input files");
    std::set<std::string> outputs;
    std::vector<Job> broken;
    for (const auto& a : args) {
      std::error_code ec;
      std::vector<std::pair<fs::path, fs::path>> found;  // file, path under the output folder
      if (fs::is_directory(a, ec))
        list_folder(a, a, recursive, &found, &broken);
      else
        found.push_back({a, fs::path(a).filename()});
      for (const auto& [in, rel] : found) {
        const std::string out = (fs::path(out_dir) / rel).string();
        if (!outputs.insert(out).second) return usage_error("two inputs would both write " + out);
        todo.push_back({in.string(), out, ""});
      }
    }
    if (todo.empty() && broken.empty()) return usage_error("no JPEG files found in the inputs");
    // Output folders exist before any thread writes into them.
    std::set<fs::path> folders = {fs::path(out_dir)};
    for (const Job& j : todo) folders.insert(fs::path(j.output).parent_path());
    for (const fs::path& f : folders) {
      std::error_code ec;
      fs::create_directories(f, ec);
      if (ec) {
        fprintf(stderr, "qarvel: cannot create %s: %s\n", f.c_str(), ec.message().c_str());
        return kExitFailed;
      }
    }
    todo.insert(todo.end(), broken.begin(), broken.end());
  }
  for (const Job& j : todo) {
    struct stat st;
    if (j.error.empty() && stat(j.input.c_str(), &st) == 0) run.inputs[{st.st_dev, st.st_ino}] = j.input;
  }
  return run_jobs(todo, run);
}

}  // namespace

int main(int argc, char** argv) {
  // The decoder's large buffers (all coefficients of a progressive JPEG, tens
  // of MiB) come from malloc, which would map fresh pages for each file and
  // unmap them after it; faulting those in costs more than decoding a scaled
  // image here. Served from the heap and kept there, they are reused by the
  // next file. 32 MiB is the largest threshold glibc accepts.
  mallopt(M_MMAP_THRESHOLD, 32 << 20);
  mallopt(M_TRIM_THRESHOLD, 1 << 30);
  // A write past a file-size limit then fails that file instead of killing the run.
  signal(SIGXFSZ, SIG_IGN);
  if (argc < 2) return usage_error("missing command");
  std::string command = argv[1];
  if (command == "--help" || command == "-h" || command == "help") {
    fputs(kUsage, stdout);
    return kExitOk;
  }
  if (command == "--version") {
    puts("qarvel " QARVEL_VERSION);
    return kExitOk;
  }
  if (command == "resize") return resize_command(argc - 1, argv + 1);
  return usage_error("unknown command: " + command);
}
