// Internal: colour conversion of decoded photos through Little CMS. CMYK
// pixels become sRGB, through the embedded profile when it is a CMYK one
// Little CMS accepts; RGB and grey pixels are taken from their embedded
// profile to sRGB on request. Each call creates its own Little CMS context
// and transform and releases both before it returns, so threads convert at
// once; Little CMS's error messages end up in warnings, never on a stream.
#ifndef QARVEL_COLOUR_H
#define QARVEL_COLOUR_H

#include <string>
#include <vector>

#include "core.h"

namespace qarvel {

// The colour space an embedded ICC profile declares in its header.
enum class ProfileSpace {
  kNone,  // no profile, or fewer bytes than a profile header
  kRgb,
  kGrey,
  kCmyk,
  kOther,  // Lab, YCbCr, n-colour and the like
};

// Reads only the header: cheap enough to call for every photo.
ProfileSpace profile_space(ByteView icc) noexcept;

// Converts CMYK pixels as the JPEG stores them (TJPF_CMYK; `inverted` for
// Adobe's convention, where 0 means full ink) to a new sRGB image in `format`
// (TJPF_RGB or TJPF_BGR) in `storage`. A CMYK profile that Little CMS accepts
// drives the conversion (relative colorimetric with black-point
// compensation); with no profile, the conventional R = (255 - C)(255 - K) /
// 255, likewise for G and B. A profile that is not CMYK, or that Little CMS
// refuses, falls back to the conventional conversion and adds a line to
// `warnings`. Fails with kArgument for a source or format it cannot take,
// kTooLarge or kAlloc.
Result<Image> cmyk_to_rgb(const ImageView& cmyk, bool inverted, ByteView icc, int format,
                          Storage storage, std::vector<std::string>& warnings) noexcept;

// Converts `image` (TJPF_RGB, TJPF_BGR or TJPF_GRAY) in place from its
// embedded profile `icc` to sRGB, by the same rendering as cmyk_to_rgb.
// Nothing changes without a profile or with an sRGB one (one whose
// conversion moves no test colour by more than one step). A grey profile
// maps every channel through the grey tone curve of sRGB, so grey stays grey,
// on one channel or three. A profile of the wrong colour space for the
// pixels, or one Little CMS refuses, leaves them as they are and adds a line
// to `warnings`. Fails with kArgument for an image it cannot take, kAlloc.
Status convert_to_srgb(Image& image, ByteView icc, std::vector<std::string>& warnings) noexcept;

}  // namespace qarvel

#endif
