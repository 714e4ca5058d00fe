#include "NetAntiFreeze.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QThread>

void TNetAntiFreeze::PumpMessages() {
  if (ApplicationHasPriority) {
    // Loops over dispatcher rounds until one processes nothing (or the cap).
    QCoreApplication::processEvents(QEventLoop::AllEvents, MaxPumpMs);
    return;
  }
  if (QAbstractEventDispatcher* dispatcher = QAbstractEventDispatcher::instance(QThread::currentThread()))
    dispatcher->processEvents(QEventLoop::AllEvents);
}
