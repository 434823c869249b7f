#include "TLinuxSystemSurveyValueRetriever.h"

#include "SystemSurveyPlatform.h"
#include "systemsurvey/TCpuIdDecoder.h"

#include <QSysInfo>

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#define CORVANE_SURVEY_HAVE_CPUID 1
#endif

namespace systemsurvey {
namespace {

#ifdef CORVANE_SURVEY_HAVE_CPUID
TCpuIdRegisters cpuId(quint32 Leaf)
{
    unsigned int eax = 0, ebx = 0, ecx = 0, edx = 0;
    __cpuid_count(Leaf, 0, eax, ebx, ecx, edx);
    return {eax, ebx, ecx, edx};
}
#endif

} // namespace

std::shared_ptr<TSystemSurveyValueRetriever> createSystemSurveyValueRetriever()
{
    return std::make_shared<TLinuxSystemSurveyValueRetriever>();
}

TLinuxSystemSurveyValueRetriever::TLinuxSystemSurveyValueRetriever(QString RootDirectory)
    : m_reader(std::move(RootDirectory))
{
}

TSystemSurveyCpu TLinuxSystemSurveyValueRetriever::processor() const
{
#ifdef CORVANE_SURVEY_HAVE_CPUID
    TSystemSurveyCpu cpu = TCpuIdDecoder::decode(&cpuId);
#else
    // No CPUID: the kernel's description is all there is.
    TSystemSurveyCpu cpu;
    cpu.manufacturer = QStringLiteral("Unknown Manufacturer");
    cpu.brandName = m_reader.cpuInfoValue(QStringLiteral("model name"));
    if (cpu.brandName.isEmpty())
        cpu.brandName = QStringLiteral("Acquiring Brand Name not supported");
    cpu.is64Bit = QSysInfo::currentCpuArchitecture().contains(QLatin1String("64"));
#endif
    return withTopologyAndClock(cpu);
}

TSystemSurveyOperatingSystem TLinuxSystemSurveyValueRetriever::operatingSystem() const
{
    TSystemSurveyOperatingSystem system;
    const QString kernelType = QSysInfo::kernelType();
    system.baseSystem = kernelType == QLatin1String("linux") ? QStringLiteral("Linux") : kernelType;
    system.name = QSysInfo::prettyProductName();
    system.release = QSysInfo::kernelVersion();
    return system;
}

quint64 TLinuxSystemSurveyValueRetriever::mainMemorySize() const
{
    return m_reader.mainMemorySize();
}

TProcessorTopologyCounts TLinuxSystemSurveyValueRetriever::processorTopologyCounts() const
{
    return m_reader.processorTopologyCounts();
}

double TLinuxSystemSurveyValueRetriever::clockSpeed() const
{
    return m_reader.clockSpeed();
}

std::vector<TSystemSurveyGpu> TLinuxSystemSurveyValueRetriever::graphicsAdapters() const
{
    return m_reader.graphicsAdapters(QSysInfo::kernelVersion());
}

} // namespace systemsurvey
