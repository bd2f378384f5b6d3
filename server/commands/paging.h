// Paging of command 300: with Option 1 the query description in Data is followed by a
// 16-byte paging record (protocol/paging_record.h), and the reply answers one page of the rows
// and the total row count.
//
// The reply's Data holds the rows of page PageIndex (rows (PageIndex - 1) * PageSize + 1 on,
// at most PageSize of them, in the query's own order); its Params holds the paging record,
// after the parameter list when the query is a stored procedure. A page before the first or
// beyond the end answers no rows (with the columns) and the true count. A page size below 1
// is refused. The description's MaxRecords, when positive, caps the rows counted.
//
// A query (SELECT, WITH or VALUES) is paged by the database: it runs as a subquery with
// LIMIT and OFFSET, and a second statement counts its rows, so a page costs what the page
// holds and the count, never every row. Other statements and stored procedures run whole,
// and the page is cut from their rows.
//
// Thread-safety: pure functions and handlers on the session's thread.
#ifndef LARKSPIRE_SERVER_PAGING_H_
#define LARKSPIRE_SERVER_PAGING_H_

#include <cstdint>
#include <string>

#include "dataset/recordset.h"
#include "platform/parameters.h"
#include "platform/stream.h"
#include "protocol/paging_record.h"
#include "protocol/query_description.h"
#include "protocol/remote_command.h"
#include "server/rowsets/rowset_writer.h"
#include "server/sql/database.h"

namespace larkspire::server {

// The rows a page covers: First is the 0-based index of its first row, Count how many rows
// it may hold (0 for a page before the first or beyond a positive max_records).
struct TPageWindow {
  int64_t First = 0;
  int64_t Count = 0;
};
TPageWindow PageWindow(int32_t page_size, int32_t page_index, int32_t max_records);

// Keeps only the window's rows; answers how many rows there were (capped by max_records).
int64_t KeepPage(TRecordsetData& rows, const TPageWindow& window, int32_t max_records);

// Whether a statement can run as a subquery: it begins (after blanks, comments and opening
// parentheses) with SELECT, WITH or VALUES.
bool IsPageableQuery(const std::string& sql);

// Serves a paged command 300: reads the paging record from paging (just after the
// description), runs the statement (or calls the stored procedure) for the page and fills the
// reply's Params; the page's rows go into writer (the reply's Data).
void ServePagedQuery(IDatabase& database, TQueryDescription& description,
                     const std::string& statement, const TStatementOptions& options,
                     TStream& paging, TRemoteCommand& reply, TRowsetXmlWriter& writer);

}  // namespace larkspire::server

#endif  // LARKSPIRE_SERVER_PAGING_H_
