#include "components/paging.h"

#include "components/query.h"

namespace larkspire {

TLarkspirePaging::TLarkspirePaging(TLarkspireQuery* query) : query_(query) {}

void TLarkspirePaging::SetPageSize(int32_t size) {
  page_size_ = size < 1 ? 1 : size;
}

void TLarkspirePaging::GotoPage(int32_t index) {
  if (index == 0)
    index = 1;
  else if (index == page_index_)
    return;
  page_index_ = index;
  if (query_ == nullptr) return;
  TLarkspireQuery& query = *query_;
  query.SetPagingFetch(true);
  try {
    query.Close();
    query.Open();
    if (query.OnPageChange) query.OnPageChange(page_index_);
  } catch (...) {
    query.SetPagingFetch(false);
    throw;
  }
  query.SetPagingFetch(false);
}

void TLarkspirePaging::NextPage() {
  if (page_index_ < page_count_) GotoPage(page_index_ + 1);
}

void TLarkspirePaging::PriorPage() {
  if (page_index_ > 1) GotoPage(page_index_ - 1);
}

void TLarkspirePaging::UpdateRecordCount(int32_t count) {
  record_count_ = count;
  if (count > 0) {
    page_count_ = count / page_size_ + (count % page_size_ != 0 ? 1 : 0);
  } else {
    page_index_ = -1;
    page_count_ = 0;
  }
}

}  // namespace larkspire
