#pragma once

#include <QByteArray>
#include <QChar>
#include <QString>
#include <QStringList>
#include <QtGlobal>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

// Helpers shared by the libFuzzer targets.
namespace fuzz {

// The parsers log a warning for every bad document; at thousands of inputs a second that output
// would drown the fuzzer's own report, so messages are dropped.
inline void silenceQtMessages()
{
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext &, const QString &) {});
}

// A broken invariant is a finding like a crash: print what broke and abort, so that libFuzzer
// saves the input as a crash artifact.
[[noreturn]] inline void fail(const char *What, const QString &Detail = QString())
{
    std::fprintf(stderr, "INVARIANT BROKEN: %s %s\n", What, qUtf8Printable(Detail));
    std::abort();
}

inline void check(bool Condition, const char *What, const QString &Detail = QString())
{
    if (!Condition)
        fail(What, Detail);
}

inline QByteArray bytes(const uint8_t *Data, size_t Size)
{
    return QByteArray(reinterpret_cast<const char *>(Data), int(Size));
}

// Splits the input at the first occurrence of Separator: documents made of two parts (package and
// asset configuration) are written as one seed file with a separator line between them.
inline void split(const QByteArray &Input, const QByteArray &Separator, QByteArray &First,
                  QByteArray &Second)
{
    const int at = Input.indexOf(Separator);
    if (at < 0) {
        First = Input;
        Second.clear();
        return;
    }
    First = Input.left(at);
    Second = Input.mid(at + Separator.size());
}

// What TFileSystemHelper::filePathInDirectory promises: the result is the base itself or a path
// inside "base/", with no parent reference left in it and no NUL that could cut it short at the
// system call. Base is the cleaned absolute path of the base directory.
inline void checkConfined(const QString &Path, const QString &Base, const QString &RelativePath)
{
    const QString detail =
        QStringLiteral("base '%1' relative '%2' result '%3'").arg(Base, RelativePath, Path);
    const QString prefix = Base.endsWith(QLatin1Char('/')) ? Base : Base + QLatin1Char('/');
    check(Path == Base || Path.startsWith(prefix), "path outside its base directory", detail);
    check(!Path.split(QLatin1Char('/')).contains(QStringLiteral("..")),
          "path keeps a parent reference", detail);
    check(!Path.contains(QChar(0)), "path contains NUL", detail);
}

} // namespace fuzz
