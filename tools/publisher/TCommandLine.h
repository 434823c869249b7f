#pragma once

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QList>
#include <QString>
#include <QStringList>

namespace vorna::publisher {

// Exit code of a run whose command line itself is wrong.
constexpr int ExitUsage = 2;

// The command line of one command: its options, which of them are required, and an example.
// Its usage text comes from the options added, so a new option shows in the help by itself.
class TCommandLine final
{
public:
    TCommandLine(const QString &Command, const QString &Description) : m_command(Command)
    {
        m_parser.setApplicationDescription(Description);
        m_parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    }

    QCommandLineOption add(const QString &Name, const QString &Text, const QString &Value = {});
    QCommandLineOption addRequired(const QString &Name, const QString &Text, const QString &Value);

    void addExample(const QString &Example) { m_examples.append(Example); }

    QString usage() const;

    int usageError(const QString &Message) const;

    // Parses Arguments (the program name first). Returns false when the run ends here, with
    // ExitCode set: after the help, or after a wrong command line with the command's usage.
    bool parse(const QStringList &Arguments, int &ExitCode);

    const QCommandLineParser &parser() const { return m_parser; }

    // Reads a whole-number option into Value when it is given; false when it is no number.
    bool number(const QCommandLineOption &Option, int &Value) const;

private:
    QString m_command;
    QCommandLineParser m_parser;
    QList<QCommandLineOption> m_required;
    QStringList m_examples;
};

} // namespace vorna::publisher
