#include "server/agents/byte_ranges.h"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <limits>
#include <vector>

namespace vexo::server {
namespace {

constexpr int64_t kNanosecondsPerSecond = 1000000000;

bool IsBlank(char c) {
  return c == ' ' || c == '\t';
}

std::string_view Trimmed(std::string_view text) {
  while (!text.empty() && IsBlank(text.front())) {
    text.remove_prefix(1);
  }
  while (!text.empty() && IsBlank(text.back())) {
    text.remove_suffix(1);
  }
  return text;
}

// The whole text as a decimal number; nullopt for anything else or more than 64 bits.
std::optional<uint64_t> NumberOf(std::string_view text) {
  if (text.empty()) {
    return std::nullopt;
  }
  uint64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') {
      return std::nullopt;
    }
    auto digit = static_cast<uint64_t>(c - '0');
    if (value > (std::numeric_limits<uint64_t>::max() - digit) / 10) {
      return std::nullopt;
    }
    value = value * 10 + digit;
  }
  return value;
}

bool StartsWithUnit(std::string_view text) {
  constexpr std::string_view kUnit = "bytes=";
  if (text.size() < kUnit.size()) {
    return false;
  }
  for (size_t i = 0; i < kUnit.size(); ++i) {
    char c = text[i];
    if ((c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c) != kUnit[i]) {
      return false;
    }
  }
  return true;
}

// The range specs of a Range value, empty list elements left out; nullopt when the unit is not
// bytes.
std::optional<std::vector<std::string_view>> RangeSpecs(std::string_view value) {
  value = Trimmed(value);
  if (!StartsWithUnit(value)) {
    return std::nullopt;
  }
  value.remove_prefix(6);
  std::vector<std::string_view> specs;
  while (true) {
    size_t comma = value.find(',');
    std::string_view spec = Trimmed(value.substr(0, comma));
    if (!spec.empty()) {
      specs.push_back(spec);
    }
    if (comma == std::string_view::npos) {
      return specs;
    }
    value.remove_prefix(comma + 1);
  }
}

// One range spec against a file of `size` bytes; nullopt when it is not well formed.
std::optional<RangeChoice> ChoiceFor(std::string_view spec, uint64_t size) {
  const RangeChoice notSatisfiable{RangeChoice::Kind::kNotSatisfiable, 0, 0};
  size_t dash = spec.find('-');
  if (dash == std::string_view::npos) {
    return std::nullopt;
  }
  std::string_view firstText = spec.substr(0, dash);
  std::string_view lastText = spec.substr(dash + 1);
  if (firstText.empty()) {  // the last `suffix` bytes
    std::optional<uint64_t> suffix = NumberOf(lastText);
    if (!suffix) {
      return std::nullopt;
    }
    if (*suffix == 0 || size == 0) {
      return notSatisfiable;
    }
    uint64_t length = std::min(*suffix, size);
    return RangeChoice{RangeChoice::Kind::kPart, size - length, length};
  }
  std::optional<uint64_t> first = NumberOf(firstText);
  std::optional<uint64_t> last =
      lastText.empty() ? std::optional<uint64_t>(UINT64_MAX) : NumberOf(lastText);
  if (!first || !last || *last < *first) {
    return std::nullopt;
  }
  if (*first >= size) {
    return notSatisfiable;
  }
  uint64_t end = std::min(*last, size - 1);
  return RangeChoice{RangeChoice::Kind::kPart, *first, end - *first + 1};
}

// If-Range holds an entity tag or a date; a weak tag never matches, a date only exactly.
bool IfRangeMatches(std::string_view ifRange, const FileValidators& validators) {
  ifRange = Trimmed(ifRange);
  if (ifRange.starts_with("\"") || ifRange.starts_with("W/")) {
    return ifRange == validators.entityTag;
  }
  return ifRange == validators.lastModified;
}

}  // namespace

std::string HttpDate(int64_t unixTime) {
  static constexpr const char* kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                            "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  std::time_t time = static_cast<std::time_t>(unixTime);
  std::tm parts{};
  gmtime_r(&time, &parts);
  char text[40];
  std::snprintf(text, sizeof text, "%s, %02d %s %04d %02d:%02d:%02d GMT", kDays[parts.tm_wday],
                parts.tm_mday, kMonths[parts.tm_mon], parts.tm_year + 1900, parts.tm_hour,
                parts.tm_min, parts.tm_sec);
  return text;
}

FileValidators ValidatorsOf(uint64_t size, int64_t modifiedNanoseconds) {
  char tag[48];
  std::snprintf(tag, sizeof tag, "\"%llx-%llx\"", static_cast<unsigned long long>(size),
                static_cast<unsigned long long>(modifiedNanoseconds));
  int64_t seconds = modifiedNanoseconds / kNanosecondsPerSecond;
  if (modifiedNanoseconds % kNanosecondsPerSecond < 0) {
    --seconds;  // before 1970: the second that holds the instant
  }
  return FileValidators{tag, HttpDate(seconds)};
}

RangeChoice ChooseRange(const std::optional<std::string>& range,
                        const std::optional<std::string>& ifRange, const FileValidators& validators,
                        uint64_t size) {
  const RangeChoice whole{RangeChoice::Kind::kWhole, 0, size};
  if (!range || (ifRange && !IfRangeMatches(*ifRange, validators))) {
    return whole;
  }
  std::optional<std::vector<std::string_view>> specs = RangeSpecs(*range);
  if (!specs || specs->size() != 1) {
    return whole;  // several ranges get the whole file, which answers them all
  }
  return ChoiceFor(specs->front(), size).value_or(whole);
}

}  // namespace vexo::server
