// SPDX-License-Identifier: MIT
// The yardstick for the program's start-up and idle cost: a bare Qt window of
// the main window's client size whose one label a 20 ms timer moves by a
// pixel, as the program's scrolling notice moves.
#include <QApplication>
#include <QLabel>
#include <QTimer>
#include <QWidget>

int main(int argc, char** argv) {
  QApplication application(argc, argv);
  QWidget window;
  window.setWindowTitle(QStringLiteral("bare"));
  window.setFixedSize(836, 206);
  QLabel label(QString::fromUtf8("测试软件！2026年12月10日3时26分10秒"), &window);
  label.setGeometry(0, 160, 210, 24);
  QTimer timer;
  timer.setTimerType(Qt::PreciseTimer);
  QObject::connect(&timer, &QTimer::timeout, &label, [&label] {
    const int left = label.x() + label.width() == 0 ? 750 : label.x();
    label.move(left - 1, label.y());
  });
  timer.start(20);
  window.show();
  return application.exec();
}
