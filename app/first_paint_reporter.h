#pragma once

#include <QEvent>
#include <QObject>
#include <QWidget>
#include <cstdio>

namespace vpn {

// Start-up timing hook: with VPN_REPORT_FIRST_PAINT=1 in the environment, the program writes
// the line "first paint" to standard error when its main window is painted for the first time,
// so that bench/startup_bench can time start-up from outside. Without the variable it does
// nothing.
class FirstPaintReporter final : public QObject {
public:
    static void watchIfRequested(QWidget& window) {
        if (qEnvironmentVariableIntValue("VPN_REPORT_FIRST_PAINT") == 1) {
            window.installEventFilter(new FirstPaintReporter(&window));
        }
    }

    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Paint) {
            watched->removeEventFilter(this);
            std::fputs("first paint\n", stderr);
            std::fflush(stderr);
        }
        return false;
    }

private:
    using QObject::QObject;
};

}  // namespace vpn
