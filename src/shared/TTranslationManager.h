#pragma once

#include <QTranslator>

#include <memory>

namespace vorna::shared {

// Holds the one translator of the application, installed or not.
class TTranslationManager final
{
public:
    TTranslationManager() = default;
    TTranslationManager(const TTranslationManager &) = delete;
    TTranslationManager &operator=(const TTranslationManager &) = delete;

    QTranslator *translator() const { return m_translator.get(); }
    void setTranslator(std::unique_ptr<QTranslator> Translator) { m_translator = std::move(Translator); }
    std::unique_ptr<QTranslator> takeTranslator() { return std::move(m_translator); }

private:
    std::unique_ptr<QTranslator> m_translator;
};

} // namespace vorna::shared
