// TAdoXmlRowStream: reads an ADO XML rowset document piece by piece, as its text arrives, and
// hands out each row the moment its element is complete, keeping none of them. A program can
// so read a rowset of any size in the memory of one row and the piece being read.
//
// The document is the one the server sends for a query: UTF-8, a schema, then rows without
// pending changes. The schema is read as the whole-document reader reads it (dataset/ado_xml.h)
// and each row's values are converted by the same code, so a row handed out here equals the
// row the whole-document reader builds. Pending-change blocks (rs:insert, rs:update,
// rs:delete), rows with child rows, UTF-16 text and anything that is not well-formed raise
// EMalformedData saying what and where (the offset counts from the document's start); the
// stream then stays failed.
//
// Memory follows what arrived: text is kept only until the element it belongs to is complete,
// and nothing is ever reserved from a count the document states.
//
// Thread-safety: used by one thread; the handlers run on it, inside Feed and Finish.
#ifndef LARKSPIRE_DATASET_ADO_XML_ROW_STREAM_H_
#define LARKSPIRE_DATASET_ADO_XML_ROW_STREAM_H_

#include <cstdint>
#include <functional>
#include <memory>
#include <string_view>

#include "dataset/recordset.h"

namespace larkspire {

class TAdoXmlRowStream {
 public:
  // Called once, when the schema has been read, before any row.
  using TSchemaHandler = std::function<void(const TRecordsetSchema& schema)>;
  // Called for each row in document order. The row is the reader's own and is dropped when the
  // handler returns; the handler may move its values away.
  using TRowHandler = std::function<void(TRecordsetRow& row)>;

  TAdoXmlRowStream(TSchemaHandler on_schema, TRowHandler on_row);
  ~TAdoXmlRowStream();
  TAdoXmlRowStream(const TAdoXmlRowStream&) = delete;
  TAdoXmlRowStream& operator=(const TAdoXmlRowStream&) = delete;

  // The next piece of the document's text.
  void Feed(std::string_view text);
  // The document has ended: raises EMalformedData when it is incomplete (no text at all
  // included).
  void Finish();

  // Whether the schema has been read, and the rows handed out so far.
  bool HasSchema() const;
  const TRecordsetSchema& Schema() const;
  int64_t RowCount() const;

 private:
  struct TState;
  std::unique_ptr<TState> state_;
};

}  // namespace larkspire

#endif  // LARKSPIRE_DATASET_ADO_XML_ROW_STREAM_H_
