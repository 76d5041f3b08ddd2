// Internal: batches of thumbnails for the tool, the Python package and the
// Dask runner. A plan turns inputs (files and folders) and an output folder
// into jobs, with every refusal decided there; a job runs on its own,
// anywhere the files are visible; the summary is written the same for every
// door.
#ifndef QARVEL_PHOTO_JOBS_H
#define QARVEL_PHOTO_JOBS_H

#include <span>
#include <string>
#include <vector>

#include "photo/options.h"
#include "result.h"

namespace qarvel {

// "-": standard input as a job's input, standard output as its output.
inline constexpr char kStandardStream[] = "-";

struct Job {
  std::string input;
  std::string output;  // empty for an entry that could not be listed
  std::string error;   // set by the planner: the job fails with it and never runs
};

struct Plan {
  std::vector<Job> jobs;
  // Output folders to create before any job runs, each after its parent.
  std::vector<std::string> folders;
};

// One input to one output, either of them "-" for the standard streams.
// Fails for an output not named .jpg or .jpeg; refusals of the input (no
// regular file) and of the output (the input under another name or link)
// become the job's error.
Result<Plan> plan_file(const std::string& input, const std::string& output) noexcept;

// The jobs of inputs written into batch.out_dir, before any refusal but
// those of the inputs themselves: a folder stands for the *.jpg and *.jpeg files
// in it (any case), and with batch.recursive for those of its subfolders
// too, mirrored under out_dir; symbolic links to folders are not followed
// and out_dir itself is never walked into. Each file keeps its name, or
// takes batch.name with %s standing for its name's stem. Entries
// that cannot be read and inputs that are no regular files come with their
// error; entries that cannot be read come last, without an output.
std::vector<Job> find_inputs(std::span<const std::string> inputs,
                             const BatchOptions& batch) noexcept;

// find_inputs' jobs, checked: fails for "-" among the inputs, a name pattern
// that is no JPEG name, two inputs that would write one output, or nothing
// found; outputs that are no JPEG names or an input under another name
// become failed jobs.
Result<Plan> plan_batch(std::span<const std::string> inputs, const BatchOptions& batch) noexcept;

// Readies the plan's outputs: creates their folders (kWrite names one that
// cannot be made) and removes the temporary files a killed run left beside
// them.
Status prepare_outputs(const Plan& plan) noexcept;

// The jobs' indices, largest input first, so that no worker is left with a
// big file while the others have run out of work.
std::vector<size_t> largest_first(std::span<const Job> jobs) noexcept;

enum class JobState { kWritten, kSkipped, kFailed };

struct JobResult {
  JobState state = JobState::kFailed;
  std::string error;
  std::vector<std::string> warnings;
  int src_width = 0, src_height = 0;  // the source as displayed
  int width = 0, height = 0;          // the thumbnail's size
};

// Makes one job's thumbnail. With skip_existing an output that exists, even
// as a dangling link, is left alone.
JobResult run_job(const Job& job, const ThumbnailOptions& options, bool skip_existing) noexcept;

// "INPUT -> OUTPUT (WxH -> wxh)\n", the line a written job prints.
std::string job_line(const Job& job, const JobResult& result);

// The end of a run, for standard error: each warning, then, when there was
// more than one job or anything failed or was skipped, a count and the
// failures.
std::string summary(std::span<const Job> jobs, std::span<const JobResult> results);

// 0 when no job failed, 1 otherwise.
int exit_status(std::span<const JobResult> results) noexcept;

}  // namespace qarvel

#endif
