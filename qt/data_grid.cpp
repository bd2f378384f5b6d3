#include "qt/data_grid.h"

#include <QHeaderView>
#include <QItemSelectionModel>
#include <QScrollBar>
#include <algorithm>

#include "dataset/dataset.h"
#include "qt/exception_handler.h"

namespace larkspire {

TDataGrid::TDataGrid(QWidget* parent) : QTableView(parent), model_(new TDataSetTableModel(this)) {
  setModel(model_);
  setEditTriggers(QAbstractItemView::NoEditTriggers);
  setSelectionBehavior(QAbstractItemView::SelectRows);
  setSelectionMode(QAbstractItemView::SingleSelection);
  setAlternatingRowColors(false);
  verticalHeader()->setDefaultSectionSize(fontMetrics().height() + 6);
  verticalHeader()->setFixedWidth(12);
  horizontalHeader()->setHighlightSections(false);
  connect(model_, &TDataSetTableModel::CurrentRowChanged, this, &TDataGrid::FollowDataSet);
  connect(selectionModel(), &QItemSelectionModel::currentRowChanged, this,
          [this](const QModelIndex& current) { MoveDataSet(current); });
  connect(model_, &QAbstractItemModel::modelReset, this, &TDataGrid::FitColumns);
  connect(model_, &QAbstractItemModel::dataChanged, this, &TDataGrid::FitColumns);
  connect(verticalScrollBar(), &QScrollBar::valueChanged, this, &TDataGrid::FitColumns);
}

void TDataGrid::SetColumns(std::vector<TGridColumn> columns) {
  least_widths_.clear();
  for (const TGridColumn& column : columns) least_widths_.push_back(column.Width);
  model_->SetColumns(std::move(columns));
  FitColumns();
}

void TDataGrid::FitColumns() {
  // sizeHintForColumn measures the rows in the viewport: the values shown.
  for (int i = 0; i < static_cast<int>(least_widths_.size()); ++i)
    setColumnWidth(i, std::max(least_widths_[i], sizeHintForColumn(i)));
}

void TDataGrid::resizeEvent(QResizeEvent* event) {
  QTableView::resizeEvent(event);
  FitColumns();
}

void TDataGrid::mouseDoubleClickEvent(QMouseEvent* event) {
  QTableView::mouseDoubleClickEvent(event);
  emit DblClick();
}

void TDataGrid::FollowDataSet(int row) {
  following_ = true;
  if (row < 0) {
    selectionModel()->clearCurrentIndex();
    clearSelection();
  } else {
    const int column = currentIndex().isValid() ? currentIndex().column() : 0;
    setCurrentIndex(model_->index(row, column));
    scrollTo(currentIndex());
  }
  following_ = false;
}

void TDataGrid::MoveDataSet(const QModelIndex& current) {
  if (following_ || !current.isValid()) return;
  TDataSource* source = model_->Source();
  TDataSet* dataset = source != nullptr ? source->DataSet() : nullptr;
  if (dataset == nullptr || !dataset->Active()) return;
  RunGuarded([&] { dataset->SetRecNo(current.row() + 1); });
}

}  // namespace larkspire
