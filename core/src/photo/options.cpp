// The option table and the grammar of sizes shared by every door.
#include "photo/options.h"

#include <algorithm>
#include <charconv>
#include <climits>
#include <iterator>

namespace qarvel {

const char kBoxGrammar[] = "WxH, W, Wx or xH in whole pixels, such as 800x600, 800 or x600";

namespace {

Error bad_value(const char* what, std::string_view text, const char* expected) {
  return Error{Fault::kArgument,
               std::string("bad ") + what + " \"" + std::string(text) + "\": give " + expected};
}

Status set_width(JobRequest& r, std::string_view text) {
  Result<int> v = parse_pixels(text);
  if (!v) return bad_value("width", text, "a whole number of pixels");
  r.thumbnail.width = *v;
  r.given.width = true;
  return {};
}

Status set_height(JobRequest& r, std::string_view text) {
  Result<int> v = parse_pixels(text);
  if (!v) return bad_value("height", text, "a whole number of pixels, or 0 to keep the aspect ratio");
  r.thumbnail.height = *v;
  r.given.height = true;
  return {};
}

Status set_size(JobRequest& r, std::string_view text) {
  Result<Box> box = parse_box(text);
  if (!box) return bad_value("size", text, kBoxGrammar);
  r.thumbnail.width = box->width;
  r.thumbnail.height = box->height;
  r.thumbnail.fit = true;
  r.given.size = true;
  return {};
}

Status set_jobs(JobRequest& r, std::string_view text) {
  Result<int> v = parse_pixels(text);
  if (!v || *v == 0) return bad_value("number of jobs", text, "a positive whole number");
  r.batch.jobs = *v;
  return {};
}

// A flag's setter: the member it turns on (or off, for --no-rotate).
template <auto Member, bool Value = true>
Status set_thumbnail_flag(JobRequest& r, std::string_view) {
  r.thumbnail.*Member = Value;
  return {};
}
template <auto Member>
Status set_batch_flag(JobRequest& r, std::string_view) {
  r.batch.*Member = true;
  return {};
}

using enum OptionScope;
using enum OptionValue;

// Help lines wrap at 56 columns, so that --help fits 80 columns.
constexpr OptionSpec kOptions[] = {
    {"out-dir", 'o', "out_dir", false, kText, "DIR", kCommandLine,
     "batch mode: write outputs into DIR (created if missing)",
     [](JobRequest& r, std::string_view text) -> Status {
       if (text.empty()) return Error{Fault::kArgument, "the output folder needs a name"};
       r.batch.out_dir = std::string(text);
       return {};
     }},
    {"width", 'W', "width", false, kInteger, "N", kImage, "target width in pixels", set_width},
    {"height", 'H', "height", false, kInteger, "N", kImage,
     "target height in pixels; 0 or none keeps the aspect ratio", set_height},
    {"size", 's', "size", false, kText, "BOX", kImage,
     "fit inside BOX, aspect kept: WxH, or W (also Wx) to bound\n"
     "the width only, or xH to bound the height only; not with\n"
     "a width or height",
     set_size},
    {"recursive", 'r', "recursive", false, kNone, nullptr, kBatch,
     "walk INPUT directories and their subdirectories, mirroring\n"
     "them under DIR; symbolic links to directories are not\n"
     "followed, and DIR itself is never walked into",
     set_batch_flag<&BatchOptions::recursive>},
    {"jobs", 'j', "jobs", false, kInteger, "N", kCommandLine,
     "files resized at once in batch mode (default: number of\n"
     "cores)",
     set_jobs},
    {"no-rotate", 0, "rotate", true, kNone, nullptr, kImage,
     "ignore the EXIF Orientation: keep the image as stored",
     set_thumbnail_flag<&ThumbnailOptions::rotate, false>},
    {"keep-metadata", 0, "keep_metadata", false, kNone, nullptr, kImage,
     "keep EXIF (Orientation set to 1 when the image was turned,\n"
     "embedded thumbnail removed), XMP and IPTC as well as the\n"
     "colour profile",
     set_thumbnail_flag<&ThumbnailOptions::keep_metadata>},
    {"strip", 0, "strip", false, kNone, nullptr, kImage,
     "keep no metadata, not even the colour profile (by default\n"
     "only the ICC colour profile is kept)",
     set_thumbnail_flag<&ThumbnailOptions::strip>},
    {"exact", 0, "exact", false, kNone, nullptr, kImage,
     "decode at full size and resample in one step; with\n"
     "--no-rotate --strip the output equals qresize's byte for byte",
     set_thumbnail_flag<&ThumbnailOptions::exact>},
    {"skip-existing", 0, "skip_existing", false, kNone, nullptr, kBatch,
     "leave outputs that already exist untouched (resumable runs)",
     set_batch_flag<&BatchOptions::skip_existing>},
    {"quiet", 'q', "quiet", false, kNone, nullptr, kCommandLine,
     "print nothing per file (failures are still listed)", set_batch_flag<&BatchOptions::quiet>},
};

bool within(OptionScope scope, OptionScope widest) {
  return static_cast<int>(scope) <= static_cast<int>(widest);
}

Status check_target(const JobRequest& r) {
  const auto& g = r.given;
  if (g.size && (g.width || g.height))
    return Error{Fault::kArgument, "give either a width (and a height) or a size, not both"};
  if (g.height && !g.width) return Error{Fault::kArgument, "a height needs a width"};
  if (!g.width && !g.size) return Error{Fault::kArgument, "give a width or a size"};
  if (g.width && r.thumbnail.width == 0)
    return Error{Fault::kArgument, "the width must be positive"};
  return {};
}

}  // namespace

std::span<const OptionSpec> option_table() noexcept { return kOptions; }

const OptionSpec* find_option(std::string_view name) noexcept {
  for (const OptionSpec& o : kOptions)
    if (name == o.name) return &o;
  return nullptr;
}

const OptionSpec* find_keyword(std::string_view keyword) noexcept {
  for (const OptionSpec& o : kOptions)
    if (keyword == o.keyword) return &o;
  return nullptr;
}

Status finish_request(const JobRequest& r, bool batch) noexcept {
  if (Status s = check_target(r); !s) return s;
  if (r.thumbnail.keep_metadata && r.thumbnail.strip)
    return Error{Fault::kArgument, "metadata cannot be both kept and stripped"};
  if (!batch && r.batch.recursive)
    return Error{Fault::kArgument, "walking folders recursively needs an output folder"};
  return {};
}

std::string option_help(OptionScope widest) noexcept {
  constexpr size_t kHelpColumn = 22;
  std::string out;
  for (const OptionSpec& o : kOptions) {
    if (!within(o.scope, widest)) continue;
    std::string names = o.short_name ? std::string("  -") + o.short_name + ", --" : "      --";
    names += o.name;
    if (o.metavar) names = names + " " + o.metavar;
    names.resize(std::max(names.size() + 1, kHelpColumn), ' ');
    out += names;
    for (const char* line = o.help; *line;) {
      const char* end = line;
      while (*end && *end != '\n') ++end;
      if (line != o.help) out.append(kHelpColumn, ' ');
      out.append(line, end);
      out += '\n';
      line = *end ? end + 1 : end;
    }
  }
  return out;
}

Result<int> parse_pixels(std::string_view text) noexcept {
  const Error bad{Fault::kArgument, "not a whole number of pixels"};
  if (text.empty() || !std::all_of(text.begin(), text.end(), [](char c) {
        return c >= '0' && c <= '9';
      }))
    return bad;
  int value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size()) return bad;
  return value;
}

Result<Box> parse_box(std::string_view text) noexcept {
  const Error bad{Fault::kArgument, std::string("a size is ") + kBoxGrammar};
  const size_t x = text.find_first_of("xX");
  const std::string_view w = text.substr(0, x);
  const std::string_view h = x == std::string_view::npos ? std::string_view() : text.substr(x + 1);
  Box box;
  if (w.empty() && h.empty()) return bad;
  if (!w.empty()) {
    Result<int> v = parse_pixels(w);
    if (!v) return bad;
    box.width = *v;
  }
  if (!h.empty()) {
    Result<int> v = parse_pixels(h);
    if (!v) return bad;
    box.height = *v;
  }
  if (box.width == 0 && box.height == 0) return bad;
  return box;
}

}  // namespace qarvel
