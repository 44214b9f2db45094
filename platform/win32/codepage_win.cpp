#include <windows.h>

#include <climits>

#include "platform/codepage.h"

namespace vexo::platform {
namespace {

const wchar_t* WideData(std::u16string_view text) {
  return reinterpret_cast<const wchar_t*>(text.data());
}

// The conversion calls refuse empty input, so an empty text is checked by converting one plain
// character: an unknown code page then fails the same way whatever the text.
bool CodePageConverts(uint32_t codePage, uint32_t& platformError) {
  char narrow[8];
  if (WideCharToMultiByte(codePage, 0, L"a", 1, narrow, sizeof narrow, nullptr, nullptr) > 0)
    return true;
  platformError = GetLastError();
  return false;
}

bool IsSurrogatePair(std::u16string_view text, size_t i) {
  return i + 1 < text.size() && (text[i] & 0xFC00) == 0xD800 && (text[i + 1] & 0xFC00) == 0xDC00;
}

bool CodePageLacks(uint32_t codePage, std::u16string_view character) {
  char narrow[16];
  BOOL usedDefault = FALSE;
  int size =
      WideCharToMultiByte(codePage, 0, WideData(character), static_cast<int>(character.size()),
                          narrow, sizeof narrow, nullptr, &usedDefault);
  return size > 0 && usedDefault;
}

// The conversion call gives each half of a supplementary character that the code page lacks its
// own default character. One character should give one, as on the other platforms: such a pair is
// shortened to its lone high surrogate, which converts to exactly one default character. The
// Unicode code pages hold every character (and refuse the used-default query).
std::u16string OneDefaultPerCharacter(uint32_t codePage, std::u16string_view text) {
  std::u16string result(text);
  if (codePage == kCodePageUtf7 || codePage == kCodePageUtf8)
    return result;
  for (size_t i = 0; i < result.size(); ++i) {
    if (IsSurrogatePair(result, i) &&
        CodePageLacks(codePage, std::u16string_view(result).substr(i, 2)))
      result.erase(i + 1, 1);
  }
  return result;
}

bool FitsInt(size_t size, uint32_t& platformError) {
  if (size <= INT_MAX)
    return true;
  platformError = ERROR_INVALID_PARAMETER;
  return false;
}

}  // namespace

bool WideToNarrow(uint32_t codePage, std::u16string_view text, std::string& out,
                  uint32_t& platformError) {
  out.clear();
  if (text.empty())
    return CodePageConverts(codePage, platformError);
  if (!FitsInt(text.size(), platformError))
    return false;
  std::u16string wide = OneDefaultPerCharacter(codePage, text);
  text = wide;
  int length = static_cast<int>(text.size());
  int size = WideCharToMultiByte(codePage, 0, WideData(text), length, nullptr, 0, nullptr, nullptr);
  if (size > 0) {
    out.resize(static_cast<size_t>(size));
    size = WideCharToMultiByte(codePage, 0, WideData(text), length, out.data(), size, nullptr,
                               nullptr);
  }
  if (size <= 0) {
    platformError = GetLastError();
    out.clear();
    return false;
  }
  out.resize(static_cast<size_t>(size));
  return true;
}

bool NarrowToWide(uint32_t codePage, std::string_view text, std::u16string& out,
                  uint32_t& platformError) {
  out.clear();
  if (text.empty())
    return CodePageConverts(codePage, platformError);
  if (!FitsInt(text.size(), platformError))
    return false;
  int length = static_cast<int>(text.size());
  int size = MultiByteToWideChar(codePage, 0, text.data(), length, nullptr, 0);
  if (size > 0) {
    out.resize(static_cast<size_t>(size));
    size = MultiByteToWideChar(codePage, 0, text.data(), length,
                               reinterpret_cast<wchar_t*>(out.data()), size);
  }
  if (size <= 0) {
    platformError = GetLastError();
    out.clear();
    return false;
  }
  out.resize(static_cast<size_t>(size));
  return true;
}

}  // namespace vexo::platform
