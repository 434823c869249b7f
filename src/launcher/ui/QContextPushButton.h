#pragma once

#include <QPushButton>

class QAction;
class QMenu;

// A push button with a context menu; choosing an entry reports the entry's text.
class QContextPushButton final : public QPushButton
{
    Q_OBJECT
    Q_DISABLE_COPY(QContextPushButton)

public:
    explicit QContextPushButton(QWidget *Parent = nullptr);
    ~QContextPushButton() override;

    QMenu *contextMenu() const { return m_menu; }

signals:
    void contextTriggered(QString actionText);

protected:
    void contextMenuEvent(QContextMenuEvent *Event) override;

private slots:
    void onContextMenuActionTriggered(QAction *Action);

private:
    QMenu *m_menu = nullptr;
};
