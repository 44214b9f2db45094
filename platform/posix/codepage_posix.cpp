#include <iconv.h>
#include <langinfo.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <utility>

#include "platform/codepage.h"

namespace vexo::platform {
namespace {

// The name iconv knows a Windows code page by. The ANSI code pages are the locale's character set.
std::string CharsetOf(uint32_t codePage) {
  switch (codePage) {
    case kCodePageAnsi:
    case kCodePageThreadAnsi:
      return nl_langinfo(CODESET);
    case kCodePageUtf8:
      return "UTF-8";
    case kCodePageUtf7:
      return "UTF-7";
    case 20127:
      return "ASCII";
    case 28591:
      return "ISO-8859-1";
    default:
      return "CP" + std::to_string(codePage);
  }
}

constexpr const char* kUtf16 = "UTF-16LE";

bool IsSurrogatePair(const char* utf16) {
  auto unit = [&](int i) {
    return static_cast<unsigned>(static_cast<unsigned char>(utf16[i * 2]) |
                                 (static_cast<unsigned char>(utf16[i * 2 + 1]) << 8));
  };
  return (unit(0) & 0xFC00) == 0xD800 && (unit(1) & 0xFC00) == 0xDC00;
}

// One conversion descriptor, closed on every path.
class Converter {
 public:
  Converter(const std::string& to, const std::string& from)
      : cd_(iconv_open(to.c_str(), from.c_str())) {}
  ~Converter() {
    if (IsOpen())
      iconv_close(cd_);
  }
  Converter(const Converter&) = delete;
  Converter& operator=(const Converter&) = delete;

  bool IsOpen() const { return cd_ != reinterpret_cast<iconv_t>(-1); }

  // Converts all of `in`; each sequence that cannot be converted (and a truncated one at the end)
  // is skipped by `skipUnit` bytes and replaced by `replacement`, as Windows does with flags 0.
  std::string Run(const char* in, size_t inSize, size_t skipUnit, std::string_view replacement) {
    std::string out;
    out.resize(inSize * 2 + 16);
    char* inPtr = const_cast<char*>(in);
    size_t inLeft = inSize;
    size_t used = 0;
    while (inLeft > 0) {
      char* outPtr = out.data() + used;
      size_t outLeft = out.size() - used;
      size_t rc = iconv(cd_, &inPtr, &inLeft, &outPtr, &outLeft);
      used = out.size() - outLeft;
      if (rc != static_cast<size_t>(-1))
        break;
      if (errno == E2BIG) {
        out.resize(out.size() * 2);
        continue;
      }
      // EILSEQ or EINVAL: replace the offending unit and go on after it.
      size_t skip = std::min(skipUnit, inLeft);
      if (skipUnit == 2 && inLeft >= 4 && IsSurrogatePair(inPtr))
        skip = 4;  // one character
      inPtr += skip;
      inLeft -= skip;
      if (out.size() - used < replacement.size())
        out.resize(out.size() * 2 + replacement.size());
      out.replace(used, replacement.size(), replacement);
      used += replacement.size();
      iconv(cd_, nullptr, nullptr, nullptr, nullptr);
    }
    // Flush any shift state (stateful encodings such as UTF-7).
    for (;;) {
      char* outPtr = out.data() + used;
      size_t outLeft = out.size() - used;
      if (iconv(cd_, nullptr, nullptr, &outPtr, &outLeft) != static_cast<size_t>(-1)) {
        used = out.size() - outLeft;
        break;
      }
      if (errno != E2BIG)
        break;
      out.resize(out.size() * 2);
    }
    out.resize(used);
    return out;
  }

 private:
  iconv_t cd_;
};

}  // namespace

bool WideToNarrow(uint32_t codePage, std::u16string_view text, std::string& out,
                  uint32_t& platformError) {
  out.clear();
  Converter converter(CharsetOf(codePage), kUtf16);
  if (!converter.IsOpen()) {
    platformError = kErrorInvalidParameter;
    return false;
  }
  std::string_view replacement = codePage == kCodePageUtf8 ? "\xEF\xBF\xBD" : "?";
  out = converter.Run(reinterpret_cast<const char*>(text.data()), text.size() * 2, 2, replacement);
  return true;
}

bool NarrowToWide(uint32_t codePage, std::string_view text, std::u16string& out,
                  uint32_t& platformError) {
  out.clear();
  Converter converter(kUtf16, CharsetOf(codePage));
  if (!converter.IsOpen()) {
    platformError = kErrorInvalidParameter;
    return false;
  }
  static constexpr char kReplacement[] = {'\xFD', '\xFF'};  // U+FFFD, little-endian
  std::string bytes = converter.Run(text.data(), text.size(), 1, std::string_view(kReplacement, 2));
  out.assign(bytes.size() / 2, u'\0');
  std::memcpy(out.data(), bytes.data(), out.size() * 2);
  return true;
}

}  // namespace vexo::platform
