#include "server/admin/web_text.h"

#include <cstdio>

#include "server/common/utf8_text.h"

namespace vexo::server {

std::string EscapeJsonString(std::string_view text) {
  return EscapeUtf8(text, [](std::string& out, char c) {
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
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(c));
      out += escaped;
    } else {
      out += c;
    }
  });
}

std::string EscapeHtml(std::string_view text) {
  return EscapeUtf8(text, [](std::string& out, char c) {
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
        out += static_cast<unsigned char>(c) < 0x20 ? '?' : c;
    }
  });
}

}  // namespace vexo::server
