// GE Genesis (Signa 5) image files, and the Signa 4 header blocks found in
// Genesis database images.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "Convert/conv_header_text.h"
#include "Convert/kema_image.h"
#include "Convert/conv_read_context.h"
#include "log/log.h"

struct ImageHeader;

int GE_SIGNA_5_Read_Header(const ReadContext& ctx, ImageHeader& ima);
int GE_SIGNA_5_Read_Image(const ReadContext& ctx, ImageHeader& ima);

// Block decoders: each lists its block as header text, then fills `ima`.
// A block shorter than its layout reads as zeros past its end. 1.
int GE_SIGNA_5_Header_Suite(const ReadContext& ctx, std::span<const uint8_t> block, ImageHeader& ima);
int GE_SIGNA_5_Header_Exam(const ReadContext& ctx, std::span<const uint8_t> block, ImageHeader& ima);
int GE_SIGNA_5_Header_Serie(const ReadContext& ctx, std::span<const uint8_t> block, ImageHeader& ima);
int GE_SIGNA_5_Header_Image(const ReadContext& ctx, std::span<const uint8_t> block, ImageHeader& ima);
int GE_SIGNA_4_Header_Suite(const ReadContext& ctx, std::span<const uint8_t> block, ImageHeader& ima);
int GE_SIGNA_4_Header_Exam(const ReadContext& ctx, std::span<const uint8_t> block, ImageHeader& ima);
int GE_SIGNA_4_Header_Serie(const ReadContext& ctx, std::span<const uint8_t> block, ImageHeader& ima);
int GE_SIGNA_4_Header_Image(const ReadContext& ctx, std::span<const uint8_t> block, ImageHeader& ima);

// Pixel decoders of the four codings (1 rectangular, 2 packed, 3 compressed,
// 4 compressed and packed). Each puts dim_x * dim_y 16-bit samples in the
// machine's order into `data`; 1, or 0 after logging why.
int GE_SIGNA_5_Read_Image_Rect(const ReadContext& ctx, ImageHeader& ima);
int GE_SIGNA_5_Read_Image_Packed(const ReadContext& ctx, ImageHeader& ima);
int GE_SIGNA_5_Read_Image_Compress(const ReadContext& ctx, ImageHeader& ima);
int GE_SIGNA_5_Read_Image_Compack(const ReadContext& ctx, ImageHeader& ima);

// Decodes up to `count` samples of the compressed coding from [p, end) into
// `out`, carrying the running value `v`; never reads at or past `end`.
// Advances `p` and returns the number of samples written.
size_t GE_SIGNA_5_Decode(const uint8_t*& p, const uint8_t* end, uint16_t* out, size_t count, uint32_t& v);

// The compression record of packed and compressed images (g2.storage).
struct GenesisStorage final : FormatStorage {
  uint32_t reserved[3] = {0, 0, 0};
  int32_t fill = 0;               // the background shade, as g2.pix_fill
  std::vector<uint8_t> unpack;    // line map: per row, big-endian 16-bit leading fill L and stored count N
  std::vector<uint8_t> compress;  // compression table, kept as read
  int Copy_To(LogHandle log, ImageHeader& target) const override;
};

// Gives `target` its own copy of the source's compression record; 1 at once
// when there is none, 0 after a logged memory failure.
int GE_SIGNA_5_Copy_Header(LogHandle log, ImageHeader& target, const ImageHeader& source);

// Code tables shared with the GE CT 9800 and Sytec readers; their missing
// codes print "Unknow".
extern const TextCodes kGE_Plane_Type;
extern const TextCodes kGE_Scan_Mode;
extern const TextCodes kGE_Sfov_Type;
extern const TextCodes kGE_Recon_Algo;
