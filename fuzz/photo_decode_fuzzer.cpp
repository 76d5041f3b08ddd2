// The photo decoder on arbitrary bytes: the header reader, then a decode at
// 1/8 with scans left out and the source's own channels, one at 1/2 with
// the fast settings, and one at full size; every output byte is read.
#include "codec/jpeg_reader.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) { return 0; }

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  qarvel::Result<qarvel::JpegReader> reader = qarvel::JpegReader::open({data, size});
  if (!reader) return 0;
  const qarvel::JpegInfo& info = reader->info();
  // Sizes past 2^31 bytes are refused before any allocation; run that path too.
  const int64_t pixels = int64_t{info.width} * info.height;
  if (pixels > qfuzz::kMaxPixels && pixels * 3 < (int64_t{1} << 31)) return 0;
  qarvel::DecodeSettings settings[3];
  settings[0].eighths = 1;
  settings[0].skip_unneeded_scans = true;
  settings[0].source_channels = true;
  settings[1].eighths = 4;
  settings[1].fast_idct = true;
  settings[1].fancy_upsampling = false;
  settings[1].format = TJPF_RGB;
  volatile unsigned sink = 0;
  for (const qarvel::DecodeSettings& s : settings) {
    qarvel::Result<qarvel::DecodedPhoto> d = reader->decode(s);
    if (!d) continue;
    const qarvel::Image& im = d->image;
    sink = sink + qfuzz::touch(im.pixels.data(), size_t(im.pitch) * im.height);
    for (const std::string& w : d->warnings) sink = sink + static_cast<unsigned>(w.size());
  }
  return 0;
}
