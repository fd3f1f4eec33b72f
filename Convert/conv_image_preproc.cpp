#include "Convert/conv_image_preproc.h"

#include "Convert/kema_image.h"

namespace {

int Refuse_Compression(const ReadContext& ctx, const ImageHeader& ima, const char* what) {
  Log_Print(ctx, 2, "\xF1\x04" "ERROR:\x01 no compression supported for %s images !", what);
  if (!ima.name.empty())
    Log_Print(ctx, 2, "\xF1\x01\t\t file:\x02%s\x01 compression:\x02%d", ima.name.c_str(), ima.g2.compression);
  return 0;
}

}  // namespace

int PreProc_Accept(const ReadContext&, ImageHeader&) { return 1; }

int PreProc_Refuse_IGB(const ReadContext& ctx, ImageHeader& ima) { return Refuse_Compression(ctx, ima, "IGB"); }
int PreProc_Refuse_Signa_3(const ReadContext& ctx, ImageHeader& ima) {
  return Refuse_Compression(ctx, ima, "SIGNA_3");
}
int PreProc_Refuse_Siemens_Native(const ReadContext& ctx, ImageHeader& ima) {
  return Refuse_Compression(ctx, ima, "SIEMENS NATIVE");
}
int PreProc_Refuse_Interfile(const ReadContext& ctx, ImageHeader& ima) {
  return Refuse_Compression(ctx, ima, "Interfile");
}

int PreProc_Siemens_SPI_Compressed(const ReadContext& ctx, ImageHeader& ima) {
  Log_Print(ctx, 2, "\xF1\x04" "ERROR:\x01 SIEMENS compressed SPI !");
  if (!ima.name.empty()) Log_Print(ctx, 2, "\xF1\x01\t\t file: \x02%s ", ima.name.c_str());
  Log_Print(ctx, 2, "\xF1\x01\t\t I can not read the SIEMENS SOMATOM compressed images.");
  return 0;
}

int PreProc_Elscint_Rice(const ReadContext& ctx, ImageHeader& ima) {
  Log_Print(ctx, 2, "\xF1\x04" "ERROR:\x01 Elscint proprietary format !");
  if (!ima.name.empty()) Log_Print(ctx, 2, "\xF1\x01\t\t file: \x02%s ", ima.name.c_str());
  Log_Print(ctx, 2, "\xF1\x01\t\t I can not read the Elscint \"Lossless Rice\"images.");
  return 0;
}

int PreProc_Picker(const ReadContext& ctx, ImageHeader& ima) {
  if (ima.g2.compression == 1) return 1;
  Log_Print(ctx, 2, "\xF1\x04" "ERROR:\x01 no compression supported for Picker IQ/PQ images !");
  if (!ima.name.empty())
    Log_Print(ctx, 2, "\xF1\x01\t\t file:\x02%s\x01 compression:\x02%d", ima.name.c_str(), ima.g2.compression - 1);
  return 0;
}

int PreProc_Unsupported(const ReadContext& ctx, const ImageHeader& ima) {
  Log_Print(ctx, 2, "\xF1\x04" "ERROR:\x01 unsupported image type ! (format=%d)\xF0\n", ima.format);
  if (!ima.name.empty()) Log_Print(ctx, 2, "\xF1\x01\t\t file:\x02%s", ima.name.c_str());
  return 0;
}
