// Growth of the paged element array.
#include "xml/xml_positions.h"

#include <algorithm>
#include <new>

namespace vexo {

PositionArray::Page PositionArray::NewPage(std::uint32_t records) {
  return Page(new (std::nothrow) ElementPosition[records]);
}

bool PositionArray::Grow(std::uint32_t wanted) {
  if (wanted <= capacity_) {
    return true;
  }
  const std::uint32_t lastPage = capacity_ == 0 ? 0 : (capacity_ - 1) >> 16;
  std::uint32_t newLastPage = (wanted - 1) >> 16;
  std::uint64_t target = wanted;
  if (newLastPage > lastPage + 1) {
    newLastPage = lastPage + 1;
    target = (static_cast<std::uint64_t>(lastPage) + 2) * kPageRecords;
  }
  if (target > UINT32_MAX) {
    return false;  // indices are 32-bit
  }
  const std::uint32_t usedInLast = capacity_ - lastPage * kPageRecords;
  const auto inNewLast = static_cast<std::uint32_t>(target - newLastPage * kPageRecords);

  // Allocate everything first, so that a failure leaves the array as it was.
  std::unique_ptr<Page[]> table;
  std::uint32_t newTableCapacity = tableCapacity_;
  if (tableCapacity_ <= newLastPage) {
    newTableCapacity = 2 * newLastPage + 4;
    table.reset(new (std::nothrow) Page[newTableCapacity]);
  }
  const bool fillLastPage = newLastPage > lastPage && usedInLast < kPageRecords;
  Page fullLastPage = fillLastPage ? NewPage(kPageRecords) : nullptr;
  Page newLast = NewPage(inNewLast);
  if ((newTableCapacity != tableCapacity_ && !table) || (fillLastPage && !fullLastPage) ||
      !newLast) {
    return false;
  }

  if (table) {
    for (std::uint32_t page = 0; page < tableCapacity_; ++page) {
      table[page] = std::move(pages_[page]);
    }
    pages_ = std::move(table);
    tableCapacity_ = newTableCapacity;
  }
  const auto keepOldRecords = [&](Page& into) {
    if (pages_[lastPage]) {
      std::copy_n(pages_[lastPage].get(), usedInLast, into.get());
    }
    pages_[lastPage] = std::move(into);
  };
  if (fillLastPage) {
    keepOldRecords(fullLastPage);
  }
  if (newLastPage == lastPage) {
    keepOldRecords(newLast);
  } else {
    pages_[newLastPage] = std::move(newLast);
  }
  capacity_ = static_cast<std::uint32_t>(target);
  return true;
}

void PositionArray::Release() {
  pages_.reset();
  capacity_ = 0;
  tableCapacity_ = 0;
}

}  // namespace vexo
