// Writes a query's rowset document (the ADO XML persistence format, byte for byte as the
// recordset's writer, dataset/ado_xml.h, writes it) straight into a reply's compressed payload:
// the schema once the columns are settled, then each row as it is read, then the end. Rows
// come either whole (Row) or a value at a time through the row-sink calls, which format each
// value straight into the payload's block.
//
// Thread-safety: a writer belongs to one session thread.
#ifndef LARKSPIRE_SERVER_ROWSET_WRITER_H_
#define LARKSPIRE_SERVER_ROWSET_WRITER_H_

#include <functional>
#include <string>
#include <vector>

#include "dataset/recordset.h"
#include "platform/variant.h"
#include "server/rowsets/reply_compression.h"
#include "server/rowsets/row_sink.h"

namespace larkspire::server {

class TRowsetXmlWriter final : public IRowSink {
 public:
  explicit TRowsetXmlWriter(TDeflatedPayload& payload) : payload_(payload) {}
  TRowsetXmlWriter(const TRowsetXmlWriter&) = delete;
  TRowsetXmlWriter& operator=(const TRowsetXmlWriter&) = delete;

  // The schema and the start of the rows.
  void Begin(const TRecordsetSchema& schema);
  // One unchanged row ("z:row") of values in the schema's column order; Null values are left
  // out. Raises EDatabaseError for a value its column cannot write.
  void Row(const std::vector<TVariant>& values);
  // A row a value at a time (after Begin). A value its column cannot write raises
  // EDatabaseError, as Row does.
  void BeginRow() override;
  void Integer(int column, int64_t value) override;
  void Float(int column, double value) override;
  void Boolean(int column, bool value) override;
  void Currency(int column, int64_t scaled) override;
  void DecimalText(int column, std::string_view digits) override;
  void DateTime(int column, double days) override;
  void Text(int column, std::string_view text) override;
  void Bytes(int column, const uint8_t* data, size_t size) override;
  void EndRow() override;
  // The end of the rows and of the document.
  void End();
  // A whole rowset built beforehand.
  void WriteWhole(TRecordsetData data);
  // Changes every schema before it is written (Begin and WriteWhole), for instance to give
  // columns back the names a query gave them; kept across Reset.
  void SetSchemaAdjustment(std::function<void(TRecordsetSchema&)> adjust) {
    adjust_ = std::move(adjust);
  }
  // Forgets what was written, to start over.
  void Reset();

 private:
  // How a column's values are written: the common kinds directly, the rest through the
  // recordset writer's value text.
  enum class TForm { fmText, fmInteger, fmDouble, fmSingle, fmBoolean, fmCurrency, fmOther };

  struct TColumn {
    std::string Attribute;  // " name='"
    const TRecordsetField* Field = nullptr;
    TForm Form = TForm::fmOther;
  };

  // Starts column's attribute in the pending block and answers the block.
  std::string& Open(int column);
  // A value of a kind its column does not take directly: the recordset writer's text of it.
  void Other(int column, const TVariant& value);

  TDeflatedPayload& payload_;
  TRecordsetSchema schema_;
  std::vector<TColumn> columns_;
  std::string tail_;
  std::function<void(TRecordsetSchema&)> adjust_;
};

}  // namespace larkspire::server

#endif  // LARKSPIRE_SERVER_ROWSET_WRITER_H_
