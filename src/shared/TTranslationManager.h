#pragma once

#include <QString>
#include <QTranslator>

#include <memory>

namespace vorna::shared {

// Holds the one translator of the application, installed or not. The launcher translates only the
// about dialog, by text identifier, from the catalogue "launcher.en" next to the executable.
class TTranslationManager final
{
public:
    TTranslationManager() = default;
    // Takes the translator out of the application before it goes.
    ~TTranslationManager();
    TTranslationManager(const TTranslationManager &) = delete;
    TTranslationManager &operator=(const TTranslationManager &) = delete;

    // Replaces the held translator by one for the catalogue "launcher.en" in Directory, installed
    // only when the catalogue could be loaded. A missing catalogue is no error: the texts then
    // show their identifiers. Returns whether a catalogue was installed.
    bool load(const QString &Directory);

    QTranslator *translator() const { return m_translator.get(); }
    void setTranslator(std::unique_ptr<QTranslator> Translator)
    {
        m_translator = std::move(Translator);
    }
    std::unique_ptr<QTranslator> takeTranslator() { return std::move(m_translator); }

private:
    void removeTranslator();

    std::unique_ptr<QTranslator> m_translator;
};

} // namespace vorna::shared
