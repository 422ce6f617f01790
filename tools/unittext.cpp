// Escaping of the unit's texts for korvelctl's output.
#include "unittext.h"

#include <stdio.h>

namespace {

// The length of the well-formed UTF-8 sequence at `at` (0 when there is none)
// and its code point, after the Unicode Standard's table of well-formed
// byte sequences (no overlong forms, no surrogates, nothing past U+10FFFF).
size_t utf8_sequence(const std::string& s, size_t at, unsigned* cp) {
  const auto byte = [&](size_t i) { return i < s.size() ? static_cast<unsigned char>(s[i]) : 0u; };
  const unsigned b0 = byte(at);
  if (b0 < 0x80) {
    *cp = b0;
    return 1;
  }
  size_t n = 0;
  unsigned lo = 0x80, hi = 0xbf;  // the range of the second byte
  if (b0 >= 0xc2 && b0 <= 0xdf) {
    n = 2;
  } else if (b0 >= 0xe0 && b0 <= 0xef) {
    n = 3;
    if (b0 == 0xe0) lo = 0xa0;
    if (b0 == 0xed) hi = 0x9f;
  } else if (b0 >= 0xf0 && b0 <= 0xf4) {
    n = 4;
    if (b0 == 0xf0) lo = 0x90;
    if (b0 == 0xf4) hi = 0x8f;
  } else {
    return 0;
  }
  unsigned value = b0 & (0xff >> (n + 1));
  for (size_t i = 1; i < n; ++i) {
    const unsigned b = byte(at + i);
    if (at + i >= s.size() || b < (i == 1 ? lo : 0x80) || b > (i == 1 ? hi : 0xbf)) return 0;
    value = (value << 6) | (b & 0x3f);
  }
  *cp = value;
  return n;
}

bool is_control(unsigned cp) {
  return cp < 0x20 || (cp >= 0x7f && cp <= 0x9f);
}

void append_hex(std::string* out, const char* format, unsigned value) {
  char buf[8];
  snprintf(buf, sizeof buf, format, value);
  *out += buf;
}

}  // namespace

std::string unit_text_plain(const std::string& text) {
  std::string out;
  for (size_t at = 0; at < text.size();) {
    unsigned cp = 0;
    const size_t n = utf8_sequence(text, at, &cp);
    if (n == 0 || is_control(cp)) {
      // One byte at a time: a C1 control's two bytes each show.
      const size_t bytes = n == 0 ? 1 : n;
      for (size_t i = 0; i < bytes; ++i)
        append_hex(&out, "\\x%02x", static_cast<unsigned char>(text[at + i]));
      at += bytes;
      continue;
    }
    if (cp == '\\')
      out += "\\\\";
    else
      out.append(text, at, n);
    at += n;
  }
  return out;
}

std::string unit_text_json(const std::string& text) {
  std::string out = "\"";
  for (size_t at = 0; at < text.size();) {
    unsigned cp = 0;
    const size_t n = utf8_sequence(text, at, &cp);
    if (n == 0) {
      out += "\\ufffd";
      ++at;
      continue;
    }
    switch (cp) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\b':
        out += "\\b";
        break;
      case '\f':
        out += "\\f";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (is_control(cp))
          append_hex(&out, "\\u%04x", cp);
        else
          out.append(text, at, n);
    }
    at += n;
  }
  return out + "\"";
}
