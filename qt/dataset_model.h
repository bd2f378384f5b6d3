// TDataSetTableModel: a read-only Qt table model over a dataset, observing it through a data
// link on its data source. Each column shows one field by name, with its title; a cell shows the
// field's display text (so a display format such as "￥0.00" applies) of that row, numbers
// right-aligned. Opening, closing, edits, posts and deletes reset the model; scrolling tells
// the view which row is current (CurrentRowChanged).
//
// Thread-safety: main thread only, like the dataset.
#ifndef LARKSPIRE_QT_DATASET_MODEL_H_
#define LARKSPIRE_QT_DATASET_MODEL_H_

#include <QAbstractTableModel>
#include <string>
#include <vector>

#include "dataset/data_source.h"

namespace larkspire {

struct TGridColumn {
  std::string FieldName;
  std::string Title;
  int Width = 64;
};

class TDataSetTableModel : public QAbstractTableModel, private TDataLink {
  Q_OBJECT

 public:
  explicit TDataSetTableModel(QObject* parent = nullptr);
  ~TDataSetTableModel() override;

  TDataSource* Source() const { return TDataLink::DataSource(); }
  void SetSource(TDataSource* source);
  const std::vector<TGridColumn>& Columns() const { return columns_; }
  void SetColumns(std::vector<TGridColumn> columns);
  // The dataset's current row as a model row; -1 when it has none.
  int CurrentRow() const;

  int rowCount(const QModelIndex& parent = QModelIndex()) const override;
  int columnCount(const QModelIndex& parent = QModelIndex()) const override;
  QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
  QVariant headerData(int section, Qt::Orientation orientation,
                      int role = Qt::DisplayRole) const override;
  Qt::ItemFlags flags(const QModelIndex& index) const override;

 signals:
  void CurrentRowChanged(int row);

 protected:
  void ActiveChanged() override;
  void DataSetChanged() override;
  void DataSetScrolled(int distance) override;
  void RecordChanged(TField* field) override;
  void EditingChanged() override;
  void LayoutChanged() override;

 private:
  void Reset();
  TField* ColumnField(int column) const;

  std::vector<TGridColumn> columns_;
  int rows_ = 0;
};

}  // namespace larkspire

#endif  // LARKSPIRE_QT_DATASET_MODEL_H_
