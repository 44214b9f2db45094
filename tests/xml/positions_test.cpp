// The paged element array and its growth.
#include <gtest/gtest.h>

#include <string>

#include "xml/xml_navigator.h"
#include "xml/xml_positions.h"

namespace vexo {
namespace {

constexpr std::uint32_t kPage = PositionArray::kPageRecords;

void Fill(PositionArray& array, std::uint32_t from, std::uint32_t to) {
  for (std::uint32_t i = from; i < to; ++i) {
    array[i].start = i;
    array[i].nextSibling = ~i;
  }
}

void ExpectFilled(const PositionArray& array, std::uint32_t from, std::uint32_t to) {
  for (std::uint32_t i = from; i < to; ++i) {
    ASSERT_EQ(array[i].start, i);
    ASSERT_EQ(array[i].nextSibling, ~i);
  }
}

TEST(XmlPositionArrayTest, GrowsByAtMostOnePageAndKeepsRecords) {
  PositionArray array;
  EXPECT_EQ(array.Capacity(), 0u);

  ASSERT_TRUE(array.Grow(8));
  EXPECT_EQ(array.Capacity(), 8u);
  EXPECT_EQ(array.PageTableCapacity(), 4u);
  Fill(array, 0, 8);

  // Into a second page: the first is filled up to a whole page.
  ASSERT_TRUE(array.Grow(kPage + 100));
  EXPECT_EQ(array.Capacity(), kPage + 100);
  ExpectFilled(array, 0, 8);
  Fill(array, 8, kPage + 100);

  // A request three pages ahead stops one page further, which is then full.
  ASSERT_TRUE(array.Grow(4 * kPage + 1));
  EXPECT_EQ(array.Capacity(), 3 * kPage);
  EXPECT_EQ(array.PageTableCapacity(), 4u);
  ExpectFilled(array, 0, kPage + 100);
  Fill(array, kPage + 100, 3 * kPage);

  ASSERT_TRUE(array.Grow(4 * kPage + 1));
  EXPECT_EQ(array.Capacity(), 4 * kPage);
  EXPECT_EQ(array.PageTableCapacity(), 4u);
  ASSERT_TRUE(array.Grow(4 * kPage + 1));
  EXPECT_EQ(array.Capacity(), 4 * kPage + 1);
  EXPECT_EQ(array.PageTableCapacity(), 2 * 4 + 4u);  // the table grew for page 4
  ExpectFilled(array, 0, 3 * kPage);

  ASSERT_TRUE(array.Grow(10));  // never shrinks
  EXPECT_EQ(array.Capacity(), 4 * kPage + 1);

  array.Release();
  EXPECT_EQ(array.Capacity(), 0u);
  EXPECT_EQ(array.PageTableCapacity(), 0u);
}

TEST(XmlPositionArrayTest, FirstGrowthFromEmptyMayFillTwoPages) {
  PositionArray array;
  ASSERT_TRUE(array.Grow(200000));
  EXPECT_EQ(array.Capacity(), 2 * kPage);
  EXPECT_EQ(array.PageTableCapacity(), 6u);
  Fill(array, 0, 2 * kPage);
  ExpectFilled(array, 0, 2 * kPage);
}

TEST(XmlPositionArrayTest, RecordFieldsPackIntoTheirWidths) {
  ElementPosition record;
  record.SetTagLengths(kMaxStartTagLength, kMaxEndTagLength);
  EXPECT_EQ(record.StartTagLength(), kMaxStartTagLength);
  EXPECT_EQ(record.EndTagLength(), kMaxEndTagLength);
  record.Set(EP_ERROR | EP_FIRST_CHILD);
  record.SetLevel(kMaxLevel);
  EXPECT_EQ(record.Level(), kMaxLevel);
  EXPECT_TRUE(record.Has(EP_ERROR));
  record.SetLevel(3);
  EXPECT_EQ(record.Level(), 3u);
  EXPECT_TRUE(record.Has(EP_FIRST_CHILD));
}

std::u16string Repeat(std::u16string_view piece, int times) {
  std::u16string text;
  for (int i = 0; i < times; ++i) {
    text += piece;
  }
  return text;
}

// One record per 64 units plus 8 to start with, then growth by half of the records in use.
TEST(XmlPositionArrayTest, ParserPresizesAndGrowsByHalf) {
  CXmlNavigator nav;
  EXPECT_EQ(nav.PositionCapacity(), 8u);

  nav.ParseText(std::u16string(6400, u' ') + u"<r/>");
  EXPECT_EQ(nav.PositionCapacity(), 6404 / 64 + 8u);

  nav.ParseText(Repeat(u"<a/>", 100));  // 101 records; 14 -> 21 -> 31 -> 46 -> 69 -> 103
  EXPECT_EQ(nav.PositionCount(), 101u);
  EXPECT_EQ(nav.PositionCapacity(), 6404 / 64 + 8u);  // kept from the larger document

  CXmlNavigator fresh;
  fresh.ParseText(Repeat(u"<a/>", 100));
  EXPECT_EQ(fresh.PositionCapacity(), 103u);

  fresh.ParseText(u"");  // an empty text keeps the pages
  EXPECT_EQ(fresh.PositionCapacity(), 103u);
  fresh.ParseText();  // no text frees them; the new parse takes the minimum again
  EXPECT_EQ(fresh.PositionCapacity(), 8u);
}

}  // namespace
}  // namespace vexo
