#include "TLinuxSystemInformationReader.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QRegularExpression>
#include <QSet>
#include <QStringList>

#include <algorithm>
#include <set>
#include <utility>

namespace systemsurvey {
namespace {

// More processors than any kernel supports: a larger range in a list is malformed input.
constexpr int MaximumCpuNumber = 1 << 16;
// Every file read here is a few lines; pci.ids is the largest at about 1.5 MB.
constexpr qint64 MaximumFileSize = 16 * 1024 * 1024;

std::vector<QString> numberedEntries(const QString &Directory, const QString &Prefix)
{
    static const QRegularExpression digits(QStringLiteral("^[0-9]+$"));
    std::vector<std::pair<int, QString>> numbered;
    const QStringList names = QDir(Directory).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &name : names) {
        if (!name.startsWith(Prefix))
            continue;
        const QString number = name.mid(Prefix.size());
        if (digits.match(number).hasMatch())
            numbered.emplace_back(number.toInt(), name);
    }
    std::sort(numbered.begin(), numbered.end());
    std::vector<QString> result;
    for (const auto &entry : numbered)
        result.push_back(entry.second);
    return result;
}

// "0x10de" -> 0x10de; 0 when unreadable.
qint32 parseHexId(const QString &Text)
{
    bool ok = false;
    const uint value = Text.trimmed().toUInt(&ok, 16);
    return ok ? static_cast<qint32>(value) : 0;
}

QString hexId(qint32 Id)
{
    return QStringLiteral("%1").arg(static_cast<uint>(Id), 4, 16, QLatin1Char('0'));
}

} // namespace

TLinuxSystemInformationReader::TLinuxSystemInformationReader(QString RootDirectory)
    : m_rootDirectory(std::move(RootDirectory))
{
}

QString TLinuxSystemInformationReader::path(const QString &RelativePath) const
{
    return QDir(m_rootDirectory).filePath(RelativePath);
}

QString TLinuxSystemInformationReader::readText(const QString &RelativePath) const
{
    QFile file(path(RelativePath));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    // Files under /proc and /sys report size 0, so read up to a bound instead of by size.
    return QString::fromUtf8(file.read(MaximumFileSize));
}

std::vector<int> TLinuxSystemInformationReader::parseCpuList(const QString &List)
{
    std::set<int> cpus;
    const QStringList parts = List.trimmed().split(QLatin1Char(','), Qt::SkipEmptyParts);
    for (const QString &part : parts) {
        const QStringList bounds = part.trimmed().split(QLatin1Char('-'));
        bool firstOk = false;
        bool lastOk = bounds.size() == 1;
        const int first = bounds.at(0).toInt(&firstOk);
        const int last = bounds.size() == 2 ? bounds.at(1).toInt(&lastOk) : first;
        if (!firstOk || !lastOk || bounds.size() > 2 || first < 0 || last < first ||
            last >= MaximumCpuNumber)
            continue;
        for (int cpu = first; cpu <= last; ++cpu)
            cpus.insert(cpu);
    }
    return {cpus.begin(), cpus.end()};
}

TProcessorTopologyCounts TLinuxSystemInformationReader::processorTopologyCounts() const
{
    TProcessorTopologyCounts counts;
    const QString cpuDirectory = QStringLiteral("sys/devices/system/cpu");

    std::vector<QString> cpuNames;
    const QString online = readText(cpuDirectory + QStringLiteral("/online"));
    if (!online.trimmed().isEmpty()) {
        for (int cpu : parseCpuList(online))
            cpuNames.push_back(QStringLiteral("cpu%1").arg(cpu));
    } else {
        cpuNames = numberedEntries(path(cpuDirectory), QStringLiteral("cpu"));
    }

    QSet<QString> packages;
    QSet<QString> cores;
    for (const QString &cpuName : cpuNames) {
        const QString topology =
            cpuDirectory + QLatin1Char('/') + cpuName + QStringLiteral("/topology/");
        const QString package =
            readText(topology + QStringLiteral("physical_package_id")).trimmed();
        const QString core = readText(topology + QStringLiteral("core_id")).trimmed();
        // Without topology files each logical processor stands for a core of its own.
        packages.insert(package.isEmpty() ? QStringLiteral("0") : package);
        cores.insert(package + QLatin1Char('/') + (core.isEmpty() ? cpuName : core));
    }
    counts.logicalProcessorCount = cpuNames.size();
    counts.coreCount = static_cast<quint64>(cores.size());
    counts.physicalProcessorCount = cpuNames.empty() ? 0 : static_cast<quint64>(packages.size());

    counts.numaNodeCount =
        numberedEntries(path(QStringLiteral("sys/devices/system/node")), QStringLiteral("node"))
            .size();
    // A kernel without NUMA support has no node directory, yet all its memory is one node.
    if (counts.numaNodeCount == 0 && counts.logicalProcessorCount > 0)
        counts.numaNodeCount = 1;
    return counts;
}

quint64 TLinuxSystemInformationReader::mainMemorySize() const
{
    static const QRegularExpression memTotal(QStringLiteral("^MemTotal:\\s*([0-9]+)\\s*kB"),
                                             QRegularExpression::MultilineOption);
    const QRegularExpressionMatch match = memTotal.match(readText(QStringLiteral("proc/meminfo")));
    if (!match.hasMatch())
        return 0;
    bool ok = false;
    const quint64 kibibytes = match.captured(1).toULongLong(&ok);
    return ok && kibibytes < (quint64(1) << 54) ? kibibytes * 1024 : 0;
}

double TLinuxSystemInformationReader::clockSpeed() const
{
    const QString cpuDirectory = path(QStringLiteral("sys/devices/system/cpu"));
    quint64 highestKiloHertz = 0;
    for (const QString &cpuName : numberedEntries(cpuDirectory, QStringLiteral("cpu"))) {
        const QString text = readText(QStringLiteral("sys/devices/system/cpu/") + cpuName +
                                      QStringLiteral("/cpufreq/cpuinfo_max_freq"));
        highestKiloHertz = std::max(highestKiloHertz, text.trimmed().toULongLong());
    }
    if (highestKiloHertz > 0)
        return static_cast<double>(highestKiloHertz) / 1000.0;

    // Virtual machines usually have no cpufreq; the kernel's measured speed is the next best.
    double highestMegaHertz = 0.0;
    const QStringList lines =
        readText(QStringLiteral("proc/cpuinfo")).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    for (const QString &line : lines) {
        const int colon = line.indexOf(QLatin1Char(':'));
        if (colon < 0 || line.left(colon).trimmed() != QLatin1String("cpu MHz"))
            continue;
        bool ok = false;
        const double value = line.mid(colon + 1).trimmed().toDouble(&ok);
        if (ok && value > highestMegaHertz)
            highestMegaHertz = value;
    }
    return highestMegaHertz;
}

QString TLinuxSystemInformationReader::cpuInfoValue(const QString &Key) const
{
    const QStringList lines =
        readText(QStringLiteral("proc/cpuinfo")).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    for (const QString &line : lines) {
        const int colon = line.indexOf(QLatin1Char(':'));
        if (colon >= 0 && line.left(colon).trimmed() == Key)
            return line.mid(colon + 1).trimmed();
    }
    return {};
}

std::vector<TSystemSurveyGpu>
TLinuxSystemInformationReader::graphicsAdapters(const QString &InTreeDriverVersion) const
{
    // Names from the PCI id database when the system has one (pciutils / hwdata).
    QHash<QString, QString> vendorNames;
    QHash<QString, QString> deviceNames;
    bool haveDatabase = false;
    for (const QString &database :
         {QStringLiteral("usr/share/misc/pci.ids"), QStringLiteral("usr/share/hwdata/pci.ids")}) {
        if (haveDatabase || !QFileInfo::exists(path(database)))
            continue;
        haveDatabase = true;
        QString vendor;
        const QStringList lines = readText(database).split(QLatin1Char('\n'));
        for (const QString &line : lines) {
            if (line.startsWith(QLatin1Char('#')) || line.size() < 7)
                continue;
            if (line.startsWith(QLatin1String("C "))) // device classes follow the vendors
                break;
            if (line.at(0) != QLatin1Char('\t')) {
                vendor = line.left(4).toLower();
                vendorNames.insert(vendor, line.mid(4).trimmed());
            } else if (line.at(1) != QLatin1Char('\t')) {
                deviceNames.insert(vendor + QLatin1Char(':') + line.mid(1, 4).toLower(),
                                   line.mid(5).trimmed());
            }
        }
    }

    std::vector<TSystemSurveyGpu> result;
    const QString drmDirectory = QStringLiteral("sys/class/drm/");
    for (const QString &card : numberedEntries(path(drmDirectory), QStringLiteral("card"))) {
        const QString device = drmDirectory + card + QStringLiteral("/device/");
        TSystemSurveyGpu gpu;
        gpu.vendorId = parseHexId(readText(device + QStringLiteral("vendor")));
        gpu.deviceId = parseHexId(readText(device + QStringLiteral("device")));
        const QString vramTotal =
            readText(device + QStringLiteral("mem_info_vram_total")).trimmed();
        gpu.videoMemorySize = vramTotal.toLongLong();

        const QFileInfo driverLink(path(device + QStringLiteral("driver")));
        const QString driver =
            driverLink.exists() ? QFileInfo(driverLink.canonicalFilePath()).fileName() : QString();
        if (!driver.isEmpty()) {
            const QString moduleVersion =
                readText(QStringLiteral("sys/module/") + driver + QStringLiteral("/version"))
                    .trimmed();
            gpu.driverVersion = moduleVersion.isEmpty() ? InTreeDriverVersion : moduleVersion;
        }

        const QString vendorKey = hexId(gpu.vendorId);
        const QString deviceKey = vendorKey + QLatin1Char(':') + hexId(gpu.deviceId);
        if (gpu.vendorId != 0 && deviceNames.contains(deviceKey)) {
            gpu.deviceString =
                vendorNames.value(vendorKey) + QLatin1Char(' ') + deviceNames.value(deviceKey);
        } else if (gpu.vendorId != 0) {
            gpu.deviceString = (driver.isEmpty() ? card : driver) + QStringLiteral(" [") +
                               deviceKey + QLatin1Char(']');
        } else {
            gpu.deviceString = driver.isEmpty() ? card : driver;
        }
        result.push_back(gpu);
    }
    return result;
}

} // namespace systemsurvey
