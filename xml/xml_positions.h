// Element records of the XML document and the paged array that holds them.
#pragma once

#include <cstdint>
#include <memory>

namespace vexo {

// Flags in the upper half of an element record's word 3.
inline constexpr std::uint32_t EP_FREE = 0x20000;
inline constexpr std::uint32_t EP_FIRST_CHILD = 0x80000;
inline constexpr std::uint32_t EP_NO_END_TAG = 0x100000;
inline constexpr std::uint32_t EP_ERROR = 0x200000;
inline constexpr std::uint32_t EP_ERROR_BELOW = 0x800000;

// Widths of the packed fields: larger tags and deeper nesting are refused, never wrapped.
inline constexpr std::uint32_t kMaxStartTagLength = 0x3FFFFF;  // 22 bits
inline constexpr std::uint32_t kMaxEndTagLength = 0x3FF;       // 10 bits
inline constexpr std::uint32_t kMaxLevel = 0xFFFF;             // 16 bits

// One element: offsets and lengths count UTF-16 units of the document text. Index 0 of the array
// stands for the document itself.
struct ElementPosition {
  std::uint32_t start = 0;       // offset of the "<"
  std::uint32_t length = 0;      // through the end tag's ">", or the start tag's length
  std::uint32_t tagLengths = 0;  // bits 0-21 start tag, bits 22-31 end tag
  std::uint32_t levelFlags = 0;  // bits 0-15 nesting level, bits 16-31 EP_* flags
  std::uint32_t parent = 0;
  std::uint32_t firstChild = 0;
  std::uint32_t nextSibling = 0;
  std::uint32_t prevSibling = 0;  // in the first child: the last child of the same parent

  std::uint32_t StartTagLength() const { return tagLengths & kMaxStartTagLength; }
  std::uint32_t EndTagLength() const { return tagLengths >> 22; }
  void SetTagLengths(std::uint32_t startTag, std::uint32_t endTag) {
    tagLengths = (startTag & kMaxStartTagLength) | (endTag << 22);
  }
  std::uint32_t Level() const { return levelFlags & kMaxLevel; }
  void SetLevel(std::uint32_t level) {
    levelFlags = (levelFlags & ~kMaxLevel) | (level & kMaxLevel);
  }
  bool Has(std::uint32_t flag) const { return (levelFlags & flag) != 0; }
  void Set(std::uint32_t flag) { levelFlags |= flag; }
  void Clear(std::uint32_t flag) { levelFlags &= ~flag; }
};
static_assert(sizeof(ElementPosition) == 32);

// Records in pages of 65,536 (2 MiB); only the last page may be smaller. A record keeps its index
// for the life of a parse but not its address: look it up again after any growth.
class PositionArray {
 public:
  static constexpr std::uint32_t kPageRecords = 0x10000;

  PositionArray() = default;
  PositionArray(const PositionArray&) = delete;
  PositionArray& operator=(const PositionArray&) = delete;

  // Grows to `wanted` records, adding at most one page per call. False when memory ran out; the
  // array is then as it was.
  bool Grow(std::uint32_t wanted);
  // Frees every page and the page table.
  void Release();

  ElementPosition& operator[](std::uint32_t index) {
    return pages_[index >> 16][index & (kPageRecords - 1)];
  }
  const ElementPosition& operator[](std::uint32_t index) const {
    return pages_[index >> 16][index & (kPageRecords - 1)];
  }

  std::uint32_t Capacity() const { return capacity_; }
  std::uint32_t PageTableCapacity() const { return tableCapacity_; }

 private:
  using Page = std::unique_ptr<ElementPosition[]>;
  static Page NewPage(std::uint32_t records);

  std::unique_ptr<Page[]> pages_;
  std::uint32_t capacity_ = 0;
  std::uint32_t tableCapacity_ = 0;
};

}  // namespace vexo
