#include "servers/server_dialog.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QImage>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTableWidget>
#include <QTest>
#include <QTimer>
#include <atomic>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <optional>

#include "app/error_hook.h"
#include "app/status_log.h"
#include "net/http_client.h"
#include "net/text_codec.h"
#include "servers/echo_probe.h"
#include "tests/support/test_http_server.h"

namespace vpn {
namespace {

using test::TestHttpServer;

class QtEnvironment : public ::testing::Environment {
public:
    void SetUp() override { app_ = std::make_unique<QApplication>(argc_, argv_); }
    void TearDown() override { app_.reset(); }

private:
    int argc_ = 1;
    char name_[19] = "server_dialog_test";
    char* argv_[2] = {name_, nullptr};
    std::unique_ptr<QApplication> app_;
};
[[maybe_unused]] const auto* const kQt = ::testing::AddGlobalTestEnvironment(new QtEnvironment);

class RecordingLog final : public StatusLog {
public:
    void AddLog(const std::string& line) override {
        std::lock_guard lock(mutex_);
        lines_.push_back(line);
    }
    std::vector<std::string> lines() const {
        std::lock_guard lock(mutex_);
        return lines_;
    }

private:
    mutable std::mutex mutex_;
    std::vector<std::string> lines_;
};

// What the fake probe answers, and what it saw; shared between the test and the worker.
struct ProbeScript {
    std::map<std::string, std::string> answers;
    bool holdUntilStopped = false;  // after answering, wait for the stop like a real run
    std::string setupError;         // when set, making the probe fails with it

    std::mutex mutex;
    std::condition_variable_any changed;
    std::vector<std::string> addresses;
    bool stopped = false;
};

class FakeProbe final : public EchoProbe {
public:
    explicit FakeProbe(std::shared_ptr<ProbeScript> script) : script_(std::move(script)) {}

    void run(const std::vector<std::string>& addresses, const ResultCallback& onResult,
             std::stop_token stop) override {
        {
            std::lock_guard lock(script_->mutex);
            script_->addresses = addresses;
        }
        for (std::size_t i = 0; i < addresses.size(); ++i) {
            if (const auto it = script_->answers.find(addresses[i]); it != script_->answers.end()) {
                onResult(i, it->second);
            }
        }
        if (script_->holdUntilStopped) {
            std::unique_lock lock(script_->mutex);
            script_->changed.wait_for(lock, stop, std::chrono::seconds(20), [] { return false; });
            script_->stopped = stop.stop_requested();
        }
    }

private:
    std::shared_ptr<ProbeScript> script_;
};

// Three servers, GBK as the provider serves it: blanks inside values, one row without a
// server, one without a password.
std::string directoryBody() {
    return utf8ToGbk(
        "欢迎<kavu512>\r\n"
        "北京 电信, 1.1.1.1 ,us er1,pa ss1,2025-12-31+\r\n"
        "上海,,user2,pass2,2026-01-01+\r\n"
        "广州,3.3.3.3,user3,,2027-01-01+\r\n"
        "</kavu512>");
}

class ServerDialogTest : public ::testing::Test {
protected:
    std::unique_ptr<ServerDialog> makeDialog(const std::string& url) {
        HttpLimits limits;
        limits.connectTimeout = std::chrono::milliseconds(1000);
        limits.inactivityTimeout = std::chrono::milliseconds(1000);
        ServerDialogServices services{createHttpClient(limits),
                                      [script = probe_]() -> std::unique_ptr<EchoProbe> {
                                          if (!script->setupError.empty()) {
                                              throw ProbeSetupError(script->setupError);
                                          }
                                          return std::make_unique<FakeProbe>(script);
                                      },
                                      url};
        return std::make_unique<ServerDialog>(
            std::move(services), log_,
            [this](const std::string& server, const std::string& user,
                   const std::string& password) {
                chosen_.push_back({server, user, password});
            });
    }

    static QPushButton* button(QDialog& dialog, const char* name) {
        return dialog.findChild<QPushButton*>(QString::fromLatin1(name));
    }
    static QTableWidget* list(QDialog& dialog) {
        return dialog.findChild<QTableWidget*>(QStringLiteral("ListView1"));
    }
    static bool busy(QDialog& dialog) {
        return !dialog.findChild<QProgressBar*>(QStringLiteral("BusyIndicator"))->isHidden();
    }
    static std::string cell(QDialog& dialog, int row, int column) {
        const QTableWidgetItem* item = list(dialog)->item(row, column);
        return item == nullptr ? "<none>" : item->text().toStdString();
    }
    static bool waitIdle(QDialog& dialog) {
        return QTest::qWaitFor([&] { return !busy(dialog); }, 10'000);
    }
    static void press(QDialog& dialog, const char* name) {
        QTest::mouseClick(button(dialog, name), Qt::LeftButton);
    }
    void fetch(QDialog& dialog) {
        press(dialog, "Button1");
        ASSERT_TRUE(waitIdle(dialog));
    }
    static void clickRow(QDialog& dialog, int row, bool twice = false) {
        QTableWidget* table = list(dialog);
        const QPoint centre = table->visualRect(table->model()->index(row, 1)).center();
        QTest::mouseClick(table->viewport(), Qt::LeftButton, {}, centre);
        if (twice) {
            QTest::mouseDClick(table->viewport(), Qt::LeftButton, {}, centre);
        }
    }

    // Presses OK and returns what the message box said (text, caption, icon, button count),
    // closing it; empty when no box came up.
    struct Box {
        std::string text;
        std::string caption;
        QMessageBox::Icon icon = QMessageBox::NoIcon;
        qsizetype buttons = 0;
    };
    static std::optional<Box> pressOkExpectingBox(QDialog& dialog) {
        std::optional<Box> seen;
        QTimer poll;
        poll.setInterval(20);
        QObject::connect(&poll, &QTimer::timeout, [&] {
            if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
                seen = Box{box->text().toStdString(), box->windowTitle().toStdString(), box->icon(),
                           box->buttons().size()};
                box->button(QMessageBox::Ok)->click();
            }
        });
        poll.start();
        QTimer::singleShot(5000, &dialog, [] {
            if (QWidget* modal = QApplication::activeModalWidget()) {
                modal->close();  // never leave the test hanging in a nested loop
            }
        });
        press(dialog, "Button2");
        return seen;
    }

    TestHttpServer server_;
    RecordingLog log_;
    std::vector<ServerChoice> chosen_;
    std::shared_ptr<ProbeScript> probe_ = std::make_shared<ProbeScript>();
};

TEST_F(ServerDialogTest, FirstGetFailsSecondSucceeds) {
    test::CannedResponse stall;
    stall.behaviour = test::Behaviour::StallBeforeHeaders;
    server_.serve("/server.txt", stall);
    auto dialog = makeDialog(server_.url("/server.txt"));
    dialog->show();
    EXPECT_FALSE(button(*dialog, "Button2")->isEnabled());

    press(*dialog, "Button1");
    EXPECT_TRUE(busy(*dialog));
    EXPECT_FALSE(button(*dialog, "Button1")->isEnabled());
    ASSERT_TRUE(QTest::qWaitFor([&] { return server_.requests().size() == 1; }, 5000));
    server_.serve("/server.txt", test::okResponse(directoryBody(), "text/plain"));
    ASSERT_TRUE(waitIdle(*dialog));

    EXPECT_EQ(server_.requests().size(), 2u);
    EXPECT_TRUE(log_.lines().empty());
    EXPECT_TRUE(button(*dialog, "Button2")->isEnabled());
    EXPECT_TRUE(button(*dialog, "Button1")->isEnabled());
    ASSERT_EQ(list(*dialog)->rowCount(), 3);
    const std::vector<std::vector<std::string>> expected = {
        {"1", "北京电信", "1.1.1.1", "user1", "pass1", "", "2025-12-31"},
        {"2", "上海", "", "user2", "pass2", "", "2026-01-01"},
        {"3", "广州", "3.3.3.3", "user3", "", "", "2027-01-01"},
    };
    for (int row = 0; row < 3; ++row) {
        for (int column = 0; column < 7; ++column) {
            EXPECT_EQ(cell(*dialog, row, column), expected[row][column]) << row << "," << column;
        }
    }
    const auto* memo = dialog->findChild<QPlainTextEdit*>(QStringLiteral("Memo1"));
    EXPECT_TRUE(memo->isHidden());
    EXPECT_EQ(memo->toPlainText().toStdString(),
              "北京电信,1.1.1.1,user1,pass1,2025-12-31\n上海,,user2,pass2,2026-01-01\n"
              "广州,3.3.3.3,user3,,2027-01-01\n");
}

TEST_F(ServerDialogTest, FailedFetchLeavesListAndLogsOnlySocketFailures) {
    {
        SCOPED_TRACE("refused twice: one line in the main log");
        test::RefusingPort refusing;
        auto dialog = makeDialog(refusing.url("/server.txt"));
        dialog->show();
        fetch(*dialog);
        const auto lines = log_.lines();
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_TRUE(lines[0].starts_with(kNetworkErrorPrefix)) << lines[0];
        EXPECT_GT(lines[0].size(), std::string(kNetworkErrorPrefix).size());
        EXPECT_EQ(list(*dialog)->rowCount(), 0);
        EXPECT_FALSE(button(*dialog, "Button2")->isEnabled());
    }
    {
        SCOPED_TRACE("HTTP 404 twice after a good fetch: nothing logged, rows stay");
        server_.serve("/server.txt", test::okResponse(directoryBody(), "text/plain"));
        auto dialog = makeDialog(server_.url("/server.txt"));
        dialog->show();
        fetch(*dialog);
        test::CannedResponse missing = test::okResponse("no such file", "text/plain");
        missing.status = 404;
        server_.serve("/server.txt", missing);
        fetch(*dialog);
        EXPECT_EQ(server_.requests().size(), 3u);
        EXPECT_EQ(log_.lines().size(), 1u);  // only the line of the first case
        EXPECT_EQ(list(*dialog)->rowCount(), 3);
        EXPECT_EQ(cell(*dialog, 2, 2), "3.3.3.3");
        EXPECT_TRUE(button(*dialog, "Button2")->isEnabled());
    }
}

TEST_F(ServerDialogTest, ReopeningKeepsRowsAndPingsButEmptiesTheChoice) {
    server_.serve("/server.txt", test::okResponse(directoryBody(), "text/plain"));
    probe_->answers = {{"1.1.1.1", "12ms"}};
    auto dialog = makeDialog(server_.url("/server.txt"));
    dialog->show();
    fetch(*dialog);
    press(*dialog, "Button4");
    ASSERT_TRUE(waitIdle(*dialog));
    clickRow(*dialog, 0);
    press(*dialog, "Button3");  // cancel: the fields stay as they were
    EXPECT_FALSE(dialog->isVisible());
    EXPECT_TRUE(chosen_.empty());

    dialog->show();
    EXPECT_EQ(list(*dialog)->rowCount(), 3);
    EXPECT_EQ(cell(*dialog, 0, 5), "12ms");
    EXPECT_TRUE(list(*dialog)->selectedItems().isEmpty());

    // Nothing chosen, a row without a password, a row without a server: the box each time.
    for (const int row : {-1, 2, 1}) {
        SCOPED_TRACE(row);
        if (row >= 0) {
            clickRow(*dialog, row);
        }
        const auto box = pressOkExpectingBox(*dialog);
        ASSERT_TRUE(box.has_value());
        EXPECT_EQ(box->text, "你确定选择了么？");
        EXPECT_EQ(box->caption, "提示");
        EXPECT_EQ(box->icon, QMessageBox::Information);
        EXPECT_EQ(box->buttons, 1);
        EXPECT_TRUE(dialog->isVisible());
        EXPECT_TRUE(chosen_.empty());
    }
}

TEST_F(ServerDialogTest, OkAndDoubleClickHandOverTheChosenRow) {
    server_.serve("/server.txt", test::okResponse(directoryBody(), "text/plain"));
    auto dialog = makeDialog(server_.url("/server.txt"));
    dialog->show();
    fetch(*dialog);
    clickRow(*dialog, 0);
    const auto box = pressOkExpectingBox(*dialog);
    EXPECT_FALSE(box.has_value());
    EXPECT_FALSE(dialog->isVisible());
    EXPECT_EQ(dialog->result(), QDialog::Accepted);
    ASSERT_EQ(chosen_.size(), 1u);
    EXPECT_EQ(chosen_[0], (ServerChoice{"1.1.1.1", "user1", "pass1"}));

    dialog->show();
    clickRow(*dialog, 0, true);
    EXPECT_FALSE(dialog->isVisible());
    EXPECT_EQ(chosen_.size(), 2u);
}

TEST_F(ServerDialogTest, RowsAlternateTheirColoursAcrossTheWholeRow) {
    server_.serve("/server.txt", test::okResponse(directoryBody(), "text/plain"));
    auto dialog = makeDialog(server_.url("/server.txt"));
    dialog->show();
    fetch(*dialog);
    QTableWidget* table = list(*dialog);
    const QImage image = table->viewport()->grab().toImage();
    const QRgb even = qRgb(215, 238, 240);
    const QRgb odd = qRgb(215, 240, 224);
    for (int row = 0; row < 3; ++row) {
        SCOPED_TRACE(row);
        const QRect pingCell = table->visualRect(table->model()->index(row, 5));
        const int middleY = pingCell.center().y();
        const int pastColumns = image.width() - 2;  // right of the last column
        ASSERT_GT(pastColumns, table->visualRect(table->model()->index(row, 6)).right());
        const QRgb wanted = row % 2 == 0 ? even : odd;
        // Device pixels: grab() scales by the device pixel ratio.
        const qreal ratio = image.devicePixelRatio();
        EXPECT_EQ(image.pixel(QPoint(pingCell.center().x(), middleY) * ratio) & 0xFFFFFF,
                  wanted & 0xFFFFFF);
        EXPECT_EQ(image.pixel(QPoint(pastColumns, middleY) * ratio) & 0xFFFFFF, wanted & 0xFFFFFF);
    }
}

TEST_F(ServerDialogTest, PingFillsEachCellAndLeavesEmptyAddressesEmpty) {
    server_.serve("/server.txt", test::okResponse(directoryBody(), "text/plain"));
    probe_->answers = {{"1.1.1.1", "12ms"}, {"3.3.3.3", "超时"}};
    auto dialog = makeDialog(server_.url("/server.txt"));
    dialog->show();
    fetch(*dialog);
    press(*dialog, "Button4");
    ASSERT_TRUE(waitIdle(*dialog));
    EXPECT_EQ(probe_->addresses, (std::vector<std::string>{"1.1.1.1", "", "3.3.3.3"}));
    EXPECT_EQ(cell(*dialog, 0, 5), "12ms");
    EXPECT_EQ(cell(*dialog, 1, 5), "");
    EXPECT_EQ(cell(*dialog, 2, 5), "超时");
    EXPECT_TRUE(log_.lines().empty());

    probe_->setupError = "没有ICMP套接字";
    press(*dialog, "Button4");
    ASSERT_TRUE(waitIdle(*dialog));
    EXPECT_EQ(log_.lines(), std::vector<std::string>{"无法进行Ping测试：没有ICMP套接字"});
    EXPECT_EQ(cell(*dialog, 0, 5), "");  // a new run starts from empty cells
}

TEST_F(ServerDialogTest, CancelStopsARunningPing) {
    server_.serve("/server.txt", test::okResponse(directoryBody(), "text/plain"));
    probe_->answers = {{"1.1.1.1", "12ms"}};
    probe_->holdUntilStopped = true;
    auto dialog = makeDialog(server_.url("/server.txt"));
    dialog->show();
    fetch(*dialog);
    press(*dialog, "Button4");
    ASSERT_TRUE(QTest::qWaitFor([&] { return cell(*dialog, 0, 5) == "12ms"; }, 5000));
    EXPECT_TRUE(busy(*dialog));
    EXPECT_FALSE(button(*dialog, "Button1")->isEnabled());
    EXPECT_FALSE(button(*dialog, "Button4")->isEnabled());
    EXPECT_TRUE(button(*dialog, "Button3")->isEnabled());

    press(*dialog, "Button3");
    EXPECT_FALSE(dialog->isVisible());
    ASSERT_TRUE(waitIdle(*dialog));
    std::lock_guard lock(probe_->mutex);
    EXPECT_TRUE(probe_->stopped);
    EXPECT_TRUE(button(*dialog, "Button1")->isEnabled());
}

TEST_F(ServerDialogTest, WindowAndControlsAreLaidOutAsDesigned) {
    auto dialog = makeDialog(server_.url("/server.txt"));
    EXPECT_EQ(dialog->windowTitle().toStdString(), "选择VPN网络");
    EXPECT_EQ(dialog->size(), QSize(512, 310));
    EXPECT_EQ(dialog->minimumSize(), dialog->maximumSize());
    EXPECT_FALSE(dialog->windowFlags() & Qt::WindowMinimizeButtonHint);
    EXPECT_FALSE(dialog->windowFlags() & Qt::WindowMaximizeButtonHint);
    EXPECT_EQ(dialog->font().family().toStdString(), "宋体");
    EXPECT_EQ(dialog->font().pixelSize(), 12);

    struct Control {
        const char* name;
        QRect place;
        const char* caption;
    };
    const Control controls[] = {
        {"ListView1", {0, 0, 512, 265}, nullptr}, {"Button1", {8, 276, 75, 25}, "获取服务器"},
        {"Button4", {96, 276, 75, 25}, "Ping"},   {"Button2", {336, 276, 75, 25}, "确定"},
        {"Button3", {424, 276, 75, 25}, "取消"},  {"Memo1", {8, 72, 425, 113}, nullptr},
    };
    for (const Control& control : controls) {
        SCOPED_TRACE(control.name);
        auto* widget = dialog->findChild<QWidget*>(QString::fromLatin1(control.name));
        ASSERT_NE(widget, nullptr);
        EXPECT_EQ(widget->geometry(), control.place);
        if (control.caption != nullptr) {
            EXPECT_EQ(qobject_cast<QPushButton*>(widget)->text().toStdString(), control.caption);
        }
    }

    QTableWidget* table = list(*dialog);
    const std::pair<const char*, int> columns[] = {
        {"", 20},     {"服务器地理位置", 120}, {"最新服务器", 105}, {"用户名", 70}, {"密码", 66},
        {"Ping", 48}, {"可用时间", 60}};
    ASSERT_EQ(table->columnCount(), 7);
    for (int i = 0; i < 7; ++i) {
        EXPECT_EQ(table->horizontalHeaderItem(i)->text().toStdString(), columns[i].first);
        EXPECT_EQ(table->columnWidth(i), columns[i].second);
    }
    EXPECT_EQ(table->editTriggers(), QAbstractItemView::NoEditTriggers);
    EXPECT_EQ(table->selectionBehavior(), QAbstractItemView::SelectRows);
    EXPECT_TRUE(table->showGrid());

    // Tab order: the named controls as the focus chain meets them, starting at the list.
    std::vector<std::string> order;
    QWidget* widget = table;
    do {
        const QString name = widget->objectName();
        if (name == "ListView1" || name.startsWith("Button") || name == "Memo1") {
            order.push_back(name.toStdString());
        }
        widget = widget->nextInFocusChain();
    } while (widget != table);
    EXPECT_EQ(order, (std::vector<std::string>{"ListView1", "Button1", "Memo1", "Button2",
                                               "Button3", "Button4"}));
}

}  // namespace
}  // namespace vpn
