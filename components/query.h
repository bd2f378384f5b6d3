// TLarkspireQuery: the query component applications place on their windows. Its SQL text runs
// on the server: opening fetches the rows (command 300), ExecSQL runs a statement without rows
// (command 210) and returns the rows affected. Changing SQL closes the query and parses the
// text's ":name" placeholders into Parameters, keeping the values of names that remain.
//
//   TLarkspireQuery query;
//   query.SetConnection(&connection);
//   query.SQL().SetText("select * from products where ProName like :ProName");
//   query.Parameters().ParamByName("ProName").Value = "%ab%";
//   query.Open();
//
// Paging: query.Paging() fetches the result a page at a time (components/paging.h); after each
// page fetch OnPageChange is called with the page index. An open that the paging object did not
// start fetches every row and leaves the paging object as it was.
//
// Defaults: CommandTimeout 30, EnableBCD true, ParamCheck true, Prepared false, CursorType
// ctKeyset, CursorLocation clUseClient, CacheSize 1, MaxRecords 0, LockType ltOptimistic,
// command type cmdText.
//
// Thread-safety: main thread only.
#ifndef LARKSPIRE_COMPONENTS_QUERY_H_
#define LARKSPIRE_COMPONENTS_QUERY_H_

#include <cstdint>

#include "components/paging.h"
#include "components/remote_dataset_ex.h"
#include "platform/string_list.h"

namespace larkspire {

class TLarkspireQuery : public TCustomLarkspireDataSetEx {
 public:
  explicit TLarkspireQuery(TComponent* owner = nullptr);
  ~TLarkspireQuery() override;

  // The statement's lines; every change runs SQLChanged.
  TStringList& SQL() { return sql_; }
  const TStringList& SQL() const { return sql_; }
  // Copies the given lines into the query's own list.
  void SetSQL(const TStringList& lines) { sql_.Assign(lines); }
  int32_t RowsAffected() const { return rows_affected_; }
  // The query's own paging object. Assigning another copies its settings (PageSize) into it.
  TLarkspirePaging& Paging() { return paging_; }
  const TLarkspirePaging& Paging() const { return paging_; }
  void SetPaging(const TLarkspirePaging& paging) { paging_.Assign(paging); }
  // Called after every page fetch with the page index.
  TLarkspirePagingEvent OnPageChange;

  // Runs the statement (command 210, never behind the wait window) and returns the rows
  // affected. A busy connection, or a failed reply without a message, gives 0 and raises
  // nothing; a refusal raises ELarkspireException.
  int32_t ExecSQL();
  // The SQL list's change notification: closes the query (unless it is loading) and sets the
  // command text from the list.
  void SQLChanged();

 protected:
  void FillPagingRecord(int32_t record[4]) const override;
  void UpdatePagingRecordCount(int32_t count) override;

 private:
  TStringList sql_;
  int32_t rows_affected_ = 0;
  TLarkspirePaging paging_{this};
};

}  // namespace larkspire

#endif  // LARKSPIRE_COMPONENTS_QUERY_H_
