#pragma once

#include <QLabel>

// A label that reports every mouse press as a click and keeps the press to itself, so that a
// click on a hint does not start dragging the window behind it.
class ClickableLabel final : public QLabel
{
    Q_OBJECT
    Q_DISABLE_COPY(ClickableLabel)

public:
    explicit ClickableLabel(QWidget *Parent = nullptr);
    ~ClickableLabel() override;

signals:
    void clicked();

protected:
    void mousePressEvent(QMouseEvent *Event) override;
};
