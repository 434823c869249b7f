#include "TCpuIdDecoder.h"

#include <QLatin1String>

namespace systemsurvey {
namespace {

constexpr quint32 ExtendedLeafBase = 0x80000000u;
constexpr quint32 ExtendedFeatureLeaf = 0x80000001u;
constexpr quint32 LastBrandLeaf = 0x80000004u;

void appendRegister(QByteArray &Bytes, quint32 Value)
{
    for (int shift = 0; shift < 32; shift += 8)
        Bytes.append(static_cast<char>((Value >> shift) & 0xffu));
}

bool bitSet(quint32 Value, int Bit)
{
    return ((Value >> Bit) & 1u) != 0;
}

} // namespace

QString TCpuIdDecoder::manufacturerFromVendorString(const QByteArray &VendorString)
{
    struct TVendor
    {
        const char *vendorString;
        const char *manufacturer;
    };
    static const TVendor vendors[] = {
        {"AMDisbetter!", "AMD"},       {"AuthenticAMD", "AMD"},
        {"CentaurHauls", "Centaur"},   {"CyrixInstead", "Cyrix"},
        {"GenuineIntel", "Intel"},     {"TransmetaCPU", "Transmeta"},
        {"GenuineTMx86", "Transmeta"}, {"Geode by NSC", "National Semiconductor"},
        {"NexGenDriven", "NexGen"},    {"RiseRiseRise", "Rise"},
        {"SiS SiS SiS ", "SiS"},       {"UMC UMC UMC ", "UMC"},
        {"VIA VIA VIA ", "VIA"},       {"Vortex86 SoC", " Vortex"},
        {"KVMKVMKVMKVM", "KVM"},       {"Microsoft Hv", "Microsoft Hyper-V or Windows Virtual PC"},
        {"VMwareVMware", "VMware"},    {"XenVMMXenVMM", " Xen HVM"},
    };
    for (const TVendor &vendor : vendors) {
        if (VendorString == vendor.vendorString)
            return QLatin1String(vendor.manufacturer);
    }
    return QStringLiteral("Unknown Manufacturer");
}

QString TCpuIdDecoder::brandNameFromRegisters(const TCpuIdRegisters &Leaf2,
                                              const TCpuIdRegisters &Leaf3,
                                              const TCpuIdRegisters &Leaf4)
{
    QByteArray bytes;
    for (const TCpuIdRegisters *leaf : {&Leaf2, &Leaf3, &Leaf4}) {
        appendRegister(bytes, leaf->eax);
        appendRegister(bytes, leaf->ebx);
        appendRegister(bytes, leaf->ecx);
        appendRegister(bytes, leaf->edx);
    }
    // The text may fill all 48 bytes without a terminator; never read past them.
    const int end = bytes.indexOf('\0');
    if (end >= 0)
        bytes.truncate(end);
    return QString::fromLatin1(bytes).simplified();
}

TSystemSurveyCpu TCpuIdDecoder::decode(const TCpuIdQuery &Query)
{
    TSystemSurveyCpu cpu;

    const TCpuIdRegisters leaf0 = Query(0);
    QByteArray vendor;
    appendRegister(vendor, leaf0.ebx);
    appendRegister(vendor, leaf0.edx);
    appendRegister(vendor, leaf0.ecx);
    cpu.manufacturer = manufacturerFromVendorString(vendor);

    const quint32 highestExtendedLeaf = Query(ExtendedLeafBase).eax;
    if (highestExtendedLeaf < LastBrandLeaf) {
        cpu.brandName = QStringLiteral("Acquiring Brand Name not supported");
    } else {
        cpu.brandName =
            brandNameFromRegisters(Query(0x80000002u), Query(0x80000003u), Query(0x80000004u));
    }

    cpu.is64Bit =
        highestExtendedLeaf >= ExtendedFeatureLeaf && bitSet(Query(ExtendedFeatureLeaf).edx, 29);

    const quint32 features = Query(1).edx;
    cpu.sse = bitSet(features, 25);
    cpu.sse2 = bitSet(features, 26);
    return cpu;
}

} // namespace systemsurvey
