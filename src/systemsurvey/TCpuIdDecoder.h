#pragma once

#include "TSystemSurvey.h"

#include <QByteArray>
#include <QString>
#include <QtGlobal>

#include <functional>

namespace systemsurvey {

struct TCpuIdRegisters
{
    quint32 eax = 0;
    quint32 ebx = 0;
    quint32 ecx = 0;
    quint32 edx = 0;
};

// Executes CPUID for one leaf (sub-leaf 0). Supplied by the platform files, which know the
// compiler's intrinsic.
using TCpuIdQuery = std::function<TCpuIdRegisters(quint32 Leaf)>;

// Turns CPUID answers into the processor fields of a survey. Kept apart from the instruction
// itself so that any answer, such as that of an old processor, can be decoded on any machine.
class TCpuIdDecoder final
{
public:
    // Fills manufacturer, brandName, is64Bit, sse and sse2; the other fields stay zero.
    static TSystemSurveyCpu decode(const TCpuIdQuery &Query);

    // The manufacturer for a 12-character vendor string, "Unknown Manufacturer" when not known.
    static QString manufacturerFromVendorString(const QByteArray &VendorString);

    // The brand text of leaves 0x80000002..0x80000004: up to the first zero byte, runs of white
    // space collapsed and the ends trimmed.
    static QString brandNameFromRegisters(const TCpuIdRegisters &Leaf2,
                                          const TCpuIdRegisters &Leaf3,
                                          const TCpuIdRegisters &Leaf4);
};

} // namespace systemsurvey
