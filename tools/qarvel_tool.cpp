// qarvel: the command-line tool. It turns argv into the core's photo-job
// API (options, plan, jobs, summary) and draws a progress bar; everything a
// user can ask for is decided in the core.
//
//   qarvel resize [options] INPUT OUTPUT WIDTH [HEIGHT]
//   qarvel resize [options] (-W WIDTH [-H HEIGHT] | -s BOX) INPUT OUTPUT
//   qarvel resize [options] -o DIR (-W WIDTH [-H HEIGHT] | -s BOX) INPUT...
//
// One line per resized file goes to standard output; messages, warnings,
// the progress bar and the summary go to standard error.
#include <getopt.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "core.h"
#include "photo/jobs.h"
#include "photo/options.h"
#include "qarvel_version.h"

using namespace qarvel;

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

const char kUsageHead[] =
    "usage: qarvel resize [options] INPUT OUTPUT WIDTH [HEIGHT]\n"
    "       qarvel resize [options] (-W WIDTH [-H HEIGHT] | -s BOX) INPUT OUTPUT\n"
    "       qarvel resize [options] -o DIR (-W WIDTH [-H HEIGHT] | -s BOX) INPUT...\n"
    "\n"
    "Makes JPEG thumbnails of JPEG photos (by default 4:2:2 chroma, quality 85).\n"
    "Sizes are those of the image as displayed: a photo whose EXIF Orientation\n"
    "says it is stored sideways or mirrored comes out upright. A HEIGHT of 0, or\n"
    "none, keeps the aspect ratio. Shrinking averages the source pixels;\n"
    "enlarging interpolates linearly. A large source is decoded at 1/2, 1/4 or\n"
    "1/8 size, the smallest that keeps 1.5 times the target on both axes (a\n"
    "progressive photo at 1/8 whenever that covers the target), and then\n"
    "averaged down (see --exact). A greyscale photo stays greyscale; a CMYK photo\n"
    "is converted to sRGB through its colour profile. The ICC colour profile is\n"
    "kept, other metadata is not (see --keep-metadata). A damaged photo (a\n"
    "truncated or corrupt file) gives a thumbnail of what can be decoded and a\n"
    "warning (see --strict).\n"
    "\n"    "The first two forms resize one file. The third writes each INPUT into DIR\n"
    "under its own file name (or one made by --name); an INPUT that is a\n"
    "directory stands for the *.jpg and *.jpeg files in it (any case). Failed\n"
    "files are listed at the end and do not stop the others.\n"
    "\n"
    "options:\n";

const char kUsageTail[] =
    "      --help          show this help and exit\n"
    "      --version       show the version and exit\n"
    "\n"
    "Outputs are written to a hidden temporary file beside them\n"
    "(.NAME.qarvel-XXXXXX) and renamed into place, so a failed write leaves an\n"
    "existing output as it was. An interrupted run (SIGINT, SIGTERM, SIGHUP)\n"
    "removes its temporary files; a later run removes those a killed run left\n"
    "beside the outputs it writes or skips. An OUTPUT that is a symbolic link is\n"
    "replaced by the new file; the file it pointed to is left alone. An output\n"
    "that is the same file as an input of the run (a hard or symbolic link to it\n"
    "included) is refused, and so is an INPUT that is no regular file (or, in\n"
    "batch mode, a directory): FIFOs, devices and sockets. An INPUT or OUTPUT of\n"
    "- is standard input or output, in the first two forms.\n"
    "\n"
    "Problems that do not stop a file (a malformed EXIF block, an unusable EXIF\n"
    "Orientation, extended XMP dropped, an inconsistent colour profile, which is\n"
    "then dropped, data damaged past what could be decoded) are listed at the\n"
    "end on standard error, one per line, as '  INPUT: warning: MESSAGE';\n"
    "failures follow as '  INPUT: MESSAGE'.\n"
    "\n"    "exit status: 0 when every file was resized or skipped (warnings included),\n"
    "1 when any failed, 2 when the command line is wrong.\n";

void print_usage() {
  fputs(kUsageHead, stdout);
  fputs(option_help(OptionScope::kCommandLine).c_str(), stdout);
  fputs(kUsageTail, stdout);
}

int usage_error(const std::string& message) {
  fprintf(stderr, "qarvel: %s\nTry 'qarvel --help'.\n", message.c_str());
  return kExitUsage;
}

// A getopt_long table built from the core's option table.
struct GetoptTable {
  std::vector<option> longs;
  std::string shorts = "+";
};

constexpr int kHelp = 'h';
constexpr int kFirstLongOnly = 256;

GetoptTable getopt_table() {
  GetoptTable t;
  const auto options = option_table();
  for (size_t i = 0; i < options.size(); ++i) {
    const OptionSpec& o = options[i];
    const int arg = o.value == OptionValue::kNone       ? no_argument
                    : o.value == OptionValue::kOptional ? optional_argument
                                                        : required_argument;
    const int val = o.short_name ? o.short_name : kFirstLongOnly + static_cast<int>(i);
    t.longs.push_back({o.name, arg, nullptr, val});
    if (o.short_name) t.shorts += std::string(1, o.short_name) + (arg == required_argument ? ":" : "");
  }
  t.longs.push_back({"help", no_argument, nullptr, kHelp});
  t.longs.push_back({nullptr, 0, nullptr, 0});
  return t;
}

const OptionSpec* option_for(int val) {
  const auto options = option_table();
  if (val >= kFirstLongOnly) return &options[val - kFirstLongOnly];
  for (const OptionSpec& o : options)
    if (o.short_name == val) return &o;
  return nullptr;
}

struct CommandLine {
  JobRequest request;
  std::vector<std::string> args;  // what follows the options
  bool help = false;
};

// The value of an option whose value is optional: attached (--crop=attention)
// or the next word when it is one of the option's choices (--crop attention).
const char* optional_value(const OptionSpec& o, int argc, char** argv) {
  if (optarg || optind >= argc) return optarg;
  const std::string_view next = argv[optind];
  for (std::string_view c = o.choices; !c.empty();) {
    const size_t space = c.find(' ');
    if (c.substr(0, space) == next) return argv[optind++];
    c = space == std::string_view::npos ? "" : c.substr(space + 1);
  }
  return nullptr;
}

// Options into the request; the words after them into args. An Error is a
// wrong command line.
Result<CommandLine> parse_options(int argc, char** argv) {
  CommandLine cl;
  const GetoptTable table = getopt_table();
  optind = 1;
  opterr = 0;
  for (int c; (c = getopt_long(argc, argv, table.shorts.c_str(), table.longs.data(), nullptr)) != -1;) {
    if (c == kHelp) {
      cl.help = true;
      return cl;
    }
    const OptionSpec* o = c == '?' || c == ':' ? nullptr : option_for(c);
    if (!o)
      return Error{Fault::kArgument, std::string("unknown or incomplete option: ") + argv[optind - 1]};
    const char* value = o->value == OptionValue::kOptional ? optional_value(*o, argc, argv) : optarg;
    if (Status s = o->apply(cl.request, value ? value : ""); !s) return s.error();
  }
  cl.args.assign(argv + optind, argv + argc);
  return cl;
}

// The single-file form: INPUT OUTPUT, then WIDTH [HEIGHT] unless an option
// gave the target.
Result<Plan> plan_single(CommandLine& cl) {
  JobRequest& r = cl.request;
  const bool target_given = r.given.width || r.given.height || r.given.size;
  if (target_given && cl.args.size() != 2)
    return Error{Fault::kArgument, "expected INPUT OUTPUT after a target option"};
  if (!target_given) {
    if (cl.args.size() < 3 || cl.args.size() > 4)
      return Error{Fault::kArgument, "expected INPUT OUTPUT WIDTH [HEIGHT]"};
    if (Status s = find_option("width")->apply(r, cl.args[2]); !s) return s.error();
    if (cl.args.size() == 4)
      if (Status s = find_option("height")->apply(r, cl.args[3]); !s) return s.error();
  }
  if (Status s = finish_request(r, false); !s) return s.error();
  return plan_file(cl.args[0], cl.args[1]);
}

Result<Plan> plan_command(CommandLine& cl) {
  if (cl.request.batch.out_dir.empty()) return plan_single(cl);
  if (Status s = finish_request(cl.request, true); !s) return s.error();
  if (cl.args.empty()) return Error{Fault::kArgument, "no input files"};
  return plan_batch(cl.args, cl.request.batch);
}

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
    const int filled = static_cast<int>(kWidth * done_ / total_);
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

// Runs the plan's jobs on `threads` threads, printing each written file's
// line unless quiet.
std::vector<JobResult> run_plan(const Plan& plan, const JobRequest& r, int threads) {
  const std::vector<Job>& jobs = plan.jobs;
  std::vector<JobResult> results(jobs.size());
  std::vector<size_t> order(jobs.size());
  for (size_t i = 0; i < order.size(); ++i) order[i] = i;
  if (threads > 1) order = largest_first(jobs);
  std::atomic<size_t> next{0};
  ProgressBar bar(jobs.size());
  auto worker = [&] {
    for (size_t k; (k = next.fetch_add(1)) < jobs.size();) {
      const size_t i = order[k];
      results[i] = run_job(jobs[i], r.thumbnail, r.batch.skip_existing);
      if (results[i].state == JobState::kWritten && !r.batch.quiet &&
          jobs[i].output != kStandardStream)
        fputs(job_line(jobs[i], results[i]).c_str(), stdout);
      bar.advance(results[i].state == JobState::kFailed);
    }
  };
  std::vector<std::thread> pool;
  for (int t = 1; t < threads; ++t) pool.emplace_back(worker);
  worker();
  for (auto& t : pool) t.join();
  fflush(stdout);
  return results;
}

int resize_command(int argc, char** argv) {
  Result<CommandLine> cl = parse_options(argc, argv);
  if (!cl) return usage_error(cl.error().message);
  if (cl->help) {
    print_usage();
    return kExitOk;
  }
  Result<Plan> plan = plan_command(*cl);
  if (!plan) return usage_error(plan.error().message);
  if (Status s = prepare_outputs(*plan); !s) {
    fprintf(stderr, "qarvel: %s\n", s.error().message.c_str());
    return kExitFailed;
  }
  const int cores = static_cast<int>(std::thread::hardware_concurrency());
  const int wanted = cl->request.batch.jobs ? cl->request.batch.jobs : cores;
  const int threads = std::clamp(static_cast<int>(plan->jobs.size()), 1, std::max(wanted, 1));
  const std::vector<JobResult> results = run_plan(*plan, cl->request, threads);
  fputs(summary(plan->jobs, results).c_str(), stderr);
  return exit_status(results);
}

}  // namespace

int main(int argc, char** argv) {
  const HeapKept heap(true);
  // A write past a file-size limit then fails that file instead of killing the run.
  signal(SIGXFSZ, SIG_IGN);
  install_interrupt_cleanup();
  if (argc < 2) return usage_error("missing command");
  const std::string command = argv[1];
  if (command == "--help" || command == "-h" || command == "help") {
    print_usage();
    return kExitOk;
  }
  if (command == "--version") {
    puts("qarvel " QARVEL_VERSION);
    return kExitOk;
  }
  if (command == "resize") return resize_command(argc - 1, argv + 1);
  return usage_error("unknown command: " + command);
}
