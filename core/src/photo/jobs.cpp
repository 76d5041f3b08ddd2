// Planning, running and summing up batches of thumbnails.
#include "photo/jobs.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <filesystem>
#include <map>
#include <set>
#include <utility>

#include "photo/photo.h"

namespace fs = std::filesystem;

namespace qarvel {
namespace {

// A file's identity: device and inode, which links and other names share.
using FileId = std::pair<dev_t, ino_t>;

bool identify(const std::string& path, FileId* id) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return false;
  *id = {st.st_dev, st.st_ino};
  return true;
}

bool is_jpeg_name(const fs::path& p) {
  std::string ext = p.extension().string();
  std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char c) { return std::tolower(c); });
  return ext == ".jpg" || ext == ".jpeg";
}

// Why `path` cannot be an input, or "" when it can. stat() does not open, so
// a FIFO cannot block here.
std::string input_refusal(const std::string& path) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return "cannot open " + path + ": " + strerror(errno);
  if (S_ISDIR(st.st_mode)) return path + " is a directory";
  if (!S_ISREG(st.st_mode)) return path + " is not a regular file";
  return "";
}

// Why `output` cannot be written, or "": a JPEG goes under a JPEG name.
std::string output_refusal(const std::string& output) {
  if (output == kStandardStream || is_jpeg_name(output)) return "";
  return output + ": output names end in .jpg or .jpeg";
}

// The output name of an input called `file`: `pattern` with each %s its
// name without the extension, or its own name.
std::string output_name(const fs::path& file, const std::string& pattern) {
  if (pattern.empty()) return file.filename().string();
  std::string name = pattern;
  const std::string stem = file.stem().string();
  for (size_t at = name.find("%s"); at != std::string::npos; at = name.find("%s", at + stem.size()))
    name.replace(at, 2, stem);
  return name;
}

std::string same_file_refusal(const std::string& output, const std::string& input) {
  return output + " is the same file as the input " + input + "; not written";
}

// Files found under the inputs: where each comes from, where it goes.
struct Walk {
  const fs::path& out_dir;
  const std::string& name;
  bool recursive;
  FileId out_id;
  bool out_exists;
  std::vector<Job> found;   // in listing order
  std::vector<Job> broken;  // entries that cannot be read
};

// Lists `dir`'s JPEG files (and, when recursive, its subfolders' but for
// out_dir and symbolic links), each to its path relative to `root` under
// out_dir.
void walk_folder(Walk& w, const fs::path& root, const fs::path& dir) {
  std::error_code ec;
  std::vector<fs::path> files, subdirs;
  for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
    const fs::path p = it->path();
    std::error_code sec;
    const fs::file_status st = fs::status(p, sec);  // follows links
    if (sec) {
      // A loop, a dangling link, a file gone since the listing.
      if (is_jpeg_name(p) || (w.recursive && sec != std::errc::no_such_file_or_directory))
        w.broken.push_back({p.string(), "", "cannot read this entry: " + sec.message()});
    } else if (fs::is_directory(st)) {
      FileId id;
      const bool is_out = w.out_exists && identify(p.string(), &id) && id == w.out_id;
      if (w.recursive && !is_out && !fs::is_symlink(fs::symlink_status(p, sec)))
        subdirs.push_back(p);
    } else if (fs::is_regular_file(st) && is_jpeg_name(p)) {
      files.push_back(p);
    }
  }
  if (ec) w.broken.push_back({dir.string(), "", "cannot list this directory: " + ec.message()});
  std::sort(files.begin(), files.end());
  std::sort(subdirs.begin(), subdirs.end());
  for (const fs::path& f : files) {
    const fs::path folder = w.out_dir / f.lexically_relative(root).parent_path();
    w.found.push_back({f.string(), (folder / output_name(f, w.name)).string(), ""});
  }
  for (const fs::path& d : subdirs) walk_folder(w, root, d);
}

// Refuses outputs that are one of the inputs under another name or link.
void refuse_inputs_as_outputs(std::vector<Job>& jobs) {
  std::map<FileId, const std::string*> inputs;
  for (const Job& j : jobs) {
    FileId id;
    if (j.error.empty() && identify(j.input, &id)) inputs.emplace(id, &j.input);
  }
  for (Job& j : jobs) {
    FileId id;
    if (!j.error.empty() || !identify(j.output, &id)) continue;
    if (auto same = inputs.find(id); same != inputs.end())
      j.error = same_file_refusal(j.output, *same->second);
  }
}

// The folders that receive the jobs that can run: none when no job can.
std::vector<std::string> output_folders(const std::vector<Job>& jobs, const std::string& out_dir) {
  std::set<std::string> folders;
  for (const Job& j : jobs)
    if (j.error.empty()) folders.insert(fs::path(j.output).parent_path().string());
  if (!folders.empty()) folders.insert(out_dir);
  return {folders.begin(), folders.end()};  // a parent sorts before its children
}

// All of standard input; kTooLarge past what a JPEG buffer holds.
Result<std::vector<uint8_t>> read_standard_input() {
  std::vector<uint8_t> bytes;
  for (size_t size = 0;;) {
    bytes.resize(std::max<size_t>(size * 2, 1 << 16));
    const ssize_t n = read(STDIN_FILENO, bytes.data() + size, bytes.size() - size);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return Error{Fault::kRead, std::string("cannot read standard input: ") + strerror(errno)};
    if (n == 0) {
      bytes.resize(size);
      return bytes;
    }
    size += static_cast<size_t>(n);
    if (size > INT_MAX) return Error{Fault::kTooLarge, "standard input is too large to read"};
  }
}

Status write_standard_output(ByteView bytes) {
  for (size_t done = 0; done < bytes.size();) {
    const ssize_t n = write(STDOUT_FILENO, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return Error{Fault::kWrite, std::string("cannot write standard output: ") + strerror(errno)};
    done += static_cast<size_t>(n);
  }
  return {};
}

// A job that reads standard input or writes standard output.
Result<Thumbnail> run_streamed(const Job& job, const ThumbnailOptions& options) {
  Result<Thumbnail> thumb = Error{Fault::kRead, ""};
  if (job.input == kStandardStream) {
    Result<std::vector<uint8_t>> bytes = read_standard_input();
    if (!bytes) return bytes.error();
    thumb = thumbnail(*bytes, options);
  } else {
    thumb = thumbnail_file(job.input.c_str(), nullptr, options);
  }
  if (!thumb) return thumb;
  Status written = job.output == kStandardStream ? write_standard_output(thumb->jpeg.view())
                                                 : replace_file(job.output.c_str(), thumb->jpeg.view());
  if (!written) return written.error();
  thumb->jpeg = Blob{};
  return thumb;
}

}  // namespace

Result<Plan> plan_file(const std::string& input, const std::string& output) noexcept {
  if (std::string refusal = output_refusal(output); !refusal.empty())
    return Error{Fault::kArgument, refusal};
  Plan plan;
  plan.jobs.push_back({input, output, input == kStandardStream ? "" : input_refusal(input)});
  refuse_inputs_as_outputs(plan.jobs);
  return plan;
}

std::vector<Job> find_inputs(std::span<const std::string> inputs,
                             const BatchOptions& batch) noexcept {
  const fs::path out_dir(batch.out_dir);
  Walk w{out_dir, batch.name, batch.recursive, {}, false, {}, {}};
  w.out_exists = identify(batch.out_dir, &w.out_id);
  for (const std::string& in : inputs) {
    std::error_code ec;
    if (fs::is_directory(in, ec))
      walk_folder(w, in, in);
    else
      w.found.push_back({in, (out_dir / output_name(in, batch.name)).string(), input_refusal(in)});
  }
  w.found.insert(w.found.end(), w.broken.begin(), w.broken.end());
  return std::move(w.found);
}

Result<Plan> plan_batch(std::span<const std::string> inputs, const BatchOptions& batch) noexcept {
  if (std::find(inputs.begin(), inputs.end(), kStandardStream) != inputs.end())
    return Error{Fault::kArgument, "standard input (-) is read in the single-file form only"};
  if (!batch.name.empty() && !is_jpeg_name(batch.name))
    return Error{Fault::kArgument, batch.name + ": output names end in .jpg or .jpeg"};
  Plan plan;
  plan.jobs = find_inputs(inputs, batch);
  if (plan.jobs.empty()) return Error{Fault::kNoData, "no JPEG files found in the inputs"};
  std::map<std::string, const std::string*> writers;
  for (const Job& j : plan.jobs)
    if (!j.output.empty())
      if (auto [at, added] = writers.emplace(j.output, &j.input); !added)
        return Error{Fault::kArgument,
                     *at->second + " and " + j.input + " would both write " + j.output};
  for (Job& j : plan.jobs)
    if (j.error.empty()) j.error = output_refusal(j.output);
  refuse_inputs_as_outputs(plan.jobs);
  plan.folders = output_folders(plan.jobs, batch.out_dir);
  return plan;
}

Status prepare_outputs(const Plan& plan) noexcept {
  for (const std::string& folder : plan.folders) {
    std::error_code ec;
    fs::create_directories(folder, ec);
    if (ec) return Error{Fault::kWrite, "cannot create " + folder + ": " + ec.message()};
  }
  std::vector<std::string> outputs;
  for (const Job& j : plan.jobs)
    if (j.error.empty() && j.output != kStandardStream) outputs.push_back(j.output);
  // Leftovers of a killed run are only tidied: a folder that cannot be
  // listed fails its jobs when they write.
  (void)remove_stale_temporaries(outputs);
  return {};
}

std::vector<size_t> largest_first(std::span<const Job> jobs) noexcept {
  std::vector<std::pair<off_t, size_t>> sized;
  for (size_t i = 0; i < jobs.size(); ++i) {
    struct stat st;
    sized.push_back({stat(jobs[i].input.c_str(), &st) == 0 ? st.st_size : 0, i});
  }
  std::stable_sort(sized.begin(), sized.end(),
                   [](const auto& a, const auto& b) { return a.first > b.first; });
  std::vector<size_t> order;
  for (const auto& s : sized) order.push_back(s.second);
  return order;
}

JobResult run_job(const Job& job, const ThumbnailOptions& options, bool skip_existing) noexcept {
  JobResult r;
  if (!job.error.empty()) {
    r.error = job.error;
    return r;
  }
  struct stat st;
  if (skip_existing && job.output != kStandardStream && lstat(job.output.c_str(), &st) == 0) {
    r.state = JobState::kSkipped;
    return r;
  }
  Result<Thumbnail> thumb =
      job.input == kStandardStream || job.output == kStandardStream
          ? run_streamed(job, options)
          : thumbnail_file(job.input.c_str(), job.output.c_str(), options);
  if (!thumb) {
    r.error = thumb.error().message;
    return r;
  }
  r.state = JobState::kWritten;
  r.warnings = std::move(thumb->warnings);
  r.src_width = thumb->src_width;
  r.src_height = thumb->src_height;
  r.width = thumb->width;
  r.height = thumb->height;
  return r;
}

std::string job_line(const Job& job, const JobResult& r) {
  return job.input + " -> " + job.output + " (" + std::to_string(r.src_width) + "x" +
         std::to_string(r.src_height) + " -> " + std::to_string(r.width) + "x" +
         std::to_string(r.height) + ")\n";
}

std::string summary(std::span<const Job> jobs, std::span<const JobResult> results) {
  std::string out;
  size_t failed = 0, skipped = 0;
  for (size_t i = 0; i < results.size(); ++i) {
    failed += results[i].state == JobState::kFailed;
    skipped += results[i].state == JobState::kSkipped;
    for (const std::string& w : results[i].warnings)
      out += "  " + jobs[i].input + ": warning: " + w + "\n";
  }
  if (results.size() <= 1 && !failed && !skipped) return out;
  out += "qarvel: " + std::to_string(results.size() - failed - skipped) + " of " +
         std::to_string(results.size()) + " file(s) resized";
  if (skipped) out += ", " + std::to_string(skipped) + " skipped (output exists)";
  out += failed ? ", " + std::to_string(failed) + " failed:\n" : "\n";
  for (size_t i = 0; i < results.size(); ++i)
    if (results[i].state == JobState::kFailed)
      out += "  " + jobs[i].input + ": " + results[i].error + "\n";
  return out;
}

int exit_status(std::span<const JobResult> results) noexcept {
  for (const JobResult& r : results)
    if (r.state == JobState::kFailed) return 1;
  return 0;
}

}  // namespace qarvel
