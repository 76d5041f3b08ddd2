// The photo-job API: the size grammar every door shares, requests checked as
// a whole, and the planner's refusals.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <sstream>

#include "photo/jobs.h"
#include "photo/options.h"
#include "test_support.h"

using namespace qtest;
using namespace qarvel;

namespace {

// The rows of tests/data/sizes.tsv: text, accepted, width, height, enlarges.
struct SizeRow {
  std::string text;
  bool accepted;
  int width, height;
  bool enlarges;
};

std::vector<SizeRow> size_table() {
  std::ifstream in(fs::path(QARVEL_TESTDATA_DIR) / "sizes.tsv");
  std::vector<SizeRow> rows;
  for (std::string line; std::getline(in, line);) {
    if (line.empty() || line[0] == '#') continue;
    const size_t close = line.find('"', 1);
    std::istringstream rest(line.substr(close + 2));
    SizeRow row{line.substr(1, close - 1), false, 0, 0, false};
    std::string accepted, enlarges;
    rest >> accepted;
    row.accepted = accepted == "yes";
    if (row.accepted) rest >> row.width >> row.height >> enlarges;
    row.enlarges = enlarges == "yes";
    rows.push_back(row);
  }
  return rows;
}

Status request_with(std::vector<std::pair<const char*, const char*>> options, bool batch) {
  JobRequest r;
  for (const auto& [name, text] : options)
    if (Status s = find_option(name)->apply(r, text); !s) return s;
  return finish_request(r, batch);
}

std::vector<std::string> inputs_of(const Plan& plan) {
  std::vector<std::string> in;
  for (const Job& j : plan.jobs) in.push_back(fs::path(j.input).filename().string());
  return in;
}

}  // namespace

TEST(Options, SizeTableParsesAsDocumented) {
  const std::vector<SizeRow> rows = size_table();
  ASSERT_GT(rows.size(), 20u);
  for (const SizeRow& row : rows) {
    Result<Box> box = parse_box(row.text);
    EXPECT_EQ(bool(box), row.accepted) << '"' << row.text << '"';
    if (box && row.accepted) {
      EXPECT_EQ(box->width, row.width) << row.text;
      EXPECT_EQ(box->height, row.height) << row.text;
      EXPECT_EQ(!box->shrink_only, row.enlarges) << row.text;
    }
  }
}

TEST(Options, RequestsAreCheckedAsAWhole) {
  EXPECT_TRUE(request_with({{"width", "64"}}, false));
  EXPECT_TRUE(request_with({{"size", "x64"}, {"recursive", ""}}, true));
  const std::vector<std::pair<std::vector<std::pair<const char*, const char*>>, const char*>>
      refused = {
          {{{"width", "64"}, {"size", "64"}}, "either a width (and a height) or a size"},
          {{{"height", "64"}}, "a height needs a width"},
          {{{"exact", ""}}, "give a width or a size"},
          {{{"width", "0"}}, "the width must be positive"},
          {{{"width", "9"}, {"keep-metadata", ""}, {"strip", ""}}, "both kept and stripped"},
          {{{"width", "9"}, {"recursive", ""}}, "recursively needs an output folder"},
          {{{"jobs", "0"}}, "bad number of jobs \"0\""},
      };
  for (const auto& [options, message] : refused) {
    Status s = request_with(options, false);
    ASSERT_FALSE(s) << message;
    EXPECT_NE(s.error().message.find(message), std::string::npos) << s.error().message;
  }
}

TEST(Plan, RefusesOutputsThatAreAnInputUnderAnyName) {
  TempDir dir;
  write_bytes(dir / "in.jpg", {1});
  ASSERT_EQ(link((dir / "in.jpg").c_str(), (dir / "hard.jpg").c_str()), 0);
  fs::create_symlink(dir / "in.jpg", dir / "soft.jpg");
  const std::string in = (dir / "in.jpg").string();
  for (const std::string& out : {(dir.path() / "." / "in.jpg").string(), (dir / "hard.jpg").string(),
                                (dir / "soft.jpg").string()})
    EXPECT_EQ(plan_file(in, out)->jobs[0].error, out + " is the same file as the input " + in + "; not written");
  EXPECT_EQ(plan_file(in, (dir / "new.jpg").string())->jobs[0].error, "");

  // A batch whose output folder holds the inputs themselves.
  BatchOptions batch;
  batch.out_dir = dir.path().string();
  Result<Plan> plan = plan_batch(std::vector<std::string>{in}, batch);
  ASSERT_TRUE(plan);
  EXPECT_NE(plan->jobs[0].error.find("is the same file as the input"), std::string::npos);
  EXPECT_TRUE(plan->folders.empty());
}

TEST(Plan, NeverWalksIntoTheOutputFolderAndFindsEveryJpegName) {
  TempDir dir;
  fs::create_directories(dir / "in/thumbs");
  fs::create_directories(dir / "in/sub");
  for (const char* name : {"in/A.JPG", "in/b.JpEg", "in/sub/c.jpg", "in/thumbs/old.jpg", "in/d.png"})
    write_bytes(dir / name, {1});
  BatchOptions batch;
  batch.out_dir = (dir / "in/thumbs").string();
  batch.recursive = true;
  Result<Plan> plan = plan_batch(std::vector<std::string>{(dir / "in").string()}, batch);
  ASSERT_TRUE(plan) << plan.error().message;
  EXPECT_EQ(inputs_of(*plan), (std::vector<std::string>{"A.JPG", "b.JpEg", "c.jpg"}));
  EXPECT_EQ(plan->jobs[2].output, (dir / "in/thumbs/sub/c.jpg").string());
  EXPECT_EQ(plan->folders, (std::vector<std::string>{(dir / "in/thumbs").string(),
                                                     (dir / "in/thumbs/sub").string()}));
}

TEST(Plan, RefusesSpecialFilesAtOnceAndCollisionsAsAWhole) {
  TempDir dir;
  ASSERT_EQ(mkfifo((dir / "fifo.jpg").c_str(), 0600), 0);
  fs::create_directories(dir / "x");
  fs::create_directories(dir / "y");
  write_bytes(dir / "x/a.jpg", {1});
  write_bytes(dir / "y/a.jpg", {1});
  EXPECT_EQ(plan_file((dir / "fifo.jpg").string(), (dir / "o.jpg").string())->jobs[0].error,
            (dir / "fifo.jpg").string() + " is not a regular file");
  EXPECT_EQ(plan_file((dir / "x").string(), (dir / "o.jpg").string())->jobs[0].error,
            (dir / "x").string() + " is a directory");

  BatchOptions batch;
  batch.out_dir = (dir / "out").string();
  // Nothing can run: no job is tried and no folder is made.
  Result<Plan> plan = plan_batch(
      std::vector<std::string>{(dir / "fifo.jpg").string(), (dir / "missing.jpg").string()}, batch);
  ASSERT_TRUE(plan);
  EXPECT_EQ(plan->jobs[1].error, "cannot open " + (dir / "missing.jpg").string() +
                                     ": No such file or directory");
  EXPECT_TRUE(plan->folders.empty());
  plan = plan_batch(std::vector<std::string>{(dir / "x").string(), (dir / "y/a.jpg").string()},
                    batch);
  ASSERT_FALSE(plan);
  EXPECT_EQ(plan.error().message, (dir / "x/a.jpg").string() + " and " +
                                      (dir / "y/a.jpg").string() + " would both write " +
                                      (dir / "out/a.jpg").string());
  fs::create_directories(dir / "empty");
  EXPECT_EQ(plan_batch(std::vector<std::string>{(dir / "empty").string()}, batch).error().message,
            "no JPEG files found in the inputs");
}
