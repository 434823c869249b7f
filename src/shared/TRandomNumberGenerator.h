#pragma once

#include <QtGlobal>

#include <mutex>
#include <random>

namespace shared {

// Uniform random numbers from a 32-bit Mersenne Twister. Virtual so that tests can make the
// numbers predictable; safe to call from several threads.
class TRandomNumberGenerator
{
public:
    // Seeded from the operating system's non-deterministic source.
    TRandomNumberGenerator();
    explicit TRandomNumberGenerator(quint32 Seed);
    virtual ~TRandomNumberGenerator();
    TRandomNumberGenerator(const TRandomNumberGenerator &) = delete;
    TRandomNumberGenerator &operator=(const TRandomNumberGenerator &) = delete;

    // A value in [Min, Max]; Min must not exceed Max.
    virtual quint64 randomUnsigned(quint64 Min, quint64 Max);
    virtual qint64 randomSigned(qint64 Min, qint64 Max);

    // The process-wide generator, created and seeded on first use.
    static TRandomNumberGenerator &instance();

private:
    std::mutex m_mutex;
    std::mt19937 m_engine;
};

} // namespace shared
