// H.264 read without a decoder (see h264.h).
#include "movie/builtin/h264.h"

#include <array>
#include <vector>

namespace {

// NAL unit headers: whether other pictures refer to the unit (nal_ref_idc)
// and its type; the types that may come with a picture nothing refers to
// without mattering to the pictures shown.
constexpr uint8_t kNalForbidden = 0x80;
constexpr uint8_t kNalRefIdc = 0x60;
constexpr uint8_t kNalType = 0x1F;
constexpr uint8_t kNalSlice = 1;  // a slice of a picture other than an IDR
constexpr uint8_t kNalSei = 6;
constexpr uint8_t kNalSps = 7;
constexpr uint8_t kNalDelimiter = 9;
constexpr uint8_t kNalFiller = 12;

constexpr size_t kAvccVersion = 0;       // 1
constexpr size_t kAvccLengthField = 4;   // low 2 bits: the length size - 1
constexpr size_t kAvccSpsCount = 5;      // low 5 bits
constexpr size_t kAvccFirstSps = 6;      // 16-bit length, then the unit

// Whether a NAL unit with this header may be in a packet left out before
// the decoder; counts the slices among them.
bool droppable_nal(uint8_t header, int& slices) {
  if (header & kNalForbidden) return false;
  const uint8_t type = header & kNalType;
  if (type == kNalSlice) {
    ++slices;
    return !(header & kNalRefIdc);
  }
  return type == kNalSei || type == kNalDelimiter || type == kNalFiller;
}

// Reads the bits of a unit's payload, the emulation prevention bytes
// (00 00 03) taken out. Past the end every read fails.
class BitReader {
 public:
  explicit BitReader(std::span<const uint8_t> unit) {
    int zeros = 0;
    for (uint8_t b : unit) {
      if (zeros >= 2 && b == 3) {
        zeros = 0;
        continue;
      }
      zeros = b == 0 ? zeros + 1 : 0;
      bytes_.push_back(b);
    }
  }
  bool ok() const { return ok_; }
  uint32_t bits(int n) {
    uint32_t v = 0;
    for (int i = 0; i < n; ++i) {
      if (at_ >= bytes_.size() * 8) {
        ok_ = false;
        return 0;
      }
      v = v << 1 | ((bytes_[at_ / 8] >> (7 - at_ % 8)) & 1);
      ++at_;
    }
    return v;
  }
  bool flag() { return bits(1) != 0; }
  // Exp-Golomb codes, unsigned and signed.
  uint32_t ue() {
    int zeros = 0;
    while (ok_ && !flag()) {
      if (++zeros > 31) ok_ = false;
    }
    if (!ok_) return 0;
    return (uint32_t{1} << zeros) - 1 + bits(zeros);
  }
  int32_t se() {
    const uint32_t k = ue();
    return k & 1 ? static_cast<int32_t>((k + 1) / 2) : -static_cast<int32_t>(k / 2);
  }

 private:
  std::vector<uint8_t> bytes_;
  size_t at_ = 0;
  bool ok_ = true;
};

// The profiles whose parameter sets carry chroma format, bit depths and
// scaling matrices.
constexpr std::array<uint32_t, 13> kHighProfiles = {100, 110, 122, 244, 44, 83, 86, 118, 128, 138, 139, 134, 135};

void skip_scaling_list(BitReader& r, int size) {
  int last = 8, next = 8;
  for (int j = 0; j < size && r.ok(); ++j) {
    if (next != 0) next = (last + r.se() + 256) % 256;
    last = next == 0 ? last : next;
  }
}

// The pixel shapes aspect_ratio_idc 1 to 16 stands for; 255 gives its own.
constexpr std::array<std::array<uint32_t, 2>, 17> kSarTable = {{{0, 0},
                                                               {1, 1},
                                                               {12, 11},
                                                               {10, 11},
                                                               {16, 11},
                                                               {40, 33},
                                                               {24, 11},
                                                               {20, 11},
                                                               {32, 11},
                                                               {80, 33},
                                                               {18, 11},
                                                               {15, 11},
                                                               {64, 33},
                                                               {160, 99},
                                                               {4, 3},
                                                               {3, 2},
                                                               {2, 1}}};
constexpr uint32_t kExtendedSar = 255;

// Walks a sequence parameter set (after its header byte) to its video
// usability information.
bool read_sps(BitReader& r, H264Signal& s) {
  const uint32_t profile = r.bits(8);
  r.bits(16);  // constraint flags, level
  r.ue();      // seq_parameter_set_id
  for (uint32_t p : kHighProfiles) {
    if (p != profile) continue;
    const uint32_t chroma_format = r.ue();
    if (chroma_format == 3) r.flag();  // separate_colour_plane_flag
    r.ue();                            // bit depths
    r.ue();
    r.flag();  // qpprime_y_zero_transform_bypass_flag
    if (r.flag()) {
      const int lists = chroma_format != 3 ? 8 : 12;
      for (int i = 0; i < lists && r.ok(); ++i)
        if (r.flag()) skip_scaling_list(r, i < 6 ? 16 : 64);
    }
  }
  r.ue();  // log2_max_frame_num_minus4
  const uint32_t poc_type = r.ue();
  if (poc_type == 0) {
    r.ue();
  } else if (poc_type == 1) {
    r.flag();
    r.se();
    r.se();
    const uint32_t cycle = r.ue();
    for (uint32_t i = 0; i < cycle && r.ok(); ++i) r.se();
  }
  r.ue();    // max_num_ref_frames
  r.flag();  // gaps_in_frame_num_value_allowed_flag
  r.ue();    // picture size in macroblocks
  r.ue();
  if (!r.flag()) r.flag();  // frame_mbs_only_flag, mb_adaptive_frame_field_flag
  r.flag();                 // direct_8x8_inference_flag
  if (r.flag())
    for (int i = 0; i < 4; ++i) r.ue();  // cropping
  if (!r.ok()) return false;
  if (!r.flag()) return true;  // no usability information: all unspecified
  if (r.flag()) {
    const uint32_t idc = r.bits(8);
    if (idc == kExtendedSar) {
      s.sar_num = r.bits(16);
      s.sar_den = r.bits(16);
    } else if (idc < kSarTable.size()) {
      s.sar_num = kSarTable[idc][0];
      s.sar_den = kSarTable[idc][1];
    }
  }
  if (r.flag()) r.flag();  // overscan
  if (r.flag()) {
    r.bits(3);  // video_format
    s.full_range = r.flag();
    if (r.flag()) {
      r.bits(16);  // colour primaries, transfer characteristics
      s.matrix = static_cast<int>(r.bits(8));
    }
  }
  return r.ok();
}

}  // namespace

bool unreferenced_h264(std::span<const uint8_t> packet, int length_size) {
  const uint8_t* data = packet.data();
  const size_t size = packet.size();
  int slices = 0;
  if (length_size > 0) {
    size_t at = 0;
    while (at < size) {
      if (size - at < size_t(length_size)) return false;
      uint32_t length = 0;
      for (int i = 0; i < length_size; ++i) length = length << 8 | data[at + i];
      at += length_size;
      if (length == 0 || length > size - at || !droppable_nal(data[at], slices)) return false;
      at += length;
    }
    return slices > 0;
  }
  // Start codes: 00 00 01 before each unit (a fourth 00 before them is the
  // previous unit's trailing zero, harmless here).
  bool any = false;
  for (size_t i = 0; i + 3 < size; ++i) {
    if (data[i] == 0 && data[i + 1] == 0 && data[i + 2] == 1) {
      if (!droppable_nal(data[i + 3], slices)) return false;
      any = true;
      i += 2;
    }
  }
  return any && slices > 0;
}

int avcc_length_size(std::span<const uint8_t> avcc) {
  if (avcc.size() <= kAvccLengthField || avcc[kAvccVersion] != 1) return 0;
  return (avcc[kAvccLengthField] & 3) + 1;
}

bool read_h264_signal(std::span<const uint8_t> avcc, H264Signal& signal) {
  signal = H264Signal{};
  if (avcc.size() < kAvccFirstSps + 2 || avcc[kAvccVersion] != 1 || (avcc[kAvccSpsCount] & 0x1F) == 0) return false;
  const size_t length = size_t{avcc[kAvccFirstSps]} << 8 | avcc[kAvccFirstSps + 1];
  if (length < 2 || length > avcc.size() - kAvccFirstSps - 2) return false;
  const std::span<const uint8_t> unit = avcc.subspan(kAvccFirstSps + 2, length);
  if ((unit[0] & kNalType) != kNalSps) return false;
  BitReader r(unit.subspan(1));
  H264Signal s;
  if (!read_sps(r, s)) return false;
  signal = s;
  return true;
}
