// Text helpers of the text-header readers and the command line, and the
// file-exists test.
#pragma once

#include <string>

// Removes leading and trailing blanks in place (tabs stay); returns `text`.
char* String_Trim(char* text);
std::string& String_Trim(std::string& text);

// For non-empty texts shorter than 4096 characters: removes trailing
// blanks, tabs and newlines, then one trailing ')' or '>', skips leading
// blanks and tabs, then one leading '(' or '<', and moves what remains to
// the start. Longer texts are left as they are. Returns `text`.
char* String_Trim_Brackets(char* text);
std::string& String_Trim_Brackets(std::string& text);

// Turns every character outside double quotes to upper case, in place.
void String_Upper_Unquoted(char* text);
void String_Upper_Unquoted(std::string& text);

// Where a String_Token scan has got to; one per scan, so scans on several
// threads (or nested scans) don't meet.
struct TokenState {
  char* next = nullptr;
};

// Like strtok_r: a non-null `text` starts a new scan, null continues the
// scan of `state`; each separator ending a token is replaced by a zero.
// Separators between double quotes do not split (the quotes stay in the
// token). Returns the next token, or null when there is none.
char* String_Token(char* text, const char* separators, TokenState& state);

// 1 when `name` is a file that can be opened for reading, else 0.
int File_Exists(const char* name);
