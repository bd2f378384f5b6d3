// live_products: the products table in a grid that follows the server. The window subscribes to
// "table:products"; whenever the server reports a change of that table (an edit from any
// client: another copy of this program, the demonstration, the command line) the grid is read
// again, keeping the product it showed. The price box edits the selected product's retail price
// and Save posts it. Start two copies side by side and an edit saved in one appears in the other.
//
//   live_products [--host HOST] [--port PORT]
//
// The server is 127.0.0.1:18008 unless LARKSPIRE_HOST / LARKSPIRE_PORT or the options say
// otherwise. For unattended runs (offscreen, QT_QPA_PLATFORM=offscreen):
//   --set-price ID PRICE   selects product ID, puts PRICE into the price box, saves it as Save
//                          does and quits once the post is done (1 and the reason if refused);
//   --screenshot FILE      waits for the first refresh that a notification brings (20 s at
//                          most), prints the selected product and saves the window to FILE.
// Once subscribed, the program prints "listening" on stdout; each notified refresh prints a line
// with the selected product.
#include <larkspire/components/connection.h>
#include <larkspire/components/query.h>
#include <larkspire/dataset/data_source.h>
#include <larkspire/dataset/field.h>
#include <larkspire/qt/data_grid.h>
#include <larkspire/qt/notification_relay.h>

#include <QApplication>
#include <QDoubleSpinBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>
#include <QWidget>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <functional>
#include <string>

namespace {

using namespace larkspire;

class TLiveProductsWindow : public QWidget {
 public:
  TLiveProductsWindow(const std::string& host, int port) {
    setWindowTitle("Products (live)");
    connection_.SetRemoteIP(host);
    connection_.SetRemotePort(port);
    connection_.SetClientName("LiveProducts");
    query_.SetConnection(&connection_);
    query_.SetCursorType(ctStatic);
    query_.SQL().SetText(
        "select ProId, ProCode, ProName, ProUnit, RetaiPrice from products order by ProId");
    source_.SetDataSet(&query_);
    query_.AfterScroll = [this](TDataSet&) { ShowSelected(); };

    grid_ = new TDataGrid(this);
    grid_->SetColumns({{"ProId", "Id", 40},
                       {"ProCode", "Code", 70},
                       {"ProName", "Name", 200},
                       {"ProUnit", "Unit", 50},
                       {"RetaiPrice", "Retail price", 80}});
    grid_->SetDataSource(&source_);
    selected_ = new QLabel(this);
    price_ = new QDoubleSpinBox(this);
    price_->setRange(0, 1e7);
    price_->setDecimals(2);
    save_ = new QPushButton("Save", this);
    status_ = new QLabel("waiting for changes of the products table", this);

    auto* edit_row = new QHBoxLayout;
    edit_row->addWidget(selected_, 1);
    edit_row->addWidget(price_);
    edit_row->addWidget(save_);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(grid_, 1);
    layout->addLayout(edit_row);
    layout->addWidget(status_);
    resize(560, 480);

    connect(save_, &QPushButton::clicked, this, [this] {
      if (const std::string error = SavePrice(); !error.empty()) {
        QMessageBox::warning(this, "Save", QString::fromStdString(error));
      }
    });
    // The relay emits on this (the GUI) thread; the connection's listener thread never touches
    // the query.
    relay_.Attach(connection_);
    connect(&relay_, &TNotificationRelay::Notified, this,
            [this](const QString& channel, const QByteArray&, quint64 sequence, bool missed) {
              Refresh();
              const QString line = QString("refreshed after %1 #%2%3")
                                       .arg(channel)
                                       .arg(sequence)
                                       .arg(missed ? " (some changes were missed)" : "");
              status_->setText(line);
              std::printf("%s: %s\n", qPrintable(line), qPrintable(selected_->text()));
              std::fflush(stdout);
              if (OnRefreshed) OnRefreshed();
            });
  }

  ~TLiveProductsWindow() override {
    // The grid's model observes the query; it lets go before the query goes.
    grid_->SetDataSource(nullptr);
  }

  // Reads the table and subscribes to its changes; raises ELarkspireException when the server
  // cannot be reached or sends no notifications.
  void Start() {
    Open();
    ShowSelected();
    connection_.Subscribe("table:products");
  }

  // Called after every notified refresh.
  std::function<void()> OnRefreshed;

  bool Select(int pro_id) { return query_.Locate("ProId", TVariant(pro_id)); }
  QDoubleSpinBox* PriceBox() { return price_; }

  // Posts the price box's value as the selected product's retail price; the server's refusal
  // comes back as text (empty: saved).
  std::string SavePrice() {
    try {
      query_.Edit();
      query_.FieldByName("RetaiPrice").SetAsFloat(price_->value());
      query_.Post();  // sends the change; the server then notifies every subscriber
      return {};
    } catch (const std::exception& e) {
      if (query_.State() != dsBrowse) query_.Cancel();
      return e.what();
    }
  }

 private:
  void ShowSelected() {
    if (!query_.Active() || query_.IsEmpty()) {
      selected_->setText("no product");
      save_->setEnabled(false);
      return;
    }
    selected_->setText(QString("product %1 %2 retail price %3")
                           .arg(query_.FieldByName("ProId").AsString().c_str())
                           .arg(QString::fromStdString(query_.FieldByName("ProName").AsString()))
                           .arg(query_.FieldByName("RetaiPrice").AsFloat(), 0, 'f', 2));
    price_->setValue(query_.FieldByName("RetaiPrice").AsFloat());
    save_->setEnabled(true);
  }

  void Open() {
    query_.Open();
    if (auto* price = dynamic_cast<TNumericField*>(&query_.FieldByName("RetaiPrice"))) {
      price->SetDisplayFormat("0.00");
    }
  }

  // Reads the rows again and returns to the product shown before.
  void Refresh() {
    if (query_.State() != dsBrowse && query_.State() != dsInactive) return;  // mid-edit
    TVariant shown;
    if (query_.Active() && !query_.IsEmpty()) shown = query_.FieldByName("ProId").Value();
    try {
      query_.Close();
      Open();
      if (!shown.IsNull()) query_.Locate("ProId", shown);
    } catch (const std::exception& e) {
      status_->setText(QString("refresh failed: %1").arg(e.what()));
    }
    ShowSelected();
  }

  TLarkspireConnection connection_;
  TLarkspireQuery query_;
  TDataSource source_;
  TNotificationRelay relay_;
  TDataGrid* grid_;
  QLabel* selected_;
  QDoubleSpinBox* price_;
  QPushButton* save_;
  QLabel* status_;
};

int Usage(const char* why) {
  std::fprintf(stderr,
               "live_products: %s\nusage: live_products [--host HOST] [--port PORT] "
               "[--set-price ID PRICE] [--screenshot FILE]\n",
               why);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  std::string host = "127.0.0.1";
  int port = 18008;
  if (const char* env = std::getenv("LARKSPIRE_HOST"); env != nullptr && *env != '\0') host = env;
  if (const char* env = std::getenv("LARKSPIRE_PORT"); env != nullptr && *env != '\0') {
    port = std::atoi(env);
  }
  int set_id = 0;
  double set_price = 0;
  QString screenshot;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool has_value = i + 1 < argc;
    if (arg == "--host" && has_value) {
      host = argv[++i];
    } else if (arg == "--port" && has_value) {
      port = std::atoi(argv[++i]);
    } else if (arg == "--set-price" && i + 2 < argc) {
      set_id = std::atoi(argv[++i]);
      set_price = std::atof(argv[++i]);
      if (set_id <= 0) return Usage("--set-price needs a product id");
    } else if (arg == "--screenshot" && has_value) {
      screenshot = argv[++i];
    } else {
      return Usage(("unexpected argument " + arg).c_str());
    }
  }
  if (port < 1 || port > 65535) return Usage("the port is not a port number");

  TLiveProductsWindow window(host, port);
  try {
    window.Start();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "live_products: %s\n", e.what());
    return 1;
  }
  window.show();
  std::printf("listening\n");
  std::fflush(stdout);

  if (set_id > 0) {
    if (!window.Select(set_id)) {
      std::fprintf(stderr, "live_products: no product %d\n", set_id);
      return 1;
    }
    window.PriceBox()->setValue(set_price);
    if (const std::string error = window.SavePrice(); !error.empty()) {
      std::fprintf(stderr, "live_products: %s\n", error.c_str());
      return 1;
    }
    return 0;
  }
  if (!screenshot.isEmpty()) {
    window.OnRefreshed = [&] {
      if (!window.grab().save(screenshot)) {
        std::fprintf(stderr, "live_products: cannot write %s\n", qPrintable(screenshot));
        app.exit(1);
        return;
      }
      app.exit(0);
    };
    QTimer::singleShot(20000, &app, [&] {
      std::fprintf(stderr, "live_products: no change of the products table within 20 s\n");
      app.exit(1);
    });
  }
  return app.exec();
}
