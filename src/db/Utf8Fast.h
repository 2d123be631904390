#pragma once
// UTF-8 <-> UTF-32 on the hot paths of the database layer. Catalog texts are nearly always ASCII, so both
// directions copy ASCII runs directly into a buffer the caller reuses and hand anything else to the toolkit's
// full converters (same results: U+FFFD for every ill-formed sequence).

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vdpattern/toolkit/Utf8.h>

namespace vdpattern::db {

inline void AppendUtf8(std::string& out, const wchar_t* text, std::size_t length) {
  std::size_t ascii = 0;
  while (ascii < length && static_cast<std::uint32_t>(text[ascii]) < 0x80) ++ascii;
  const std::size_t start = out.size();
  out.resize(start + ascii);
  char* dest = &out[start];
  for (std::size_t k = 0; k < ascii; ++k) dest[k] = static_cast<char>(text[k]);
  if (ascii < length) out += VdToUtf8(std::wstring_view(text + ascii, length - ascii));
}

inline void AssignFromUtf8(std::wstring& out, const char* bytes, std::size_t length) {
  std::size_t ascii = 0;
  while (ascii < length && static_cast<unsigned char>(bytes[ascii]) < 0x80) ++ascii;
  out.resize(ascii);  // ASCII bytes widen unchanged; resize keeps the buffer the string already has
  wchar_t* dest = &out[0];
  for (std::size_t k = 0; k < ascii; ++k) dest[k] = static_cast<unsigned char>(bytes[k]);
  if (ascii < length) out += VdFromUtf8(std::string_view(bytes + ascii, length - ascii));
}

}  // namespace vdpattern::db
