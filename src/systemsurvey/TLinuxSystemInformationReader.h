#pragma once

#include "TSystemSurvey.h"

#include <QString>

#include <vector>

namespace systemsurvey {

// Reads survey values from the Linux kernel's files under /proc and /sys. The files are plain
// text, so this is ordinary parsing, and a root directory other than "/" lets a prepared tree
// stand in for the machine's own. Missing or malformed files give zero or empty values.
class TLinuxSystemInformationReader final
{
public:
    explicit TLinuxSystemInformationReader(QString RootDirectory = QStringLiteral("/"));

    // Online logical processors with their packages and cores from
    // sys/devices/system/cpu, NUMA nodes from sys/devices/system/node.
    TProcessorTopologyCounts processorTopologyCounts() const;

    // "MemTotal" of proc/meminfo, in bytes.
    quint64 mainMemorySize() const;

    // The highest rated speed in megahertz: cpufreq's cpuinfo_max_freq when the kernel has
    // cpufreq, otherwise the highest "cpu MHz" of proc/cpuinfo.
    double clockSpeed() const;

    // The value of the first "Key : value" line of proc/cpuinfo, empty when there is none.
    QString cpuInfoValue(const QString &Key) const;

    // One adapter per sys/class/drm/cardN, with its PCI vendor and device ids and the version of
    // its driver module. Drivers built into the kernel tree have no version of their own and
    // carry InTreeDriverVersion (the kernel's version).
    std::vector<TSystemSurveyGpu> graphicsAdapters(const QString &InTreeDriverVersion) const;

    // "0-3,6,8-9" -> 0,1,2,3,6,8,9; malformed parts are skipped.
    static std::vector<int> parseCpuList(const QString &List);

private:
    QString path(const QString &RelativePath) const;
    QString readText(const QString &RelativePath) const;

    QString m_rootDirectory;
};

} // namespace systemsurvey
