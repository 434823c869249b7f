#include "PackRanges.h"

#include <algorithm>
#include <limits>
#include <tuple>

namespace vorna::launcher {

std::vector<TPackRange> coalescePackRanges(std::vector<TPackObject> Objects, quint64 MaxGap,
                                           quint64 MaxRequestSize)
{
    // Range requests count in signed 64-bit offsets; an object that ends beyond them is
    // fetched by its own address.
    constexpr auto MaxEnd = quint64(std::numeric_limits<qint64>::max());
    Objects.erase(std::remove_if(Objects.begin(), Objects.end(),
                                 [MaxRequestSize](const TPackObject &Object) {
                                     return Object.size == 0 || Object.size > MaxRequestSize ||
                                            Object.packUrl.isEmpty() || Object.size > MaxEnd ||
                                            Object.offset > MaxEnd - Object.size;
                                 }),
                  Objects.end());
    std::stable_sort(Objects.begin(), Objects.end(),
                     [](const TPackObject &Left, const TPackObject &Right) {
                         return std::make_tuple(Left.packUrl, Left.offset) <
                                std::make_tuple(Right.packUrl, Right.offset);
                     });
    std::vector<TPackRange> Ranges;
    for (TPackObject &Object : Objects) {
        const quint64 End = Object.offset + Object.size;
        if (!Ranges.empty()) {
            TPackRange &Last = Ranges.back();
            const quint64 LastEnd = Last.offset + Last.length;
            // Objects may overlap (two addresses for one stored object); the range then simply
            // covers both.
            const bool Near = Last.packUrl == Object.packUrl && Object.offset >= Last.offset &&
                              (Object.offset <= LastEnd || Object.offset - LastEnd <= MaxGap);
            if (Near && std::max(End, LastEnd) - Last.offset <= MaxRequestSize) {
                Last.length = std::max(End, LastEnd) - Last.offset;
                Last.priority = std::min(Last.priority, Object.priority);
                Last.objectBytes += Object.size;
                Last.objects.push_back(std::move(Object));
                continue;
            }
        }
        TPackRange Range;
        Range.packUrl = Object.packUrl;
        Range.offset = Object.offset;
        Range.length = Object.size;
        Range.priority = Object.priority;
        Range.objectBytes = Object.size;
        Range.objects.push_back(std::move(Object));
        Ranges.push_back(std::move(Range));
    }
    std::stable_sort(Ranges.begin(), Ranges.end(),
                     [](const TPackRange &Left, const TPackRange &Right) {
                         return Left.priority < Right.priority;
                     });
    return Ranges;
}

QByteArray objectInRange(const TPackRange &Range, const QByteArray &Body, const TPackObject &Object)
{
    if (Object.offset < Range.offset)
        return {};
    const quint64 Start = Object.offset - Range.offset;
    const auto Received = quint64(Body.size());
    if (Start > Received || Object.size > Received - Start)
        return {};
    return Body.mid(int(Start), int(Object.size));
}

} // namespace vorna::launcher
