#include "TSystemSurveyValueRetriever.h"

#include <QGuiApplication>
#include <QList>
#include <QRect>
#include <QScreen>

namespace systemsurvey {

TSystemSurveyValueRetriever::~TSystemSurveyValueRetriever() = default;

TSystemSurveyCpu TSystemSurveyValueRetriever::withTopologyAndClock(TSystemSurveyCpu Cpu) const
{
    const TProcessorTopologyCounts counts = processorTopologyCounts();
    Cpu.numaNodeCount = counts.numaNodeCount;
    Cpu.physicalProcessorCount = counts.physicalProcessorCount;
    Cpu.coreCount = counts.coreCount;
    Cpu.logicalProcessorCount = counts.logicalProcessorCount;
    Cpu.clockSpeed = clockSpeed();
    return Cpu;
}

std::vector<TSystemSurveyMonitor> TSystemSurveyValueRetriever::monitors() const
{
    std::vector<TSystemSurveyMonitor> result;
    // A console tool or a core test has no screens to ask about.
    if (qobject_cast<QGuiApplication *>(QCoreApplication::instance()) == nullptr)
        return result;

    const QList<QScreen *> screens = QGuiApplication::screens();
    const int primaryIndex = screens.indexOf(QGuiApplication::primaryScreen());
    for (int i = 0; i < screens.size(); ++i) {
        const QRect geometry = screens.at(i)->geometry();
        TSystemSurveyMonitor monitor;
        monitor.width = qint64(geometry.right()) - geometry.left() + 1;
        monitor.height = qint64(geometry.bottom()) - geometry.top() + 1;
        monitor.primary = i == primaryIndex;
        const qreal refreshRate = screens.at(i)->refreshRate();
        monitor.refreshRate = refreshRate > 0 ? static_cast<quint64>(refreshRate) : 0;
        result.push_back(monitor);
    }
    return result;
}

} // namespace systemsurvey
