#include "server/admin/web_text.h"

#include <cstdio>

#include "server/common/utf8_text.h"

namespace vexo::server {
namespace {

// "\u202e": every character JSON would carry raw that steers a display, escaped where it is seen.
void AppendJsonEscape(std::string& out, char32_t codePoint) {
  char escaped[8];
  std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(codePoint));
  out += escaped;
}

}  // namespace

std::string EscapeJsonString(std::string_view text) {
  return EscapeUtf8(
      text,
      [](std::string& out, char c) {
        switch (c) {
          case '"':
            out += "\\\"";
            return;
          case '\\':
            out += "\\\\";
            return;
          case '\n':
            out += "\\n";
            return;
          default:
            break;
        }
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) {
          AppendJsonEscape(out, static_cast<unsigned char>(c));
        } else {
          out += c;
        }
      },
      [](std::string& out, std::string_view sequence) {
        AppendJsonEscape(out, CodePointOf(sequence));
      });
}

std::string EscapeHtml(std::string_view text) {
  return EscapeUtf8(
      text,
      [](std::string& out, char c) {
        switch (c) {
          case '&':
            out += "&amp;";
            break;
          case '<':
            out += "&lt;";
            break;
          case '>':
            out += "&gt;";
            break;
          case '"':
            out += "&quot;";
            break;
          case '\'':
            out += "&#39;";
            break;
          default:
            out += static_cast<unsigned char>(c) < 0x20 || c == 0x7f ? '?' : c;
        }
      },
      [](std::string& out, std::string_view) { out += '?'; });
}

}  // namespace vexo::server
