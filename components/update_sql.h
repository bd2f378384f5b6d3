// TLarkspireUpdateSQL: the update object of a remote dataset. Its presence keeps the dataset's
// posts and deletes local: they stay pending in the dataset's local recordset until the
// application sends them itself (ApplyUpdates). It holds three SQL texts, DeleteSQL, InsertSQL
// and ModifySQL, which are stored with the component and never sent or executed by the client.
//
//   TLarkspireUpdateSQL update;
//   query.SetUpdateObject(&update);   // update.DataSet() is now &query
//   ... edits stay pending ...
//   query.ApplyUpdates();             // sends them all at once
//
// The update object and its dataset know each other: freeing either clears the other's
// reference; giving the update object to a second dataset clears the first dataset's
// UpdateObject; giving a dataset another update object detaches the one it had.
//
// Thread-safety: main thread only, like the datasets.
#ifndef LARKSPIRE_COMPONENTS_UPDATE_SQL_H_
#define LARKSPIRE_COMPONENTS_UPDATE_SQL_H_

#include "platform/component.h"
#include "platform/string_list.h"

namespace larkspire {

class TCustomLarkspireDataSetEx;

class TLarkspireUpdateSQL : public TComponent {
 public:
  explicit TLarkspireUpdateSQL(TComponent* owner = nullptr);
  ~TLarkspireUpdateSQL() override;

  // The dataset whose UpdateObject this is; null when none.
  TCustomLarkspireDataSetEx* DataSet() const { return dataset_; }
  // Null detaches from the current dataset (whose UpdateObject is cleared); the current dataset
  // does nothing; another dataset first clears the UpdateObject of the previous one, then
  // becomes DataSet and takes this as its UpdateObject.
  void AttachDataSet(TCustomLarkspireDataSetEx* dataset);

  // The statements; the setters copy the given lines into the component's own lists.
  TStringList& DeleteSQL() { return delete_sql_; }
  const TStringList& DeleteSQL() const { return delete_sql_; }
  void SetDeleteSQL(const TStringList& lines) { delete_sql_.Assign(lines); }
  TStringList& InsertSQL() { return insert_sql_; }
  const TStringList& InsertSQL() const { return insert_sql_; }
  void SetInsertSQL(const TStringList& lines) { insert_sql_.Assign(lines); }
  TStringList& ModifySQL() { return modify_sql_; }
  const TStringList& ModifySQL() const { return modify_sql_; }
  void SetModifySQL(const TStringList& lines) { modify_sql_.Assign(lines); }

 protected:
  void Notification(TComponent* component, TOperation operation) override;

 private:
  TCustomLarkspireDataSetEx* dataset_ = nullptr;
  TStringList delete_sql_;
  TStringList insert_sql_;
  TStringList modify_sql_;
};

}  // namespace larkspire

#endif  // LARKSPIRE_COMPONENTS_UPDATE_SQL_H_
