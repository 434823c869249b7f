#pragma once

#include <QMainWindow>
#include <QPoint>

namespace vorna::launcher {

// A main window that follows the mouse while any button is held on its surface, wherever no child
// widget takes the press itself.
class TDraggableMainWindow : public QMainWindow
{
    Q_OBJECT
    Q_DISABLE_COPY(TDraggableMainWindow)

public:
    explicit TDraggableMainWindow(QWidget *Parent = nullptr);
    ~TDraggableMainWindow() override;

protected:
    void mousePressEvent(QMouseEvent *Event) override;
    void mouseReleaseEvent(QMouseEvent *Event) override;
    void mouseMoveEvent(QMouseEvent *Event) override;

private:
    // (0, 0) while no drag is under way.
    QPoint m_lastGlobalPos{0, 0};
};

} // namespace vorna::launcher
