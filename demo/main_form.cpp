#include "demo/main_form.h"

#include <QPushButton>
#include <QTabWidget>
#include <QVBoxLayout>

#include "dataset/field.h"
#include "demo/form_layout.h"
#include "demo/product_form.h"
#include "qt/application.h"
#include "qt/exception_handler.h"

namespace larkspire {
namespace {

constexpr const char* kCaption = "Larkspire在线演示程序 1.0";

// The ten persistent fields of a products query, with the component names given.
void AddProductFields(TLarkspireQuery& query, const char* const names[10]) {
  auto& id = query.AddField<TAutoIncField>("ProId");
  id.SetReadOnly(true);
  query.AddField<TStringField>("ProCode", 15);
  query.AddField<TStringField>("ProName", 50);
  query.AddField<TStringField>("ProKind", 50);
  query.AddField<TStringField>("ProUnit", 10);
  query.AddField<TFloatField>("ProSpec");
  query.AddField<TStringField>("BarCode");
  for (const char* price : {"PurPrice", "RetaiPrice", "TradePrice"}) {
    query.AddField<TFloatField>(price).SetDisplayFormat("￥0.00");
  }
  for (int i = 0; i < 10; ++i) query.Fields(i).SetName(names[i]);
}

constexpr const char* kSimpleQueryFields[10] = {
    "SimpleQueryid",   "SimpleQuerycode",    "SimpleQueryname", "SimpleQuerylb",  "SimpleQueryjldw",
    "SimpleQuerybzgg", "SimpleQuerybarcode", "SimpleQueryjhj",  "SimpleQuerylsj", "SimpleQuerypfj"};
constexpr const char* kPagingQueryFields[10] = {
    "AutoIncField1", "StringField1", "StringField2", "StringField3", "StringField4",
    "FloatField1",   "StringField5", "FloatField2",  "FloatField3",  "FloatField4"};

template <class C>
C* Make(TComponent* owner, const char* name) {
  auto* component = new C(owner);
  component->SetName(name);
  return component;
}

}  // namespace

std::vector<TGridColumn> ProductGridColumns() {
  return {{"ProId", "商品ID", 50},      {"ProCode", "商品编号", 60}, {"ProName", "商品名称", 200},
          {"ProKind", "类别", 50},      {"ProUnit", "计量单位", 60}, {"ProSpec", "包装规格", 60},
          {"BarCode", "商品条码", 100}, {"PurPrice", "进货价", 50},  {"RetaiPrice", "零售价", 50},
          {"TradePrice", "批发价", 50}};
}

TlkDemoMainForm::TlkDemoMainForm(const TDemoServer& server, QWidget* parent)
    : QMainWindow(parent), owner_(std::make_unique<TComponent>()) {
  setObjectName("lkDemoMainForm");
  setWindowTitle(kCaption);
  setFont(DemoFont());
  setGeometry(191, 90, 938, 587);
  TLarkspireApplication::SetMainForm(this);

  CreateComponents(server);

  PageControl1 = new QTabWidget(this);
  PageControl1->setObjectName("PageControl1");
  setCentralWidget(PageControl1);
  TabSheet1 = new QWidget;
  TabSheet3 = new QWidget;
  TabSheet4 = new QWidget;
  TabSheet5 = new QWidget;
  TabSheet1->setObjectName("TabSheet1");
  TabSheet3->setObjectName("TabSheet3");
  TabSheet4->setObjectName("TabSheet4");
  TabSheet5->setObjectName("TabSheet5");
  PageControl1->addTab(TabSheet1, "增删改查");
  PageControl1->addTab(TabSheet3, "分页查询");
  PageControl1->addTab(TabSheet4, "插件例题");
  PageControl1->addTab(TabSheet5, "文件浏览");
  BuildProductPage();
  BuildPagingPage();
  BuildPluginPage();
  BuildFilePage();
  PageControl1->setCurrentWidget(TabSheet1);

  FormCreate();
  ConnectProductPage();
  ConnectPagingPage();
  ConnectPluginPage();
  ConnectFilePage();

  lkDemoProductForm = new TlkDemoProductForm(this);
}

TlkDemoMainForm::~TlkDemoMainForm() {
  // The grids' links go before the data sources they follow.
  DBGridEh1->SetDataSource(nullptr);
  DBGridEh2->SetDataSource(nullptr);
  owner_.reset();
  if (TLarkspireApplication::MainForm() == this) TLarkspireApplication::SetMainForm(nullptr);
}

void TlkDemoMainForm::CreateComponents(const TDemoServer& server) {
  TComponent* owner = owner_.get();
  owner->SetName("lkDemoMainForm");
  owner->BeginLoading();
  LarkspireConnection1 = Make<TLarkspireConnection>(owner, "LarkspireConnection1");
  LarkspireConnection1->SetRemoteIP(server.Host);
  LarkspireConnection1->SetRemotePort(server.Port);
  LarkspireConnection1->SetUseTls(server.UseTls);
  LarkspireConnection1->SetTlsCaFile(server.TlsCaFile);
  LarkspireConnection1->SetConnectionName("demo");
  LarkspireConnection1->SetClientName("Demo1");
  LarkspireConnection1->SetUserName(server.User);
  LarkspireConnection1->SetLoginPassword(server.Password);

  SimpleQuery = Make<TLarkspireQuery>(owner, "SimpleQuery");
  SimpleQuery->SetConnection(LarkspireConnection1);
  SimpleQuery->SetCursorType(ctStatic);
  AddProductFields(*SimpleQuery, kSimpleQueryFields);
  DataSource1 = Make<TDataSource>(owner, "DataSource1");
  DataSource1->SetDataSet(SimpleQuery);

  CommonQuery = Make<TLarkspireQuery>(owner, "CommonQuery");
  CommonQuery->SetConnection(LarkspireConnection1);
  CommonQuery->SetCursorType(ctStatic);

  PagingQuery = Make<TLarkspireQuery>(owner, "PagingQuery");
  PagingQuery->SetConnection(LarkspireConnection1);
  AddProductFields(*PagingQuery, kPagingQueryFields);
  DataSource2 = Make<TDataSource>(owner, "DataSource2");
  DataSource2->SetDataSet(PagingQuery);

  LarkspirePluginCall1 = Make<TLarkspirePluginCall>(owner, "LarkspirePluginCall1");
  LarkspirePluginCall1->SetConnection(LarkspireConnection1);
  LarkspireUpdateFile1 = Make<TLarkspireUpdateFile>(owner, "LarkspireUpdateFile1");
  LarkspireUpdateFile1->SetConnection(LarkspireConnection1);
  owner->EndLoading();

  // Both queries of page 1 refresh its label and buttons, always from SimpleQuery.
  SimpleQuery->AfterScroll = [this](TDataSet&) { SimpleQueryAfterScroll(); };
  CommonQuery->AfterScroll = [this](TDataSet&) { SimpleQueryAfterScroll(); };
  PagingQuery->OnPageChange = [this](int page_index) { PagingQueryPageChange(page_index); };
}

void TlkDemoMainForm::FormCreate() {
  FIconCache.Clear();
}

void TlkDemoMainForm::LoadProductKinds(TStringList& kinds) {
  CommonQuery->Close();
  CommonQuery->SQL().SetText("select distinct ProKind from products");
  CommonQuery->Open();
  for (CommonQuery->First(); !CommonQuery->Eof(); CommonQuery->Next()) {
    kinds.Add(CommonQuery->FieldByName("ProKind").AsString());
  }
}

void TlkDemoMainForm::ConnectClick(QPushButton* button, void (TlkDemoMainForm::*handler)()) {
  connect(button, &QPushButton::clicked, this,
          [this, handler] { RunGuarded([&] { (this->*handler)(); }); });
}

}  // namespace larkspire
