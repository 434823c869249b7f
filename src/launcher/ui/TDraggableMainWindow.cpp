#include "TDraggableMainWindow.h"

#include <QMouseEvent>

namespace vorna::launcher {

TDraggableMainWindow::TDraggableMainWindow(QWidget *Parent) : QMainWindow(Parent) {}

TDraggableMainWindow::~TDraggableMainWindow() = default;

void TDraggableMainWindow::mousePressEvent(QMouseEvent *Event)
{
    m_lastGlobalPos = Event->globalPos();
}

void TDraggableMainWindow::mouseReleaseEvent(QMouseEvent *)
{
    m_lastGlobalPos = QPoint(0, 0);
}

void TDraggableMainWindow::mouseMoveEvent(QMouseEvent *Event)
{
    if (!m_lastGlobalPos.isNull())
        move(pos() + (Event->globalPos() - m_lastGlobalPos));
    m_lastGlobalPos = Event->globalPos();
}

} // namespace vorna::launcher
