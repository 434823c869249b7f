#include "TCommandLine.h"

#include "ConsoleOutput.h"

namespace vorna::publisher {

QCommandLineOption TCommandLine::add(const QString &Name, const QString &Text, const QString &Value)
{
    const QCommandLineOption option(Name, Text, Value);
    m_parser.addOption(option);
    return option;
}

QCommandLineOption TCommandLine::addRequired(const QString &Name, const QString &Text,
                                             const QString &Value)
{
    const QCommandLineOption option = add(Name, Text + QStringLiteral(" Required."), Value);
    m_required.append(option);
    return option;
}

QString TCommandLine::usage() const
{
    // Qt's help names the program by its full path and knows no commands: its first line is
    // replaced by the one a user types.
    QString help = m_parser.helpText();
    help.remove(0, help.indexOf(QLatin1Char('\n')) + 1);
    QString text = QStringLiteral("Usage: corvane-publish %1 [options]\n").arg(m_command) + help;
    if (!m_examples.isEmpty()) {
        text += QStringLiteral("\nExample:\n");
        for (const QString &example : m_examples)
            text += QStringLiteral("  ") + example + QLatin1Char('\n');
    }
    return text;
}

int TCommandLine::usageError(const QString &Message) const
{
    err() << "corvane-publish " << m_command << ": " << Message << "\n\n" << usage();
    err().flush();
    return ExitUsage;
}

bool TCommandLine::parse(const QStringList &Arguments, int &ExitCode)
{
    const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")},
                                  QStringLiteral("Show this help."));
    m_parser.addOption(help);
    if (!m_parser.parse(Arguments)) {
        ExitCode = usageError(m_parser.errorText());
        return false;
    }
    if (m_parser.isSet(help)) {
        out() << usage();
        out().flush();
        ExitCode = 0;
        return false;
    }
    if (!m_parser.positionalArguments().isEmpty()) {
        ExitCode = usageError(QStringLiteral("Unexpected argument '%1'")
                                  .arg(m_parser.positionalArguments().constFirst()));
        return false;
    }
    for (const QCommandLineOption &required : qAsConst(m_required)) {
        if (!m_parser.isSet(required)) {
            ExitCode =
                usageError(QStringLiteral("Missing --%1").arg(required.names().constFirst()));
            return false;
        }
    }
    return true;
}

bool TCommandLine::number(const QCommandLineOption &Option, int &Value) const
{
    if (!m_parser.isSet(Option))
        return true;
    bool isNumber = false;
    const int read = m_parser.value(Option).toInt(&isNumber);
    if (isNumber)
        Value = read;
    return isNumber;
}

} // namespace vorna::publisher
