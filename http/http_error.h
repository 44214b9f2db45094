// The HTTP client's error model: exceptions that carry a code, a message and the platform error
// value, the fixed message table, and the raise operations every layer uses. The narrow layer
// throws httpclientexceptionA; every wide operation turns it into httpclientexceptionW before it
// leaves, so callers of the wide classes only ever see httpclientexceptionW.
#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>

namespace vexo {

// Error codes of the message table.
namespace httperror {
inline constexpr int32_t kNotSpecified = 0;
inline constexpr int32_t kUnexpected = 100;
inline constexpr int32_t kIndexOutOfRange = 101;
inline constexpr int32_t kOutOfMemory = 102;
inline constexpr int32_t kInvalidUrl = 103;
inline constexpr int32_t kPostNotStarted = 104;
inline constexpr int32_t kFileReadShort = 105;
inline constexpr int32_t kPostNotFinished = 106;
inline constexpr int32_t kInvalidPort = 107;
inline constexpr int32_t kStdException = 108;
inline constexpr int32_t kInvalidEncodedUrl = 109;
inline constexpr int32_t kInvalidUtf8 = 110;
inline constexpr int32_t kArithmetic = 111;
inline constexpr int32_t kArithmeticOverflow = 112;
inline constexpr int32_t kDivideByZero = 113;
inline constexpr int32_t kFileExists = 114;
inline constexpr int32_t kReserved = 200;
inline constexpr int32_t kHttpQueryInfo = 400;
inline constexpr int32_t kInternetReadFile = 401;
inline constexpr int32_t kInternetOpen = 402;
inline constexpr int32_t kInternetConnect = 403;
inline constexpr int32_t kHttpOpenRequest = 404;
inline constexpr int32_t kHttpAddRequestHeaders = 405;
inline constexpr int32_t kHttpSendRequest = 406;
inline constexpr int32_t kHttpSendRequestEx = 407;
inline constexpr int32_t kInternetWriteFile = 408;
inline constexpr int32_t kHttpEndRequest = 409;
inline constexpr int32_t kInternetSetOption = 410;
inline constexpr int32_t kWideCharToMultiByte = 600;
inline constexpr int32_t kMultiByteToWideChar = 601;
inline constexpr int32_t kReadFile = 602;
inline constexpr int32_t kOpenFile = 603;
inline constexpr int32_t kSetFilePointer = 604;
inline constexpr int32_t kGetFileSize = 605;
inline constexpr int32_t kWriteFile = 606;
inline constexpr int32_t kUserDefined = 1000;
}  // namespace httperror

// Failure values that the guarded arithmetic hands to ThrowArithmeticException.
inline constexpr uint32_t kArithmeticOverflowFailure = 534;  // ERROR_ARITHMETIC_OVERFLOW
inline constexpr uint32_t kIntegerDivideByZeroFailure =
    0xC0000094;  // STATUS_INTEGER_DIVIDE_BY_ZERO

// The table message of `code` (codes without a row give "Not specified").
const char* ErrorMessageOfA(int32_t code) noexcept;
const char16_t* ErrorMessageOfW(int32_t code) noexcept;

class errmsg_exceptionA : public std::exception {
 public:
  errmsg_exceptionA() noexcept = default;
  explicit errmsg_exceptionA(const char* message) noexcept;
  errmsg_exceptionA(const errmsg_exceptionA& other) noexcept;
  errmsg_exceptionA& operator=(const errmsg_exceptionA& other) noexcept;
  ~errmsg_exceptionA() override;

  const char* what() const noexcept override;
  virtual const char* ErrorMessage() const noexcept;
  // Best effort: without memory the message stays absent; never throws.
  virtual void SetErrorMessage(const char* message) noexcept;

 private:
  char* m_szErrMsg = nullptr;
};

class errmsg_exceptionW : public std::exception {
 public:
  errmsg_exceptionW() noexcept = default;
  explicit errmsg_exceptionW(const char16_t* message) noexcept;
  errmsg_exceptionW(const errmsg_exceptionW& other) noexcept;
  errmsg_exceptionW& operator=(const errmsg_exceptionW& other) noexcept;
  ~errmsg_exceptionW() override;

  // The class name: the message is wide and cannot be returned here.
  const char* what() const noexcept override;
  virtual const char16_t* ErrorMessage() const noexcept;
  virtual void SetErrorMessage(const char16_t* message) noexcept;

 private:
  char16_t* m_szErrMsg = nullptr;
};

class httpclientexceptionA : public errmsg_exceptionA {
 public:
  explicit httpclientexceptionA(const char* message = nullptr, int32_t code = 0,
                                uint32_t systemError = 0) noexcept;
  httpclientexceptionA(const httpclientexceptionA& other) noexcept = default;
  httpclientexceptionA& operator=(const httpclientexceptionA& other) noexcept = default;
  ~httpclientexceptionA() override = default;

  int32_t Code() const noexcept { return m_nErrCode; }
  uint32_t SystemError() const noexcept { return m_dwLastError; }

 private:
  int32_t m_nErrCode;
  uint32_t m_dwLastError;
};

class httpclientexceptionW : public errmsg_exceptionW {
 public:
  explicit httpclientexceptionW(const char16_t* message = nullptr, int32_t code = 0,
                                uint32_t systemError = 0) noexcept;
  httpclientexceptionW(const httpclientexceptionW& other) noexcept = default;
  httpclientexceptionW& operator=(const httpclientexceptionW& other) noexcept = default;
  ~httpclientexceptionW() override = default;

  const char* what() const noexcept override;
  int32_t Code() const noexcept { return m_nErrCode; }
  uint32_t SystemError() const noexcept { return m_dwLastError; }

 private:
  int32_t m_nErrCode;
  uint32_t m_dwLastError;
};

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
