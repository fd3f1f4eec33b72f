#include "Convert/conv_string.h"

#include <cctype>
#include <cstring>

#include "Convert/byte_source.h"

char* String_Trim(char* text) {
  if (!text) return text;
  size_t len = std::strlen(text);
  while (len > 0 && text[len - 1] == ' ') --len;
  text[len] = 0;
  size_t start = 0;
  while (text[start] == ' ') ++start;
  if (start) std::memmove(text, text + start, len - start + 1);
  return text;
}

std::string& String_Trim(std::string& text) {
  const size_t end = text.find_last_not_of(' ');
  if (end == std::string::npos) {
    text.clear();
    return text;
  }
  text.erase(end + 1);
  text.erase(0, text.find_first_not_of(' '));
  return text;
}

namespace {

constexpr size_t kBracketsMax = 4096;

// The kept part of a text as [begin, end): `end` after the trailing cut.
void Bracket_Bounds(const char* text, size_t len, size_t& begin, size_t& end) {
  end = len;
  // '\r' counts with the newlines: a line read from a CR-LF file on this
  // system still carries it.
  while (end > 0 && (text[end - 1] == ' ' || text[end - 1] == '\t' || text[end - 1] == '\n' || text[end - 1] == '\r'))
    --end;
  if (end > 0 && (text[end - 1] == ')' || text[end - 1] == '>')) --end;
  begin = 0;
  while (begin < end && (text[begin] == ' ' || text[begin] == '\t')) ++begin;
  if (begin < end && (text[begin] == '(' || text[begin] == '<')) ++begin;
}

}  // namespace

char* String_Trim_Brackets(char* text) {
  if (!text) return text;
  const size_t len = std::strlen(text);
  if (len == 0 || len >= kBracketsMax) return text;
  size_t begin = 0, end = 0;
  Bracket_Bounds(text, len, begin, end);
  std::memmove(text, text + begin, end - begin);
  text[end - begin] = 0;
  return text;
}

std::string& String_Trim_Brackets(std::string& text) {
  // Measured as a C text: what follows an embedded zero does not count.
  const size_t len = std::strlen(text.c_str());
  if (len == 0 || len >= kBracketsMax) return text;
  size_t begin = 0, end = 0;
  Bracket_Bounds(text.c_str(), len, begin, end);
  text = text.substr(begin, end - begin);
  return text;
}

void String_Upper_Unquoted(char* text) {
  if (!text) return;
  bool quoted = false;
  for (char* p = text; *p; ++p) {
    if (*p == '"')
      quoted = !quoted;
    else if (!quoted)
      *p = static_cast<char>(std::toupper(static_cast<unsigned char>(*p)));
  }
}

void String_Upper_Unquoted(std::string& text) {
  bool quoted = false;
  for (char& c : text) {
    if (c == '"')
      quoted = !quoted;
    else if (!quoted)
      c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  }
}

char* String_Token(char* text, const char* separators, TokenState& state) {
  char* p = text ? text : state.next;
  if (!p || !separators) return state.next = nullptr;
  p += std::strspn(p, separators);
  if (!*p) return state.next = nullptr;
  char* token = p;
  bool quoted = false;
  for (; *p; ++p) {
    if (*p == '"') {
      quoted = !quoted;
    } else if (!quoted && std::strchr(separators, *p)) {
      *p = 0;
      state.next = p + 1;
      return token;
    }
  }
  state.next = p;  // at the terminating zero: the next call gives null
  return token;
}

int File_Exists(const char* name) {
  // A directory opens on this system but is no file to read.
  return name && ByteSource::Open_File(name) ? 1 : 0;
}
