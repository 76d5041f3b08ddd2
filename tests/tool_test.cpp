// The command-line tool, run as a user would run it.
#include <sys/wait.h>

#include "test_support.h"

using namespace qtest;

namespace {

struct ToolRun {
  int status;
  std::string out, err;
};

std::string quote(const std::string& s) {
  std::string q = "'";
  for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

ToolRun run_tool(const TempDir& dir, const std::vector<std::string>& args) {
  std::string cmd = quote(QARVEL_TOOL_PATH);
  for (const auto& a : args) cmd += " " + quote(a);
  cmd += " >" + quote((dir / "stdout").string()) + " 2>" + quote((dir / "stderr").string());
  int raw = std::system(cmd.c_str());
  Bytes out = read_bytes(dir / "stdout"), err = read_bytes(dir / "stderr");
  return {WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, std::string(out.begin(), out.end()),
          std::string(err.begin(), err.end())};
}

void write_photo(const fs::path& path, int w, int h) {
  write_bytes(path, tj_encode(make_image(w, h), w, h, TJPF_BGR, TJSAMP_420, 90));
}

}  // namespace

TEST(Tool, ResizesOneFile) {
  TempDir dir;
  write_photo(dir / "in.jpg", 300, 200);
  ToolRun r = run_tool(dir, {"resize", (dir / "in.jpg").string(), (dir / "out.jpg").string(), "150"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("(300x200 -> 150x100)"), std::string::npos) << r.out;
  TjDecoded d = tj_decode(read_bytes(dir / "out.jpg"), TJPF_RGB);
  EXPECT_EQ(d.width, 150);
  EXPECT_EQ(d.height, 100);

  r = run_tool(dir, {"resize", "-q", (dir / "in.jpg").string(), (dir / "out2.jpg").string(), "30", "40"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(tj_decode(read_bytes(dir / "out2.jpg"), TJPF_RGB).height, 40);
}

TEST(Tool, BatchKeepsGoingPastABadFileAndNamesIt) {
  TempDir dir;
  fs::create_directories(dir / "in");
  write_photo(dir / "in/a.jpg", 120, 80);
  write_photo(dir / "in/c.JPEG", 90, 60);
  write_bytes(dir / "in/b.jpg", {'b', 'a', 'd'});
  write_bytes(dir / "in/notes.txt", {'x'});
  ToolRun r = run_tool(dir, {"resize", "-j", "2", "-o", (dir / "out").string(), "-W", "60",
                             (dir / "in").string()});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("2 of 3 file(s) resized, 1 failed:"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find((dir / "in/b.jpg").string()), std::string::npos);
  EXPECT_NE(r.err.find("b.jpg: cannot read the JPEG header"), std::string::npos) << r.err;
  EXPECT_EQ(tj_decode(read_bytes(dir / "out/a.jpg"), TJPF_RGB).width, 60);
  EXPECT_EQ(tj_decode(read_bytes(dir / "out/c.JPEG"), TJPF_RGB).height, 40);
  EXPECT_FALSE(fs::exists(dir / "out/b.jpg"));
  EXPECT_FALSE(fs::exists(dir / "out/notes.txt"));

  r = run_tool(dir, {"resize", "-o", (dir / "out").string(), "-W", "10", "-H", "10",
                     (dir / "in/a.jpg").string(), (dir / "in/c.JPEG").string()});
  EXPECT_EQ(r.status, 0) << r.err;
}

TEST(Tool, MisuseExitsWithTwoAndAMessage) {
  TempDir dir;
  const std::vector<std::vector<std::string>> misuse = {
      {},
      {"shrink"},
      {"resize"},
      {"resize", "a.jpg", "b.jpg"},
      {"resize", "a.jpg", "b.jpg", "0"},
      {"resize", "a.jpg", "b.jpg", "12x"},
      {"resize", "a.jpg", "b.jpg", "10", "-1"},
      {"resize", "--bogus", "a.jpg", "b.jpg", "10"},
      {"resize", "-o", "out", "a.jpg"},
      {"resize", "-o", "out", "-W", "10"},
      {"resize", "-o", "out", "-W", "10", "x/a.jpg", "y/a.jpg"},
      {"resize", "-j", "0", "a.jpg", "b.jpg", "10"},
  };
  for (const auto& args : misuse) {
    ToolRun r = run_tool(dir, args);
    EXPECT_EQ(r.status, 2) << testing::PrintToString(args);
    EXPECT_EQ(r.err.rfind("qarvel: ", 0), 0u) << r.err;
  }
  ToolRun help = run_tool(dir, {"resize", "--help"});
  EXPECT_EQ(help.status, 0);
  for (const char* option : {"--out-dir", "--width", "--height", "--jobs", "--quiet", "--help"})
    EXPECT_NE(help.out.find(option), std::string::npos) << option;
}
