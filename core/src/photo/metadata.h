// Internal: the JPEG segments a thumbnail carries over from its source: the
// EXIF Orientation tag, the ICC colour profile, and EXIF, XMP and IPTC.
#ifndef QARVEL_METADATA_H
#define QARVEL_METADATA_H

#include <cstdint>
#include <string>
#include <vector>

#include "core.h"

namespace qarvel {

using Bytes = std::vector<uint8_t>;

// A segment's marker byte (0xE1 for APP1) and its payload, without the
// length field.
struct Segment {
  uint8_t marker = 0;
  Bytes payload;
};

// Which parts read_metadata copies; the Orientation tag is always read
// when `exif` is set.
struct MetadataParts {
  bool exif = false;
  bool icc = false;
  bool xmp_iptc = false;
};

struct JpegMetadata {
  int orientation = 1;       // EXIF Orientation, 1..8; 1 when absent or unreadable
  bool exif_valid = false;   // exif holds an APP1 Exif payload whose IFD0 reads cleanly
  Bytes exif;                // the first APP1 Exif payload, "Exif\0\0" included
  Bytes icc;                 // the whole profile; empty when absent or inconsistent
  std::vector<Segment> xmp_iptc;  // APP1 XMP (standard and extended) and APP13, in file order
  std::vector<std::string> warnings;  // one line each: what was malformed and ignored
};

// Reads the segments before the first scan. Never fails: a malformed
// segment ends the scan, a malformed EXIF block leaves orientation 1, an
// inconsistent profile is dropped; each adds a warning.
JpegMetadata read_metadata(ByteView jpeg, MetadataParts parts) noexcept;

// Readies an APP1 Exif payload for a thumbnail: Orientation set to 1 when
// `reset_orientation`, and IFD1 (the embedded thumbnail) unlinked from IFD0;
// its bytes are cut off when they end the block, zeroed otherwise. False
// when the block cannot be read, which leaves it unchanged.
bool prepare_exif(Bytes& payload, bool reset_orientation) noexcept;

// The segments that carry `profile`: APP2 ICC_PROFILE chunks of at most
// 65,519 bytes, numbered from 1. Empty for an empty profile or one past 255
// chunks.
std::vector<Segment> icc_segments(const Bytes& profile);

// `jpeg` (TurboJPEG's output: SOI, then usually a JFIF APP0) with `segments`
// written after SOI and APP0, in order. kTooLarge for a payload past 65,533
// bytes or a result past 2^31 - 1 bytes.
Result<Blob> insert_segments(ByteView jpeg, const std::vector<Segment>& segments) noexcept;

}  // namespace qarvel

#endif
