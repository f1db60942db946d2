// The yardstick for the connector's start-up time: the least a Qt Widgets program does to put a
// window of the connector's size on the screen, reporting its first paint the same way.
#include <QApplication>
#include <QWidget>

#include "app/first_paint_reporter.h"

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QWidget window;
    window.setFixedSize(318, 351);
    window.setWindowTitle(QStringLiteral("minimal"));
    vpn::FirstPaintReporter::watchIfRequested(window);
    window.show();
    return QApplication::exec();
}
