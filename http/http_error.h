// The HTTP client's error model: exceptions that carry a code, a message and the platform error
// value, the fixed message table, and the raise operations every layer uses. The narrow layer
// throws httpclientexceptionA; every wide operation turns it into httpclientexceptionW before it
// leaves, so callers of the wide classes only ever see httpclientexceptionW.
#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>

namespace vexo {

// Error codes of the message table. The list only grows: a code keeps its number and its
// message for ever. Each code is named once more in the switch that gives its message
// (http_error.cpp), which has no default, so a code without a message does not build
// (-Werror=switch). Codes above kUserDefined are user-defined too.
namespace httperror {
enum Code : int32_t {
  kNotSpecified = 0,
  kUnexpected = 100,
  kIndexOutOfRange = 101,
  kOutOfMemory = 102,
  kInvalidUrl = 103,
  kPostNotStarted = 104,
  kFileReadShort = 105,
  kPostNotFinished = 106,
  kInvalidPort = 107,
  kStdException = 108,
  kInvalidEncodedUrl = 109,
  kInvalidUtf8 = 110,
  kArithmetic = 111,
  kArithmeticOverflow = 112,
  kDivideByZero = 113,
  kFileExists = 114,
  kReserved = 200,
  kHttpQueryInfo = 400,
  kInternetReadFile = 401,
  kInternetOpen = 402,
  kInternetConnect = 403,
  kHttpOpenRequest = 404,
  kHttpAddRequestHeaders = 405,
  kHttpSendRequest = 406,
  kHttpSendRequestEx = 407,
  kInternetWriteFile = 408,
  kHttpEndRequest = 409,
  kInternetSetOption = 410,
  kWideCharToMultiByte = 600,
  kMultiByteToWideChar = 601,
  kReadFile = 602,
  kOpenFile = 603,
  kSetFilePointer = 604,
  kGetFileSize = 605,
  kWriteFile = 606,
  kUserDefined = 1000,
};
}  // namespace httperror

// Failure values that the guarded arithmetic hands to ThrowArithmeticException.
inline constexpr uint32_t kArithmeticOverflowFailure = 534;  // ERROR_ARITHMETIC_OVERFLOW
inline constexpr uint32_t kIntegerDivideByZeroFailure =
    0xC0000094;  // STATUS_INTEGER_DIVIDE_BY_ZERO

// The table message of `code` (codes without a row give "Not specified").
const char* ErrorMessageOfA(int32_t code) noexcept;
const char16_t* ErrorMessageOfW(int32_t code) noexcept;

// The narrow and the wide exception differ only in their character type: one template each,
// with the names the client's interface uses (errmsg_exceptionA / W, httpclientexceptionA / W).
// The narrow layer throws the A class; callers of the wide classes only ever see the W class.
template <typename Char>
class errmsg_exceptionT : public std::exception {
 public:
  errmsg_exceptionT() noexcept = default;
  explicit errmsg_exceptionT(const Char* message) noexcept;
  errmsg_exceptionT(const errmsg_exceptionT& other) noexcept;
  errmsg_exceptionT& operator=(const errmsg_exceptionT& other) noexcept;
  ~errmsg_exceptionT() override;

  // The narrow message; the wide class returns its class name, as its message is wide.
  const char* what() const noexcept override;
  // The message, or "NULL" when there is none.
  virtual const Char* ErrorMessage() const noexcept;
  // Best effort: without memory the message stays absent; never throws.
  virtual void SetErrorMessage(const Char* message) noexcept;

 private:
  Char* m_szErrMsg = nullptr;
};

template <typename Char>
class httpclientexceptionT : public errmsg_exceptionT<Char> {
 public:
  explicit httpclientexceptionT(const Char* message = nullptr, int32_t code = 0,
                                uint32_t systemError = 0) noexcept;
  httpclientexceptionT(const httpclientexceptionT& other) noexcept = default;
  httpclientexceptionT& operator=(const httpclientexceptionT& other) noexcept = default;
  ~httpclientexceptionT() override = default;

  // As errmsg_exceptionT's, but the wide class names itself httpclientexceptionW.
  const char* what() const noexcept override;
  int32_t Code() const noexcept { return m_nErrCode; }
  uint32_t SystemError() const noexcept { return m_dwLastError; }

 private:
  int32_t m_nErrCode;
  uint32_t m_dwLastError;
};

template <>
const char* errmsg_exceptionT<char>::what() const noexcept;
template <>
const char* errmsg_exceptionT<char16_t>::what() const noexcept;
template <>
const char* httpclientexceptionT<char>::what() const noexcept;
template <>
const char* httpclientexceptionT<char16_t>::what() const noexcept;

// Defined once, in http_error.cpp.
extern template class errmsg_exceptionT<char>;
extern template class errmsg_exceptionT<char16_t>;
extern template class httpclientexceptionT<char>;
extern template class httpclientexceptionT<char16_t>;

using errmsg_exceptionA = errmsg_exceptionT<char>;
using errmsg_exceptionW = errmsg_exceptionT<char16_t>;
using httpclientexceptionA = httpclientexceptionT<char>;
using httpclientexceptionW = httpclientexceptionT<char16_t>;

// Raise operations, narrow flavour: used only inside CHttpToolA.
[[noreturn]] void ThrowExceptionA(int32_t code);
[[noreturn]] void ThrowExceptionA(const char* message, int32_t code);
[[noreturn]] void ThrowFormattedExceptionA(int32_t code, uint32_t systemError,
                                           const char* argument);
[[noreturn]] void ThrowArithmeticExceptionA(uint32_t failure);

// Raise operations, wide flavour.
[[noreturn]] void ThrowExceptionW(int32_t code);
[[noreturn]] void ThrowExceptionW(const char16_t* message, int32_t code);
[[noreturn]] void ThrowFormattedExceptionW(int32_t code, uint32_t systemError,
                                           const char16_t* argument);
[[noreturn]] void ThrowArithmeticExceptionW(uint32_t failure);
// Widens `message` with the ANSI code page; when that conversion fails the exception carries
// no message but keeps `code` and `systemError`.
[[noreturn]] void ThrowAnsiMessage(const char* message, int32_t code, uint32_t systemError);
[[noreturn]] void ThrowWidenedException(const httpclientexceptionA& narrow);

// The table message of `code` formatted printf-style with the one text argument, cut to 511
// characters; a null argument leaves the message as it is. Exposed for the raise operations and
// their tests.
void FormatErrorMessageA(int32_t code, const char* argument, char (&out)[512]) noexcept;
void FormatErrorMessageW(int32_t code, const char16_t* argument, char16_t (&out)[512]) noexcept;

// Overflow-guarded unsigned 32-bit arithmetic for buffer sizes. The A variants raise the narrow
// exception, the W variants the wide one; both with code 112 on overflow or underflow.
struct GuardedA {
  static uint32_t Add(uint32_t a, uint32_t b);
  static uint32_t Mul(uint32_t a, uint32_t b);
  static uint32_t Dec(uint32_t a);
  static uint32_t Length(size_t length);
};
struct GuardedW {
  static uint32_t Add(uint32_t a, uint32_t b);
  static uint32_t Mul(uint32_t a, uint32_t b);
  static uint32_t Dec(uint32_t a);
  // A text length as a 32-bit count; longer texts are an overflow.
  static uint32_t Length(size_t length);
};

}  // namespace vexo
