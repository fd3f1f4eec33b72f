// The single entry point that turns a file name or a memory block into a
// filled image record: detection, the format's header reader, the pixel
// file reference and header post-processing.
#include <sys/stat.h>

#include <cctype>
#include <exception>
#include <new>

#include "Convert/byte_source.h"
#include "Convert/conv_format_registry.h"
#include "Convert/kema_image.h"

namespace {

// The extension is kept apart only when it is short (".dcm", ".img");
// a longer one stays part of the name.
void Split_Extension(const std::string& file, std::string& name, std::string& ext) {
  const size_t dot = file.rfind('.');
  if (dot == std::string::npos || file.size() - dot > 4) {
    name = file;
    ext.clear();
  } else {
    name = file.substr(0, dot);
    ext = file.substr(dot);
  }
}

bool Has_Drive(const std::string& s) {
  return s.size() >= 2 && std::isalpha(static_cast<unsigned char>(s[0])) && s[1] == ':';
}

}  // namespace

void Image_Split_Name(const std::string& input, std::string& path, std::string& name, std::string& ext) {
  path.clear();
  name.clear();
  ext.clear();
  if (!Has_Drive(input)) {
    // Plain names: '/' separates directories and stays as it is.
    const size_t slash = input.rfind('/');
    const size_t start = slash == std::string::npos ? 0 : slash + 1;
    path = input.substr(0, start);
    Split_Extension(input.substr(start), name, ext);
    return;
  }
  // Names written with a drive letter follow the drive conventions: a
  // second ":\" further on is not a directory break, both slashes separate,
  // and the path is written with backslashes.
  std::string work = input;
  size_t hidden = std::string::npos;
  if (work.size() > 6) {
    const size_t colon = work.find(":\\", 6);
    if (colon != std::string::npos) {
      hidden = colon + 1;
      work[hidden] = '_';
    }
  }
  const size_t sep = work.find_last_of("/\\");
  const size_t start = (sep == std::string::npos || sep < 2) ? 2 : sep + 1;
  std::string dir = work.substr(2, start - 2);
  for (char& c : dir)
    if (c == '/') c = '\\';
  path = std::string(1, static_cast<char>(std::toupper(static_cast<unsigned char>(work[0])))) + ":" + dir;
  std::string file = work.substr(start);
  if (hidden != std::string::npos && hidden >= start) file[hidden - start] = '\\';
  Split_Extension(file, name, ext);
}

namespace {

void Report_Unsupported(const ReadContext& ctx, const ImageHeader& ima, int line) {
  Log_Print(ctx, 6, "file:%s line:%d", KEMA_SRC, line);
  Log_Print(ctx, 2, "\xF1\x04" "ERROR:\x01 unsupported image type ! (format=%d)\xF0\n", ima.format);
  if (!ima.name.empty()) Log_Print(ctx, 2, "\xF1\x01\t\t file: %s\xF0", ima.name.c_str());
  Log_Print(ctx, 2, "\xF0");
}

int Run_Reader(const ReadContext& ctx, ImageHeader& ima) {
  const FormatRow* row = Format_Row(ima.format);
  if (!row || !row->header) {
    Report_Unsupported(ctx, ima, __LINE__);
    return 0;
  }
  try {
    return row->header(ctx, ima);
  } catch (const std::bad_alloc&) {
    Report_Memory(ctx, KEMA_SRC, __LINE__, "malloc", "ima", 1, static_cast<long long>(sizeof(ImageHeader)));
  } catch (const std::exception& e) {
    Log_Print(ctx, 2, "\xF1\x04" "ERROR:\x01 %s while reading the header of %s\xF0", e.what(),
              ima.input_type == 1 ? ima.input.c_str() : "a memory stream");
  }
  return 0;
}

}  // namespace

std::unique_ptr<ImageHeader> Image_Header_Read(const ReadContext& ctx, size_t stream, const void* input,
                                               std::shared_ptr<ByteSource> source, uint16_t format) {
  // Both entries trace as the header read the callers know.
  Log_Print(ctx, 7, "in Kema_Image_Header_Read(stream:%d)", static_cast<int>(stream));
  std::unique_ptr<ImageHeader> head;
  try {
    head = std::make_unique<ImageHeader>();
  } catch (const std::bad_alloc&) {
    Report_Memory(ctx, KEMA_SRC, __LINE__, "calloc", "head", 1, static_cast<long long>(sizeof(ImageHeader)));
    return nullptr;
  }
  ImageHeader& ima = *head;
  Image_Init_Header(ima);

  if (stream) {
    ima.file_size = stream > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(stream);
    ima.stream = std::span<const uint8_t>(static_cast<const uint8_t*>(input), stream);
    ima.input_type = 2;
  } else {
    try {
      ima.input = static_cast<const char*>(input);
      Image_Split_Name(ima.input, ima.path, ima.name, ima.ext);
    } catch (const std::bad_alloc&) {
      Report_Strdup(ctx, KEMA_SRC, __LINE__, "head->input");
      return nullptr;
    }
    if (source) {
      const uint64_t size = source->size();
      ima.file_size = size > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(size);
    }
    ima.input_type = 1;
  }
  // Every step of this read takes the bytes from the one open source.
  ima.source = std::move(source);
  ima.format = format;
  int status = Run_Reader(ctx, ima);

  if (ima.input_type == 1) {
    if (ima.file_data.empty()) ima.file_data = ima.input;
    // Pixels in a second file: it must be there.
    struct stat st {};
    if (ima.file_data != ima.input && ::stat(ima.file_data.c_str(), &st) != 0)
      Report_Stat(ctx, KEMA_SRC, __LINE__, ima.file_data.c_str());
  }

  // A record whose reader failed is released unfinished.
  if (status != 0) Image_Header_PostProc(ctx, ima);

  if (status == 0) {
    Kema_Image_Free_Header(ctx, ima);
    return nullptr;
  }
  return head;
}

std::unique_ptr<ImageHeader> Kema_Image_Header_Read(LogHandle log, size_t stream, const void* input,
                                                    uint8_t text_level) {
  if (!input) return nullptr;
  const ReadContext ctx{log, text_level};
  std::shared_ptr<ByteSource> source;
  if (stream) {
    source = ByteSource::From_Memory(std::span<const uint8_t>(static_cast<const uint8_t*>(input), stream),
                                     "memory stream");
  } else {
    source = Source_Open(log, static_cast<const char*>(input), KEMA_SRC, __LINE__);
  }
  const uint16_t format = source ? Image_Detect_Format(ctx, *source) : 0;
  return Image_Header_Read(ctx, stream, input, std::move(source), format);
}
