#include "tools/start_answer_writer.h"

#include "xml/xml_escape.h"

namespace vexo::tools {
namespace {

std::string Element(std::string_view name, std::string_view text) {
  std::string line = "      <";
  line += name;
  line += '>';
  line += EscapeXml(text);
  line += "</";
  line += name;
  line += ">\n";
  return line;
}

}  // namespace

std::string EscapeXml(std::string_view text) {
  return EscapeText(text, ESCAPE_QUOTES);
}

std::string WriteOfferElement(const OfferFields& offer) {
  // Agents look for these children forward only, in exactly this order.
  std::string xml = "<software_update>\n";
  xml += Element("status", "y");
  xml += Element("name", offer.name);
  xml += Element("rname", offer.rname);
  xml += Element("force", offer.force ? "y" : "n");
  xml += Element("param", offer.param);
  xml += Element("version", offer.version);
  xml += Element("url", offer.url);
  xml += Element("md5", offer.md5);
  if (!offer.signature.empty())
    xml += Element("signature", offer.signature);
  xml += "    </software_update>";
  return xml;
}

std::string WriteStartAnswer(const OfferFields& offer) {
  return "<response>\n  <data>\n    " + WriteOfferElement(offer) + "\n  </data>\n</response>\n";
}

}  // namespace vexo::tools
