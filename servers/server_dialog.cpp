#include "servers/server_dialog.h"

#include <QGuiApplication>
#include <QHeaderView>
#include <QMessageBox>
#include <QPaintEvent>
#include <QPainter>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QTableWidget>
#include <algorithm>
#include <chrono>
#include <exception>
#include <iterator>
#include <mutex>
#include <optional>

#include "app/error_hook.h"
#include "app/serial_worker.h"
#include "app/status_log.h"
#include "net/http_client.h"
#include "servers/echo_probe.h"

namespace vpn {
namespace {

constexpr int kPingColumn = 5;
const QColor kEvenRowColour(215, 238, 240);
const QColor kOddRowColour(215, 240, 224);
// How long closing the program waits for a download still in flight before leaving it behind.
constexpr std::chrono::milliseconds kShutdownWait{2000};

QColor rowColour(int row) {
    return row % 2 == 0 ? kEvenRowColour : kOddRowColour;
}

QString fromUtf8(const std::string& text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

// The report-style list: each row's colour reaches from its first cell to the list's right
// edge, past the last column.
class ServerListView final : public QTableWidget {
public:
    using QTableWidget::QTableWidget;

protected:
    void paintEvent(QPaintEvent* event) override {
        const int last = columnCount() - 1;
        const int columnsEnd = columnViewportPosition(last) + columnWidth(last);
        if (rowCount() > 0 && columnsEnd < viewport()->width()) {
            QPainter painter(viewport());
            const int first = std::max(rowAt(event->rect().top()), 0);
            int end = rowAt(event->rect().bottom());
            end = end < 0 ? rowCount() - 1 : end;
            for (int row = first; row <= end; ++row) {
                painter.fillRect(columnsEnd, rowViewportPosition(row),
                                 viewport()->width() - columnsEnd, rowHeight(row), rowColour(row));
            }
        }
        QTableWidget::paintEvent(event);
    }
};

}  // namespace

// What the worker's jobs share with the dialog. Results go back to the dialog's thread
// through deliver(), which falls silent once the dialog is gone, so a job that outlives the
// dialog (a download still waiting on the network) touches nothing that was destroyed.
struct ServerDialog::Backend {
    std::unique_ptr<HttpClient> httpClient;
    std::function<std::unique_ptr<EchoProbe>()> createProbe;
    std::string directoryUrl;

    std::mutex mutex;
    QObject* receiver = nullptr;

    void deliver(std::function<void()> step) {
        std::lock_guard lock(mutex);
        if (receiver != nullptr) {
            QMetaObject::invokeMethod(receiver, std::move(step), Qt::QueuedConnection);
        }
    }
    void detach() {
        std::lock_guard lock(mutex);
        receiver = nullptr;
    }
};

ServerDialog::ServerDialog(ServerDialogServices services, StatusLog& mainLog,
                           ChoiceCallback onChosen, QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint |
                          Qt::MSWindowsFixedSizeDialogHint),
      mainLog_(mainLog),
      onChosen_(std::move(onChosen)),
      backend_(std::make_shared<Backend>()),
      worker_(std::make_unique<SerialWorker>()) {
    backend_->httpClient = std::move(services.httpClient);
    backend_->createProbe = std::move(services.createProbe);
    backend_->directoryUrl = std::move(services.directoryUrl);
    backend_->receiver = this;
    buildControls();
}

ServerDialog::~ServerDialog() {
    backend_->detach();
    pingStop_.request_stop();
    if (!worker_->waitIdle(kShutdownWait)) {
        // The job holds the client through the backend; its thread still needs the worker
        // object once the download gives up, so that object is left to the process's end.
        worker_->abandon();
        static_cast<void>(worker_.release());
    }
}

void ServerDialog::buildControls() {
    setObjectName(QStringLiteral("Fr_Show"));
    setWindowTitle(QStringLiteral("选择VPN网络"));
    QFont font(QStringLiteral("宋体"));
    font.setPixelSize(12);
    setFont(font);
    setFixedSize(512, 310);
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        move(screen->availableGeometry().center() - rect().center());
    }

    listView1_ = new ServerListView(this);
    listView1_->setObjectName(QStringLiteral("ListView1"));
    listView1_->setGeometry(0, 0, 512, 265);
    listView1_->setShowGrid(true);
    listView1_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    listView1_->setSelectionBehavior(QAbstractItemView::SelectRows);
    listView1_->setSelectionMode(QAbstractItemView::SingleSelection);
    listView1_->setWordWrap(false);
    listView1_->verticalHeader()->hide();
    listView1_->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    listView1_->verticalHeader()->setDefaultSectionSize(listView1_->fontMetrics().height() + 4);
    const struct {
        const char* caption;
        int width;
    } columns[] = {
        {"", 20},     {"服务器地理位置", 120}, {"最新服务器", 105}, {"用户名", 70}, {"密码", 66},
        {"Ping", 48}, {"可用时间", 60}};
    listView1_->horizontalHeader()->setMinimumSectionSize(1);
    listView1_->setColumnCount(static_cast<int>(std::size(columns)));
    for (int i = 0; i < listView1_->columnCount(); ++i) {
        const auto& column = columns[i];
        listView1_->setHorizontalHeaderItem(
            i, new QTableWidgetItem(QString::fromUtf8(column.caption)));
        listView1_->setColumnWidth(i, column.width);
    }
    listView1_->horizontalHeader()->setHighlightSections(false);

    const auto makeButton = [this](const char* name, const char* caption, int left) {
        auto* button = new QPushButton(QString::fromUtf8(caption), this);
        button->setObjectName(QString::fromLatin1(name));
        button->setGeometry(left, 276, 75, 25);
        button->setAutoDefault(false);
        return button;
    };
    button1_ = makeButton("Button1", "获取服务器", 8);
    button4_ = makeButton("Button4", "Ping", 96);
    button2_ = makeButton("Button2", "确定", 336);
    button3_ = makeButton("Button3", "取消", 424);
    button2_->setEnabled(false);

    memo1_ = new QPlainTextEdit(this);
    memo1_->setObjectName(QStringLiteral("Memo1"));
    memo1_->setGeometry(8, 72, 425, 113);
    memo1_->setLineWrapMode(QPlainTextEdit::NoWrap);
    memo1_->setReadOnly(true);
    memo1_->hide();

    busyIndicator_ = new QProgressBar(this);
    busyIndicator_->setObjectName(QStringLiteral("BusyIndicator"));
    busyIndicator_->setGeometry(184, 280, 140, 17);
    busyIndicator_->setRange(0, 0);
    busyIndicator_->setTextVisible(false);
    busyIndicator_->hide();

    setTabOrder(listView1_, button1_);
    setTabOrder(button1_, memo1_);
    setTabOrder(memo1_, button2_);
    setTabOrder(button2_, button3_);
    setTabOrder(button3_, button4_);

    connect(button1_, &QPushButton::clicked, this, &ServerDialog::startFetch);
    connect(button4_, &QPushButton::clicked, this, &ServerDialog::startPingRun);
    connect(button2_, &QPushButton::clicked, this, &ServerDialog::confirmChoice);
    connect(button3_, &QPushButton::clicked, this, &ServerDialog::reject);
    connect(listView1_, &QTableWidget::itemSelectionChanged, this,
            &ServerDialog::chooseSelectedRow);
    connect(listView1_, &QTableWidget::cellDoubleClicked, this, [this](int row, int) {
        selection_.choose(static_cast<std::size_t>(row));
        confirmChoice();
    });
}

void ServerDialog::showEvent(QShowEvent* event) {
    // The rows and their ping results stay; the choice starts over, and so does what the
    // list shows as selected.
    listView1_->clearSelection();
    selection_.clearChoice();
    QDialog::showEvent(event);
}

void ServerDialog::done(int result) {
    stopPingRun();
    QDialog::done(result);
}

void ServerDialog::setActivity(Activity activity) {
    activity_ = activity;
    const bool idle = activity == Activity::Idle;
    button1_->setEnabled(idle);
    button4_->setEnabled(idle);
    busyIndicator_->setVisible(!idle);
}

void ServerDialog::startFetch() {
    if (activity_ != Activity::Idle) {
        return;
    }
    setActivity(Activity::Fetching);
    worker_->post([this, backend = backend_] {
        try {
            ParsedDirectory directory =
                FetchServerDirectory(*backend->httpClient, backend->directoryUrl);
            backend->deliver([this, directory = std::move(directory)] {
                showDirectory(directory);
                setActivity(Activity::Idle);
            });
        } catch (...) {
            const auto line = logLineForEscapedError(std::current_exception());
            backend->deliver([this, line] {
                if (line) {
                    mainLog_.AddLog(*line);
                }
                setActivity(Activity::Idle);
            });
        }
    });
}

void ServerDialog::showDirectory(const ParsedDirectory& directory) {
    QStringList staging;
    staging.reserve(static_cast<qsizetype>(directory.stagingLines.size()));
    for (const std::string& line : directory.stagingLines) {
        staging.append(fromUtf8(DecodeDirectoryText(line, directory.utf8)));
    }
    memo1_->setPlainText(staging.join(QLatin1Char('\n')));

    selection_.showRows(directory.rows);
    listView1_->setUpdatesEnabled(false);
    listView1_->setRowCount(0);
    const int rowCount = static_cast<int>(selection_.rows().size());
    listView1_->setRowCount(rowCount);
    for (int row = 0; row < rowCount; ++row) {
        const ServerRecord& record = selection_.rows()[static_cast<std::size_t>(row)];
        const QString cells[] = {QString::number(row + 1),      fromUtf8(record.location),
                                 fromUtf8(record.server),       fromUtf8(record.user),
                                 fromUtf8(record.password),     QString(),
                                 fromUtf8(record.availableTime)};
        for (int column = 0; column < listView1_->columnCount(); ++column) {
            auto* item = new QTableWidgetItem(cells[column]);
            item->setBackground(rowColour(row));
            listView1_->setItem(row, column, item);
        }
    }
    listView1_->setUpdatesEnabled(true);
    button2_->setEnabled(selection_.okEnabled());
    if (directory.truncated) {
        mainLog_.AddLog(kTooManyServers);
    }
}

void ServerDialog::startPingRun() {
    if (activity_ != Activity::Idle || selection_.rows().empty()) {
        return;
    }
    std::vector<std::string> addresses;
    for (int row = 0; row < listView1_->rowCount(); ++row) {
        listView1_->item(row, kPingColumn)->setText(QString());
        addresses.push_back(selection_.rows()[static_cast<std::size_t>(row)].server);
    }
    pingStop_ = std::stop_source();
    const int run = ++pingRun_;
    setActivity(Activity::Pinging);
    worker_->post([this, backend = backend_, addresses = std::move(addresses), run,
                   stop = pingStop_.get_token()] {
        std::optional<std::string> problem;
        try {
            const std::unique_ptr<EchoProbe> probe = backend->createProbe();
            probe->run(
                addresses,
                [&](std::size_t row, const std::string& result) {
                    backend->deliver(
                        [this, run, row, result] { showPingResult(run, row, result); });
                },
                stop);
        } catch (const ProbeSetupError& error) {
            problem = std::string(kProbeSetupFailedPrefix) + error.what();
        } catch (...) {
            problem = logLineForEscapedError(std::current_exception());
        }
        backend->deliver([this, problem] {
            if (problem) {
                mainLog_.AddLog(*problem);
            }
            setActivity(Activity::Idle);
        });
    });
}

void ServerDialog::showPingResult(int run, std::size_t row, const std::string& result) {
    if (run != pingRun_ || row >= static_cast<std::size_t>(listView1_->rowCount())) {
        return;
    }
    listView1_->item(static_cast<int>(row), kPingColumn)->setText(fromUtf8(result));
}

void ServerDialog::stopPingRun() {
    if (activity_ == Activity::Pinging) {
        pingStop_.request_stop();
        ++pingRun_;
    }
}

void ServerDialog::chooseSelectedRow() {
    const QModelIndexList rows = listView1_->selectionModel()->selectedRows();
    if (rows.isEmpty()) {
        selection_.clearChoice();
    } else {
        selection_.choose(static_cast<std::size_t>(rows.first().row()));
    }
}

void ServerDialog::confirmChoice() {
    if (const auto choice = selection_.confirm()) {
        onChosen_(choice->server, choice->user, choice->password);
        accept();
        return;
    }
    QMessageBox box(QMessageBox::Information, QString::fromUtf8(kNoticeCaption),
                    QString::fromUtf8(kIncompleteChoice), QMessageBox::Ok, this);
    box.exec();
}

}  // namespace vpn
