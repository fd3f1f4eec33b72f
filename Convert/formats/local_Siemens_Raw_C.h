// Siemens SOMATOM Plus CT files: a 4096-byte little-endian header (a data
// block at 0x200 and a text block at 0xC00, reals in VAX F) and plain
// 16-bit samples after it.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "Convert/conv_read_context.h"
#include "Convert/kema_image.h"

inline constexpr uint32_t kSomatomPlusHeaderSize = 4096;

int Siemens_SomatomPlus_Read_Header(const ReadContext& ctx, ImageHeader& ima);
// Decodes a whole 4096-byte header into `ima` and lists it (also for the
// header a Siemens SPI file carries); 1, or 0 after a logged failure.
int Siemens_SomatomPlus_Header(const ReadContext& ctx, std::span<const uint8_t> block, ImageHeader& ima);
// "DD-MMM-YY" as year, month (1 to 12; 0 for an unknown name) and day.
void Siemens_Parse_Date(std::string_view text, int& year, int& month, int& day);
// Seconds since 1970 of a local "DD-MMM-YY" date and "hh:mm:ss" time; 0 for no date.
int32_t Siemens_Date_Seconds(std::string_view date, std::string_view time);
// "hh:mm:ss" as hours.
double Siemens_Parse_Time(std::string_view text);
