// TDataGrid: a read-only grid of a dataset's rows: a QTableView over a TDataSetTableModel with
// the given columns, titles and widths. A column's width is the least it gets: it widens to
// fit the longest value among the rows shown (after each change of the rows, a scroll or a
// resize) and narrows back to it when they are shorter. The dataset's current row is the grid's
// current row: scrolling the dataset selects the row, clicking a row moves the dataset to it.
// DblClick is emitted for every double-click on the grid, on a row or not.
//
//   TDataGrid grid(parent);
//   grid.SetColumns({{"ProId", "商品ID", 50}, {"ProName", "商品名称", 200}});
//   grid.SetDataSource(&data_source);
//
// Thread-safety: main thread only.
#ifndef LARKSPIRE_QT_DATA_GRID_H_
#define LARKSPIRE_QT_DATA_GRID_H_

#include <QTableView>
#include <vector>

#include "qt/dataset_model.h"

namespace larkspire {

class TDataGrid : public QTableView {
  Q_OBJECT

 public:
  explicit TDataGrid(QWidget* parent = nullptr);

  void SetColumns(std::vector<TGridColumn> columns);
  void SetDataSource(TDataSource* source) { model_->SetSource(source); }
  TDataSetTableModel& Model() { return *model_; }

 signals:
  void DblClick();

 protected:
  void mouseDoubleClickEvent(QMouseEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;

 private:
  void FitColumns();
  void FollowDataSet(int row);
  void MoveDataSet(const QModelIndex& current);

  TDataSetTableModel* model_;
  std::vector<int> least_widths_;
  bool following_ = false;
};

}  // namespace larkspire

#endif  // LARKSPIRE_QT_DATA_GRID_H_
