#include "app/main_window.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QScreen>
#include <QStatusBar>
#include <QTest>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "net/http_client.h"
#include "vpn/dial_up_service.h"

namespace vpn {
namespace {

using namespace std::chrono_literals;

// Holds callers until it is opened.
class Gate {
public:
    void wait() {
        std::unique_lock lock(mutex_);
        opened_.wait(lock, [this] { return open_; });
    }
    void open() {
        {
            std::lock_guard lock(mutex_);
            open_ = true;
        }
        opened_.notify_all();
    }

private:
    std::mutex mutex_;
    std::condition_variable opened_;
    bool open_ = false;
};

// The address page as the window's client sees it: every GET gets this answer.
class FakeHttpClient final : public HttpClient {
public:
    using Answer = std::function<HttpResponse()>;
    explicit FakeHttpClient(Answer answer) : answer_(std::move(answer)) {}
    HttpResponse get(const std::string&) override { return answer_(); }
    void disconnect() override {}

private:
    Answer answer_;
};

HttpResponse addressPage() {
    return {"<p><center>您的IP：10.1.2.3 来自：测试</center></p>", ""};
}
constexpr const char* kAddressLine = "您的IP：10.1.2.3 来自：测试";

// A dial-up service that records its calls and can hold dial() or deleteEntry() at a gate.
class FakeDialUpService final : public DialUpService {
public:
    Gate* dialGate = nullptr;
    Gate* deleteGate = nullptr;

    bool writeEntry(const std::string&, const VpnEntrySettings& settings) override {
        record("write " + settings.server);
        return true;
    }
    std::uint32_t listConnections(std::vector<ActiveConnection>& out) override {
        record("list");
        std::lock_guard lock(mutex_);
        out = active_;
        return 0;
    }
    std::uint32_t dial(const std::string& entryName, const std::string& user,
                       const std::string& password, ConnectionHandle& handle) override {
        record("dial " + user + " " + password);
        if (dialGate != nullptr) {
            dialGate->wait();
        }
        handle = "/active/1";
        std::lock_guard lock(mutex_);
        active_ = {{handle, entryName}};
        return 0;
    }
    std::string errorText(std::uint32_t) override { return "拨号失败"; }
    void hangUp(const ConnectionHandle& handle) override {
        record("hangUp " + handle);
        std::lock_guard lock(mutex_);
        active_.clear();
    }
    void deleteEntry(const std::string& entryName) override {
        record("delete " + entryName);
        if (deleteGate != nullptr) {
            deleteGate->wait();
        }
    }

    std::vector<std::string> calls() const {
        std::lock_guard lock(mutex_);
        return calls_;
    }

private:
    void record(std::string call) {
        std::lock_guard lock(mutex_);
        calls_.push_back(std::move(call));
    }

    mutable std::mutex mutex_;
    std::vector<std::string> calls_;
    std::vector<ActiveConnection> active_;
};

// One main window on its fakes, shown on the offscreen screen.
struct Harness {
    explicit Harness(FakeHttpClient::Answer lookup, DialUpService& service,
                     std::chrono::milliseconds closeTimeout = 5s)
        : window(MainWindowServices{.dialUpService = service,
                                    .httpClient = std::make_unique<FakeHttpClient>(lookup),
                                    .lookupUrl = "http://127.0.0.1:9/ip2city.asp",
                                    .closeTimeout = closeTimeout}) {
        window.show();
    }

    template <typename Widget>
    Widget* child(const char* name) {
        auto* widget = window.findChild<Widget*>(QString::fromLatin1(name));
        EXPECT_NE(widget, nullptr) << name;
        return widget;
    }

    QStringList log() {
        QStringList lines;
        auto* list = child<QListWidget>("ListBox1");
        for (int row = 0; row < list->count(); ++row) {
            lines << list->item(row)->text();
        }
        return lines;
    }

    bool logHas(const QString& line) { return log().contains(line); }

    void click(const char* button) {
        QTest::mouseClick(child<QPushButton>(button), Qt::LeftButton);
    }

    bool idle() { return child<QPushButton>("Button2")->isEnabled(); }

    MainWindow window;
};

bool waitFor(const std::function<bool()>& done, std::chrono::milliseconds timeout = 5s) {
    return QTest::qWaitFor(done, static_cast<int>(timeout.count()));
}

// No error ever opens a dialog: the main window is the only window on screen.
bool onlyTheMainWindowShows(const MainWindow& window) {
    for (const QWidget* widget : QApplication::topLevelWidgets()) {
        if (widget->isVisible() && widget != &window) {
            return false;
        }
    }
    return QApplication::activeModalWidget() == nullptr;
}

TEST(MainWindowStartUp, FieldsEmptyAndAddressReportFollowsTheErrorRule) {
    const QString disconnected = QStringLiteral("断开连接。");
    struct Case {
        const char* name;
        FakeHttpClient::Answer lookup;
        QStringList expectedLog;  // before the disconnect line that ends the case
    };
    const Case cases[] = {
        {"address page", addressPage, {QString::fromUtf8(kAddressLine)}},
        {"socket failure",
         []() -> HttpResponse { throw SocketError("Connection refused"); },
         {QStringLiteral("你确定能联网么？错误提示：Connection refused")}},
        {"HTTP failure", []() -> HttpResponse { throw HttpError("HTTP 404 Not Found"); }, {}},
        {"other failure", []() -> HttpResponse { throw std::runtime_error("unexpected"); }, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FakeDialUpService service;
        Harness h(c.lookup, service);
        for (const char* field : {"EdtServer", "EdtUser", "EdtPass"}) {
            EXPECT_TRUE(h.child<QLineEdit>(field)->text().isEmpty()) << field;
        }
        // The report has its own thread; a command meanwhile is not held up by it.
        h.click("Button3");
        ASSERT_TRUE(waitFor([&] { return h.logHas(disconnected); }));
        if (c.expectedLog.isEmpty()) {
            // A silent failure: give a stray line time to show up.
            QTest::qWait(200);
        } else {
            ASSERT_TRUE(waitFor([&] { return h.log().size() == 2; }));
        }
        QStringList log = h.log();
        QStringList expected = c.expectedLog + QStringList{disconnected};
        log.sort();
        expected.sort();
        EXPECT_EQ(log, expected);
        EXPECT_TRUE(onlyTheMainWindowShows(h.window));
    }
}

TEST(MainWindowLayout, WindowAndControlsAtTheirPlaces) {
    FakeDialUpService service;
    Harness h(addressPage, service);
    MainWindow& w = h.window;

    EXPECT_EQ(w.objectName(), QStringLiteral("Fr_Main"));
    EXPECT_EQ(w.windowTitle(), QStringLiteral("青禾鹭VPN  V1.02"));
    EXPECT_EQ(w.size(), QSize(318, 351));
    EXPECT_EQ(w.minimumSize(), w.maximumSize());
    EXPECT_TRUE(w.windowFlags().testFlag(Qt::WindowMinimizeButtonHint));
    EXPECT_FALSE(w.windowFlags().testFlag(Qt::WindowMaximizeButtonHint));
    EXPECT_EQ(w.font().family(), QStringLiteral("宋体"));
    EXPECT_EQ(w.font().pixelSize(), 12);
    // Centred up to the width of a window frame, which is not known before the window shows.
    const QPoint offCentre = w.geometry().center() - w.screen()->availableGeometry().center();
    EXPECT_LE(std::max(std::abs(offCentre.x()), std::abs(offCentre.y())), 4);

    struct Place {
        const char* name;
        QPoint position;
        QSize size;  // not checked when invalid (labels size to their text)
        QString text;
    };
    const Place places[] = {
        {"Image1", {0, 0}, {318, 138}, {}},
        {"Label1", {8, 160}, {}, QStringLiteral("服务器IP：")},
        {"Label2", {8, 192}, {}, QStringLiteral("VPN-帐号：")},
        {"Label3", {8, 224}, {}, QStringLiteral("VPN-密码：")},
        {"EdtServer", {72, 152}, {145, 20}, {}},
        {"EdtUser", {72, 184}, {145, 20}, {}},
        {"EdtPass", {72, 216}, {145, 20}, {}},
        {"Button1", {230, 149}, {80, 25}, QStringLiteral("获取服务器")},
        {"Button2", {230, 181}, {80, 25}, QStringLiteral("连接")},
        {"Button3", {230, 213}, {80, 25}, QStringLiteral("断开")},
        {"ListBox1", {6, 248}, {305, 81}, {}},
        {"StatusBar1", {0, 332}, {318, 19}, {}},
    };
    for (const Place& place : places) {
        SCOPED_TRACE(place.name);
        auto* widget = h.child<QWidget>(place.name);
        ASSERT_NE(widget, nullptr);
        EXPECT_TRUE(widget->isVisible());
        EXPECT_EQ(widget->pos(), place.position);
        if (place.size.isValid()) {
            EXPECT_EQ(widget->size(), place.size);
        }
        EXPECT_EQ(widget->property("text").toString(), place.text);
    }

    EXPECT_EQ(h.child<QLabel>("Image1")->pixmap().size(), QSize(318, 139));
    EXPECT_EQ(h.child<QLineEdit>("EdtPass")->echoMode(), QLineEdit::Normal);
    auto* log = h.child<QListWidget>("ListBox1");
    EXPECT_EQ(log->frameShape(), QFrame::NoFrame);
    EXPECT_EQ(log->palette().color(QPalette::Base), w.palette().color(QPalette::Button));

    std::vector<int> panelWidths;
    for (const QLabel* panel : h.child<QStatusBar>("StatusBar1")->findChildren<QLabel*>()) {
        EXPECT_FALSE(panel->text().isEmpty());
        panelWidths.push_back(panel->width());
    }
    EXPECT_EQ(panelWidths, (std::vector<int>{80, 140, 50}));

    // Tab walks the controls in their order, from the first field to the log and around.
    w.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&w));
    h.child<QLineEdit>("EdtServer")->setFocus();
    QStringList order;
    for (int step = 0; step < 8; ++step) {
        order << QApplication::focusWidget()->objectName();
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    }
    EXPECT_EQ(order, (QStringList{"EdtServer", "EdtUser", "EdtPass", "Button1", "Button2",
                                  "Button3", "ListBox1", "EdtServer"}));
}

TEST(MainWindowLog, NewestLineVisibleNothingHighlightedLinesFromAnyThreadInOrder) {
    FakeDialUpService service;
    Harness h([]() -> HttpResponse { throw HttpError("silent"); }, service);
    auto* list = h.child<QListWidget>("ListBox1");

    QStringList expected;
    for (int i = 0; i < 40; ++i) {
        expected << QStringLiteral("第%1行").arg(i);
        h.window.AddLog(expected.back());
        QListWidgetItem* newest = list->item(list->count() - 1);
        ASSERT_TRUE(list->viewport()->rect().contains(list->visualItemRect(newest))) << i;
        ASSERT_TRUE(list->selectedItems().isEmpty()) << i;
        ASSERT_EQ(list->visualItemRect(newest).height(), 12);
    }
    EXPECT_EQ(h.log(), expected);

    // The commands log from the worker thread; several threads at once keep each one's order.
    constexpr int kPerThread = 150;
    auto writeLines = [&](const char* tag) {
        for (int i = 0; i < kPerThread; ++i) {
            h.window.statusLog().AddLog(tag + std::to_string(i));
        }
    };
    std::thread first(writeLines, "a");
    std::thread second(writeLines, "b");
    first.join();
    second.join();
    ASSERT_TRUE(waitFor([&] { return list->count() == 40 + 2 * kPerThread; }));
    int nextA = 0;
    int nextB = 0;
    for (const QString& line : h.log().mid(40)) {
        int& next = line.startsWith('a') ? nextA : nextB;
        EXPECT_EQ(line.mid(1).toInt(), next++) << line.toStdString();
    }
    EXPECT_TRUE(list->selectedItems().isEmpty());
}

TEST(MainWindowCommands, ConnectDisconnectAndCloseRunInOrderWithTheFieldsOfThePress) {
    FakeDialUpService service;
    Harness h(addressPage, service);
    ASSERT_TRUE(waitFor([&] { return h.logHas(QString::fromUtf8(kAddressLine)); }));
    QTest::keyClicks(h.child<QLineEdit>("EdtServer"), "10.0.0.1");
    QTest::keyClicks(h.child<QLineEdit>("EdtUser"), "user");
    QTest::keyClicks(h.child<QLineEdit>("EdtPass"), "secret");

    h.click("Button2");
    h.child<QLineEdit>("EdtPass")->setText("typed later");
    ASSERT_TRUE(waitFor([&] { return h.idle(); }));
    h.click("Button3");
    ASSERT_TRUE(waitFor([&] { return h.idle(); }));
    h.window.close();
    ASSERT_TRUE(waitFor([&] { return !h.window.isVisible(); }));

    const QString address = QString::fromUtf8(kAddressLine);
    const QString disconnected = QStringLiteral("断开连接。");
    EXPECT_EQ(h.log(), (QStringList{address, QStringLiteral("连接成功。"), address, disconnected,
                                    disconnected}));
    const std::string deleteEntry = std::string("delete ") + kEntryName;
    EXPECT_EQ(service.calls(),
              (std::vector<std::string>{"write 10.0.0.1", "list", "dial user secret",
                                        "hangUp /active/1", deleteEntry, deleteEntry}));
    EXPECT_FALSE(h.window.abandonedWork());
}

TEST(MainWindowCommands, WindowStaysResponsiveWhileTheServiceBlocks) {
    Gate dialGate;
    FakeDialUpService service;
    service.dialGate = &dialGate;
    Harness h(addressPage, service);
    ASSERT_TRUE(waitFor([&] { return h.logHas(QString::fromUtf8(kAddressLine)); }));
    h.window.setConnectFields({"10.0.0.1", "user", "secret"});

    h.click("Button2");
    ASSERT_TRUE(waitFor([&] {
        const auto calls = service.calls();
        return !calls.empty() && calls.back().starts_with("dial");
    }));
    // The dial is held: the window still takes input and shows that a command runs.
    EXPECT_FALSE(h.child<QPushButton>("Button2")->isEnabled());
    EXPECT_FALSE(h.child<QPushButton>("Button3")->isEnabled());
    EXPECT_TRUE(h.child<QPushButton>("Button1")->isEnabled());
    EXPECT_EQ(h.window.cursor().shape(), Qt::BusyCursor);
    QTest::keyClicks(h.child<QLineEdit>("EdtServer"), "9");
    EXPECT_EQ(h.child<QLineEdit>("EdtServer")->text(), QStringLiteral("10.0.0.19"));
    h.window.AddLog(QStringLiteral("仍可操作"));
    EXPECT_EQ(h.log().back(), QStringLiteral("仍可操作"));

    dialGate.open();
    ASSERT_TRUE(waitFor([&] { return h.idle(); }));
    EXPECT_TRUE(h.logHas(QStringLiteral("连接成功。")));
    EXPECT_NE(h.window.cursor().shape(), Qt::BusyCursor);
}

TEST(MainWindowCommands, CloseGivesUpOnAServiceThatNeverAnswers) {
    // Both left alive on purpose: the abandoned worker thread is still inside them when the
    // window is gone, and leaves them at its own pace once the gate opens.
    auto* deleteGate = new Gate;
    auto* service = new FakeDialUpService;
    service->deleteGate = deleteGate;
    {
        Harness h(addressPage, *service, 300ms);
        ASSERT_TRUE(waitFor([&] { return h.logHas(QString::fromUtf8(kAddressLine)); }));
        h.window.close();
        EXPECT_TRUE(h.window.isVisible());  // the disconnect command runs first
        ASSERT_TRUE(waitFor([&] { return !h.window.isVisible(); }, 3s));
        EXPECT_TRUE(h.window.abandonedWork());
        EXPECT_FALSE(h.logHas(QStringLiteral("断开连接。")));
        EXPECT_EQ(service->calls().back(), std::string("delete ") + kEntryName);
    }
    deleteGate->open();  // the window is gone by now
}

TEST(MainWindowCommands, StalledAddressPageHoldsUpNeitherCommandsNorClosing) {
    // Left alive on purpose: the report's thread waits at the gate after the window is gone.
    auto* pageGate = new Gate;
    FakeDialUpService service;
    {
        Harness h(
            [pageGate] {
                pageGate->wait();
                return addressPage();
            },
            service);
        h.click("Button3");
        ASSERT_TRUE(waitFor([&] { return h.logHas(QStringLiteral("断开连接。")); }));
        h.window.close();
        ASSERT_TRUE(waitFor([&] { return !h.window.isVisible(); }, 3s));
        EXPECT_EQ(h.log(),
                  (QStringList{QStringLiteral("断开连接。"), QStringLiteral("断开连接。")}));
        EXPECT_TRUE(h.window.abandonedWork());
    }
    pageGate->open();
}

}  // namespace
}  // namespace vpn

int main(int argc, char** argv) {
    // The tests need no display; CTest sets the same, this covers running the binary by hand.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
