// The command-line tool, run as a user would run it.
#include <sys/wait.h>
#include <unistd.h>

#include "qarvel/qarvel.h"
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
  for (const auto& a : args) cmd.append(" ").append(quote(a));
  cmd.append(" >").append(quote((dir / "stdout").string()));
  cmd.append(" 2>").append(quote((dir / "stderr").string()));
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
      {"resize", "-s", "10", "a.jpg", "b.jpg", "10"},
      {"resize", "-s", "0x0", "a.jpg", "b.jpg"},
      {"resize", "-s", "10x-5", "a.jpg", "b.jpg"},
      {"resize", "-s", "10", "-o", "out", "-W", "5", "a.jpg"},
      {"resize", "--keep-metadata", "--strip", "a.jpg", "b.jpg", "10"},
      {"resize", "-r", "a.jpg", "b.jpg", "10"},
  };
  for (const auto& args : misuse) {
    ToolRun r = run_tool(dir, args);
    EXPECT_EQ(r.status, 2) << testing::PrintToString(args);
    EXPECT_EQ(r.err.rfind("qarvel: ", 0), 0u) << r.err;
  }
  ToolRun help = run_tool(dir, {"resize", "--help"});
  EXPECT_EQ(help.status, 0);
  for (const char* option : {"--out-dir", "--width", "--height", "--size", "--recursive", "--jobs",
                             "--no-rotate", "--keep-metadata", "--strip", "--exact",
                             "--skip-existing", "--quiet", "--help"})
    EXPECT_NE(help.out.find(option), std::string::npos) << option;
}

TEST(Tool, ExactUnturnedStrippedOutputEqualsQresizeByteForByte) {
  TempDir dir;
  for (const char* name : {"meta-exif-orientation6-128.jpg", "meta-exif-iptc-xmp-icc-300x225.jpg",
                           "photo-1165x859-420.jpg"}) {
    const std::string in = testdata(name).string();
    for (const std::vector<std::string>& size : {std::vector<std::string>{"50"}, {"97", "31"}}) {
      std::vector<std::string> args = {"resize", "--exact", "--no-rotate", "--strip", in,
                                       (dir / "tool.jpg").string()};
      args.insert(args.end(), size.begin(), size.end());
      ASSERT_EQ(run_tool(dir, args).status, 0);
      capture_stdout([&] {
        ASSERT_EQ(qresize(in.c_str(), std::stoi(size[0]), size.size() > 1 ? std::stoi(size[1]) : 0,
                          (dir / "qresize.jpg").c_str()),
                  0);
      });
      EXPECT_EQ(read_bytes(dir / "tool.jpg"), read_bytes(dir / "qresize.jpg")) << name;
    }
  }
}

TEST(Tool, FitsBoxesAndListsWarningsAfterTheFiles) {
  TempDir dir;
  write_photo(dir / "in.jpg", 300, 200);
  const std::vector<std::pair<std::string, std::string>> boxes = {
      {"64", "(300x200 -> 64x43)"}, {"64x", "(300x200 -> 64x43)"}, {"x30", "(300x200 -> 45x30)"},
      {"90x40", "(300x200 -> 60x40)"}, {"60x90", "(300x200 -> 60x40)"}};
  for (const auto& [box, line] : boxes) {
    ToolRun r = run_tool(dir, {"resize", "-s", box, (dir / "in.jpg").string(), (dir / "o.jpg").string()});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find(line), std::string::npos) << box << ": " << r.out;
  }
  ToolRun batch = run_tool(dir, {"resize", "-s", "x30", "-o", (dir / "out").string(),
                                 (dir / "in.jpg").string()});
  EXPECT_EQ(batch.status, 0);
  EXPECT_EQ(tj_decode(read_bytes(dir / "out/in.jpg"), TJPF_RGB).height, 30);

  // A broken EXIF block: the file is made as stored, and the warning follows.
  Bytes jpeg = read_bytes(dir / "in.jpg");
  const Bytes exif = {0xFF, 0xE1, 0x00, 0x0A, 'E', 'x', 'i', 'f', 0, 0, 'I', 'I'};
  jpeg.insert(jpeg.begin() + 2, exif.begin(), exif.end());
  write_bytes(dir / "bad.jpg", jpeg);
  ToolRun r = run_tool(dir, {"resize", (dir / "bad.jpg").string(), (dir / "o.jpg").string(), "30"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "  " + (dir / "bad.jpg").string() +
                       ": warning: malformed EXIF block (no TIFF header); orientation ignored\n");
}

TEST(Tool, RefusesToOverwriteInputsSkipsExistingAndSurvivesAFileSizeLimit) {
  TempDir dir;
  fs::create_directories(dir / "in");
  fs::create_directories(dir / "out");
  write_photo(dir / "in/a.jpg", 120, 80);
  write_photo(dir / "in/b.jpg", 90, 60);
  const Bytes a = read_bytes(dir / "in/a.jpg");
  // The output folder holds the inputs themselves; a hard link is the same file too.
  ToolRun r = run_tool(dir, {"resize", "-o", (dir / "in").string(), "-W", "20",
                             (dir / "in/a.jpg").string()});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("is the same file as the input"), std::string::npos) << r.err;
  EXPECT_EQ(read_bytes(dir / "in/a.jpg"), a);
  ASSERT_EQ(link((dir / "in/a.jpg").c_str(), (dir / "out/link.jpg").c_str()), 0);
  r = run_tool(dir, {"resize", (dir / "in/a.jpg").string(), (dir / "out/link.jpg").string(), "20"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(read_bytes(dir / "in/a.jpg"), a);
  fs::remove(dir / "out/link.jpg");

  write_bytes(dir / "out/a.jpg", {'o', 'l', 'd'});
  write_bytes(dir / "out/.a.jpg.qarvel-AbC123", {'x'});  // a killed run's leftover
  r = run_tool(dir, {"resize", "--skip-existing", "-o", (dir / "out").string(), "-W", "20",
                     (dir / "in").string()});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.err.find("1 of 2 file(s) resized, 1 skipped (output exists)"), std::string::npos) << r.err;
  EXPECT_EQ(read_bytes(dir / "out/a.jpg"), (Bytes{'o', 'l', 'd'}));
  EXPECT_FALSE(fs::exists(dir / "out/.a.jpg.qarvel-AbC123"));
  EXPECT_EQ(tj_decode(read_bytes(dir / "out/b.jpg"), TJPF_RGB).width, 20);

  // Past a 2 KiB file-size limit the write fails; the old output stays, no temporary is left.
  write_photo(dir / "big.jpg", 400, 300);
  const std::string cmd = "ulimit -f 4 && exec " + quote(QARVEL_TOOL_PATH) + " resize " +
                          quote((dir / "big.jpg").string()) + " " +
                          quote((dir / "out/a.jpg").string()) + " 300 2>/dev/null >/dev/null";
  const int raw = std::system(("sh -c " + quote(cmd)).c_str());
  EXPECT_TRUE(WIFEXITED(raw) && WEXITSTATUS(raw) == 1) << raw;
  EXPECT_EQ(read_bytes(dir / "out/a.jpg"), (Bytes{'o', 'l', 'd'}));
  EXPECT_EQ(std::distance(fs::directory_iterator(dir / "out"), fs::directory_iterator{}), 2);
}

TEST(Tool, RecursiveWalkMirrorsFoldersAndReportsEntriesItCannotRead) {
  TempDir dir;
  fs::create_directories(dir / "in/sub/deeper");
  write_photo(dir / "in/a.jpg", 60, 40);
  write_photo(dir / "in/sub/b.jpg", 60, 40);
  write_photo(dir / "in/sub/deeper/c.jpeg", 60, 40);
  fs::create_symlink("loop.jpg", dir / "in/loop.jpg");  // points at itself
  fs::create_directory_symlink("..", dir / "in/sub/up");  // not followed: no cycle
  ToolRun r = run_tool(dir, {"resize", "-r", "-q", "-o", (dir / "out").string(), "-W", "30",
                             (dir / "in").string()});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("3 of 4 file(s) resized, 1 failed:"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("loop.jpg: cannot read this entry: Too many levels of symbolic links"),
            std::string::npos) << r.err;
  for (const char* out : {"out/a.jpg", "out/sub/b.jpg", "out/sub/deeper/c.jpeg"})
    EXPECT_EQ(tj_decode(read_bytes(dir / out), TJPF_RGB).width, 30) << out;
  EXPECT_FALSE(fs::exists(dir / "out/sub/up"));

  // Without -r the folder's own files, and the loop reported rather than fatal.
  r = run_tool(dir, {"resize", "-q", "-o", (dir / "flat").string(), "-W", "30", (dir / "in").string()});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("1 of 2 file(s) resized, 1 failed:"), std::string::npos) << r.err;
}

TEST(Tool, PipesNamesAndRefusedOutputNames) {
  TempDir dir;
  fs::create_directories(dir / "in");
  write_photo(dir / "in/a.jpg", 120, 80);
  const std::string cmd = quote(QARVEL_TOOL_PATH) + " resize --quality 70 - - 30 <" +
                          quote((dir / "in/a.jpg").string()) + " >" + quote((dir / "o.jpg").string());
  ASSERT_EQ(std::system(cmd.c_str()), 0);
  EXPECT_EQ(tj_decode(read_bytes(dir / "o.jpg"), TJPF_RGB).width, 30);

  ToolRun r = run_tool(dir, {"resize", "-o", (dir / "out").string(), "--name", "tn_%s.jpg",
                             "-s", "20x20", "--crop", (dir / "in").string()});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(tj_decode(read_bytes(dir / "out/tn_a.jpg"), TJPF_RGB).height, 20);
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"resize", (dir / "in/a.jpg").string(), (dir / "o.png").string(), "9"},
        {"resize", "-o", (dir / "out").string(), "--name", "%s.png", "-W", "9", (dir / "in").string()},
        {"resize", "-o", (dir / "out").string(), "-W", "9", "-"}}) {
    r = run_tool(dir, args);
    EXPECT_EQ(r.status, 2) << r.err;
  }
  EXPECT_FALSE(fs::exists(dir / "o.png"));
}
