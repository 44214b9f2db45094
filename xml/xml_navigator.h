// A position-based XML document: the whole text is kept as one UTF-16 string and every element is
// described by a record of offsets into it. Parsing never refuses a document; it builds the best
// element tree it can, reports every problem as a record in ParseResult(), and answers whether the
// document is well formed. Navigation steps between sibling elements, into and out of them; the
// getters read attribute values and text out of the document on demand.
//
// No operation throws on bad input: absent things give false or an empty string, and position
// index 0 means none. A navigator keeps what it last read of a start tag, even through const
// members: use one from one thread at a time.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "xml/xml_positions.h"

namespace vexo {

class TagAttributes;

class CXmlNavigator {
 public:
  // Options of AddResult: which attribute names the record's text and number.
  static constexpr unsigned RESULT_TEXT_TYPE = 0x2;       // "type" (else "tagname")
  static constexpr unsigned RESULT_TEXT_ENCODING = 0x8;   // "encoding"
  static constexpr unsigned RESULT_TEXT_MSG = 0x40;       // "msg"
  static constexpr unsigned RESULT_NUMBER_N = 0x4;        // "n" (else "offset")
  static constexpr unsigned RESULT_NUMBER_COUNT = 0x1;    // "count"
  static constexpr unsigned RESULT_NUMBER_LENGTH = 0x10;  // "length"
  // Once the result text is longer than this, further records are dropped.
  static constexpr std::size_t kMaxResultLength = 999;
  // Option of AddElement: write no line break around the new element.
  static constexpr unsigned ADD_NO_LINE_BREAKS = 0x2;

  // An empty document, already parsed.
  CXmlNavigator();
  explicit CXmlNavigator(std::u16string text);
  ~CXmlNavigator();
  CXmlNavigator(const CXmlNavigator&) = delete;
  CXmlNavigator& operator=(const CXmlNavigator&) = delete;

  // Loads and parses a text; the position goes to the document start. Without a text (or with a
  // null pointer) the document becomes empty and the record pages are freed.
  bool ParseText();
  bool ParseText(const std::u16string& text);
  bool ParseText(std::u16string&& text);
  bool ParseText(const char16_t* text);

  // Steps to the next sibling element named `name` (a path of which only the first name counts;
  // null or empty: the next element whatever its name). Forward only.
  bool FindElement(const char16_t* name);
  bool EnterElement();
  bool LeaveElement();

  // The attribute value with references replaced, or empty.
  std::u16string GetAttribute(int index, const char16_t* name) const;
  // The text of an element without child elements, references replaced and CDATA sections
  // taken as they are, or empty.
  std::u16string GetElementData(int index) const;

  // Editing, as the result records use it: a new element, empty or holding a text escaped with
  // `options`, after the current one (or at the end of the parent's content; an element without
  // end tag takes none); and an attribute value replaced or added in a start tag (an attribute
  // written without value gets one). Line breaks are never written around a new element.
  bool AddElement(const char16_t* name, const char16_t* text, unsigned options);
  bool SetAttribute(int index, const char16_t* name, const char16_t* value, unsigned options);

  // Appends one result record, `<kind attr="value" .../>`, to `result`: the text (when given)
  // and the number under the names that `options` selects, and "offset2" unless `number2` is -1.
  static void AddResult(std::u16string& result, std::u16string_view kind,
                        std::optional<std::u16string_view> text, unsigned options,
                        std::int64_t number, std::int64_t number2);

  bool IsWellFormed() const;

  int CurrentPos() const { return static_cast<int>(currentPos_); }
  int ParentPos() const { return static_cast<int>(parentPos_); }
  int ChildPos() const { return static_cast<int>(childPos_); }
  int NodeType() const { return static_cast<int>(nodeType_); }
  const std::u16string& Text() const { return text_; }
  // The result records of the last parse, e.g.
  // `<lone_end_tag tagname="b" offset="3"/><unended_start_tag tagname="a" .../>`.
  const std::u16string& ParseResult() const { return parseResult_; }

  // Records 0 (the document) to PositionCount() - 1; null for an index outside them.
  const ElementPosition* Position(int index) const;
  std::uint32_t PositionCount() const { return nextFreePos_; }
  std::uint32_t PositionCapacity() const { return positions_.Capacity(); }

 private:
  class Parser;

  bool ParseDocument();
  std::uint32_t NewPosition();
  bool GrowPositions(std::uint32_t wanted);
  ElementPosition& At(std::uint32_t index) { return positions_[index]; }
  const ElementPosition& At(std::uint32_t index) const { return positions_[index]; }
  bool IsElement(int index) const;
  std::u16string_view TagText(std::uint32_t index) const;

  bool AddElementText(std::u16string_view name, std::optional<std::u16string_view> text,
                      unsigned options);
  bool SetAttributeText(int index, std::u16string_view name, std::u16string_view value,
                        unsigned options);
  void SetPosition(std::uint32_t parent, std::uint32_t current, std::uint32_t child);
  std::uint32_t ContentEnd(std::uint32_t parent) const;
  void LinkAfter(std::uint32_t parent, std::uint32_t previous, std::uint32_t added);
  void ReplaceRange(std::uint32_t offset, std::uint32_t count, std::u16string_view replacement);
  void AdjustOffsets(std::uint32_t index, std::int64_t delta);

  std::u16string text_;
  std::u16string parseResult_;
  std::uint32_t parentPos_ = 0;
  std::uint32_t currentPos_ = 0;
  std::uint32_t childPos_ = 0;
  std::uint32_t nextFreePos_ = 0;
  std::uint32_t freeListHead_ = 0;
  std::uint32_t nodeType_ = 0;
  std::uint32_t nodeOffset_ = 0;
  std::uint32_t nodeLength_ = 0;
  PositionArray positions_;
  // The attributes of the start tag of `attributesOf_` (0: none) as far as they have been read,
  // so that reading several of them reads the tag once. Forgotten whenever the text changes.
  mutable std::unique_ptr<TagAttributes> attributes_;
  mutable std::uint32_t attributesOf_ = 0;
};

}  // namespace vexo
