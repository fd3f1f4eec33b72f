// Output text: log messages and strings from files carry the message list's
// in-band bytes and whatever character set the scanner wrote; what kema
// prints is plain, valid UTF-8.
#include <cstddef>
#include <cstdint>

#include "export/export_text.h"

namespace kema {

namespace {

// Length of the valid UTF-8 sequence starting at s[i], or 0.
size_t Utf8_Length(std::string_view s, size_t i) {
  const auto at = [&](size_t k) { return static_cast<uint8_t>(s[k]); };
  const uint8_t c = at(i);
  size_t n = 0;
  uint8_t lo = 0x80, hi = 0xBF;  // bounds of the second byte
  if (c >= 0xC2 && c <= 0xDF) {
    n = 2;
  } else if (c >= 0xE0 && c <= 0xEF) {
    n = 3;
    if (c == 0xE0) lo = 0xA0;
    if (c == 0xED) hi = 0x9F;  // no surrogates
  } else if (c >= 0xF0 && c <= 0xF4) {
    n = 4;
    if (c == 0xF0) lo = 0x90;
    if (c == 0xF4) hi = 0x8F;
  } else {
    return 0;
  }
  if (i + n > s.size()) return 0;
  if (at(i + 1) < lo || at(i + 1) > hi) return 0;
  for (size_t k = 2; k < n; ++k)
    if ((at(i + k) & 0xC0) != 0x80) return 0;
  return n;
}

void Append_Latin1(std::string& out, uint8_t c) {
  if (c < 0xA0) {
    out += "\xEF\xBF\xBD";  // C1 controls have no business in text
    return;
  }
  out.push_back(static_cast<char>(0xC0 | (c >> 6)));
  out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
}

bool Is_Control(uint8_t c) { return c < 0x20 || c == 0x7F; }

}  // namespace

std::string Output_Text(std::string_view text, bool keep_tab_newline) {
  std::string out;
  out.reserve(text.size());
  const auto control_at = [&](size_t k) { return k >= text.size() || Is_Control(static_cast<uint8_t>(text[k])); };
  for (size_t i = 0; i < text.size();) {
    const uint8_t c = static_cast<uint8_t>(text[i]);
    // 0xF0 and 0xF1 switch the message list's colours and fonts; next to a
    // control byte (a colour code, a layout code) or at an end they are
    // that, not Latin-1 letters.
    if ((c == 0xF0 || c == 0xF1) && (i == 0 || control_at(i - 1) || control_at(i + 1))) {
      ++i;
      continue;
    }
    if (c < 0x80) {
      if (!Is_Control(c) || (keep_tab_newline && (c == '\t' || c == '\n'))) out.push_back(static_cast<char>(c));
      ++i;
      continue;
    }
    if (size_t n = Utf8_Length(text, i)) {
      out.append(text.substr(i, n));
      i += n;
      continue;
    }
    Append_Latin1(out, c);
    ++i;
  }
  return out;
}

std::string Output_Line(std::string_view text) {
  const std::string kept = Output_Text(text, true);
  std::string out;
  out.reserve(kept.size());
  for (size_t i = 0; i < kept.size(); ++i) {
    const char c = kept[i];
    if (c != '\t' && c != '\n') {
      out.push_back(c);
      continue;
    }
    // A run of tabs and newlines reads as one blank between words.
    while (i + 1 < kept.size() && (kept[i + 1] == '\t' || kept[i + 1] == '\n')) ++i;
    const bool blank_before = out.empty() || out.back() == ' ';
    const bool blank_after = i + 1 >= kept.size() || kept[i + 1] == ' ';
    if (!blank_before && !blank_after) out.push_back(' ');
  }
  const size_t first = out.find_first_not_of(' ');
  if (first == std::string::npos) return {};
  const size_t last = out.find_last_not_of(' ');
  return out.substr(first, last - first + 1);
}

}  // namespace kema
