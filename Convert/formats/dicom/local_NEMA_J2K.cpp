// JPEG 2000 and High-Throughput JPEG 2000 frames through OpenJPEG: a bare
// codestream or a JP2 file, read from memory. The inverse component
// transform (YBR_RCT, YBR_ICT) is OpenJPEG's: colour frames come out RGB.
#include <openjpeg.h>

#include <algorithm>
#include <cstring>
#include <memory>

#include "Convert/conv_budget.h"
#include "Convert/formats/dicom/local_NEMA_codec.h"

namespace {

struct Memory {
  const uint8_t* data;
  size_t size;
  size_t pos;
};

OPJ_SIZE_T Read(void* buffer, OPJ_SIZE_T n, void* user) {
  auto* m = static_cast<Memory*>(user);
  if (m->pos >= m->size) return static_cast<OPJ_SIZE_T>(-1);
  const size_t k = std::min(n, m->size - m->pos);
  std::memcpy(buffer, m->data + m->pos, k);
  m->pos += k;
  return k;
}

OPJ_OFF_T Skip(OPJ_OFF_T n, void* user) {
  auto* m = static_cast<Memory*>(user);
  if (n < 0) {
    const auto back = static_cast<size_t>(-n);
    if (back > m->pos) return -1;
    m->pos -= back;
    return n;
  }
  m->pos = std::min(m->size, m->pos + static_cast<size_t>(n));
  return n;
}

OPJ_BOOL Seek(OPJ_OFF_T at, void* user) {
  auto* m = static_cast<Memory*>(user);
  if (at < 0 || static_cast<uint64_t>(at) > m->size) return OPJ_FALSE;
  m->pos = static_cast<size_t>(at);
  return OPJ_TRUE;
}

// OpenJPEG's messages become trace lines of the read.
void Error_Message(const char* msg, void* user) {
  Log_Print(*static_cast<const ReadContext*>(user), 6, "--> JPEG 2000: %.*s", static_cast<int>(std::strcspn(msg, "\n")),
            msg);
}
void Quiet(const char*, void*) {}

struct Session {
  Memory memory;
  opj_stream_t* stream = nullptr;
  opj_codec_t* codec = nullptr;
  opj_image_t* image = nullptr;
  ~Session() {
    if (image) opj_image_destroy(image);
    if (codec) opj_destroy_codec(codec);
    if (stream) opj_stream_destroy(stream);
  }
};

// A codec over `in` with its main header read into s.image.
bool Open(const ReadContext& ctx, std::span<const uint8_t> in, Session& s, unsigned threads) {
  static constexpr uint8_t kJp2[] = {0, 0, 0, 0x0C, 'j', 'P', ' ', ' '};
  const bool jp2 = in.size() >= 8 && std::memcmp(in.data(), kJp2, 8) == 0;
  s.memory = {in.data(), in.size(), 0};
  s.stream = opj_stream_create(64 * 1024, OPJ_TRUE);
  s.codec = opj_create_decompress(jp2 ? OPJ_CODEC_JP2 : OPJ_CODEC_J2K);
  if (!s.stream || !s.codec) return false;
  opj_stream_set_user_data(s.stream, &s.memory, nullptr);
  opj_stream_set_user_data_length(s.stream, in.size());
  opj_stream_set_read_function(s.stream, Read);
  opj_stream_set_skip_function(s.stream, Skip);
  opj_stream_set_seek_function(s.stream, Seek);
  auto* user = const_cast<ReadContext*>(&ctx);
  opj_set_error_handler(s.codec, Error_Message, user);
  opj_set_warning_handler(s.codec, Quiet, nullptr);
  opj_set_info_handler(s.codec, Quiet, nullptr);
  opj_dparameters_t params;
  opj_set_default_decoder_parameters(&params);
  if (!opj_setup_decoder(s.codec, &params)) return false;
  if (threads > 1) opj_codec_set_threads(s.codec, static_cast<int>(threads));
  return opj_read_header(s.stream, s.codec, &s.image) && s.image && s.image->numcomps >= 1;
}

bool Info(const ReadContext& ctx, std::span<const uint8_t> in, NemaFrameInfo& info) {
  Session s;
  if (!Open(ctx, in, s, 1)) return false;
  const opj_image_t& im = *s.image;
  info.width = static_cast<int>(im.x1 - im.x0);
  info.height = static_cast<int>(im.y1 - im.y0);
  info.components = static_cast<int>(im.numcomps);
  info.precision = static_cast<int>(im.comps[0].prec);
  info.is_signed = im.comps[0].sgnd != 0;
  for (OPJ_UINT32 c = 1; c < im.numcomps; ++c)
    if (im.comps[c].prec != im.comps[0].prec || im.comps[c].dx != 1 || im.comps[c].dy != 1) {
      Log_Print(ctx, 6, "--> JPEG 2000 components of differing precision or subsampled: not read");
      return false;
    }
  return true;
}

bool Decode(const ReadContext& ctx, std::span<const uint8_t> in, std::span<uint8_t> out, const NemaFrameInfo& info,
            unsigned bytes, unsigned threads) {
  // OpenJPEG holds a 32-bit integer per sample while it decodes: that too
  // is pixel memory.
  const uint64_t work = uint64_t(info.width) * info.height * info.components * 4;
  if (!Image_Budget_Check(ctx, work, "JPEG 2000 frame")) return false;
  Session s;
  if (!Open(ctx, in, s, threads)) return false;
  if (!opj_decode(s.codec, s.stream, s.image) || !opj_end_decompress(s.codec, s.stream)) return false;
  const opj_image_t& im = *s.image;
  const size_t n = im.numcomps, w = static_cast<size_t>(info.width), h = static_cast<size_t>(info.height);
  if (n != static_cast<size_t>(info.components) || out.size() != w * h * n * bytes) return false;
  for (size_t c = 0; c < n; ++c)
    if (!im.comps[c].data || im.comps[c].w != w || im.comps[c].h != h) {
      Log_Print(ctx, 6, "--> JPEG 2000 component %d was not decoded whole", static_cast<int>(c));
      return false;
    }
  for (size_t c = 0; c < n; ++c) {
    const OPJ_INT32* src = im.comps[c].data;
    if (bytes == 1) {
      for (size_t i = 0; i < w * h; ++i) out[i * n + c] = static_cast<uint8_t>(src[i]);
    } else {
      for (size_t i = 0; i < w * h; ++i) {
        const auto v = static_cast<uint16_t>(src[i]);
        std::memcpy(out.data() + (i * n + c) * 2, &v, 2);
      }
    }
  }
  return true;
}

}  // namespace

const NemaFrameCodec kNemaJpeg2000 = {"JPEG 2000", true, Info, Decode};
