#include "qt/dataset_model.h"

#include "dataset/dataset.h"

namespace larkspire {
namespace {

bool IsNumeric(const TField& field) {
  return dynamic_cast<const TNumericField*>(&field) != nullptr;
}

}  // namespace

TDataSetTableModel::TDataSetTableModel(QObject* parent) : QAbstractTableModel(parent) {}

TDataSetTableModel::~TDataSetTableModel() = default;

void TDataSetTableModel::SetSource(TDataSource* source) {
  SetDataSource(source);
  Reset();
}

void TDataSetTableModel::SetColumns(std::vector<TGridColumn> columns) {
  beginResetModel();
  columns_ = std::move(columns);
  endResetModel();
}

int TDataSetTableModel::CurrentRow() const {
  TDataSet* dataset = DataSet();
  if (dataset == nullptr || !dataset->Active() || dataset->RecordCount() == 0) return -1;
  const int rec_no = dataset->RecNo();
  return rec_no > 0 ? rec_no - 1 : -1;
}

TField* TDataSetTableModel::ColumnField(int column) const {
  TDataSet* dataset = DataSet();
  if (dataset == nullptr || column < 0 || column >= static_cast<int>(columns_.size())) {
    return nullptr;
  }
  return dataset->FindField(columns_[column].FieldName);
}

int TDataSetTableModel::rowCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : rows_;
}

int TDataSetTableModel::columnCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : static_cast<int>(columns_.size());
}

QVariant TDataSetTableModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid() || index.row() >= rows_) return QVariant();
  TField* field = ColumnField(index.column());
  if (field == nullptr) return QVariant();
  switch (role) {
    case Qt::DisplayRole: {
      // The current row of an edit shows the values being edited.
      TDataSet& dataset = *DataSet();
      const bool current = index.row() == CurrentRow();
      const TVariant value =
          current ? field->Value() : dataset.RecordValue(index.row() + 1, *field);
      return QString::fromStdString(field->DisplayTextOf(value));
    }
    case Qt::TextAlignmentRole:
      return QVariant::fromValue(Qt::AlignVCenter |
                                 (IsNumeric(*field) ? Qt::AlignRight : Qt::AlignLeft));
    default:
      return QVariant();
  }
}

QVariant TDataSetTableModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (role != Qt::DisplayRole) return QVariant();
  if (orientation == Qt::Vertical) return QVariant();
  if (section < 0 || section >= static_cast<int>(columns_.size())) return QVariant();
  return QString::fromStdString(columns_[section].Title);
}

Qt::ItemFlags TDataSetTableModel::flags(const QModelIndex& index) const {
  if (!index.isValid()) return Qt::NoItemFlags;
  return Qt::ItemIsEnabled | Qt::ItemIsSelectable;
}

void TDataSetTableModel::Reset() {
  beginResetModel();
  TDataSet* dataset = DataSet();
  rows_ = TDataLink::Active() && dataset != nullptr ? dataset->RecordCount() : 0;
  endResetModel();
  emit CurrentRowChanged(TDataLink::Active() ? CurrentRow() : -1);
}

void TDataSetTableModel::ActiveChanged() {
  Reset();
}
void TDataSetTableModel::DataSetChanged() {
  Reset();
}
void TDataSetTableModel::LayoutChanged() {
  Reset();
}
void TDataSetTableModel::EditingChanged() {
  Reset();
}

void TDataSetTableModel::DataSetScrolled(int) {
  emit CurrentRowChanged(CurrentRow());
}

void TDataSetTableModel::RecordChanged(TField*) {
  const int row = CurrentRow();
  if (row < 0 || row >= rows_) {
    Reset();
    return;
  }
  emit dataChanged(index(row, 0), index(row, columnCount() - 1));
}

}  // namespace larkspire
