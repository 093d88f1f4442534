#pragma once

#include <QtGlobal>

// The one process-wide source of random numbers behind identifiers and generated
// passwords. The program draws from the operating system's secure generator; tests
// install a seeded generator so that draws are reproducible.
namespace RandomSource {

// A value in 0..0x7FFFFFFF, the range callers reduce with a plain modulo.
quint32 next();

// `count` successive values of next(), in draw order, in one request to the source.
void fill(quint32* out, qsizetype count);

// Replaces the source with a deterministic generator seeded with `seed`.
void useSeed(quint32 seed);

// Back to the operating system's secure generator.
void useSystem();

} // namespace RandomSource
