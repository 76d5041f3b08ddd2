// JPEG metadata: the segment scan before the first scan, the EXIF (TIFF)
// structure behind the Orientation tag, ICC profile chunks, and writing
// segments into an encoded JPEG.
#include "photo/metadata.h"

#include <algorithm>
#include <climits>
#include <cstring>
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

// The orientation in IFD0, 1 when the tag is absent or out of range.
// Returns false with a reason when the block cannot be read.
bool read_orientation(ByteView tiff_bytes, int* orientation, std::string* why) {
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
  if (e->type != 3 || e->count != 1) {
    *why = "the Orientation tag is not one SHORT";
    return false;
  }
  const uint32_t v = t.u16(e->at + 8);
  if (v >= 1 && v <= 8) *orientation = static_cast<int>(v);
  return true;
}

// Extends *end to cover every out-of-line value of `ifd` and its table.
// False for a type of unknown size or a value past the block.
bool cover_ifd(const Tiff& t, const Ifd& ifd, uint64_t* end) {
  *end = std::max<uint64_t>(*end, ifd.end);
  for (const IfdEntry& e : ifd.entries) {
    const uint64_t unit = type_size(e.type);
    if (unit == 0) return false;
    const uint64_t bytes = unit * e.count;
    if (bytes <= 4) continue;
    if (!t.has(e.value, bytes)) return false;
    *end = std::max<uint64_t>(*end, e.value + bytes);
  }
  return true;
}

// Where IFD0 and everything it leads to (EXIF, GPS, interoperability IFDs)
// end; false when some part cannot be measured.
bool kept_extent(const Tiff& t, const Ifd& ifd0, uint64_t* end) {
  *end = 8;
  if (!cover_ifd(t, ifd0, end)) return false;
  std::vector<uint32_t> pending;
  for (uint16_t tag : {kTagExifIfd, kTagGpsIfd})
    if (const IfdEntry* e = find_tag(ifd0, tag)) pending.push_back(e->value);
  // At most the EXIF, GPS and one interoperability IFD: no cycles to follow.
  for (size_t i = 0; i < pending.size() && i < 3; ++i) {
    Ifd sub;
    std::string why;
    if (!read_ifd(t, pending[i], &sub, &why) || !cover_ifd(t, sub, end)) return false;
    if (const IfdEntry* e = find_tag(sub, kTagInteropIfd); e && pending.size() < 3)
      pending.push_back(e->value);
  }
  return true;
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

}  // namespace

JpegMetadata read_metadata(ByteView jpeg, MetadataParts parts) noexcept {
  JpegMetadata meta;
  IccChunks icc;
  bool exif_seen = false;
  const size_t size = jpeg.size();
  if (size < 4 || jpeg[0] != 0xFF || jpeg[1] != 0xD8) return meta;
  size_t pos = 2;
  while (pos < size) {
    if (jpeg[pos] != 0xFF) {
      meta.warnings.push_back("stray bytes before a marker at offset " + std::to_string(pos) +
                              "; later metadata ignored");
      break;
    }
    while (pos < size && jpeg[pos] == 0xFF) ++pos;  // fill bytes
    if (pos >= size) break;
    const uint8_t marker = jpeg[pos++];
    if (marker == 0xDA || marker == 0xD9) break;  // SOS, EOI: no metadata past here
    if (marker == 0x01 || (marker >= 0xD0 && marker <= 0xD7)) continue;  // no length
    const size_t length = pos + 2 <= size ? size_t{jpeg[pos]} << 8 | jpeg[pos + 1] : 0;
    if (length < 2 || pos + length > size) {
      meta.warnings.push_back("malformed segment length at offset " + std::to_string(pos - 2) +
                              "; later metadata ignored");
      break;
    }
    const ByteView payload = jpeg.subspan(pos + 2, length - 2);
    pos += length;
    if (marker == kApp1 && starts_with_id(payload, kExifId)) {
      // Only the first Exif block counts, as in readers that show the image.
      if (!parts.exif || exif_seen) continue;
      exif_seen = true;
      std::string why;
      meta.exif_valid = read_orientation(payload.subspan(6), &meta.orientation, &why);
      if (meta.exif_valid)
        meta.exif.assign(payload.begin(), payload.end());
      else
        meta.warnings.push_back("malformed EXIF block (" + why + "); orientation ignored");
    } else if (marker == kApp2 && starts_with_id(payload, kIccId) &&
               payload.size() >= kIccHeader) {
      if (parts.icc) icc.add(payload);
    } else if (((marker == kApp1 && (starts_with_id(payload, kXmpId) ||
                                     starts_with_id(payload, kXmpExtId))) ||
                (marker == kApp13 && starts_with_id(payload, kIptcId))) &&
               parts.xmp_iptc) {
      meta.xmp_iptc.push_back({marker, Bytes(payload.begin(), payload.end())});
    }
  }
  if (!icc.empty()) {
    std::string why;
    if (!icc.assemble(&meta.icc, &why)) {
      meta.icc.clear();
      meta.warnings.push_back("inconsistent ICC profile chunks (" + why + "); profile dropped");
    }
  }
  return meta;
}

bool prepare_exif(Bytes& payload, bool reset_orientation) noexcept {
  if (payload.size() < 6) return false;
  const ByteView tiff_bytes(payload.data() + 6, payload.size() - 6);
  Tiff t(tiff_bytes);
  Ifd ifd0;
  std::string why;
  if (!t.open() || !read_ifd(t, t.u32(4), &ifd0, &why)) return false;
  uint8_t* tiff = payload.data() + 6;
  if (reset_orientation)
    if (const IfdEntry* e = find_tag(ifd0, kTagOrientation); e && e->type == 3)
      t.put16(tiff + e->at + 8, 1);
  if (ifd0.next == 0) return true;

  // Unlink IFD1; a viewer then finds no thumbnail, stale after the resize.
  const size_t link = ifd0.end - 4;
  std::memset(tiff + link, 0, 4);
  Ifd ifd1;
  if (!read_ifd(t, ifd0.next, &ifd1, &why)) return true;  // nothing readable to remove
  uint64_t first = ifd1.at;
  const IfdEntry* offset = find_tag(ifd1, 0x0201);
  const IfdEntry* length = find_tag(ifd1, 0x0202);
  const bool has_thumb = offset && length && t.has(offset->value, length->value);
  if (has_thumb) first = std::min<uint64_t>(first, offset->value);
  uint64_t kept = 0;
  if (kept_extent(t, ifd0, &kept) && kept <= first) {
    payload.resize(6 + first);
    return true;
  }
  // Something IFD0 still uses lies past them: blank IFD1 and the thumbnail in place.
  std::memset(tiff + ifd1.at, 0, ifd1.end - ifd1.at);
  if (has_thumb) std::memset(tiff + offset->value, 0, length->value);
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
