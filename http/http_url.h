// URL analysis by positions and the text encoders the request layer rests on.
#pragma once

#include <cstdint>

namespace vexo {

// Splits a URL into scheme, host, port, path, query and fragment as character positions into the
// caller's text; nothing is copied and no pointer to the text is kept. The first "://" anywhere
// in the text separates the scheme; everything after the first ":" of the host part is the port.
class CHttpUrlAnalyzerT {
 public:
  // Raises code 0 for the UTF-8 and UTF-7 code pages; a null or empty URL leaves all fields 0.
  void Analyze(const char16_t* szUrl, uint32_t CodePage);

  uint32_t SchemeStart() const { return m_nSchemeStart; }
  uint32_t SchemeLength() const { return m_nSchemeLength; }
  uint32_t HostStart() const { return m_nHostStart; }
  uint32_t HostLength() const { return m_nHostLength; }
  uint32_t PortStart() const { return m_nPortStart; }
  uint32_t PortLength() const { return m_nPortLength; }
  uint32_t PathStart() const { return m_nPathStart; }
  uint32_t PathLength() const { return m_nPathLength; }
  uint32_t QueryStart() const { return m_nQueryStart; }
  uint32_t QueryLength() const { return m_nQueryLength; }
  uint32_t FragmentStart() const { return m_nFragmentStart; }
  uint32_t FragmentLength() const { return m_nFragmentLength; }

 private:
  void AnalyzeHostAndPort(const char16_t* szUrl, uint32_t& p);
  void AnalyzePathAndQuery(const char16_t* szUrl, uint32_t& p);

  uint32_t m_nSchemeStart = 0;
  uint32_t m_nSchemeLength = 0;
  uint32_t m_nHostStart = 0;
  uint32_t m_nHostLength = 0;
  uint32_t m_nPortStart = 0;
  uint32_t m_nPortLength = 0;
  uint32_t m_nPathStart = 0;
  uint32_t m_nPathLength = 0;
  uint32_t m_nQueryStart = 0;
  uint32_t m_nQueryLength = 0;
  uint32_t m_nFragmentStart = 0;
  uint32_t m_nFragmentLength = 0;
};

// URL-encoding of wide text and its conversion to narrow bytes. Output buffers are the caller's
// and must hold one unit more than the matching length operation returns.
class CHttpEncoderW {
 public:
  // Encodes each UTF-16 unit on its own (UTF-8 when bUtf8, else CodePage): letters and digits
  // stay, a space becomes "+", every other byte becomes "%XX".
  static char16_t* UrlEncodeW(char16_t* szBuff, const char16_t* szStr, bool bUtf8,
                              uint32_t CodePage);
  static uint32_t UrlEncodeLenW(const char16_t* szStr, bool bUtf8, uint32_t CodePage);

  // Encodes bytes up to their terminator into `out` and terminates it; returns the terminator's
  // position.
  static char16_t* _UrlEncode(const char* bytes, char16_t* out);
  static uint32_t _UrlEncodeLen(const char* szStr);

  static uint32_t AnsiEncodeLen(const char16_t* szStr, uint32_t CodePage);
  static char* AnsiEncode(char* szBuff, const char16_t* szStr, uint32_t CodePage);
};

// True for the code pages (UTF-8, UTF-7) that the conversions refuse as CodePage arguments.
bool IsRefusedCodePage(uint32_t CodePage);

}  // namespace vexo
