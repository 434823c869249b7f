#include "shared/TJsonDocumentHttpPostSender.h"
#include "support/TTestHttpServer.h"
#include "support/TestFiles.h"
#include "systemsurvey/TCpuIdDecoder.h"
#include "systemsurvey/TLinuxSystemInformationReader.h"
#include "systemsurvey/TMachineIdentifier.h"
#include "systemsurvey/TSystemSurveyAsJsonDocumentCreator.h"
#include "systemsurvey/TSystemSurveyCreator.h"
#include "systemsurvey/TSystemSurveyToJsonConverter.h"
#include "systemsurvey/TSystemSurveyUploader.h"
#include "systemsurvey/TSystemSurveyValueRetriever.h"
#include "systemsurvey/platform/SystemSurveyPlatform.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonObject>
#include <QNetworkInterface>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <map>

using namespace systemsurvey;

namespace {

// CPUID answers of an imagined processor, leaf by leaf.
using TLeaves = std::map<quint32, TCpuIdRegisters>;

TCpuIdRegisters textRegisters(const QByteArray &Text16)
{
    QByteArray bytes = Text16.leftJustified(16, '\0', true);
    auto word = [&](int Index) {
        quint32 value = 0;
        for (int i = 3; i >= 0; --i)
            value = (value << 8) | static_cast<uchar>(bytes.at(Index * 4 + i));
        return value;
    };
    return {word(0), word(1), word(2), word(3)};
}

TLeaves processorLeaves(const QByteArray &Vendor, quint32 HighestExtendedLeaf,
                        const QByteArray &Brand48, quint32 Leaf1Edx, quint32 ExtendedEdx)
{
    const TCpuIdRegisters vendor = textRegisters(Vendor);
    TLeaves leaves;
    // Leaf 0 holds the vendor in EBX, EDX, ECX order.
    leaves[0] = {1, vendor.eax, vendor.ecx, vendor.ebx};
    leaves[1] = {0, 0, 0, Leaf1Edx};
    leaves[0x80000000u] = {HighestExtendedLeaf, 0, 0, 0};
    leaves[0x80000001u] = {0, 0, 0, ExtendedEdx};
    const QByteArray brand = Brand48.leftJustified(48, '\0', true);
    for (quint32 i = 0; i < 3; ++i)
        leaves[0x80000002u + i] = textRegisters(brand.mid(int(i) * 16, 16));
    return leaves;
}

class TFixedRetriever final : public TSystemSurveyValueRetriever
{
public:
    std::vector<TSystemSurveyMonitor> monitors() const override { return m_monitors; }
    TSystemSurveyCpu processor() const override { return m_cpu; }
    TSystemSurveyOperatingSystem operatingSystem() const override { return m_system; }
    quint64 mainMemorySize() const override { return m_memory; }
    TProcessorTopologyCounts processorTopologyCounts() const override { return {}; }
    double clockSpeed() const override { return m_cpu.clockSpeed; }
    std::vector<TSystemSurveyGpu> graphicsAdapters() const override { return m_gpus; }

    std::vector<TSystemSurveyMonitor> m_monitors;
    TSystemSurveyCpu m_cpu;
    TSystemSurveyOperatingSystem m_system;
    quint64 m_memory = 0;
    std::vector<TSystemSurveyGpu> m_gpus;
};

QJsonObject surveyDocument(const std::shared_ptr<TSystemSurveyValueRetriever> &Retriever)
{
    const TSystemSurveyAsJsonDocumentCreator creator(
        std::make_shared<TSystemSurveyCreator>(Retriever),
        std::make_shared<TSystemSurveyToJsonConverter>());
    return creator.createDocument().object();
}

// A tree of /proc and /sys files under a temporary directory.
class TFakeSystem final
{
public:
    QString root() const { return m_directory.path(); }

    void write(const QString &RelativePath, const QByteArray &Contents)
    {
        const QString path = m_directory.filePath(RelativePath);
        QVERIFY(QDir().mkpath(QFileInfo(path).path()));
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        QCOMPARE(file.write(Contents), Contents.size());
    }

    // False where the platform cannot make the link (Wine).
    bool link(const QString &RelativeTarget, const QString &RelativeLink)
    {
        return QDir().mkpath(m_directory.filePath(RelativeTarget)) &&
               QDir().mkpath(QFileInfo(m_directory.filePath(RelativeLink)).path()) &&
               testsupport::makeLink(m_directory.filePath(RelativeTarget),
                                     m_directory.filePath(RelativeLink));
    }

    void cpu(int Number, const QByteArray &Package, const QByteArray &Core)
    {
        const QString topology =
            QStringLiteral("sys/devices/system/cpu/cpu%1/topology/").arg(Number);
        write(topology + QStringLiteral("physical_package_id"), Package + '\n');
        write(topology + QStringLiteral("core_id"), Core + '\n');
    }

private:
    QTemporaryDir m_directory;
};

} // namespace

class TestSystemSurvey final : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();

    void decodesProcessor_data();
    void decodesProcessor();
    void knowsEveryVendor_data();
    void knowsEveryVendor();

    void documentLeavesOutZeroMonitors();
    void documentAdapterKeys_data();
    void documentAdapterKeys();
    void documentOperatingSystemRelease();
    void documentKeepsLargeNumbers();

    void clientIdIsStableInOneProcess();
    void clientIdFromKnownAddresses();

    void linuxTopology_data();
    void linuxTopology();
    void linuxMemoryAndClock();
    void linuxGraphicsAdapters();
    void linuxCpuListParsing_data();
    void linuxCpuListParsing();

    void platformRetrieverDescribesThisMachine();
    void uploadsCompactSurvey();
    void serverReceivesPinnedKeys_data();
    void serverReceivesPinnedKeys();

private:
    testsupport::TTestHttpServer::TRequest m_received;
};

void TestSystemSurvey::initTestCase()
{
    QStandardPaths::setTestModeEnabled(true);
}

void TestSystemSurvey::decodesProcessor_data()
{
    QTest::addColumn<QByteArray>("vendor");
    QTest::addColumn<quint32>("highestExtendedLeaf");
    QTest::addColumn<QByteArray>("brand");
    QTest::addColumn<quint32>("leaf1Edx");
    QTest::addColumn<quint32>("extendedEdx");
    QTest::addColumn<QString>("manufacturer");
    QTest::addColumn<QString>("brandName");
    QTest::addColumn<bool>("is64Bit");
    QTest::addColumn<bool>("sse");
    QTest::addColumn<bool>("sse2");

    const quint32 sseBoth = (1u << 25) | (1u << 26);
    QTest::newRow("modern intel, padded brand")
        << QByteArray("GenuineIntel") << 0x80000008u
        << QByteArray("     Intel(R) Core(TM)   i7-9700K CPU @ 3.60GHz") << sseBoth << (1u << 29)
        << QStringLiteral("Intel") << QStringLiteral("Intel(R) Core(TM) i7-9700K CPU @ 3.60GHz")
        << true << true << true;
    QTest::newRow("highest extended leaf 0x80000003 has no brand")
        << QByteArray("AuthenticAMD") << 0x80000003u << QByteArray("ignored") << (1u << 25)
        << (1u << 29) << QStringLiteral("AMD")
        << QStringLiteral("Acquiring Brand Name not supported") << true << true << false;
    QTest::newRow("no extended leaves: not 64 bit even with the bit set")
        << QByteArray("GenuineIntel") << 0x80000000u << QByteArray() << 0u << (1u << 29)
        << QStringLiteral("Intel") << QStringLiteral("Acquiring Brand Name not supported") << false
        << false << false;
    QTest::newRow("garbage highest leaf compares unsigned")
        << QByteArray("GenuineIntel") << 0x00000002u << QByteArray("x") << 0u << (1u << 29)
        << QStringLiteral("Intel") << QStringLiteral("Acquiring Brand Name not supported") << false
        << false << false;
    QTest::newRow("brand filling all 48 bytes without terminator")
        << QByteArray("KVMKVMKVMKVM") << 0x80000004u << QByteArray(48, 'A') << (1u << 26) << 0u
        << QStringLiteral("KVM") << QString(48, QLatin1Char('A')) << false << false << true;
    QTest::newRow("unknown vendor")
        << QByteArray("HygonGenuine") << 0x80000004u << QByteArray("Hygon C86\t 3185  ") << 0u << 0u
        << QStringLiteral("Unknown Manufacturer") << QStringLiteral("Hygon C86 3185") << false
        << false << false;
}

void TestSystemSurvey::decodesProcessor()
{
    QFETCH(QByteArray, vendor);
    QFETCH(quint32, highestExtendedLeaf);
    QFETCH(QByteArray, brand);
    QFETCH(quint32, leaf1Edx);
    QFETCH(quint32, extendedEdx);

    const TLeaves leaves =
        processorLeaves(vendor, highestExtendedLeaf, brand, leaf1Edx, extendedEdx);
    const TSystemSurveyCpu cpu = TCpuIdDecoder::decode([&](quint32 Leaf) {
        const auto found = leaves.find(Leaf);
        return found == leaves.end() ? TCpuIdRegisters{} : found->second;
    });
    QTEST(cpu.manufacturer, "manufacturer");
    QTEST(cpu.brandName, "brandName");
    QTEST(cpu.is64Bit, "is64Bit");
    QTEST(cpu.sse, "sse");
    QTEST(cpu.sse2, "sse2");
}

void TestSystemSurvey::knowsEveryVendor_data()
{
    QTest::addColumn<QByteArray>("vendor");
    QTest::addColumn<QString>("manufacturer");
    const std::pair<const char *, const char *> rows[] = {
        {"AMDisbetter!", "AMD"},
        {"AuthenticAMD", "AMD"},
        {"CentaurHauls", "Centaur"},
        {"CyrixInstead", "Cyrix"},
        {"GenuineIntel", "Intel"},
        {"TransmetaCPU", "Transmeta"},
        {"GenuineTMx86", "Transmeta"},
        {"Geode by NSC", "National Semiconductor"},
        {"NexGenDriven", "NexGen"},
        {"RiseRiseRise", "Rise"},
        {"SiS SiS SiS ", "SiS"},
        {"UMC UMC UMC ", "UMC"},
        {"VIA VIA VIA ", "VIA"},
        {"Vortex86 SoC", " Vortex"},
        {"KVMKVMKVMKVM", "KVM"},
        {"Microsoft Hv", "Microsoft Hyper-V or Windows Virtual PC"},
        {"VMwareVMware", "VMware"},
        {"XenVMMXenVMM", " Xen HVM"},
        {"genuineintel", "Unknown Manufacturer"},
        {"SiS SiS SiS", "Unknown Manufacturer"},
    };
    for (const auto &row : rows)
        QTest::newRow(row.first) << QByteArray(row.first) << QString::fromLatin1(row.second);
}

void TestSystemSurvey::knowsEveryVendor()
{
    QFETCH(QByteArray, vendor);
    QTEST(TCpuIdDecoder::manufacturerFromVendorString(vendor), "manufacturer");
}

void TestSystemSurvey::documentLeavesOutZeroMonitors()
{
    auto retriever = std::make_shared<TFixedRetriever>();
    retriever->m_monitors = {{1920, 1080, true, 144},
                             {0, 1080, false, 60},
                             {2560, 0, false, 60},
                             {1280, 1024, false, 75}};
    const QJsonArray monitors =
        surveyDocument(retriever).value(QLatin1String("monitors")).toArray();
    QCOMPARE(monitors.size(), 2);
    QCOMPARE(monitors.at(0).toObject(), QJsonObject({{QStringLiteral("width"), 1920},
                                                     {QStringLiteral("height"), 1080},
                                                     {QStringLiteral("primary"), true},
                                                     {QStringLiteral("refreshRate"), 144}}));
    QCOMPARE(monitors.at(1).toObject().value(QLatin1String("width")).toInt(), 1280);
    QCOMPARE(monitors.at(1).toObject().value(QLatin1String("primary")).toBool(true), false);
}

void TestSystemSurvey::documentAdapterKeys_data()
{
    QTest::addColumn<int>("vendorId");
    QTest::addColumn<int>("deviceId");
    QTest::addColumn<QString>("driverVersion");
    QTest::addColumn<QStringList>("keys");

    const QStringList base = {QStringLiteral("deviceString"), QStringLiteral("videoMemorySize")};
    QTest::newRow("found by WMI only") << 0 << 0 << QString() << base;
    QTest::newRow("found by Direct3D")
        << 0x10de << 0x1b80 << QStringLiteral("31.0.15.3623")
        << base + QStringList{QStringLiteral("deviceId"), QStringLiteral("driverVersion"),
                              QStringLiteral("vendorId")};
    QTest::newRow("vendor without driver version keeps no device id")
        << 0x8086 << 0x3e92 << QString() << base + QStringList{QStringLiteral("vendorId")};
    QTest::newRow("driver version without vendor")
        << 0 << 0x0001 << QStringLiteral("1.2.3.4")
        << base + QStringList{QStringLiteral("deviceId"), QStringLiteral("driverVersion")};
}

void TestSystemSurvey::documentAdapterKeys()
{
    QFETCH(int, vendorId);
    QFETCH(int, deviceId);
    QFETCH(QString, driverVersion);
    QFETCH(QStringList, keys);

    auto retriever = std::make_shared<TFixedRetriever>();
    retriever->m_gpus = {{QStringLiteral("Adapter"), 0, vendorId, deviceId, driverVersion}};
    const QJsonArray gpus = surveyDocument(retriever).value(QLatin1String("gpu")).toArray();
    QCOMPARE(gpus.size(), 1);
    const QJsonObject gpu = gpus.at(0).toObject();
    QStringList expected = keys;
    expected.sort();
    QCOMPARE(gpu.keys(), expected);
    if (gpu.contains(QLatin1String("vendorId")))
        QCOMPARE(gpu.value(QLatin1String("vendorId")).toInt(), vendorId);
    if (gpu.contains(QLatin1String("deviceId")))
        QCOMPARE(gpu.value(QLatin1String("deviceId")).toInt(), deviceId);
}

void TestSystemSurvey::documentOperatingSystemRelease()
{
    auto retriever = std::make_shared<TFixedRetriever>();
    retriever->m_system = {QStringLiteral("Windows NT"), QStringLiteral("Windows 10 Version 22H2"),
                           QString()};
    QCOMPARE(surveyDocument(retriever).value(QLatin1String("operatingSystem")).toObject().keys(),
             QStringList({QStringLiteral("baseSystem"), QStringLiteral("name")}));

    retriever->m_system.release = QStringLiteral("6.1.0-18-amd64");
    QCOMPARE(surveyDocument(retriever)
                 .value(QLatin1String("operatingSystem"))
                 .toObject()
                 .value(QLatin1String("release"))
                 .toString(),
             QStringLiteral("6.1.0-18-amd64"));
}

void TestSystemSurvey::documentKeepsLargeNumbers()
{
    auto retriever = std::make_shared<TFixedRetriever>();
    retriever->m_memory = quint64(64) << 30;
    retriever->m_cpu.logicalProcessorCount = 128;
    retriever->m_cpu.clockSpeed = 3599.5;
    retriever->m_gpus = {{QStringLiteral("Big"), qint64(24) << 30, 0, 0, QString()}};
    const QJsonObject document = surveyDocument(retriever);
    QCOMPARE(document.value(QLatin1String("dataType")).toInt(-1), 0);
    QCOMPARE(document.value(QLatin1String("mainMemorySize")).toVariant().toLongLong(), qint64(64)
                                                                                           << 30);
    const QJsonObject cpu = document.value(QLatin1String("cpu")).toObject();
    QCOMPARE(cpu.value(QLatin1String("logicalCoreNumber")).toInt(), 128);
    QCOMPARE(cpu.value(QLatin1String("clockSpeed")).toDouble(), 3599.5);
    QCOMPARE(cpu.keys().size(), 10);
    QCOMPARE(document.value(QLatin1String("gpu"))
                 .toArray()
                 .at(0)
                 .toObject()
                 .value(QLatin1String("videoMemorySize"))
                 .toVariant()
                 .toLongLong(),
             qint64(24) << 30);
}

void TestSystemSurvey::clientIdIsStableInOneProcess()
{
    auto retriever = std::make_shared<TFixedRetriever>();
    const QString first = surveyDocument(retriever).value(QLatin1String("clientID")).toString();
    const QString second = surveyDocument(retriever).value(QLatin1String("clientID")).toString();
    QVERIFY(QRegularExpression(QStringLiteral("^[0-9a-f]{40}$")).match(first).hasMatch());
    QCOMPARE(second, first);

    QStringList addresses;
    const QList<QNetworkInterface> interfaces = QNetworkInterface::allInterfaces();
    for (const QNetworkInterface &networkInterface : interfaces)
        addresses.append(networkInterface.hardwareAddress());
    QCOMPARE(first, TMachineIdentifier::fromHardwareAddresses(addresses));
}

void TestSystemSurvey::clientIdFromKnownAddresses()
{
    // Digests computed independently of this code base; they pin the salt and the
    // input order.
    QCOMPARE(TMachineIdentifier::fromHardwareAddresses({}),
             QStringLiteral("b40d5b27e7cd94ae6928a27191e1fcc21c7f76da"));
    QCOMPARE(
        TMachineIdentifier::fromHardwareAddresses(
            {QStringLiteral("00:00:00:00:00:00"), QStringLiteral("52:54:00:12:34:56"), QString()}),
        QStringLiteral("248a6a8f2ad2836933ca25e15d91c7cc55dfbab3"));
}

void TestSystemSurvey::linuxTopology_data()
{
    QTest::addColumn<QByteArray>("online");
    QTest::addColumn<QList<QByteArray>>("cpus"); // "package/core" per cpu number
    QTest::addColumn<int>("nodes");
    QTest::addColumn<QList<int>>("expected"); // numa, physical, cores, logical

    QTest::newRow("one package, two cores with two threads each")
        << QByteArray("0-3\n") << QList<QByteArray>{"0/0", "0/1", "0/0", "0/1"} << 1
        << QList<int>{1, 1, 2, 4};
    QTest::newRow("two packages with equal core ids")
        << QByteArray("0-3\n") << QList<QByteArray>{"0/0", "0/1", "1/0", "1/1"} << 2
        << QList<int>{2, 2, 4, 4};
    QTest::newRow("offline processor is not counted")
        << QByteArray("0-1,3\n") << QList<QByteArray>{"0/0", "0/1", "0/2", "0/3"} << 1
        << QList<int>{1, 1, 3, 3};
    QTest::newRow("no online file: directories count")
        << QByteArray() << QList<QByteArray>{"0/0", "0/1"} << 1 << QList<int>{1, 1, 2, 2};
    QTest::newRow("no node directory is one node")
        << QByteArray("0\n") << QList<QByteArray>{"0/0"} << 0 << QList<int>{1, 1, 1, 1};
    QTest::newRow("no topology files: each processor its own core")
        << QByteArray("0-2\n") << QList<QByteArray>{"", "", ""} << 1 << QList<int>{1, 1, 3, 3};
    QTest::newRow("nothing readable")
        << QByteArray() << QList<QByteArray>{} << 0 << QList<int>{0, 0, 0, 0};
}

void TestSystemSurvey::linuxTopology()
{
    QFETCH(QByteArray, online);
    QFETCH(QList<QByteArray>, cpus);
    QFETCH(int, nodes);
    QFETCH(QList<int>, expected);

    TFakeSystem system;
    if (!online.isEmpty())
        system.write(QStringLiteral("sys/devices/system/cpu/online"), online);
    for (int i = 0; i < cpus.size(); ++i) {
        const QList<QByteArray> parts = cpus.at(i).split('/');
        if (parts.size() == 2)
            system.cpu(i, parts.at(0), parts.at(1));
        else
            QVERIFY(QDir().mkpath(system.root() +
                                  QStringLiteral("/sys/devices/system/cpu/cpu%1").arg(i)));
    }
    for (int node = 0; node < nodes; ++node) {
        system.write(QStringLiteral("sys/devices/system/node/node%1/cpulist").arg(node), "0\n");
    }
    system.write(QStringLiteral("sys/devices/system/node/possible"), "0\n");

    const TProcessorTopologyCounts counts =
        TLinuxSystemInformationReader(system.root()).processorTopologyCounts();
    QCOMPARE(QList<int>({int(counts.numaNodeCount), int(counts.physicalProcessorCount),
                         int(counts.coreCount), int(counts.logicalProcessorCount)}),
             expected);
}

void TestSystemSurvey::linuxMemoryAndClock()
{
    TFakeSystem system;
    const TLinuxSystemInformationReader reader(system.root());
    QCOMPARE(reader.mainMemorySize(), quint64(0));
    QCOMPARE(reader.clockSpeed(), 0.0);

    system.write(QStringLiteral("proc/meminfo"),
                 "MemFree:         1000 kB\nMemTotal:       24683752 "
                 "kB\nSwapTotal: 5 kB\n");
    system.write(QStringLiteral("proc/cpuinfo"),
                 "processor\t: 0\nmodel name\t: AMD EPYC 7B12\ncpu MHz\t\t: 2250.000\n\n"
                 "processor\t: 1\nmodel name\t: AMD EPYC 7B12\ncpu MHz\t\t: 3299.872\n");
    QCOMPARE(reader.mainMemorySize(), quint64(24683752) * 1024);
    QCOMPARE(reader.clockSpeed(), 3299.872);
    QCOMPARE(reader.cpuInfoValue(QStringLiteral("model name")), QStringLiteral("AMD EPYC 7B12"));

    // cpufreq's rated maximum wins over the momentary speed.
    system.write(QStringLiteral("sys/devices/system/cpu/cpu0/cpufreq/cpuinfo_max_freq"),
                 "3600000\n");
    system.write(QStringLiteral("sys/devices/system/cpu/cpu1/cpufreq/cpuinfo_max_freq"),
                 "4700000\n");
    QCOMPARE(reader.clockSpeed(), 4700.0);
}

void TestSystemSurvey::linuxGraphicsAdapters()
{
    TFakeSystem system;
    system.write(QStringLiteral("usr/share/misc/pci.ids"),
                 "# comment\n8086  Intel Corporation\n\t3e92  CoffeeLake-S GT2 "
                 "[UHD Graphics 630]\n"
                 "\t\t1028 0869  subsystem\n10de  NVIDIA Corporation\nC 03  "
                 "Display controller\n");
    const QString drm = QStringLiteral("sys/class/drm/");
    // An integrated Intel adapter with its in-tree driver.
    system.write(drm + QStringLiteral("card0/device/vendor"), "0x8086\n");
    system.write(drm + QStringLiteral("card0/device/device"), "0x3e92\n");
    if (!system.link(QStringLiteral("sys/bus/pci/drivers/i915"),
                     drm + QStringLiteral("card0/device/driver")))
        QSKIP("the Linux driver links of /sys cannot be made here");
    // An NVIDIA adapter with an out-of-tree driver of its own version, unknown to
    // pci.ids.
    system.write(drm + QStringLiteral("card1/device/vendor"), "0x10de\n");
    system.write(drm + QStringLiteral("card1/device/device"), "0x2684\n");
    system.write(drm + QStringLiteral("card1/device/mem_info_vram_total"), "25757220864\n");
    QVERIFY(system.link(QStringLiteral("sys/bus/pci/drivers/nvidia"),
                        drm + QStringLiteral("card1/device/driver")));
    system.write(QStringLiteral("sys/module/nvidia/version"), "535.104.05\n");
    // A firmware frame buffer without PCI ids or driver; connectors and render
    // nodes are no cards.
    QVERIFY(QDir().mkpath(system.root() + QLatin1Char('/') + drm + QStringLiteral("card2/device")));
    QVERIFY(
        QDir().mkpath(system.root() + QLatin1Char('/') + drm + QStringLiteral("card0-HDMI-A-1")));
    QVERIFY(QDir().mkpath(system.root() + QLatin1Char('/') + drm + QStringLiteral("renderD128")));

    const std::vector<TSystemSurveyGpu> gpus =
        TLinuxSystemInformationReader(system.root())
            .graphicsAdapters(QStringLiteral("6.1.0-18-amd64"));
    QCOMPARE(gpus.size(), size_t(3));
    QCOMPARE(gpus[0].deviceString,
             QStringLiteral("Intel Corporation CoffeeLake-S GT2 [UHD Graphics 630]"));
    QCOMPARE(gpus[0].vendorId, 0x8086);
    QCOMPARE(gpus[0].deviceId, 0x3e92);
    QCOMPARE(gpus[0].driverVersion, QStringLiteral("6.1.0-18-amd64"));
    QCOMPARE(gpus[0].videoMemorySize, qint64(0));
    QCOMPARE(gpus[1].deviceString, QStringLiteral("nvidia [10de:2684]"));
    QCOMPARE(gpus[1].driverVersion, QStringLiteral("535.104.05"));
    QCOMPARE(gpus[1].videoMemorySize, qint64(25757220864));
    QCOMPARE(gpus[2].deviceString, QStringLiteral("card2"));
    QCOMPARE(gpus[2].vendorId, 0);
    QVERIFY(gpus[2].driverVersion.isEmpty());
}

void TestSystemSurvey::linuxCpuListParsing_data()
{
    QTest::addColumn<QString>("list");
    QTest::addColumn<QList<int>>("cpus");
    QTest::newRow("ranges and singles")
        << QStringLiteral("0-2,5,7-8\n") << QList<int>{0, 1, 2, 5, 7, 8};
    QTest::newRow("empty") << QString() << QList<int>{};
    QTest::newRow("reversed range skipped") << QStringLiteral("3-1,4") << QList<int>{4};
    QTest::newRow("huge range skipped") << QStringLiteral("0-2147483647,1") << QList<int>{1};
    QTest::newRow("garbage skipped") << QStringLiteral("a,1-b,2-3-4,6") << QList<int>{6};
}

void TestSystemSurvey::linuxCpuListParsing()
{
    QFETCH(QString, list);
    const std::vector<int> parsed = TLinuxSystemInformationReader::parseCpuList(list);
    QTEST(QList<int>(parsed.begin(), parsed.end()), "cpus");
}

void TestSystemSurvey::platformRetrieverDescribesThisMachine()
{
    // Whatever this machine is, it has a processor, memory, a named system and the offscreen
    // screen; a retriever that loses one of them reads the wrong files.
    const QJsonObject document = surveyDocument(createSystemSurveyValueRetriever());
    const QJsonObject cpu = document.value(QLatin1String("cpu")).toObject();
    QVERIFY(cpu.value(QLatin1String("logicalCoreNumber")).toInt() >= 1);
    QVERIFY(cpu.value(QLatin1String("coreNumber")).toInt() >= 1);
    QVERIFY(cpu.value(QLatin1String("coreNumber")).toInt() <=
            cpu.value(QLatin1String("logicalCoreNumber")).toInt());
    QVERIFY(!cpu.value(QLatin1String("brandName")).toString().isEmpty());
    QVERIFY(document.value(QLatin1String("mainMemorySize")).toDouble() > 0);
    QVERIFY(!document.value(QLatin1String("operatingSystem"))
                 .toObject()
                 .value(QLatin1String("name"))
                 .toString()
                 .isEmpty());
    const QJsonArray monitors = document.value(QLatin1String("monitors")).toArray();
    QVERIFY(!monitors.isEmpty());
    QVERIFY(monitors.at(0).toObject().value(QLatin1String("primary")).toBool());
    qInfo().noquote() << "Survey of this machine:" << QJsonDocument(document).toJson();
}

void TestSystemSurvey::uploadsCompactSurvey()
{
    testsupport::TTestHttpServer server;
    server.setFile(QStringLiteral("/survey"), QByteArrayLiteral("{\"errorCode\":0}"));

    auto retriever = std::make_shared<TFixedRetriever>();
    retriever->m_monitors = {{1920, 1080, true, 60}, {0, 0, false, 0}};
    retriever->m_system = {QStringLiteral("Windows NT"), QStringLiteral("Windows 11"), QString()};
    retriever->m_gpus = {{QStringLiteral("WMI only"), 1 << 30, 0, 0, QString()}};
    auto documentCreator = std::make_shared<TSystemSurveyAsJsonDocumentCreator>(
        std::make_shared<TSystemSurveyCreator>(retriever),
        std::make_shared<TSystemSurveyToJsonConverter>());
    const QJsonDocument expected = documentCreator->createDocument();

    TSystemSurveyUploader uploader(server.url(QStringLiteral("/survey")), documentCreator,
                                   std::make_shared<::shared::TJsonDocumentHttpPostSender>());
    QSignalSpy finished(&uploader, &TSystemSurveyUploader::finished);
    uploader.upload();
    uploader.upload();
    QTRY_COMPARE(finished.size(), 2);
    QVERIFY(finished.at(0).at(0).toBool());
    QCOMPARE(uploader.lastErrorCode(), 0);

    const QList<testsupport::TTestHttpServer::TRequest> requests =
        server.requests(QStringLiteral("/survey"));
    QCOMPARE(requests.size(), 2);
    for (const auto &request : requests) {
        QCOMPARE(request.method, QByteArray("POST"));
        QCOMPARE(request.header("Content-Type"), QByteArray("application/json"));
        QCOMPARE(request.header("Content-Disposition"), QByteArray("form-data; name=\"metadata\""));
        QCOMPARE(request.body, expected.toJson(QJsonDocument::Compact));
        QVERIFY(!request.body.contains('\n'));
    }
    // One machine, one identifier: both surveys of this process carry the same
    // clientID.
    const QJsonObject first = QJsonDocument::fromJson(requests.at(0).body).object();
    const QJsonObject second = QJsonDocument::fromJson(requests.at(1).body).object();
    QCOMPARE(first.value(QLatin1String("clientID")), second.value(QLatin1String("clientID")));
    QCOMPARE(first.value(QLatin1String("monitors")).toArray().size(), 1);
    QVERIFY(!first.value(QLatin1String("operatingSystem"))
                 .toObject()
                 .contains(QLatin1String("release")));
}

// The survey service reads these exact keys and types: a rename in the converter must fail here,
// not on the service. "header" rows hold the exact header value of the upload.
void TestSystemSurvey::serverReceivesPinnedKeys_data()
{
    QTest::addColumn<QString>("object");
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("type");

    const std::pair<const char *, std::vector<std::pair<const char *, const char *>>> rows[] = {
        {"header",
         {{"Content-Type", "application/json"},
          {"Content-Disposition", "form-data; name=\"metadata\""}}},
        {"",
         {{"dataType", "integer"},
          {"clientID", "string"},
          {"monitors", "array"},
          {"operatingSystem", "object"},
          {"mainMemorySize", "integer"},
          {"cpu", "object"},
          {"gpu", "array"}}},
        {"monitors",
         {{"width", "integer"},
          {"height", "integer"},
          {"primary", "bool"},
          {"refreshRate", "integer"}}},
        {"operatingSystem", {{"baseSystem", "string"}, {"name", "string"}, {"release", "string"}}},
        {"cpu",
         {{"manufacturer", "string"},
          {"brandName", "string"},
          {"64Bit", "bool"},
          {"sse", "bool"},
          {"sse2", "bool"},
          {"NUMANumber", "integer"},
          {"physicalNumber", "integer"},
          {"coreNumber", "integer"},
          {"logicalCoreNumber", "integer"},
          {"clockSpeed", "number"}}},
        {"gpu",
         {{"deviceString", "string"},
          {"videoMemorySize", "integer"},
          {"vendorId", "integer"},
          {"deviceId", "integer"},
          {"driverVersion", "string"}}},
    };
    for (const auto &object : rows) {
        for (const auto &key : object.second)
            QTest::addRow("%s.%s", object.first, key.first)
                << QString::fromLatin1(object.first) << QString::fromLatin1(key.first)
                << QString::fromLatin1(key.second);
    }
}

void TestSystemSurvey::serverReceivesPinnedKeys()
{
    QFETCH(QString, object);
    QFETCH(QString, key);
    QFETCH(QString, type);

    if (m_received.body.isEmpty()) {
        // Every optional key present: a release, an adapter known to both WMI and Direct3D.
        testsupport::TTestHttpServer server;
        server.setFile(QStringLiteral("/survey"), QByteArrayLiteral("{\"errorCode\":0}"));
        auto retriever = std::make_shared<TFixedRetriever>();
        retriever->m_monitors = {{1920, 1080, true, 60}};
        retriever->m_system = {QStringLiteral("Linux"), QStringLiteral("Debian"),
                               QStringLiteral("12")};
        retriever->m_memory = quint64(8) << 30;
        retriever->m_cpu.clockSpeed = 2400.5;
        retriever->m_gpus = {
            {QStringLiteral("Card"), 1 << 30, 0x10de, 0x1b80, QStringLiteral("31.0.15.3623")}};
        TSystemSurveyUploader uploader(server.url(QStringLiteral("/survey")),
                                       std::make_shared<TSystemSurveyAsJsonDocumentCreator>(
                                           std::make_shared<TSystemSurveyCreator>(retriever),
                                           std::make_shared<TSystemSurveyToJsonConverter>()),
                                       std::make_shared<::shared::TJsonDocumentHttpPostSender>());
        QSignalSpy finished(&uploader, &TSystemSurveyUploader::finished);
        uploader.upload();
        QVERIFY(finished.wait());
        QCOMPARE(server.requestCount(QStringLiteral("/survey")), 1);
        m_received = server.requests(QStringLiteral("/survey")).at(0);
    }

    if (object == QLatin1String("header")) {
        QCOMPARE(QString::fromLatin1(m_received.header(key.toLatin1())), type);
        return;
    }
    const QJsonObject document = QJsonDocument::fromJson(m_received.body).object();
    QJsonValue container = object.isEmpty() ? QJsonValue(document) : document.value(object);
    if (container.isArray())
        container = container.toArray().at(0);
    QVERIFY2(container.isObject(), qPrintable(object));
    const QJsonValue value = container.toObject().value(key);
    if (type == QLatin1String("integer"))
        QVERIFY(value.isDouble() && value.toDouble() == double(value.toVariant().toLongLong()));
    else if (type == QLatin1String("number"))
        QVERIFY(value.isDouble());
    else if (type == QLatin1String("string"))
        QVERIFY(value.isString());
    else if (type == QLatin1String("bool"))
        QVERIFY(value.isBool());
    else if (type == QLatin1String("array"))
        QVERIFY(value.isArray());
    else
        QVERIFY(value.isObject());
}

QTEST_MAIN(TestSystemSurvey)
#include "tst_systemsurvey.moc"
