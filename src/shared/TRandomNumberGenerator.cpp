#include "TRandomNumberGenerator.h"

#include <array>
#include <utility>

namespace shared {

namespace {

std::mt19937 seededFromDevice()
{
    std::random_device Device;
    std::array<std::random_device::result_type, std::mt19937::state_size> Words{};
    for (auto &Word : Words) {
        Word = Device();
    }
    std::seed_seq Sequence(Words.begin(), Words.end());
    return std::mt19937(Sequence);
}

} // namespace

TRandomNumberGenerator::TRandomNumberGenerator() : m_engine(seededFromDevice()) {}

TRandomNumberGenerator::TRandomNumberGenerator(quint32 Seed) : m_engine(Seed) {}

TRandomNumberGenerator::~TRandomNumberGenerator() = default;

quint64 TRandomNumberGenerator::randomUnsigned(quint64 Min, quint64 Max)
{
    Q_ASSERT(Min <= Max);
    if (Max < Min) {
        // Release builds: an empty range is a caller's slip, not a reason for undefined behaviour.
        std::swap(Min, Max);
    }
    std::uniform_int_distribution<quint64> Distribution(Min, Max);
    const std::lock_guard<std::mutex> Lock(m_mutex);
    return Distribution(m_engine);
}

qint64 TRandomNumberGenerator::randomSigned(qint64 Min, qint64 Max)
{
    Q_ASSERT(Min <= Max);
    if (Max < Min) {
        std::swap(Min, Max);
    }
    std::uniform_int_distribution<qint64> Distribution(Min, Max);
    const std::lock_guard<std::mutex> Lock(m_mutex);
    return Distribution(m_engine);
}

TRandomNumberGenerator &TRandomNumberGenerator::instance()
{
    static TRandomNumberGenerator Generator;
    return Generator;
}

} // namespace shared
