#pragma once

#include <QElapsedTimer>
#include <QString>

namespace vorna::publisher {

// One line per stage on a terminal, rewritten in place: share, bytes, rate and time left.
class TProgressLine final
{
public:
    void show(const QString &Stage, qint64 Done, qint64 Total);

private:
    QString m_stage;
    QElapsedTimer m_clock;
    int m_width = 0;
};

} // namespace vorna::publisher
