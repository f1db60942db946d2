#pragma once

#include <QWidget>
#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "app/serial_worker.h"
#include "app/status_log.h"
#include "vpn/connection_control.h"

class QCloseEvent;
class QLineEdit;
class QListWidget;
class QPushButton;

namespace vpn {

class DialUpService;
class HttpClient;

// What the main window works with; the program entry passes the real ones, the tests fakes.
struct MainWindowServices {
    DialUpService& dialUpService;
    // The window's own HTTP client for the address report; used only on the worker thread.
    std::unique_ptr<HttpClient> httpClient;
    std::string lookupUrl;
    // How long closing waits for the disconnect command before the program gives up on it.
    std::chrono::milliseconds closeTimeout{5000};
};

// The main window Fr_Main: three fields, three buttons, the status log. Its commands and the
// address report run on one serial worker thread in the order the user gave them; their log
// lines come back to this window's thread. Closing runs the disconnect command first.
class MainWindow : public QWidget {
    Q_OBJECT

public:
    explicit MainWindow(MainWindowServices services, QWidget* parent = nullptr);
    ~MainWindow() override;

    // Appends one line, shows it at once and scrolls to it, leaving no line highlighted.
    // Window thread only; other threads use statusLog().
    void AddLog(const QString& text);
    // The status log for any thread: lines reach AddLog on this window's thread, in order.
    StatusLog& statusLog();

    // The fields as the connect command reads them, and the way the server dialog fills them.
    ConnectFields connectFields() const;
    void setConnectFields(const ConnectFields& fields);

    // True once closing gave up on a command that never returned; its thread still runs.
    bool abandonedWork() const { return abandonedWork_; }

signals:
    // Button1 (获取服务器) was pressed: the server dialog should open.
    void serverDialogRequested();
    // The window has been drawn for the first time: start-up work that the user need not wait
    // for goes here.
    void firstPaintDone();

protected:
    void closeEvent(QCloseEvent* event) override;
    bool event(QEvent* event) override;

private:
    struct Backend;
    enum class Closing { No, Disconnecting, Done };

    void buildControls();
    void startAddressReport();
    void runCommand(std::function<void(ConnectionControl&)> command);
    void commandFinished();
    void giveUpClosing();
    void finishClosing();
    void showBusyState();

    QLineEdit* edtServer_ = nullptr;
    QLineEdit* edtUser_ = nullptr;
    QLineEdit* edtPass_ = nullptr;
    QPushButton* button1_ = nullptr;
    QPushButton* button2_ = nullptr;
    QPushButton* button3_ = nullptr;
    QListWidget* listBox1_ = nullptr;

    std::chrono::milliseconds closeTimeout_;
    // Shared with the jobs on the worker, so it outlives a job that closing gave up on.
    std::shared_ptr<Backend> backend_;
    // Commands run on worker_ in the order given; the start-up address report has a thread of
    // its own, so a stalled page never holds up a command or the disconnect on closing.
    std::unique_ptr<SerialWorker> worker_;
    std::unique_ptr<SerialWorker> reportWorker_;
    int pendingCommands_ = 0;
    Closing closing_ = Closing::No;
    bool abandonedWork_ = false;
    bool addressReportStarted_ = false;
};

}  // namespace vpn
