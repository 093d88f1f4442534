#include "randomsource.h"

#include <QRandomGenerator>

#include <memory>

namespace {

std::unique_ptr<QRandomGenerator>& seededGenerator()
{
    static std::unique_ptr<QRandomGenerator> generator;
    return generator;
}

QRandomGenerator* currentGenerator()
{
    return seededGenerator() ? seededGenerator().get() : QRandomGenerator::system();
}

} // namespace

namespace RandomSource {

quint32 next()
{
    return currentGenerator()->generate() & 0x7FFFFFFFu;
}

void fill(quint32* out, qsizetype count)
{
    if (count <= 0)
        return;
    currentGenerator()->fillRange(out, count);
    for (qsizetype i = 0; i < count; ++i)
        out[i] &= 0x7FFFFFFFu;
}

void useSeed(quint32 seed)
{
    seededGenerator() = std::make_unique<QRandomGenerator>(seed);
}

void useSystem()
{
    seededGenerator().reset();
}

} // namespace RandomSource
