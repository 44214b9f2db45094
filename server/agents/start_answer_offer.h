// The update offer inside a start answer, found as agents find it: the first `software_update`
// child of the first `data` in the top-level `response`, its children searched forward in the
// order agents read them. The server reads which release an answer offers and leaves the offer
// out for agents outside a rollout's share; vexo-answer puts a new offer in its place.
//
// Texts are taken byte for byte: the markup agents look for is ASCII, so positions and names
// are the same whatever character set the rest of the answer is written in.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace vexo::server {

struct OfferInAnswer {
  bool present = false;  // a software_update element that agents enter
  std::string version;   // its `version` text as agents read it
  bool forced = false;   // its `force` text is "y"
};

OfferInAnswer ReadOffer(std::string_view answer);

// The answer with every software_update child of that `data` element cut out, and nothing else
// changed, so agents still read its shortcut rows and mini pop-up. nullopt unless the answer is
// well-formed XML: only then is it certain that what remains reads as before.
std::optional<std::string> WithoutOffer(std::string_view answer);

// The answer with `offerElement` (a whole software_update element) in place of its offers, or
// as the first child of its `data` when it has none; nullopt when the answer has no
// `response`/`data` to hold it or is not well-formed.
std::optional<std::string> WithOffer(std::string_view answer, std::string_view offerElement);

}  // namespace vexo::server
