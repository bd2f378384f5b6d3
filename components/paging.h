// TLarkspirePaging: the paging object of a TLarkspireQuery. It fetches the query's result one
// page at a time: a page fetch is an ordinary open of the query (command 300) with Option 1 and
// a 16-byte paging record after the query description, and the server answers the rows of that
// page and, in the reply's paging record, the total number of rows. After every page fetch the
// query's OnPageChange is called with the page index.
//
//   query.SQL().SetText("select * from products order by ProId desc");
//   query.Paging().SetPageSize(20);
//   query.Paging().ReloadFirstPage();    // PageCount() now tells how many pages there are
//   query.Paging().NextPage();
//
// Paging record, four signed 32-bit little-endian fields:
//   request (end of Data):  0, 0, PageSize, PageIndex (the page asked for)
//   reply   (Params, after the parameter list of a stored procedure): the total number of
//           rows, then three fields that are not read
//
// A new paging object has no page: PageIndex -1, PageCount 0, RecordCount 0, PageSize 20.
// Errors of a page fetch are those of the query's open and propagate (the event is then not
// called, and PageIndex keeps the page asked for); on a busy connection the open does nothing,
// the counts keep their values and the event is still called.
//
// Thread-safety: main thread only, like the query.
#ifndef LARKSPIRE_COMPONENTS_PAGING_H_
#define LARKSPIRE_COMPONENTS_PAGING_H_

#include <cstdint>
#include <functional>

namespace larkspire {

class TLarkspireQuery;

// The query's OnPageChange: called with the page index after each page fetch.
using TLarkspirePagingEvent = std::function<void(int page_index)>;

class TLarkspirePaging {
 public:
  explicit TLarkspirePaging(TLarkspireQuery* query);
  TLarkspirePaging(const TLarkspirePaging&) = delete;
  TLarkspirePaging& operator=(const TLarkspirePaging&) = delete;

  TLarkspireQuery* Query() const { return query_; }
  // Total rows of the query as the server reported them with the last page.
  int32_t RecordCount() const { return record_count_; }
  // RecordCount divided by PageSize, rounded up; 0 when there are no rows.
  int32_t PageCount() const { return page_count_; }
  // The current page, counted from 1; -1 when there is none.
  int32_t PageIndex() const { return page_index_; }
  int32_t PageSize() const { return page_size_; }
  // Values below 1 store 1.
  void SetPageSize(int32_t size);
  // The counts change only through the operations: writing them has no effect (a stored form
  // may carry them).
  void SetRecordCount(int32_t) {}
  void SetPageCount(int32_t) {}
  void SetPageIndex(int32_t) {}
  // Copies the settings (PageSize) of another paging object.
  void Assign(const TLarkspirePaging& other) { SetPageSize(other.page_size_); }

  // Fetches page index (0: page 1, even when it is the current page). The current page does
  // nothing; no other check is made, so an index below 0 or past PageCount is sent as it is.
  void GotoPage(int32_t index);
  void FirstPage() { GotoPage(1); }
  void LastPage() { GotoPage(page_count_); }
  // Only while PageIndex < PageCount (a new object fetches page 1).
  void NextPage();
  // Only while PageIndex > 1.
  void PriorPage();
  void ReloadFirstPage() { GotoPage(0); }
  bool IsFirstPage() const { return page_count_ > 0 && page_index_ == 1; }
  bool IsLastPage() const { return page_count_ > 0 && page_index_ == page_count_; }

  // Called by the query's open with the total the reply's paging record gives: sets
  // RecordCount and PageCount; a total of 0 or less also sets PageIndex to -1.
  void UpdateRecordCount(int32_t count);

 private:
  TLarkspireQuery* query_;
  int32_t record_count_ = 0;
  int32_t page_count_ = 0;
  int32_t page_index_ = -1;
  int32_t page_size_ = 20;
};

}  // namespace larkspire

#endif  // LARKSPIRE_COMPONENTS_PAGING_H_
