#include "TWindowsSystemSurveyValueRetriever.h"

#include "SystemSurveyPlatform.h"
#include "shared/LogCategories.h"
#include "systemsurvey/TCpuIdDecoder.h"

#include <QLibrary>
#include <QSettings>
#include <QString>
#include <QSysInfo>
#include <QtDebug>

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <d3d9.h>
#include <objbase.h>
#include <oleauto.h>
#include <wbemidl.h>

#if defined(_MSC_VER)
#include <intrin.h>
#elif defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#endif

#include <algorithm>
#include <bitset>
#include <vector>

namespace systemsurvey {
namespace {

TCpuIdRegisters cpuId(quint32 Leaf)
{
#if defined(_MSC_VER) && (defined(_M_X64) || defined(_M_IX86))
    int registers[4] = {};
    __cpuidex(registers, static_cast<int>(Leaf), 0);
    return {static_cast<quint32>(registers[0]), static_cast<quint32>(registers[1]),
            static_cast<quint32>(registers[2]), static_cast<quint32>(registers[3])};
#elif defined(__x86_64__) || defined(__i386__)
    unsigned int eax = 0, ebx = 0, ecx = 0, edx = 0;
    __cpuid_count(Leaf, 0, eax, ebx, ecx, edx);
    return {eax, ebx, ecx, edx};
#else
    Q_UNUSED(Leaf)
    return {};
#endif
}

QString hexCode(HRESULT Result)
{
    return QString::number(static_cast<quint32>(Result), 16);
}

// Releases a COM interface when the scope ends, whichever step of a query failed.
template <typename T> class TComPointer final
{
public:
    TComPointer() = default;
    ~TComPointer()
    {
        if (m_pointer != nullptr)
            m_pointer->Release();
    }
    TComPointer(const TComPointer &) = delete;
    TComPointer &operator=(const TComPointer &) = delete;

    T *get() const { return m_pointer; }
    T *operator->() const { return m_pointer; }
    T **address() { return &m_pointer; }

private:
    T *m_pointer = nullptr;
};

class TBstr final
{
public:
    explicit TBstr(const wchar_t *Text) : m_string(::SysAllocString(Text)) {}
    ~TBstr() { ::SysFreeString(m_string); }
    TBstr(const TBstr &) = delete;
    TBstr &operator=(const TBstr &) = delete;

    BSTR get() const { return m_string; }

private:
    BSTR m_string = nullptr;
};

class TVariant final
{
public:
    TVariant() { ::VariantInit(&m_variant); }
    ~TVariant() { ::VariantClear(&m_variant); }
    TVariant(const TVariant &) = delete;
    TVariant &operator=(const TVariant &) = delete;

    VARIANT *get() { return &m_variant; }
    const VARIANT &value() const { return m_variant; }

private:
    VARIANT m_variant;
};

// Balances a successful CoInitializeEx, also when the query stops half-way.
class TComInitialization final
{
public:
    TComInitialization() : m_result(::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)) {}
    ~TComInitialization()
    {
        if (SUCCEEDED(m_result))
            ::CoUninitialize();
    }
    TComInitialization(const TComInitialization &) = delete;
    TComInitialization &operator=(const TComInitialization &) = delete;

    HRESULT result() const { return m_result; }

private:
    HRESULT m_result;
};

void appendWmiVideoControllers(std::vector<TSystemSurveyGpu> &Gpus)
{
    TComInitialization com;
    if (FAILED(com.result())) {
        qCWarning(lcSurvey).noquote()
            << QStringLiteral("Failed to initialize COM library. Error code = 0x") +
                   hexCode(com.result());
        return;
    }

    TComPointer<IWbemLocator> locator;
    HRESULT result =
        ::CoCreateInstance(CLSID_WbemLocator, nullptr, CLSCTX_INPROC_SERVER, IID_IWbemLocator,
                           reinterpret_cast<LPVOID *>(locator.address()));
    if (FAILED(result)) {
        qCWarning(lcSurvey).noquote()
            << QStringLiteral("Failed to create IWbemLocator object. Err code = 0x") +
                   hexCode(result);
        return;
    }

    TComPointer<IWbemServices> services;
    const TBstr nameSpace(L"ROOT\\CIMV2");
    result = locator->ConnectServer(nameSpace.get(), nullptr, nullptr, nullptr, 0, nullptr, nullptr,
                                    services.address());
    if (FAILED(result)) {
        qCWarning(lcSurvey).noquote()
            << QStringLiteral("Could not connect. Error code = 0x") + hexCode(result);
        return;
    }

    result = ::CoSetProxyBlanket(services.get(), RPC_C_AUTHN_WINNT, RPC_C_AUTHZ_NONE, nullptr,
                                 RPC_C_AUTHN_LEVEL_CALL, RPC_C_IMP_LEVEL_IMPERSONATE, nullptr,
                                 EOAC_NONE);
    if (FAILED(result)) {
        qCWarning(lcSurvey).noquote()
            << QStringLiteral("Could not set proxy blanket. Error code = 0x") + hexCode(result);
        return;
    }

    TComPointer<IEnumWbemClassObject> enumerator;
    const TBstr language(L"WQL");
    const TBstr query(L"SELECT * FROM Win32_VideoController");
    result = services->ExecQuery(language.get(), query.get(),
                                 WBEM_FLAG_FORWARD_ONLY | WBEM_FLAG_RETURN_IMMEDIATELY, nullptr,
                                 enumerator.address());
    if (FAILED(result)) {
        qCWarning(lcSurvey).noquote()
            << QStringLiteral("Query for list of GPU data structures failed. Error code = 0x") +
                   hexCode(result);
        return;
    }

    for (;;) {
        TComPointer<IWbemClassObject> object;
        ULONG returned = 0;
        enumerator->Next(static_cast<LONG>(WBEM_INFINITE), 1, object.address(), &returned);
        if (returned == 0)
            break;

        TSystemSurveyGpu gpu;
        TVariant caption;
        if (SUCCEEDED(object->Get(L"Caption", 0, caption.get(), nullptr, nullptr)) &&
            caption.value().vt == VT_BSTR && caption.value().bstrVal != nullptr) {
            gpu.deviceString = QString::fromWCharArray(caption.value().bstrVal);
        }
        // AdapterRAM is a CIM uint32, which WMI hands out as a signed 32-bit variant.
        TVariant adapterRam;
        if (SUCCEEDED(object->Get(L"AdapterRAM", 0, adapterRam.get(), nullptr, nullptr))) {
            if (adapterRam.value().vt == VT_I4)
                gpu.videoMemorySize = static_cast<quint32>(adapterRam.value().lVal);
            else if (adapterRam.value().vt == VT_UI4)
                gpu.videoMemorySize = adapterRam.value().ulVal;
        }
        Gpus.push_back(gpu);
    }
}

void mergeDirect3DAdapters(std::vector<TSystemSurveyGpu> &Gpus)
{
    using TDirect3DCreate9 = IDirect3D9 *(WINAPI *)(UINT);
    QLibrary library(QStringLiteral("d3d9"));
    const auto create = reinterpret_cast<TDirect3DCreate9>(
        reinterpret_cast<void *>(library.resolve("Direct3DCreate9")));
    if (create == nullptr)
        return;
    IDirect3D9 *direct3D = create(32); // D3D_SDK_VERSION of the Direct3D 9 runtime
    if (direct3D == nullptr)
        return;

    const UINT adapterCount = direct3D->GetAdapterCount();
    for (UINT adapter = 0; adapter < adapterCount; ++adapter) {
        D3DADAPTER_IDENTIFIER9 identifier = {};
        if (FAILED(direct3D->GetAdapterIdentifier(adapter, 0, &identifier)))
            continue;
        identifier.Description[sizeof(identifier.Description) - 1] = '\0';
        const QString description = QString::fromLocal8Bit(identifier.Description);
        const auto high = static_cast<quint32>(identifier.DriverVersion.HighPart);
        const auto low = static_cast<quint32>(identifier.DriverVersion.LowPart);
        const QString driverVersion = QStringLiteral("%1.%2.%3.%4")
                                          .arg(high >> 16)
                                          .arg(high & 0xffffu)
                                          .arg(low >> 16)
                                          .arg(low & 0xffffu);
        const auto vendorId = static_cast<qint32>(identifier.VendorId);
        const auto deviceId = static_cast<qint32>(identifier.DeviceId);

        bool matched = false;
        for (TSystemSurveyGpu &gpu : Gpus) {
            if (gpu.deviceString == description) {
                gpu.vendorId = vendorId;
                gpu.deviceId = deviceId;
                gpu.driverVersion = driverVersion;
                matched = true;
                break;
            }
        }
        if (!matched) {
            TSystemSurveyGpu gpu;
            gpu.deviceString = description;
            gpu.vendorId = vendorId;
            gpu.deviceId = deviceId;
            gpu.driverVersion = driverVersion;
            Gpus.push_back(gpu);
        }
    }
    direct3D->Release();
}

} // namespace

std::shared_ptr<TSystemSurveyValueRetriever> createSystemSurveyValueRetriever()
{
    return std::make_shared<TWindowsSystemSurveyValueRetriever>();
}

TSystemSurveyCpu TWindowsSystemSurveyValueRetriever::processor() const
{
    TSystemSurveyCpu cpu = TCpuIdDecoder::decode(&cpuId);
    return withTopologyAndClock(cpu);
}

TSystemSurveyOperatingSystem TWindowsSystemSurveyValueRetriever::operatingSystem() const
{
    // Qt 5.15 runs only on the NT family; its kernel type tells the family without the
    // deprecated Windows version flags.
    TSystemSurveyOperatingSystem system;
    const QString kernelType = QSysInfo::kernelType();
    if (kernelType == QLatin1String("winnt"))
        system.baseSystem = QStringLiteral("Windows NT");
    else if (kernelType == QLatin1String("wince"))
        system.baseSystem = QStringLiteral("Windows CE");
    else
        system.baseSystem = QStringLiteral("Unidentified Windows");
    system.name = QSysInfo::prettyProductName();
    return system;
}

quint64 TWindowsSystemSurveyValueRetriever::mainMemorySize() const
{
    MEMORYSTATUSEX status = {};
    status.dwLength = sizeof(status);
    if (!::GlobalMemoryStatusEx(&status))
        return 0;
    return status.ullTotalPhys;
}

TProcessorTopologyCounts TWindowsSystemSurveyValueRetriever::processorTopologyCounts() const
{
    TProcessorTopologyCounts counts;
    using TGetLogicalProcessorInformation =
        BOOL(WINAPI *)(PSYSTEM_LOGICAL_PROCESSOR_INFORMATION, PDWORD);
    const HMODULE kernel = ::GetModuleHandleW(L"kernel32");
    if (kernel == nullptr)
        return counts;
    const auto query = reinterpret_cast<TGetLogicalProcessorInformation>(
        reinterpret_cast<void *>(::GetProcAddress(kernel, "GetLogicalProcessorInformation")));
    if (query == nullptr)
        return counts;

    DWORD length = 0;
    if (query(nullptr, &length) || ::GetLastError() != ERROR_INSUFFICIENT_BUFFER)
        return counts;
    std::vector<SYSTEM_LOGICAL_PROCESSOR_INFORMATION> entries(
        (length + sizeof(SYSTEM_LOGICAL_PROCESSOR_INFORMATION) - 1) /
        sizeof(SYSTEM_LOGICAL_PROCESSOR_INFORMATION));
    length = static_cast<DWORD>(entries.size() * sizeof(SYSTEM_LOGICAL_PROCESSOR_INFORMATION));
    if (!query(entries.data(), &length))
        return counts;
    entries.resize(length / sizeof(SYSTEM_LOGICAL_PROCESSOR_INFORMATION));

    for (const SYSTEM_LOGICAL_PROCESSOR_INFORMATION &entry : entries) {
        switch (entry.Relationship) {
        case RelationProcessorCore:
            ++counts.coreCount;
            counts.logicalProcessorCount +=
                std::bitset<64>(static_cast<quint64>(entry.ProcessorMask)).count();
            break;
        case RelationNumaNode:
            ++counts.numaNodeCount;
            break;
        case RelationProcessorPackage:
            ++counts.physicalProcessorCount;
            break;
        default:
            break;
        }
    }
    return counts;
}

double TWindowsSystemSurveyValueRetriever::clockSpeed() const
{
    SYSTEM_INFO systemInfo = {};
    ::GetSystemInfo(&systemInfo);
    uint highest = 0;
    for (DWORD i = 0; i < systemInfo.dwNumberOfProcessors; ++i) {
        const QSettings key(
            QStringLiteral(
                "HKEY_LOCAL_MACHINE\\HARDWARE\\DESCRIPTION\\System\\CentralProcessor\\") +
                QString::number(i),
            QSettings::NativeFormat);
        highest =
            std::max(highest, key.value(QStringLiteral("~MHz"), QStringLiteral("0")).toUInt());
    }
    return static_cast<double>(highest);
}

std::vector<TSystemSurveyGpu> TWindowsSystemSurveyValueRetriever::graphicsAdapters() const
{
    std::vector<TSystemSurveyGpu> gpus;
    appendWmiVideoControllers(gpus);
    // Direct3D knows the ids and driver versions that WMI's list lacks.
    mergeDirect3DAdapters(gpus);
    return gpus;
}

} // namespace systemsurvey
