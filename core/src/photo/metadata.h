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

// Which parts read_metadata copies.
struct MetadataParts {
  bool exif = false;         // the first EXIF block; its Orientation is read too
  bool icc = false;
  bool xmp_iptc = false;     // the main XMP packet and IPTC; extended XMP is dropped
  bool orientation = false;  // read the Orientation without copying the block
};

struct JpegMetadata {
  int orientation = 1;       // EXIF Orientation, 1..8; 1 when absent or unusable
  bool exif_valid = false;   // exif holds an APP1 Exif payload whose IFD0 reads cleanly
  Bytes exif;                // the first APP1 Exif payload, "Exif\0\0" included
  Bytes icc;                 // the whole profile; empty when absent or inconsistent
  std::vector<Segment> xmp_iptc;  // the first standard APP1 XMP, and APP13, in file order
  // Set when the data ends before the first scan (inside a segment's
  // header or payload, or between segments), saying where: no image can
  // follow, so a caller reports this rather than the decoder's failure.
  std::string ends_early;
  std::vector<std::string> warnings;  // one line each: what was malformed and ignored or dropped
};

// Reads the segments before the first scan. Never fails: a malformed
// segment ends the scan, a malformed EXIF block leaves orientation 1 and
// is not copied, an unusable Orientation reads as 1, an inconsistent
// profile is dropped, extended XMP is dropped; each adds a warning.
JpegMetadata read_metadata(ByteView jpeg, MetadataParts parts) noexcept;

// Readies an APP1 Exif payload for a thumbnail. Every Orientation entry of
// IFD0 becomes one SHORT 1 (in the block's byte order) when
// `reset_orientation` is set or when it is not a valid Orientation. IFD1
// (the embedded thumbnail) is unlinked from IFD0; its table and thumbnail
// bytes are cut off when they end the block, zeroed otherwise, and left as
// they are, with a warning, where they share bytes with what IFD0 leads to.
// False when the block cannot be read, which leaves it unchanged.
bool prepare_exif(Bytes& payload, bool reset_orientation,
                  std::vector<std::string>* warnings = nullptr) noexcept;

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
