#pragma once

#include <QDialog>
#include <functional>
#include <memory>
#include <stop_token>
#include <string>

#include "servers/server_selection.h"

class QPlainTextEdit;
class QProgressBar;
class QPushButton;
class QTableWidget;

namespace vpn {

class EchoProbe;
class HttpClient;
class SerialWorker;
class StatusLog;

// What the server dialog works with; the program passes the real ones, the tests fakes.
struct ServerDialogServices {
    // The dialog's own HTTP client; used only on the dialog's worker thread.
    std::unique_ptr<HttpClient> httpClient;
    // Makes the probe for one ping run, on the worker thread; may throw ProbeSetupError.
    std::function<std::unique_ptr<EchoProbe>()> createProbe;
    std::string directoryUrl;
};

// The server selection dialog Fr_Show: fetches the provider's directory, shows it, pings the
// servers and hands the chosen server, user and password to the main window. Fetch and ping
// run on a worker thread of the dialog; the window stays responsive meanwhile.
class ServerDialog : public QDialog {
    Q_OBJECT

public:
    using ChoiceCallback = std::function<void(const std::string& server, const std::string& user,
                                              const std::string& password)>;

    // mainLog: the main window's status log, written on this dialog's thread. onChosen: called
    // on OK with a complete choice, before the dialog closes.
    ServerDialog(ServerDialogServices services, StatusLog& mainLog, ChoiceCallback onChosen,
                 QWidget* parent = nullptr);
    ~ServerDialog() override;

    // Every way of closing (OK, cancel, close box, Escape) stops a ping run first.
    void done(int result) override;

protected:
    void showEvent(QShowEvent* event) override;

private:
    struct Backend;
    enum class Activity { Idle, Fetching, Pinging };

    void buildControls();
    void setActivity(Activity activity);
    void startFetch();
    void showDirectory(const ParsedDirectory& directory);
    void startPingRun();
    void showPingResult(int run, std::size_t row, const std::string& result);
    void stopPingRun();
    void chooseSelectedRow();
    void confirmChoice();

    StatusLog& mainLog_;
    ChoiceCallback onChosen_;
    ServerSelection selection_;
    Activity activity_ = Activity::Idle;
    int pingRun_ = 0;  // results of an older or stopped run are dropped
    std::stop_source pingStop_;

    QTableWidget* listView1_ = nullptr;
    QPushButton* button1_ = nullptr;
    QPushButton* button2_ = nullptr;
    QPushButton* button3_ = nullptr;
    QPushButton* button4_ = nullptr;
    QPlainTextEdit* memo1_ = nullptr;
    QProgressBar* busyIndicator_ = nullptr;

    std::shared_ptr<Backend> backend_;
    std::unique_ptr<SerialWorker> worker_;
};

}  // namespace vpn
