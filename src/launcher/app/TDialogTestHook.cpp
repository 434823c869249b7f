#include "TDialogTestHook.h"
#include "shared/LogCategories.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDebug>
#include <QDialog>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMessageBox>
#include <QPushButton>

namespace vorna::launcher {

namespace {

constexpr int pollIntervalMs = 100;

} // namespace

std::unique_ptr<TDialogTestHook> TDialogTestHook::createFromEnvironment()
{
    const QString path = qEnvironmentVariable("CORVANE_TEST_DIALOG_LOG");
    if (path.isEmpty())
        return {};
    return std::make_unique<TDialogTestHook>(path);
}

TDialogTestHook::TDialogTestHook(QString LogPath) : m_logPath(std::move(LogPath))
{
    m_pollTimer.setInterval(pollIntervalMs);
    connect(&m_pollTimer, &QTimer::timeout, this, &TDialogTestHook::onPoll);
    m_pollTimer.start();
}

TDialogTestHook::~TDialogTestHook() = default;

QWidget *TDialogTestHook::openDialog()
{
    if (QWidget *modal = QApplication::activeModalWidget())
        return modal;
    // A platform that does not track modal windows still lists the box among the top levels.
    const auto widgets = QApplication::topLevelWidgets();
    for (QWidget *widget : widgets) {
        if (widget->isVisible() && qobject_cast<QMessageBox *>(widget))
            return widget;
    }
    return nullptr;
}

void TDialogTestHook::onPoll()
{
    QWidget *dialog = openDialog();
    if (!dialog) {
        m_seenDialog.clear();
        return;
    }
    if (m_seenDialog != dialog) {
        m_seenDialog = dialog;
        return;
    }
    m_seenDialog.clear();
    record(dialog);
    dismiss(dialog);
}

void TDialogTestHook::record(QWidget *Dialog) const
{
    QJsonObject entry;
    entry.insert(QStringLiteral("title"), Dialog->windowTitle());
    if (const auto *box = qobject_cast<QMessageBox *>(Dialog))
        entry.insert(QStringLiteral("text"), box->text());
    entry.insert(QStringLiteral("class"), QString::fromLatin1(Dialog->metaObject()->className()));
    qCInfo(lcApp) << "test hook: dismissing dialog" << Dialog->windowTitle();
    QFile file(m_logPath);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Append)) {
        qCWarning(lcApp) << "test hook: cannot write" << m_logPath << file.errorString();
        return;
    }
    file.write(QJsonDocument(entry).toJson(QJsonDocument::Compact) + '\n');
}

void TDialogTestHook::dismiss(QWidget *Dialog)
{
    if (auto *box = qobject_cast<QMessageBox *>(Dialog)) {
        QAbstractButton *button = box->escapeButton();
        if (!button)
            button = box->defaultButton();
        if (!button && !box->buttons().isEmpty())
            button = box->buttons().constFirst();
        if (button) {
            button->click();
            return;
        }
    }
    if (auto *dialog = qobject_cast<QDialog *>(Dialog)) {
        dialog->reject();
        return;
    }
    Dialog->close();
}

} // namespace vorna::launcher
