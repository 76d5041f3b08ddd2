// The option table and the grammar of sizes shared by every door.
#include "photo/options.h"

#include <algorithm>
#include <charconv>
#include <climits>
#include <iterator>
#include <utility>

namespace qarvel {

const char kBoxGrammar[] =
    "WxH, W, Wx or xH in whole pixels, such as 800x600, 800 or x600, and '>' after it to never "
    "enlarge";

namespace {

Error bad_value(const char* what, std::string_view text, const char* expected) {
  return Error{Fault::kArgument,
               std::string("bad ") + what + " \"" + std::string(text) + "\": give " + expected};
}

// A whole number of pixels into `side`, noting that it was given.
Status set_pixels(std::string_view text, const char* what, int& side, bool& given) {
  Result<int> v = parse_pixels(text);
  if (!v) return bad_value(what, text, "a whole number of pixels");
  side = *v;
  given = true;
  return {};
}

Status set_width(JobRequest& r, std::string_view text) {
  return set_pixels(text, "width", r.thumbnail.width, r.given.width);
}

Status set_height(JobRequest& r, std::string_view text) {
  return set_pixels(text, "height", r.thumbnail.height, r.given.height);
}

Status set_size(JobRequest& r, std::string_view text) {
  Result<Box> box = parse_box(text);
  if (!box) return bad_value("size", text, kBoxGrammar);
  r.thumbnail.width = box->width;
  r.thumbnail.height = box->height;
  r.thumbnail.fit = true;
  if (box->shrink_only) r.thumbnail.enlarge = false;
  r.given.size = true;
  return {};
}

Status set_jobs(JobRequest& r, std::string_view text) {
  Result<int> v = parse_pixels(text);
  if (!v || *v == 0) return bad_value("number of jobs", text, "a positive whole number");
  r.batch.jobs = *v;
  return {};
}

Status set_quality(JobRequest& r, std::string_view text) {
  Result<int> v = parse_pixels(text);
  if (!v || *v < 1 || *v > 100) return bad_value("quality", text, "a whole number from 1 to 100");
  r.thumbnail.encode.quality = *v;
  return {};
}

Status set_subsampling(JobRequest& r, std::string_view text) {
  static constexpr std::pair<std::string_view, int> kModes[] = {
      {"4:2:0", TJSAMP_420}, {"4:2:2", TJSAMP_422}, {"4:4:4", TJSAMP_444}, {"gray", TJSAMP_GRAY}};
  for (const auto& [name, mode] : kModes)
    if (text == name) {
      r.thumbnail.encode.subsampling = mode;
      return {};
    }
  return bad_value("subsampling", text, "4:2:0, 4:2:2, 4:4:4 or gray");
}

Status set_crop(JobRequest& r, std::string_view text) {
  using Crop = ThumbnailOptions::Crop;
  if (text.empty() || text == "centre" || text == "center")
    r.thumbnail.crop = Crop::kCentre;
  else if (text == "attention")
    r.thumbnail.crop = Crop::kAttention;
  else
    return bad_value("crop", text, "centre or attention");
  return {};
}

Status set_name(JobRequest& r, std::string_view text) {
  if (text.find('/') != std::string_view::npos || text.find("%s") == std::string_view::npos)
    return bad_value("name", text, "a file name holding %s, such as tn_%s.jpg");
  r.batch.name = std::string(text);
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

Status set_progressive(JobRequest& r, std::string_view) {
  r.thumbnail.encode.progressive = true;
  return {};
}

using enum OptionScope;
using enum OptionValue;

// Help lines wrap at 56 columns, so that --help fits 80 columns.
constexpr OptionSpec kOptions[] = {
    {"out-dir", 'o', "out_dir", false, kText, "DIR", nullptr, kCommandLine,
     "batch mode: write outputs into DIR (created if missing)",
     [](JobRequest& r, std::string_view text) -> Status {
       if (text.empty()) return Error{Fault::kArgument, "the output folder needs a name"};
       r.batch.out_dir = std::string(text);
       return {};
     }},
    {"width", 'W', "width", false, kInteger, "N", nullptr, kImage, "target width in pixels",
     set_width},
    {"height", 'H', "height", false, kInteger, "N", nullptr, kImage,
     "target height in pixels; 0 or none keeps the aspect ratio", set_height},
    {"size", 's', "size", false, kText, "BOX", nullptr, kImage,
     "fit inside BOX, aspect kept: WxH, or W (also Wx) to bound\n"
     "the width only, or xH to bound the height only; not with\n"
     "a width or height",
     set_size},
    {"no-enlarge", 0, "enlarge", true, kNone, nullptr, nullptr, kImage,
     "never make a thumbnail larger than the photo (also a '>'\n"
     "after BOX, as in -s '640x640>')",
     set_thumbnail_flag<&ThumbnailOptions::enlarge, false>},
    {"crop", 0, "crop", false, kOptional, "MODE", "centre center attention", kImage,
     "fill the box (WxH) exactly, cutting what overflows:\n"
     "evenly (centre, the default) or around the busiest part\n"
     "(attention: where edges, saturated colours and skin tones\n"
     "are densest)",
     set_crop},
    {"recursive", 'r', "recursive", false, kNone, nullptr, nullptr, kBatch,
     "walk INPUT directories and their subdirectories, mirroring\n"
     "them under DIR; symbolic links to directories are not\n"
     "followed, and DIR itself is never walked into",
     set_batch_flag<&BatchOptions::recursive>},
    {"name", 0, "name", false, kText, "PATTERN", nullptr, kBatch,
     "name outputs by PATTERN, %s standing for the input's name\n"
     "without its extension, as in 'tn_%s.jpg' (default: the\n"
     "input's own name)",
     set_name},
    {"jobs", 'j', "jobs", false, kInteger, "N", nullptr, kCommandLine,
     "files resized at once in batch mode (default: number of\n"
     "cores)",
     set_jobs},
    {"no-rotate", 0, "rotate", true, kNone, nullptr, nullptr, kImage,
     "ignore the EXIF Orientation: keep the image as stored",
     set_thumbnail_flag<&ThumbnailOptions::rotate, false>},
    {"keep-metadata", 0, "keep_metadata", false, kNone, nullptr, nullptr, kImage,
     "keep EXIF (Orientation set to 1 when the image was turned\n"
     "or the tag is unusable, embedded thumbnail removed), the\n"
     "main XMP packet (extended XMP is dropped) and IPTC as well\n"
     "as the colour profile",
     set_thumbnail_flag<&ThumbnailOptions::keep_metadata>},
    {"strip", 0, "strip", false, kNone, nullptr, nullptr, kImage,
     "keep no metadata, not even the colour profile (by default\n"
     "only the ICC colour profile is kept)",
     set_thumbnail_flag<&ThumbnailOptions::strip>},
    {"srgb", 0, "srgb", false, kNone, nullptr, nullptr, kImage,
     "convert the colours to sRGB by the embedded profile and\n"
     "write no profile (photos without one are taken as sRGB)",
     set_thumbnail_flag<&ThumbnailOptions::srgb>},
    {"quality", 0, "quality", false, kInteger, "N", nullptr, kImage,
     "JPEG quality from 1 to 100 (default 85)", set_quality},
    {"subsampling", 0, "subsampling", false, kText, "MODE", nullptr, kImage,
     "chroma subsampling: 4:2:0, 4:2:2 (default), 4:4:4, or gray\n"
     "for a greyscale thumbnail; a greyscale photo stays grey",
     set_subsampling},
    {"progressive", 0, "progressive", false, kNone, nullptr, nullptr, kImage,
     "write a progressive JPEG: the same pixels, a smaller file", set_progressive},
    {"exact", 0, "exact", false, kNone, nullptr, nullptr, kImage,
     "decode at full size and resample in one step; with\n"
     "--no-rotate --strip a colour photo's output is qresize's,\n"
     "byte for byte",
     set_thumbnail_flag<&ThumbnailOptions::exact>},
    {"strict", 0, "strict", false, kNone, nullptr, nullptr, kImage,
     "fail a photo whose data is damaged (a truncated or corrupt\n"
     "file) instead of making a thumbnail of what can be decoded",
     set_thumbnail_flag<&ThumbnailOptions::strict>},
    {"skip-existing", 0, "skip_existing", false, kNone, nullptr, nullptr, kBatch,
     "leave outputs that already exist untouched (resumable\n"
     "runs)",
     set_batch_flag<&BatchOptions::skip_existing>},
    {"quiet", 'q', "quiet", false, kNone, nullptr, nullptr, kCommandLine,
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
  const ThumbnailOptions& t = r.thumbnail;
  if (t.crop != ThumbnailOptions::Crop::kNone && (t.width == 0 || t.height == 0))
    return Error{Fault::kArgument, "cropping needs a box with both sides, such as 640x480"};
  if (r.thumbnail.keep_metadata && r.thumbnail.strip)
    return Error{Fault::kArgument, "metadata cannot be both kept and stripped"};
  if (!batch && r.batch.recursive)
    return Error{Fault::kArgument, "walking folders recursively needs an output folder"};
  if (!batch && !r.batch.name.empty())
    return Error{Fault::kArgument, "a name pattern needs an output folder"};
  return {};
}

std::string option_help(OptionScope widest) noexcept {
  constexpr size_t kHelpColumn = 22;
  std::string out;
  for (const OptionSpec& o : kOptions) {
    if (!within(o.scope, widest)) continue;
    std::string names = o.short_name ? std::string("  -") + o.short_name + ", --" : "      --";
    names += o.name;
    if (o.metavar) names += o.value == OptionValue::kOptional ? std::string(" [") + o.metavar + "]"
                                                              : std::string(" ") + o.metavar;
    // Names too long for their column leave the help to the next line.
    out += names.size() < kHelpColumn ? names.append(kHelpColumn - names.size(), ' ')
                                      : names + "\n" + std::string(kHelpColumn, ' ');
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
  Box box;
  if (text.ends_with('>')) {
    box.shrink_only = true;
    text.remove_suffix(1);
  }
  const size_t x = text.find_first_of("xX");
  const std::string_view w = text.substr(0, x);
  const std::string_view h = x == std::string_view::npos ? std::string_view() : text.substr(x + 1);
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
