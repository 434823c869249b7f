#include "QContextPushButton.h"

#include <QAction>
#include <QContextMenuEvent>
#include <QMenu>

QContextPushButton::QContextPushButton(QWidget *Parent)
    : QPushButton(Parent), m_menu(new QMenu(this))
{
    connect(m_menu, &QMenu::triggered, this, &QContextPushButton::onContextMenuActionTriggered);
}

QContextPushButton::~QContextPushButton() = default;

void QContextPushButton::contextMenuEvent(QContextMenuEvent *Event)
{
    if (m_menu->actions().isEmpty())
        return;
    m_menu->popup(Event->globalPos());
}

void QContextPushButton::onContextMenuActionTriggered(QAction *Action)
{
    emit contextTriggered(Action->text());
}
