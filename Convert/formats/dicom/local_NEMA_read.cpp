#include "Convert/formats/dicom/local_NEMA_read.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <new>
#include <span>

#include "Convert/conv_order.h"
#include "Convert/byte_source.h"
#include "Convert/conv_report.h"
#include "Convert/kema_image.h"

uint16_t NEMA_Get_Short(uint8_t mode, const void* bytes) { return Order_Get_U16(mode & 0x01, bytes); }

int32_t NEMA_Get_Long(uint8_t mode, const void* bytes) { return Order_Get_I32(mode & 0x01, bytes); }

float NEMA_Get_VAX_Float(uint8_t mode, const void* bytes) { return Order_Get_VAX32(mode & 0x01, bytes); }

double NEMA_Get_VAX_Double(uint8_t mode, const void* bytes) {
  const auto* b = static_cast<const uint8_t*>(bytes);
  uint8_t vax[8];
  for (int i = 0; i < 8; ++i) vax[i] = (mode & 0x01) ? b[7 - i] : b[i];
  return Order_VAX_G_To_Double(vax);
}

float NEMA_Get_Float(uint8_t mode, const void* bytes) { return Order_Get_F32(mode & 0x01, bytes); }

double NEMA_Get_Double(uint8_t mode, const void* bytes) { return Order_Get_F64(mode & 0x01, bytes); }

namespace {

uint64_t Bytes_Left(const ByteCursor& cur) {
  const uint64_t size = cur.source->size();
  return cur.pos < size ? size - cur.pos : 0;
}

bool Has(const ByteCursor& cur, uint64_t n) { return cur.source->Contains(cur.pos, n); }

int Fetch(const ReadContext& ctx, ByteCursor& cur, void* dst, size_t n, int line) {
  if (!Source_Read(ctx, *cur.source, cur.pos, dst, n, KEMA_SRC, line)) return 0;
  cur.pos += n;
  return 1;
}

int Fetch(const ReadContext& ctx, NemaCursor& cur, void* dst, size_t n, int line) {
  return cur.Fetch(ctx, dst, n, KEMA_SRC, line);
}

template <typename Cursor>
int Read_Bytes(const ReadContext& ctx, Cursor& cur, size_t n, void* dst) {
  return Fetch(ctx, cur, dst, n, __LINE__);
}

template <typename Cursor>
int Read_Short(const ReadContext& ctx, Cursor& cur, uint8_t mode, uint16_t& value) {
  uint8_t b[2];
  if (!Fetch(ctx, cur, b, sizeof b, __LINE__)) return 0;
  value = NEMA_Get_Short(mode, b);
  return 1;
}

template <typename Cursor>
int Read_Long(const ReadContext& ctx, Cursor& cur, uint8_t mode, int32_t& value) {
  uint8_t b[4];
  if (!Fetch(ctx, cur, b, sizeof b, __LINE__)) return 0;
  value = NEMA_Get_Long(mode, b);
  return 1;
}

template <typename Cursor>
std::optional<std::string> Read_String(const ReadContext& ctx, Cursor& cur, size_t n) {
  if (!Has(cur, n)) {
    Report_Short_Read(ctx, KEMA_SRC, __LINE__, static_cast<long long>(Bytes_Left(cur)), static_cast<long long>(n),
                      cur.source->name().c_str());
    return std::nullopt;
  }
  std::string text;
  try {
    text.resize(n);
  } catch (const std::bad_alloc&) {
    Report_Memory(ctx, KEMA_SRC, __LINE__, "malloc", "buf", static_cast<long long>(n) + 1, 1);
    return std::nullopt;
  }
  if (!Fetch(ctx, cur, text.data(), n, __LINE__)) return std::nullopt;
  return text;
}

template <typename Cursor>
int Print_Value(const ReadContext& ctx, uint8_t mode, uint16_t group, uint16_t element, Cursor& cur, size_t n) {
  const int level = ctx.Text_Level();
  if (!Log_Admitted(level) && Has(cur, n)) return NEMA_Skip(ctx, cur, n);  // nothing to list
  const auto value = Read_String(ctx, cur, n);
  if (!value) return 0;
  if (!Log_Admitted(level)) return 1;
  const auto len = static_cast<long long>(n);

  const char* text = value->c_str();
  bool printable = true;
  for (const char* p = text; *p; ++p)
    if (static_cast<unsigned char>(*p) < 0x20 || static_cast<unsigned char>(*p) > 0x7E) {
      printable = false;
      break;
    }

  if (printable) {
    Log_Print(ctx, level, "\x02(%04x,%04x) \x01unknown private tag (%-2lld bytes)       (%.40s)", group, element, len,
              text);
  } else if (n == 4) {
    const float f = NEMA_Get_VAX_Float(mode, text);
    if (f > -100000.0f && f < 100000.0f) {
      Log_Print(ctx, level, "\x02(%04x,%04x) \x01unknown private tag (%-2lld bytes)       (%-.6f)", group, element,
                len, static_cast<double>(f));
    } else {
      const int32_t v = NEMA_Get_Long(mode, text);
      if (v >= -99999 && v <= 99999)
        Log_Print(ctx, level, "\x02(%04x,%04x) \x01unknown private tag (%-2lld bytes)       (%-d)", group, element,
                  len, v);
    }
  } else if (n == 2) {
    Log_Print(ctx, level, "\x02(%04x,%04x) \x01unknown private tag (%-2lld bytes)       (%-d)", group, element, len,
              NEMA_Get_Short(mode, text));
  } else {
    Log_Print(ctx, level, "\x02(%04x,%04x) \x01skip (%-2lld bytes)", group, element, len);
  }
  return 1;
}

}  // namespace

int NEMA_Read_Bytes(const ReadContext& ctx, ByteCursor& cur, size_t n, void* dst) { return Read_Bytes(ctx, cur, n, dst); }
int NEMA_Read_Bytes(const ReadContext& ctx, NemaCursor& cur, size_t n, void* dst) { return Read_Bytes(ctx, cur, n, dst); }

int NEMA_Read_Short(const ReadContext& ctx, ByteCursor& cur, uint8_t mode, uint16_t& value) {
  return Read_Short(ctx, cur, mode, value);
}
int NEMA_Read_Short(const ReadContext& ctx, NemaCursor& cur, uint8_t mode, uint16_t& value) {
  return Read_Short(ctx, cur, mode, value);
}

int NEMA_Read_Long(const ReadContext& ctx, ByteCursor& cur, uint8_t mode, int32_t& value) {
  return Read_Long(ctx, cur, mode, value);
}
int NEMA_Read_Long(const ReadContext& ctx, NemaCursor& cur, uint8_t mode, int32_t& value) {
  return Read_Long(ctx, cur, mode, value);
}

std::optional<std::vector<uint8_t>> NEMA_Read_Buffer(const ReadContext& ctx, ByteCursor& cur, size_t n) {
  if (!Has(cur, n)) {
    Report_Short_Read(ctx, KEMA_SRC, __LINE__, static_cast<long long>(Bytes_Left(cur)), static_cast<long long>(n),
                      cur.source->name().c_str());
    return std::nullopt;
  }
  std::vector<uint8_t> buf;
  try {
    buf.resize(n);
  } catch (const std::bad_alloc&) {
    Report_Memory(ctx, KEMA_SRC, __LINE__, "malloc", "buf", static_cast<long long>(n), 1);
    return std::nullopt;
  }
  if (!KEMA_READ(ctx, *cur.source, cur.pos, buf.data(), n)) return std::nullopt;
  cur.pos += n;
  return buf;
}

std::optional<std::string> NEMA_Read_String(const ReadContext& ctx, ByteCursor& cur, size_t n) { return Read_String(ctx, cur, n); }
std::optional<std::string> NEMA_Read_String(const ReadContext& ctx, NemaCursor& cur, size_t n) { return Read_String(ctx, cur, n); }

int NEMA_Skip(const ReadContext& ctx, ByteCursor& cur, size_t n) {
  // A target no file offset can hold is the seek failure a file would give.
  if (n > static_cast<uint64_t>(INT64_MAX) || cur.pos > static_cast<uint64_t>(INT64_MAX) - n) {
    errno = EOVERFLOW;
    Report_Seek(ctx, KEMA_SRC, __LINE__, static_cast<long long>(cur.pos + n), cur.source->name().c_str());
    return 0;
  }
  cur.pos += n;
  return 1;
}

int NEMA_Print_Value(const ReadContext& ctx, uint8_t mode, uint16_t group, uint16_t element, ByteCursor& cur, size_t n) {
  return Print_Value(ctx, mode, group, element, cur, n);
}
int NEMA_Print_Value(const ReadContext& ctx, uint8_t mode, uint16_t group, uint16_t element, NemaCursor& cur, size_t n) {
  return Print_Value(ctx, mode, group, element, cur, n);
}

int NemaCursor::Fetch(const ReadContext& ctx, void* dst, size_t n, const char* src, int line) {
  if (n == 0) return 1;
  const std::span<const uint8_t> block = source->memory();
  if (!block.empty() || source->is_memory()) {
    if (!source->Contains(pos, n)) return Source_Read(ctx, *source, pos, dst, n, src, line);
    std::memcpy(dst, block.data() + pos, n);
    pos += n;
    return 1;
  }
  if (pos >= window_pos_ && pos - window_pos_ <= window_len_ && n <= window_len_ - (pos - window_pos_)) {
    std::memcpy(dst, window_.get() + (pos - window_pos_), n);
    pos += n;
    return 1;
  }
  if (n > kWindow / 2) {
    if (!Source_Read(ctx, *source, pos, dst, n, src, line)) return 0;
    pos += n;
    return 1;
  }
  if (!window_) {
    try {
      window_ = std::make_unique_for_overwrite<uint8_t[]>(kWindow);
    } catch (const std::bad_alloc&) {
      window_len_ = 0;
      if (!Source_Read(ctx, *source, pos, dst, n, src, line)) return 0;
      pos += n;
      return 1;
    }
  }
  window_len_ = 0;
  // A header is read first: most fit in the first 4 KiB.
  const size_t want = std::max(n, refilled_ ? kWindow : size_t{4096});
  refilled_ = true;
  const ptrdiff_t got = source->Read_At(pos, window_.get(), want);
  if (got < 0) {
    Report_Read(ctx, src, line, source->name().c_str());
    return 0;
  }
  window_pos_ = pos;
  window_len_ = static_cast<size_t>(got);
  if (window_len_ < n) {
    Report_Short_Read(ctx, src, line, static_cast<long long>(window_len_), static_cast<long long>(n),
                      source->name().c_str());
    return 0;
  }
  std::memcpy(dst, window_.get(), n);
  pos += n;
  return 1;
}
