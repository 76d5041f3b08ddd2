// Internal: what a user can ask of the thumbnailer, in one place for the
// command-line tool, the Python package and the Dask runner. Each option is
// a row of one table: its names at each door, its help text, and the one
// function that parses and stores its value. Values arrive as text (argv, or
// a Python value the module spells as text) and are checked here, so every
// door accepts and refuses the same things with the same message.
#ifndef QARVEL_PHOTO_OPTIONS_H
#define QARVEL_PHOTO_OPTIONS_H

#include <span>
#include <string>
#include <string_view>

#include "core.h"
#include "result.h"

namespace qarvel {

// How one photo becomes a thumbnail.
struct ThumbnailOptions {
  // The target, in the image's displayed orientation. With fit false, width
  // is required and a height of 0 keeps the aspect ratio. With fit true the
  // image is fitted inside width x height, aspect kept; a 0 leaves that side
  // unbounded, and at least one side is bounded.
  int width = 0;
  int height = 0;
  bool fit = false;
  bool enlarge = true;  // false: never larger than the source, as displayed
  // Fill the box (width x height, both set) exactly, cutting what overflows:
  // evenly, or keeping the busiest part.
  enum class Crop { kNone, kCentre, kAttention } crop = Crop::kNone;
  bool rotate = true;          // turn the image upright by its EXIF Orientation
  bool keep_metadata = false;  // keep EXIF (orientation reset), XMP and IPTC too
  bool strip = false;          // keep nothing, not even the colour profile
  bool srgb = false;           // convert to sRGB by the embedded profile, write none
  bool exact = false;          // full-size decode and the library's resampler only
  bool strict = false;         // damaged data fails the photo instead of a warning
  EncodeSettings encode;
};

// How a batch of photos is run.
struct BatchOptions {
  std::string out_dir;  // empty: the single-file form
  std::string name;     // output names, %s standing for the input's stem; empty: its name
  bool recursive = false;
  bool skip_existing = false;
  bool quiet = false;
  int jobs = 0;  // files at once; 0 for one per core
};

// Everything a door collects; `given` records which target options were
// set, so that finish_request can refuse combinations.
struct JobRequest {
  ThumbnailOptions thumbnail;
  BatchOptions batch;
  struct {
    bool width = false, height = false, size = false;
  } given;
};

// Where an option can be given. Every door takes kImage options; the batch
// runners (the tool's batch form, qarvel.dask) also take kBatch; only the
// command lines take kCommandLine.
enum class OptionScope { kImage, kBatch, kCommandLine };

// What an option's value is, for doors that type their arguments.
enum class OptionValue {
  kNone,      // a flag
  kInteger,   // a whole number
  kText,      // anything else (a size, a folder)
  kOptional,  // a flag that may take one of its `choices`
};

struct OptionSpec {
  const char* name;     // the long option: --name
  char short_name;      // -c, or 0
  const char* keyword;  // the Python keyword
  // A flag whose keyword means its opposite: --no-rotate is rotate=False.
  bool negated;
  OptionValue value;
  const char* metavar;  // the value's placeholder in help texts
  const char* choices;  // the words a kOptional option takes, space-separated
  OptionScope scope;
  const char* help;  // one or more lines, without the option's names
  // Parses `text` (empty for a flag) into `request`; the Error is for people.
  Status (*apply)(JobRequest& request, std::string_view text);
};

// Every option, in the order help texts list them.
std::span<const OptionSpec> option_table() noexcept;
const OptionSpec* find_option(std::string_view name) noexcept;
const OptionSpec* find_keyword(std::string_view keyword) noexcept;

// Checks the options as a whole once all are set: the target is complete and
// no two options contradict each other. Batch options are checked only when
// `batch` is true.
Status finish_request(const JobRequest& request, bool batch) noexcept;

// The options of `scope` and the narrower scopes, as --help lists them.
std::string option_help(OptionScope widest) noexcept;

// A whole non-negative decimal number of pixels: ASCII digits only, no sign,
// no space, within an int.
Result<int> parse_pixels(std::string_view text) noexcept;

// A box to fit inside: "WxH", "W" or "Wx" (width only), "xH" (height only),
// with 'x' or 'X', whole non-negative numbers, at least one of them positive;
// a missing or 0 side is unbounded. A '>' after it means never enlarge.
struct Box {
  int width = 0;
  int height = 0;
  bool shrink_only = false;
};
Result<Box> parse_box(std::string_view text) noexcept;

// The grammar of a box, for help texts and error messages.
extern const char kBoxGrammar[];

}  // namespace qarvel

#endif
