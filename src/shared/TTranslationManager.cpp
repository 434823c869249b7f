#include "TTranslationManager.h"

#include <QCoreApplication>

namespace vorna::shared {

TTranslationManager::~TTranslationManager()
{
    removeTranslator();
}

void TTranslationManager::removeTranslator()
{
    if (m_translator && QCoreApplication::instance())
        QCoreApplication::removeTranslator(m_translator.get());
    m_translator.reset();
}

bool TTranslationManager::load(const QString &Directory)
{
    removeTranslator();
    m_translator = std::make_unique<QTranslator>();
    if (!m_translator->load(QStringLiteral("launcher.en"), Directory))
        return false;
    return QCoreApplication::installTranslator(m_translator.get());
}

} // namespace vorna::shared
