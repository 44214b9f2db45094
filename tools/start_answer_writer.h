// Writing a start answer that offers an installer.
#pragma once

#include <string>
#include <string_view>

namespace vexo::tools {

struct OfferFields {
  std::string name;       // the installer's file name on the server
  std::string rname;      // the file name the agent stores it under
  bool force = false;     // install without asking the user
  std::string param;      // the installer's parameters
  std::string version;    // the offered version
  std::string url;        // the folder URL the name is appended to
  std::string md5;        // 32 hexadecimal digits
  std::string signature;  // base64; no element when empty
};

// Escapes text for XML element content and attribute values: & < > " '.
std::string EscapeXml(std::string_view text);

// The update offer alone: a software_update element, its children in the order agents read them.
std::string WriteOfferElement(const OfferFields& offer);

// A start answer with one update offer and nothing else.
std::string WriteStartAnswer(const OfferFields& offer);

}  // namespace vexo::tools
