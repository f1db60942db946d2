#include "app/main_window.h"

#include <QCloseEvent>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QScreen>
#include <QStatusBar>
#include <QStyledItemDelegate>
#include <QTimer>
#include <mutex>
#include <utility>

#include "app/error_hook.h"
#include "net/address_lookup.h"
#include "net/http_client.h"

// The window's pictures and style sheet live in the static vpn_gui library, whose resource
// object the linker would otherwise leave out. The macro must be used outside any namespace.
static void initConnectorResources() {
    Q_INIT_RESOURCE(vpn_connector);
}

namespace vpn {
namespace {

constexpr int kClientWidth = 318;
constexpr int kClientHeight = 351;
constexpr int kStatusBarHeight = 19;
constexpr int kFontPixelSize = 12;
constexpr int kLogRowHeight = 12;

// The log rows are exactly as high as the window's font, whatever the style would make them.
class FixedRowHeightDelegate final : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override {
        QSize size = QStyledItemDelegate::sizeHint(option, index);
        size.setHeight(kLogRowHeight);
        return size;
    }
};

QLineEdit* makeEdit(QWidget* window, const char* name, QRect place) {
    auto* edit = new QLineEdit(window);
    edit->setObjectName(name);
    edit->setGeometry(place);
    return edit;
}

QPushButton* makeButton(QWidget* window, const char* name, const QString& caption, QRect place) {
    auto* button = new QPushButton(caption, window);
    button->setObjectName(name);
    button->setGeometry(place);
    button->setAutoDefault(false);
    return button;
}

void makeLabel(QWidget* window, const char* name, const QString& caption, QPoint place) {
    auto* label = new QLabel(caption, window);
    label->setObjectName(name);
    label->move(place);
    label->resize(label->sizeHint().width(), kFontPixelSize);
}

}  // namespace

// The worker's side of the window: the objects the jobs use, and the way back to the window's
// thread. Jobs hold it through a shared pointer, so a job that closing gave up on still finds
// it alive; detach() stops deliveries once the window is gone.
struct MainWindow::Backend final : StatusLog {
    Backend(MainWindow* window, DialUpService& service, std::unique_ptr<HttpClient> client,
            std::string url)
        : window_(window),
          httpClient(std::move(client)),
          lookupUrl(std::move(url)),
          control(service, *this, [this] { return lookupAddress(); }) {}

    void AddLog(const std::string& line) override {
        post([text = QString::fromStdString(line)](MainWindow& window) { window.AddLog(text); });
    }

    // Queued calls to one receiver run in the order they were posted.
    void post(std::function<void(MainWindow&)> work) {
        std::lock_guard lock(mutex_);
        if (window_ != nullptr) {
            QMetaObject::invokeMethod(
                window_, [window = window_, work = std::move(work)] { work(*window); },
                Qt::QueuedConnection);
        }
    }

    void detach() {
        std::lock_guard lock(mutex_);
        window_ = nullptr;
    }

    // The start-up report and the report after a connection may overlap; they take turns with
    // the window's one client.
    std::string lookupAddress() {
        std::lock_guard lock(httpClientMutex_);
        return LookupAddressLocation(*httpClient, lookupUrl);
    }

    // An error that escaped a job goes through the program's rule: maybe one line, never more.
    void reportEscapedError(const std::exception_ptr& error) {
        if (const auto line = logLineForEscapedError(error)) {
            AddLog(*line);
        }
    }

    std::mutex mutex_;
    std::mutex httpClientMutex_;
    MainWindow* window_;
    std::unique_ptr<HttpClient> httpClient;
    std::string lookupUrl;
    ConnectionControl control;
};

MainWindow::MainWindow(MainWindowServices services, QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                          Qt::WindowCloseButtonHint),
      closeTimeout_(services.closeTimeout),
      backend_(std::make_shared<Backend>(this, services.dialUpService,
                                         std::move(services.httpClient),
                                         std::move(services.lookupUrl))),
      worker_(std::make_unique<SerialWorker>()),
      reportWorker_(std::make_unique<SerialWorker>()) {
    initConnectorResources();
    setObjectName(QStringLiteral("Fr_Main"));
    setWindowTitle(QStringLiteral("青禾鹭VPN  V1.02"));
    QFont songFace(QStringLiteral("宋体"));
    songFace.setPixelSize(kFontPixelSize);
    setFont(songFace);
    setFixedSize(kClientWidth, kClientHeight);
    buildControls();
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        move(screen->availableGeometry().center() - rect().center());
    }
    // The fields start empty. The address report starts once the window has been drawn, so
    // that loading the network back-end does not hold up the first paint; its line is logged
    // whenever it arrives.
}

bool MainWindow::event(QEvent* event) {
    if (event->type() == QEvent::Paint && !addressReportStarted_) {
        addressReportStarted_ = true;
        QTimer::singleShot(0, this, [this] {
            startAddressReport();
            emit firstPaintDone();
        });
    }
    return QWidget::event(event);
}

MainWindow::~MainWindow() {
    backend_->detach();
}

void MainWindow::buildControls() {
    auto* image1 = new QLabel(this);
    image1->setObjectName(QStringLiteral("Image1"));
    image1->setGeometry(0, 0, kClientWidth, 138);
    image1->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    image1->setPixmap(QPixmap(QStringLiteral(":/banner.jpg")));

    makeLabel(this, "Label1", QStringLiteral("服务器IP："), {8, 160});
    makeLabel(this, "Label2", QStringLiteral("VPN-帐号："), {8, 192});
    makeLabel(this, "Label3", QStringLiteral("VPN-密码："), {8, 224});

    // The password is shown in the clear, as the provider's accounts are shared ones.
    edtServer_ = makeEdit(this, "EdtServer", {72, 152, 145, 20});
    edtUser_ = makeEdit(this, "EdtUser", {72, 184, 145, 20});
    edtPass_ = makeEdit(this, "EdtPass", {72, 216, 145, 20});

    button1_ = makeButton(this, "Button1", QStringLiteral("获取服务器"), {230, 149, 80, 25});
    button2_ = makeButton(this, "Button2", QStringLiteral("连接"), {230, 181, 80, 25});
    button3_ = makeButton(this, "Button3", QStringLiteral("断开"), {230, 213, 80, 25});

    listBox1_ = new QListWidget(this);
    listBox1_->setObjectName(QStringLiteral("ListBox1"));
    listBox1_->setGeometry(6, 248, 305, 81);
    listBox1_->setFrameShape(QFrame::NoFrame);
    listBox1_->setItemDelegate(new FixedRowHeightDelegate(listBox1_));
    listBox1_->setUniformItemSizes(true);
    QPalette logColours = listBox1_->palette();
    logColours.setColor(QPalette::Base, logColours.color(QPalette::Button));
    listBox1_->setPalette(logColours);

    auto* statusBar1 = new QStatusBar(this);
    statusBar1->setObjectName(QStringLiteral("StatusBar1"));
    statusBar1->setSizeGripEnabled(false);
    statusBar1->setGeometry(0, kClientHeight - kStatusBarHeight, kClientWidth, kStatusBarHeight);
    const std::pair<QString, int> panels[] = {{QStringLiteral("青禾鹭"), 80},
                                              {QStringLiteral("VPN 连接器 V1.0"), 140},
                                              {QStringLiteral("欢迎"), 50}};
    for (const auto& [credit, width] : panels) {
        auto* panel = new QLabel(credit, statusBar1);
        panel->setFixedWidth(width);
        statusBar1->addWidget(panel);
    }

    setTabOrder(edtServer_, edtUser_);
    setTabOrder(edtUser_, edtPass_);
    setTabOrder(edtPass_, button1_);
    setTabOrder(button1_, button2_);
    setTabOrder(button2_, button3_);
    setTabOrder(button3_, listBox1_);

    connect(button1_, &QPushButton::clicked, this, &MainWindow::serverDialogRequested);
    connect(button2_, &QPushButton::clicked, this, [this] {
        // The fields are read at the press; later edits do not change a queued command.
        runCommand([fields = connectFields()](ConnectionControl& control) {
            control.ConnectCommand(fields);
        });
    });
    connect(button3_, &QPushButton::clicked, this, [this] {
        runCommand([](ConnectionControl& control) { control.DisconnectCommand(); });
    });
}

void MainWindow::startAddressReport() {
    reportWorker_->post([backend = backend_] {
        try {
            backend->AddLog(backend->lookupAddress());
        } catch (...) {
            backend->reportEscapedError(std::current_exception());
        }
    });
}

void MainWindow::AddLog(const QString& text) {
    auto* line = new QListWidgetItem(text, listBox1_);
    line->setToolTip(text);  // a line wider than the log is cut off; its tip shows it whole
    listBox1_->repaint();
    // Selecting the last line scrolls it into view; clearing it leaves nothing highlighted.
    listBox1_->setCurrentRow(listBox1_->count() - 1);
    listBox1_->setCurrentRow(-1);
}

StatusLog& MainWindow::statusLog() {
    return *backend_;
}

ConnectFields MainWindow::connectFields() const {
    return {edtServer_->text().toStdString(), edtUser_->text().toStdString(),
            edtPass_->text().toStdString()};
}

void MainWindow::setConnectFields(const ConnectFields& fields) {
    edtServer_->setText(QString::fromStdString(fields.server));
    edtUser_->setText(QString::fromStdString(fields.user));
    edtPass_->setText(QString::fromStdString(fields.password));
}

void MainWindow::runCommand(std::function<void(ConnectionControl&)> command) {
    ++pendingCommands_;
    showBusyState();
    worker_->post([backend = backend_, command = std::move(command)] {
        try {
            command(backend->control);
        } catch (...) {
            backend->reportEscapedError(std::current_exception());
        }
        backend->post([](MainWindow& window) { window.commandFinished(); });
    });
}

void MainWindow::commandFinished() {
    --pendingCommands_;
    if (closing_ == Closing::Disconnecting && pendingCommands_ == 0) {
        finishClosing();
        return;
    }
    showBusyState();
}

// Connect and disconnect wait for each other on the worker anyway; while one is queued or
// running both buttons rest, and the rest of the window stays usable.
void MainWindow::showBusyState() {
    const bool busy = pendingCommands_ > 0 || closing_ != Closing::No;
    button2_->setEnabled(!busy);
    button3_->setEnabled(!busy);
    if (busy) {
        setCursor(Qt::BusyCursor);
    } else {
        unsetCursor();
    }
}

void MainWindow::closeEvent(QCloseEvent* event) {
    if (closing_ == Closing::Done) {
        event->accept();
        return;
    }
    // The window closes once the disconnect command (and whatever was queued before it) has
    // run, or when closeTimeout_ has passed without that.
    event->ignore();
    if (closing_ == Closing::Disconnecting) {
        return;
    }
    closing_ = Closing::Disconnecting;
    runCommand([](ConnectionControl& control) { control.DisconnectCommand(); });
    QTimer::singleShot(closeTimeout_, this, &MainWindow::giveUpClosing);
}

void MainWindow::giveUpClosing() {
    if (closing_ == Closing::Disconnecting) {
        finishClosing();
    }
}

void MainWindow::finishClosing() {
    // A call into the VPN service that never returned, or an address page that still
    // stalls: its thread keeps using its worker and the backend, so both are left alive; the
    // program is about to end.
    for (std::unique_ptr<SerialWorker>* worker : {&worker_, &reportWorker_}) {
        if (!(*worker)->waitIdle(std::chrono::milliseconds(0))) {
            (*worker)->abandon();
            (void)worker->release();
            abandonedWork_ = true;
        }
    }
    closing_ = Closing::Done;
    close();
}

}  // namespace vpn
