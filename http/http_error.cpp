#include "http/http_error.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <string>

#include "platform/codepage.h"

namespace vexo {
namespace {

struct MessagePair {
  const char* narrow;
  const char16_t* wide;
};

// Both copies of a table text from one literal.
#define VEXO_MESSAGE(text) \
  MessagePair {            \
    text, u"" text         \
  }

constexpr MessagePair kNotSpecifiedMessage = VEXO_MESSAGE("Not specified");
constexpr MessagePair kUserDefinedMessage = VEXO_MESSAGE("user-defined error message");

MessagePair MessageOf(int32_t code) noexcept {
  using namespace httperror;
  if (code > kUserDefined)
    return kUserDefinedMessage;
  switch (static_cast<Code>(code)) {
    case kNotSpecified:
      return kNotSpecifiedMessage;
    case kUnexpected:
      return VEXO_MESSAGE("Unexpected error occurred.");
    case kIndexOutOfRange:
      return VEXO_MESSAGE("The index is out of range.");
    case kOutOfMemory:
      return VEXO_MESSAGE("Out of memory.");
    case kInvalidUrl:
      return VEXO_MESSAGE("The requested URL is not a valid URL.");
    case kPostNotStarted:
      return VEXO_MESSAGE("The post context is not started yet.");
    case kFileReadShort:
      return VEXO_MESSAGE("Couldn't read expected bytes from a file.");
    case kPostNotFinished:
      return VEXO_MESSAGE("The post context has not been finished yet.");
    case kInvalidPort:
      return VEXO_MESSAGE("The port number is not valid.");
    case kStdException:
      return VEXO_MESSAGE("std::exception occurred.");
    case kInvalidEncodedUrl:
      return VEXO_MESSAGE("The encoded URL is not valid.");
    case kInvalidUtf8:
      return VEXO_MESSAGE("The UTF8 string contains an invalid character.");
    case kArithmetic:
      return VEXO_MESSAGE("An unexpected arithmetic error has been occurred.");
    case kArithmeticOverflow:
      return VEXO_MESSAGE("An arithmetic overflow error has been occurred.");
    case kDivideByZero:
      return VEXO_MESSAGE("An interger divide by zero exception has been occurred.");
    case kFileExists:
      return VEXO_MESSAGE("The file (%s) aleady exists.");
    case kReserved:
      return VEXO_MESSAGE("");
    case kHttpQueryInfo:
      return VEXO_MESSAGE("::HttpQueryInfo failed.");
    case kInternetReadFile:
      return VEXO_MESSAGE("::InternetReadFile failed.");
    case kInternetOpen:
      return VEXO_MESSAGE("::InternetOpen failed.");
    case kInternetConnect:
      return VEXO_MESSAGE("::InternetConnect failed.");
    case kHttpOpenRequest:
      return VEXO_MESSAGE("::HttpOpenRequest failed.");
    case kHttpAddRequestHeaders:
      return VEXO_MESSAGE("::HttpAddRequestHeaders failed.");
    case kHttpSendRequest:
      return VEXO_MESSAGE("::HttpSendRequest failed.");
    case kHttpSendRequestEx:
      return VEXO_MESSAGE("::HttpSendRequestEx failed.");
    case kInternetWriteFile:
      return VEXO_MESSAGE("::InternetWriteFile failed.");
    case kHttpEndRequest:
      return VEXO_MESSAGE("::HttpEndRequest failed.");
    case kInternetSetOption:
      return VEXO_MESSAGE("::InternetSetOption failed.");
    case kWideCharToMultiByte:
      return VEXO_MESSAGE("::WideCharToMultiByte failed.");
    case kMultiByteToWideChar:
      return VEXO_MESSAGE("::MultiByteToWideChar failed.");
    case kReadFile:
      return VEXO_MESSAGE("::ReadFile failed.");
    case kOpenFile:
      return VEXO_MESSAGE("OpenFile (::CreateFile) failed (\"%s\").");
    case kSetFilePointer:
      return VEXO_MESSAGE("::SetFilePointer failed.");
    case kGetFileSize:
      return VEXO_MESSAGE("::GetFileSize failed (\"%s\").");
    case kWriteFile:
      return VEXO_MESSAGE("::WriteFile failed (\"%s\").");
    case kUserDefined:
      return kUserDefinedMessage;
  }
  return kNotSpecifiedMessage;  // a number that is no code
}

#undef VEXO_MESSAGE

template <typename Char>
size_t LengthOf(const Char* text) noexcept {
  return std::char_traits<Char>::length(text);
}

template <typename Char>
Char* CopyText(const Char* text) noexcept {
  if (text == nullptr)
    return nullptr;
  size_t size = LengthOf(text) + 1;
  Char* copy = new (std::nothrow) Char[size];
  if (copy != nullptr)
    std::char_traits<Char>::copy(copy, text, size);
  return copy;
}

// printf-style formatting with one text argument, for the table's formats: "%s" takes the
// argument, "%%" is a percent sign. Any other conversion is a formatting failure (false).
template <typename Char, size_t N>
bool FormatWithText(const Char* format, const Char* argument, Char (&out)[N]) noexcept {
  constexpr size_t kLimit = N - 1;
  size_t used = 0;
  auto put = [&](Char c) {
    if (used < kLimit)
      out[used++] = c;
  };
  bool argumentTaken = false;
  for (const Char* p = format; *p != 0; ++p) {
    if (*p != Char('%')) {
      put(*p);
      continue;
    }
    ++p;
    if (*p == Char('%')) {
      put(*p);
    } else if (*p == Char('s') && !argumentTaken) {
      argumentTaken = true;
      for (const Char* a = argument; *a != 0; ++a)
        put(*a);
    } else {
      return false;
    }
  }
  out[used] = 0;
  return true;
}

template <typename Char, size_t N>
void CopyCut(const Char* text, Char (&out)[N]) noexcept {
  size_t length = std::min(LengthOf(text), N - 1);
  std::char_traits<Char>::copy(out, text, length);
  out[length] = 0;
}

int32_t ArithmeticCodeOf(uint32_t failure) noexcept {
  if (failure == kIntegerDivideByZeroFailure)
    return httperror::kDivideByZero;
  if (failure == kArithmeticOverflowFailure)
    return httperror::kArithmeticOverflow;
  return httperror::kArithmetic;
}

}  // namespace

const char* ErrorMessageOfA(int32_t code) noexcept {
  return MessageOf(code).narrow;
}
const char16_t* ErrorMessageOfW(int32_t code) noexcept {
  return MessageOf(code).wide;
}

// --- the exception classes

template <typename Char>
errmsg_exceptionT<Char>::errmsg_exceptionT(const Char* message) noexcept
    : m_szErrMsg(CopyText(message)) {}
template <typename Char>
errmsg_exceptionT<Char>::errmsg_exceptionT(const errmsg_exceptionT& other) noexcept
    : std::exception(other), m_szErrMsg(CopyText(other.m_szErrMsg)) {}
template <typename Char>
errmsg_exceptionT<Char>& errmsg_exceptionT<Char>::operator=(
    const errmsg_exceptionT& other) noexcept {
  if (this != &other)
    errmsg_exceptionT::SetErrorMessage(other.m_szErrMsg);
  return *this;
}
template <typename Char>
errmsg_exceptionT<Char>::~errmsg_exceptionT() {
  delete[] m_szErrMsg;
}
template <typename Char>
const Char* errmsg_exceptionT<Char>::ErrorMessage() const noexcept {
  static constexpr Char kNull[] = {'N', 'U', 'L', 'L', 0};
  return m_szErrMsg != nullptr ? m_szErrMsg : kNull;
}
template <typename Char>
void errmsg_exceptionT<Char>::SetErrorMessage(const Char* message) noexcept {
  delete[] m_szErrMsg;
  m_szErrMsg = CopyText(message);
}

template <>
const char* errmsg_exceptionT<char>::what() const noexcept {
  return ErrorMessage();
}
template <>
const char* errmsg_exceptionT<char16_t>::what() const noexcept {
  return "errmsg_exceptionW";
}

template <typename Char>
httpclientexceptionT<Char>::httpclientexceptionT(const Char* message, int32_t code,
                                                 uint32_t systemError) noexcept
    : errmsg_exceptionT<Char>(message), m_nErrCode(code), m_dwLastError(systemError) {}

template <>
const char* httpclientexceptionT<char>::what() const noexcept {
  return ErrorMessage();
}
template <>
const char* httpclientexceptionT<char16_t>::what() const noexcept {
  return "httpclientexceptionW";
}

template class errmsg_exceptionT<char>;
template class errmsg_exceptionT<char16_t>;
template class httpclientexceptionT<char>;
template class httpclientexceptionT<char16_t>;

// --- formatting and raising

void FormatErrorMessageA(int32_t code, const char* argument, char (&out)[512]) noexcept {
  const char* format = ErrorMessageOfA(code);
  if (argument == nullptr || !FormatWithText(format, argument, out))
    CopyCut(format, out);
}

void FormatErrorMessageW(int32_t code, const char16_t* argument, char16_t (&out)[512]) noexcept {
  const char16_t* format = ErrorMessageOfW(code);
  if (argument == nullptr || !FormatWithText(format, argument, out))
    CopyCut(format, out);
}

void ThrowExceptionA(int32_t code) {
  throw httpclientexceptionA(ErrorMessageOfA(code), code, 0);
}
void ThrowExceptionA(const char* message, int32_t code) {
  throw httpclientexceptionA(message, code, 0);
}
void ThrowFormattedExceptionA(int32_t code, uint32_t systemError, const char* argument) {
  char message[512];
  FormatErrorMessageA(code, argument, message);
  throw httpclientexceptionA(message, code, systemError);
}
void ThrowArithmeticExceptionA(uint32_t failure) {
  ThrowExceptionA(ArithmeticCodeOf(failure));
}

void ThrowExceptionW(int32_t code) {
  throw httpclientexceptionW(ErrorMessageOfW(code), code, 0);
}
void ThrowExceptionW(const char16_t* message, int32_t code) {
  throw httpclientexceptionW(message, code, 0);
}
void ThrowFormattedExceptionW(int32_t code, uint32_t systemError, const char16_t* argument) {
  char16_t message[512];
  FormatErrorMessageW(code, argument, message);
  throw httpclientexceptionW(message, code, systemError);
}
void ThrowArithmeticExceptionW(uint32_t failure) {
  ThrowExceptionW(ArithmeticCodeOf(failure));
}

void ThrowAnsiMessage(const char* message, int32_t code, uint32_t systemError) {
  std::u16string wide;
  bool converted = false;
  if (message != nullptr) {
    try {
      uint32_t conversionError = 0;
      converted = platform::NarrowToWide(platform::kCodePageAnsi, message, wide, conversionError);
    } catch (const std::bad_alloc&) {
      converted = false;
    }
  }
  throw httpclientexceptionW(converted ? wide.c_str() : nullptr, code, systemError);
}

void ThrowWidenedException(const httpclientexceptionA& narrow) {
  ThrowAnsiMessage(narrow.ErrorMessage(), narrow.Code(), narrow.SystemError());
}

// --- guarded arithmetic

namespace {
template <void (*Raise)(uint32_t)>
struct Guarded {
  static uint32_t Add(uint32_t a, uint32_t b) {
    uint32_t sum = 0;
    if (__builtin_add_overflow(a, b, &sum))
      Raise(kArithmeticOverflowFailure);
    return sum;
  }
  static uint32_t Mul(uint32_t a, uint32_t b) {
    uint32_t product = 0;
    if (__builtin_mul_overflow(a, b, &product))
      Raise(kArithmeticOverflowFailure);
    return product;
  }
  static uint32_t Dec(uint32_t a) {
    if (a == 0)
      Raise(kArithmeticOverflowFailure);
    return a - 1;
  }
};
using NarrowGuard = Guarded<ThrowArithmeticExceptionA>;
using WideGuard = Guarded<ThrowArithmeticExceptionW>;
}  // namespace

uint32_t GuardedA::Add(uint32_t a, uint32_t b) {
  return NarrowGuard::Add(a, b);
}
uint32_t GuardedA::Mul(uint32_t a, uint32_t b) {
  return NarrowGuard::Mul(a, b);
}
uint32_t GuardedA::Dec(uint32_t a) {
  return NarrowGuard::Dec(a);
}
uint32_t GuardedW::Add(uint32_t a, uint32_t b) {
  return WideGuard::Add(a, b);
}
uint32_t GuardedW::Mul(uint32_t a, uint32_t b) {
  return WideGuard::Mul(a, b);
}
uint32_t GuardedW::Dec(uint32_t a) {
  return WideGuard::Dec(a);
}
uint32_t GuardedA::Length(size_t length) {
  if (length > UINT32_MAX)
    ThrowArithmeticExceptionA(kArithmeticOverflowFailure);
  return static_cast<uint32_t>(length);
}
uint32_t GuardedW::Length(size_t length) {
  if (length > UINT32_MAX)
    ThrowArithmeticExceptionW(kArithmeticOverflowFailure);
  return static_cast<uint32_t>(length);
}

}  // namespace vexo
