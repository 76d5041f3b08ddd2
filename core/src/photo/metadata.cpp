// JPEG metadata: the segment scan before the first scan, the EXIF (TIFF)
// structure behind the Orientation tag, ICC profile chunks, and writing
// segments into an encoded JPEG.
#include "photo/metadata.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <string>

namespace qarvel {
namespace {

constexpr uint8_t kApp1 = 0xE1;
constexpr uint8_t kApp2 = 0xE2;
constexpr uint8_t kApp13 = 0xED;
constexpr size_t kMaxPayload = 65535 - 2;
constexpr size_t kIccHeader = 14;  // "ICC_PROFILE\0", sequence number, chunk count
constexpr size_t kIccChunk = kMaxPayload - kIccHeader;

constexpr char kExifId[] = "Exif\0";  // six bytes with the terminator
constexpr char kIccId[] = "ICC_PROFILE";
constexpr char kXmpId[] = "http://ns.adobe.com/xap/1.0/";
constexpr char kXmpExtId[] = "http://ns.adobe.com/xmp/extension/";
constexpr char kIptcId[] = "Photoshop 3.0";

constexpr uint16_t kTagOrientation = 0x0112;
constexpr uint16_t kTagExifIfd = 0x8769;
constexpr uint16_t kTagGpsIfd = 0x8825;
constexpr uint16_t kTagInteropIfd = 0xA005;

// True when `p` starts with `id` and its terminating zero.
bool starts_with_id(ByteView p, const char* id, size_t id_size) {
  return p.size() >= id_size && std::memcmp(p.data(), id, id_size) == 0;
}
template <size_t N>
bool starts_with_id(ByteView p, const char (&id)[N]) {
  return starts_with_id(p, id, N);  // N counts the terminator
}

// A TIFF structure inside an Exif payload: every read is checked against
// its end, and offsets count from the TIFF header.
class Tiff {
 public:
  explicit Tiff(ByteView data) : d_(data) {}
  bool open() {
    if (d_.size() < 8) return false;
    if (d_[0] == 'I' && d_[1] == 'I') little_ = true;
    else if (d_[0] == 'M' && d_[1] == 'M') little_ = false;
    else return false;
    return u16(2) == 42;
  }
  size_t size() const { return d_.size(); }
  bool has(uint64_t offset, uint64_t bytes) const { return offset + bytes <= d_.size(); }
  uint32_t u16(size_t at) const {
    return little_ ? d_[at] | d_[at + 1] << 8 : d_[at] << 8 | d_[at + 1];
  }
  uint32_t u32(size_t at) const {
    return little_ ? u16(at) | u16(at + 2) << 16 : u16(at) << 16 | u16(at + 2);
  }
  void put16(uint8_t* out, uint32_t v) const {
    out[little_ ? 0 : 1] = static_cast<uint8_t>(v);
    out[little_ ? 1 : 0] = static_cast<uint8_t>(v >> 8);
  }
  void put32(uint8_t* out, uint32_t v) const {
    put16(out + (little_ ? 0 : 2), v & 0xFFFF);
    put16(out + (little_ ? 2 : 0), v >> 16);
  }

 private:
  ByteView d_;
  bool little_ = true;
};

struct IfdEntry {
  size_t at;  // offset of the 12-byte entry
  uint16_t tag, type;
  uint32_t count, value;
};

// The bytes of one value of a TIFF type; 0 for a type this reader does not know.
uint64_t type_size(uint16_t type) {
  switch (type) {
    case 1: case 2: case 6: case 7: return 1;
    case 3: case 8: return 2;
    case 4: case 9: case 11: case 13: return 4;
    case 5: case 10: case 12: return 8;
    default: return 0;
  }
}

const char* type_name(uint16_t type) {
  static const char* const kNames[] = {"type 0",    "BYTE",  "ASCII",     "SHORT",  "LONG",
                                       "RATIONAL",  "SBYTE", "UNDEFINED", "SSHORT", "SLONG",
                                       "SRATIONAL", "FLOAT", "DOUBLE",    "IFD"};
  return type < std::size(kNames) ? kNames[type] : "an unknown type";
}

// One IFD: its entries, where its table ends and the next IFD's offset.
struct Ifd {
  size_t at = 0, end = 0;
  uint32_t next = 0;
  std::vector<IfdEntry> entries;
};

// Reads the IFD at `offset`; false, with the reason, on any overrun.
bool read_ifd(const Tiff& t, uint32_t offset, Ifd* ifd, std::string* why) {
  if (offset < 8 || !t.has(offset, 2)) {
    *why = "an IFD offset lies outside the block";
    return false;
  }
  const uint32_t count = t.u16(offset);
  if (!t.has(uint64_t{offset} + 2, uint64_t{count} * 12)) {
    *why = "an IFD runs past the end of the block";
    return false;
  }
  ifd->at = offset;
  ifd->end = offset + 2 + size_t{count} * 12;
  ifd->entries.clear();
  for (uint32_t i = 0; i < count; ++i) {
    const size_t at = offset + 2 + size_t{i} * 12;
    ifd->entries.push_back({at, static_cast<uint16_t>(t.u16(at)),
                            static_cast<uint16_t>(t.u16(at + 2)), t.u32(at + 4), t.u32(at + 8)});
  }
  // A block may end right after the last IFD's entries.
  ifd->next = t.has(ifd->end, 4) ? t.u32(ifd->end) : 0;
  if (t.has(ifd->end, 4)) ifd->end += 4;
  return true;
}

const IfdEntry* find_tag(const Ifd& ifd, uint16_t tag) {
  for (const IfdEntry& e : ifd.entries)
    if (e.tag == tag) return &e;
  return nullptr;
}

// An Orientation entry's value, or 0 with what is wrong with it.
int orientation_value(const Tiff& t, const IfdEntry& e, std::string* problem) {
  if (e.type != 3 || e.count != 1) {
    *problem = "is stored as " + std::to_string(e.count) + " " + type_name(e.type) +
               (e.count == 1 ? "" : " values") + ", not one SHORT";
    return 0;
  }
  const uint32_t v = t.u16(e.at + 8);
  if (v >= 1 && v <= 8) return static_cast<int>(v);
  *problem = std::to_string(v) + " is not one of 1 to 8";
  return 0;
}

// The orientation in IFD0: 1 when the tag is absent, and 1 with a note
// when it is unusable. False, with a reason, when IFD0 cannot be read.
bool read_orientation(ByteView tiff_bytes, int* orientation, std::string* why, std::string* note) {
  Tiff t(tiff_bytes);
  *orientation = 1;
  if (!t.open()) {
    *why = "no TIFF header";
    return false;
  }
  Ifd ifd0;
  if (!read_ifd(t, t.u32(4), &ifd0, why)) return false;
  const IfdEntry* e = find_tag(ifd0, kTagOrientation);
  if (!e) return true;
  std::string problem;
  if (const int v = orientation_value(t, *e, &problem))
    *orientation = v;
  else
    *note = "EXIF Orientation " + problem + "; read as 1, and written as 1 where EXIF is kept";
  return true;
}

// [first, end) in bytes from the TIFF header.
using Range = std::pair<uint64_t, uint64_t>;

bool overlaps(const std::vector<Range>& ranges, Range r) {
  for (const Range& k : ranges)
    if (k.first < r.second && r.first < k.second) return true;
  return false;
}

// Adds the table of `ifd` and its out-of-line values to `ranges`. False for
// a type of unknown size or a value past the block.
bool cover_ifd(const Tiff& t, const Ifd& ifd, std::vector<Range>* ranges) {
  ranges->push_back({ifd.at, ifd.end});
  for (const IfdEntry& e : ifd.entries) {
    const uint64_t unit = type_size(e.type);
    if (unit == 0) return false;
    const uint64_t bytes = unit * e.count;
    if (bytes <= 4) continue;
    if (!t.has(e.value, bytes)) return false;
    ranges->push_back({e.value, e.value + bytes});
  }
  return true;
}

// The bytes that the header, IFD0 and everything it leads to (EXIF, GPS,
// interoperability IFDs) use; false when some part cannot be measured.
bool kept_ranges(const Tiff& t, const Ifd& ifd0, std::vector<Range>* ranges) {
  *ranges = {{0, 8}};
  if (!cover_ifd(t, ifd0, ranges)) return false;
  std::vector<uint32_t> pending;
  for (uint16_t tag : {kTagExifIfd, kTagGpsIfd})
    if (const IfdEntry* e = find_tag(ifd0, tag)) pending.push_back(e->value);
  // At most the EXIF, GPS and one interoperability IFD: no cycles to follow.
  for (size_t i = 0; i < pending.size() && i < 3; ++i) {
    Ifd sub;
    std::string why;
    if (!read_ifd(t, pending[i], &sub, &why) || !cover_ifd(t, sub, ranges)) return false;
    if (const IfdEntry* e = find_tag(sub, kTagInteropIfd); e && pending.size() < 3)
      pending.push_back(e->value);
  }
  return true;
}

// Makes the entry at `at` one SHORT of value 1, in the block's byte order.
void write_orientation_one(const Tiff& t, uint8_t* entry) {
  t.put16(entry + 2, 3);
  t.put32(entry + 4, 1);
  t.put16(entry + 8, 1);
  t.put16(entry + 10, 0);
}

// Removes IFD1, linked from IFD0's table at `link`: its bytes are cut off
// when nothing IFD0 leads to lies past them, zeroed where they share no
// byte with that, and otherwise left in place with a warning.
void remove_ifd1(Bytes& payload, const Tiff& t, const Ifd& ifd0,
                 std::vector<std::string>* warnings) {
  uint8_t* tiff = payload.data() + 6;
  const uint32_t next = ifd0.next;
  // Unlinked first: a viewer then finds no thumbnail, stale after the resize.
  std::memset(tiff + ifd0.end - 4, 0, 4);
  Ifd ifd1;
  std::string why;
  if (!read_ifd(t, next, &ifd1, &why)) return;  // nothing readable to remove
  const IfdEntry* offset = find_tag(ifd1, 0x0201);
  const IfdEntry* length = find_tag(ifd1, 0x0202);
  const bool has_thumb = offset && length && t.has(offset->value, length->value);
  const Range table{ifd1.at, ifd1.end};
  const Range thumb = has_thumb ? Range{offset->value, uint64_t{offset->value} + length->value}
                                : Range{table.first, table.first};
  std::vector<Range> kept;
  const bool measured = kept_ranges(t, ifd0, &kept);
  uint64_t kept_end = 0;
  for (const Range& r : kept) kept_end = std::max(kept_end, r.second);
  const uint64_t first = std::min(table.first, thumb.first);
  if (measured && kept_end <= first) {
    payload.resize(6 + first);
    return;
  }
  bool left = !measured;
  for (const Range& r : {table, thumb}) {
    if (measured && !overlaps(kept, r))
      std::memset(tiff + r.first, 0, r.second - r.first);
    else
      left = left || r.second > r.first;
  }
  if (left && warnings)
    warnings->push_back(measured ? "the EXIF thumbnail overlaps the rest of the EXIF block; "
                                   "unlinked, its bytes left in place"
                                 : "the EXIF block cannot be measured whole; its thumbnail "
                                   "unlinked, its bytes left in place");
}

// Collects ICC chunks; `profile` is filled once all are in and agree.
class IccChunks {
 public:
  void add(ByteView payload) {
    chunks_.push_back({payload[12], payload[13], payload.subspan(kIccHeader)});
  }
  bool empty() const { return chunks_.empty(); }
  // Concatenates the chunks in sequence order, or says why it cannot.
  bool assemble(Bytes* profile, std::string* why) const {
    const int total = chunks_.front().total;
    bool seen[256] = {};
    for (const Chunk& c : chunks_) {
      if (c.total != total) {
        *why = "chunks disagree on the chunk count";
        return false;
      }
      if (c.seq == 0 || c.seq > total || seen[c.seq]) {
        *why = "a sequence number is out of range or repeated";
        return false;
      }
      seen[c.seq] = true;
    }
    if (static_cast<int>(chunks_.size()) != total) {
      *why = std::to_string(chunks_.size()) + " of " + std::to_string(total) + " chunks present";
      return false;
    }
    size_t bytes = 0;
    for (const Chunk& c : chunks_) bytes += c.data.size();
    profile->clear();
    profile->reserve(bytes);
    for (int seq = 1; seq <= total; ++seq)
      for (const Chunk& c : chunks_)
        if (c.seq == seq) profile->insert(profile->end(), c.data.begin(), c.data.end());
    return true;
  }

 private:
  struct Chunk {
    int seq, total;
    ByteView data;
  };
  std::vector<Chunk> chunks_;
};

std::string marker_name(uint8_t marker) {
  if (marker >= 0xE0 && marker <= 0xEF) return "APP" + std::to_string(marker - 0xE0);
  switch (marker) {
    case 0xC4: return "DHT";
    case 0xDB: return "DQT";
    case 0xDD: return "DRI";
    case 0xFE: return "COM";
    default: break;
  }
  if (marker >= 0xC0 && marker <= 0xCF) return "SOF" + std::to_string(marker - 0xC0);
  char hex[8];
  snprintf(hex, sizeof hex, "0x%02X", marker);
  return hex;
}

// What read_metadata has seen so far of the segments it keeps.
struct Scan {
  MetadataParts parts;
  JpegMetadata meta;
  IccChunks icc;
  bool exif_seen = false;
  bool xmp_seen = false;
  int extended_xmp = 0;  // extended XMP segments dropped
  int extra_xmp = 0;     // standard XMP packets after the first, dropped
};

void read_exif(ByteView payload, Scan& s) {
  // Only the first Exif block counts, as in readers that show the image.
  if (!(s.parts.exif || s.parts.orientation) || s.exif_seen) return;
  s.exif_seen = true;
  std::string why, note;
  const bool valid = read_orientation(payload.subspan(6), &s.meta.orientation, &why, &note);
  if (!note.empty()) s.meta.warnings.push_back(note);
  if (!valid)
    s.meta.warnings.push_back("malformed EXIF block (" + why + "); orientation ignored" +
                              (s.parts.exif ? ", EXIF dropped" : ""));
  if (!valid || !s.parts.exif) return;
  s.meta.exif_valid = true;
  s.meta.exif.assign(payload.begin(), payload.end());
}

void take_segment(uint8_t marker, ByteView payload, Scan& s) {
  if (marker == kApp1 && starts_with_id(payload, kExifId)) {
    read_exif(payload, s);
  } else if (marker == kApp2 && starts_with_id(payload, kIccId) && payload.size() >= kIccHeader) {
    if (s.parts.icc) s.icc.add(payload);
  } else if (!s.parts.xmp_iptc) {
    return;
  } else if (marker == kApp1 && starts_with_id(payload, kXmpExtId)) {
    // Extended XMP (Photoshop's history, often megabytes) would dwarf a thumbnail.
    ++s.extended_xmp;
  } else if (marker == kApp1 && starts_with_id(payload, kXmpId)) {
    if (s.xmp_seen) {
      ++s.extra_xmp;
      return;
    }
    s.xmp_seen = true;
    s.meta.xmp_iptc.push_back({marker, Bytes(payload.begin(), payload.end())});
  } else if (marker == kApp13 && starts_with_id(payload, kIptcId)) {
    s.meta.xmp_iptc.push_back({marker, Bytes(payload.begin(), payload.end())});
  }
}

// Walks the segments from SOI to the first scan, handing each to take_segment.
void scan_segments(ByteView jpeg, Scan& s) {
  const size_t size = jpeg.size();
  size_t pos = 2;
  while (pos < size) {
    if (jpeg[pos] != 0xFF) {
      s.meta.warnings.push_back("stray bytes before a marker at offset " + std::to_string(pos) +
                                "; later metadata ignored");
      return;
    }
    const size_t at = pos;
    while (pos < size && jpeg[pos] == 0xFF) ++pos;  // fill bytes
    if (pos >= size) break;
    const uint8_t marker = jpeg[pos++];
    if (marker == 0xDA || marker == 0xD9) return;  // SOS, EOI: no metadata past here
    if (marker == 0x01 || (marker >= 0xD0 && marker <= 0xD7)) continue;  // no length
    const size_t length = pos + 2 <= size ? size_t{jpeg[pos]} << 8 | jpeg[pos + 1] : 0;
    if (pos + 2 > size || (length >= 2 && pos + length > size)) {
      s.meta.ends_early = "the file ends early, inside the " + marker_name(marker) +
                          " segment at offset " + std::to_string(at);
      return;
    }
    if (length < 2) {
      s.meta.warnings.push_back("malformed segment length at offset " + std::to_string(at) +
                                "; later metadata ignored");
      return;
    }
    take_segment(marker, jpeg.subspan(pos + 2, length - 2), s);
    pos += length;
  }
  s.meta.ends_early = "the file ends early, before its first scan";
}

}  // namespace

JpegMetadata read_metadata(ByteView jpeg, MetadataParts parts) noexcept {
  Scan s;
  s.parts = parts;
  if (jpeg.size() < 2 || jpeg[0] != 0xFF || jpeg[1] != 0xD8) return std::move(s.meta);
  scan_segments(jpeg, s);
  JpegMetadata& meta = s.meta;
  if (!s.icc.empty()) {
    std::string why;
    if (!s.icc.assemble(&meta.icc, &why)) {
      meta.icc.clear();
      meta.warnings.push_back("inconsistent ICC profile chunks (" + why + "); profile dropped");
    }
  }
  if (s.extended_xmp)
    meta.warnings.push_back("extended XMP dropped (" + std::to_string(s.extended_xmp) +
                            " segments); the main XMP packet is kept");
  if (s.extra_xmp)
    meta.warnings.push_back(std::to_string(s.extra_xmp) + " XMP packet(s) after the first dropped");
  return std::move(meta);
}

bool prepare_exif(Bytes& payload, bool reset_orientation,
                  std::vector<std::string>* warnings) noexcept {
  if (payload.size() < 6) return false;
  Tiff t(ByteView(payload.data() + 6, payload.size() - 6));
  Ifd ifd0;
  std::string why;
  if (!t.open() || !read_ifd(t, t.u32(4), &ifd0, &why)) return false;
  for (const IfdEntry& e : ifd0.entries) {
    std::string problem;
    if (e.tag == kTagOrientation && (reset_orientation || !orientation_value(t, e, &problem)))
      write_orientation_one(t, payload.data() + 6 + e.at);
  }
  if (ifd0.next != 0) remove_ifd1(payload, t, ifd0, warnings);
  return true;
}

std::vector<Segment> icc_segments(const Bytes& profile) {
  std::vector<Segment> out;
  const size_t chunks = (profile.size() + kIccChunk - 1) / kIccChunk;
  if (chunks == 0 || chunks > 255) return out;
  for (size_t i = 0; i < chunks; ++i) {
    const size_t from = i * kIccChunk;
    const size_t n = std::min(kIccChunk, profile.size() - from);
    Segment s{kApp2, Bytes(kIccHeader + n)};
    std::memcpy(s.payload.data(), kIccId, sizeof kIccId);
    s.payload[12] = static_cast<uint8_t>(i + 1);
    s.payload[13] = static_cast<uint8_t>(chunks);
    std::memcpy(s.payload.data() + kIccHeader, profile.data() + from, n);
    out.push_back(std::move(s));
  }
  return out;
}

Result<Blob> insert_segments(ByteView jpeg, const std::vector<Segment>& segments) noexcept {
  if (jpeg.size() < 2 || jpeg[0] != 0xFF || jpeg[1] != 0xD8)
    return Error{Fault::kArgument, "not a JPEG stream to add metadata to"};
  // After SOI, and after a JFIF APP0 when the encoder wrote one.
  size_t at = 2;
  if (jpeg.size() >= 6 && jpeg[2] == 0xFF && jpeg[3] == 0xE0) {
    const size_t length = size_t{jpeg[4]} << 8 | jpeg[5];
    if (at + 2 + length <= jpeg.size()) at += 2 + length;
  }
  uint64_t total = jpeg.size();
  for (const Segment& s : segments) {
    if (s.payload.size() > kMaxPayload)
      return Error{Fault::kTooLarge, "a metadata segment is too large for JPEG"};
    total += 4 + s.payload.size();
  }
  if (total > INT_MAX) return Error{Fault::kTooLarge, "the JPEG with its metadata is too large"};
  Blob out{TjBuffer(tjAlloc(static_cast<int>(total))), static_cast<size_t>(total)};
  if (!out.data) return Error{Fault::kAlloc, "out of memory for the JPEG with its metadata"};
  uint8_t* p = out.data.get();
  std::memcpy(p, jpeg.data(), at);
  p += at;
  for (const Segment& s : segments) {
    const size_t length = s.payload.size() + 2;
    *p++ = 0xFF;
    *p++ = s.marker;
    *p++ = static_cast<uint8_t>(length >> 8);
    *p++ = static_cast<uint8_t>(length);
    if (!s.payload.empty()) std::memcpy(p, s.payload.data(), s.payload.size());
    p += s.payload.size();
  }
  std::memcpy(p, jpeg.data() + at, jpeg.size() - at);
  return out;
}

}  // namespace qarvel
