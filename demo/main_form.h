// TlkDemoMainForm: the demonstration's main window. A page control with four pages: product
// search and editing ("增删改查"), the paged product list ("分页查询"), the sample plug-in
// ("插件例题") and the server's files ("文件浏览"). The window owns every non-visual component
// of the program (one connection, three queries, the plug-in call and the file component) and
// the hidden product dialog.
//
// Controls and components are public members under their design names so that the program's
// start, the screenshot run and the tests can reach them. Every handler runs through the
// application's default exception handling: an error that escapes one is shown in a message
// box and the window goes on.
//
// Thread-safety: main thread only.
#ifndef LARKSPIRE_DEMO_MAIN_FORM_H_
#define LARKSPIRE_DEMO_MAIN_FORM_H_

#include <QIcon>
#include <QMainWindow>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "components/connection.h"
#include "components/plugin_call.h"
#include "components/query.h"
#include "components/update_file.h"
#include "dataset/data_source.h"
#include "demo/tree_file_node.h"
#include "platform/string_list.h"
#include "qt/data_grid.h"

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QScrollArea;
class QTabWidget;
class QTreeWidget;

namespace larkspire {

class TlkDemoProductForm;

// Where the demonstration's server is.
struct TDemoServer {
  std::string Host = "127.0.0.1";
  int Port = 18008;
  bool UseTls = false;
  std::string TlsCaFile;  // empty: the system's store
  // The user of the server's users file and the password (empty: no log-in, no password).
  std::string User;
  std::string Password;
};

class TlkDemoMainForm : public QMainWindow {
 public:
  explicit TlkDemoMainForm(const TDemoServer& server = TDemoServer(), QWidget* parent = nullptr);
  ~TlkDemoMainForm() override;

  // Appends the distinct categories of all products to the list (through CommonQuery, which
  // stays open at its end).
  void LoadProductKinds(TStringList& kinds);

  // Non-visual components, owned by the window.
  TLarkspireConnection* LarkspireConnection1;
  TLarkspireQuery* SimpleQuery;
  TDataSource* DataSource1;
  TLarkspireQuery* CommonQuery;
  TLarkspireQuery* PagingQuery;
  TDataSource* DataSource2;
  TLarkspirePluginCall* LarkspirePluginCall1;
  TLarkspireUpdateFile* LarkspireUpdateFile1;

  QTabWidget* PageControl1;
  QWidget* TabSheet1;
  QWidget* TabSheet3;
  QWidget* TabSheet4;
  QWidget* TabSheet5;

  // Page 1: product search and editing.
  QWidget* Panel1;
  QLabel* Label1;
  QLineEdit* edProName;
  QCheckBox* CheckBox1;
  QLineEdit* edWaitMsg;
  QPushButton* Button1;
  TDataGrid* DBGridEh1;
  QWidget* Panel2;
  QLabel* LabelDataInfo;
  QPushButton* btnDataFirst;
  QPushButton* btnDataPrior;
  QPushButton* btnDataNext;
  QPushButton* btnDataLast;
  QPushButton* btnAddPro;
  QPushButton* btnEditPro;
  QPushButton* btnDelPro;
  QPushButton* btnDataLocate;
  QLineEdit* edProCode;

  // Page 2: paged query.
  QWidget* Panel3;
  QLabel* Label2;
  QPushButton* btnPageQuery;
  TDataGrid* DBGridEh2;
  QWidget* Panel4;
  QLabel* LabelPageInfo;
  QPushButton* btnFirstPage;
  QPushButton* btnPriorPage;
  QPushButton* btnNextPage;
  QPushButton* btnLastPage;
  QLabel* Label4;
  QComboBox* cbPages;

  // Page 3: the sample plug-in.
  QLabel* Label3;
  QLineEdit* Edit1;
  QLabel* Label5;
  QLineEdit* Edit2;
  QPushButton* btnPluginDemo1;
  QLineEdit* edResult1;
  QPushButton* btnPluginDemo2;
  QLineEdit* edResult2;
  QPushButton* btnPluginDemo3;
  QLineEdit* edResult3;
  QPushButton* btnPluginDemo4;
  QScrollArea* ScrollBox1;
  QLabel* Image1;

  // Page 4: the server's files.
  QTreeWidget* TreeView1;
  QPushButton* btnGetFiles;
  QLabel* Label6;
  QLabel* Label8;
  QLineEdit* editFilePath;
  QLabel* Label7;
  QProgressBar* GaugeDownload;

  // The product dialog, created hidden with the window.
  TlkDemoProductForm* lkDemoProductForm;

  // Handlers of page 1.
  void Button1Click();
  void CheckBox1Click();
  void SimpleQueryAfterScroll();
  void btnDataFirstClick();
  void btnDataPriorClick();
  void btnDataNextClick();
  void btnDataLastClick();
  void btnDataLocateClick();
  void btnAddProClick();
  void btnEditProClick();
  void btnDelProClick();
  void DBGridEh1DblClick();

  // Handlers of page 2.
  void btnPageQueryClick();
  void btnFirstPageClick();
  void btnPriorPageClick();
  void btnNextPageClick();
  void btnLastPageClick();
  void cbPagesChange();
  void PagingQueryPageChange(int page_index);

  // Handlers of page 3.
  void btnPluginDemo1Click();
  void btnPluginDemo2Click();
  void btnPluginDemo3Click();
  void btnPluginDemo4Click();

  // Page 4: the tree's images (0 the root, 6 a directory, file icons appended from 8 on) and
  // its handlers.
  std::vector<QIcon> ImageList1;
  void btnGetFilesClick();
  void TreeView1DblClick();
  // Lists the node's directory on the server into it, replacing its children.
  void BuildFileNodes(TTreeFileNode* node);
  void LarkspireUpdateFile1DownloadBegin(const std::string& file_name, int64_t file_size,
                                         bool resume);
  void LarkspireUpdateFile1DownloadProgress(int64_t file_size, int64_t complete_bytes);
  TTreeFileNode* RootNode() const;
  // Where downloads go: "temp" in the program's folder.
  std::filesystem::path DownloadFolder() const;
  // The image of files with this extension, asked of the shell once per extension.
  int ExtensionImage(const std::string& extension);

  const TStringList& IconCache() const { return FIconCache; }

 private:
  void CreateComponents(const TDemoServer& server);
  void FormCreate();
  void BuildProductPage();
  void BuildPagingPage();
  void BuildPluginPage();
  void BuildFilePage();
  void ConnectProductPage();
  void ConnectPagingPage();
  void ConnectPluginPage();
  void ConnectFilePage();
  // Runs handler on the button's clicks, with exceptions shown by the default handler.
  void ConnectClick(QPushButton* button, void (TlkDemoMainForm::*handler)());
  // Sum (0) or product (1) of the two inputs into result.
  void CallArithmetic(int request_type, QLineEdit* result);
  void SetNodeImage(TTreeFileNode* node, int image);

  std::unique_ptr<TComponent> owner_;
  TStringList FIconCache;
};

// The columns of the product grids: field, title and width.
std::vector<TGridColumn> ProductGridColumns();

}  // namespace larkspire

#endif  // LARKSPIRE_DEMO_MAIN_FORM_H_
