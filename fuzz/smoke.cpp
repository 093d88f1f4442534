// A short fuzz run without libFuzzer, for the test suite: each seed file given on the command
// line, then mutations of it (bytes flipped, inserted, dropped, the tail cut or repeated) drawn
// from a fixed seed, go through the target's LLVMFuzzerTestOneInput. The target aborts on any
// broken promise; the sanitizer build catches memory faults. Real runs use libFuzzer (README.md).
#include <QByteArray>
#include <QFile>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

quint64 state = 0x9E3779B97F4A7C15ull;

quint64 draw()
{
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    return state;
}

QByteArray mutate(QByteArray input)
{
    const int edits = 1 + int(draw() % 4);
    static const char interesting[] = "\",\n\r<>&;{}[]:\\\0\xEF\xBB\xBF\xFF\xFE/";
    for (int i = 0; i < edits; ++i) {
        const qsizetype at = input.isEmpty() ? 0 : qsizetype(draw() % quint64(input.size()));
        switch (draw() % 6) {
        case 0:
            if (!input.isEmpty())
                input[at] = char(draw());
            break;
        case 1:
            input.insert(at, interesting[draw() % (sizeof(interesting) - 1)]);
            break;
        case 2:
            input.remove(at, 1 + qsizetype(draw() % 8));
            break;
        case 3:
            input.truncate(at);
            break;
        case 4:
            input.insert(at, input.mid(at, qsizetype(draw() % 64)));
            break;
        default:
            if (!input.isEmpty())
                input[at] = interesting[draw() % (sizeof(interesting) - 1)];
            break;
        }
    }
    return input;
}

} // namespace

// Usage: smoke [+N] SEED...   where +N puts the byte N (a target's mode) before the seeds after it.
int main(int argc, char** argv)
{
    const int rounds = 3000;
    QByteArray mode;
    int seeds = 0;
    for (int i = 1; i < argc; ++i) {
        if (argv[i][0] == '+') {
            mode = QByteArray(1, char(std::atoi(argv[i] + 1)));
            continue;
        }
        ++seeds;
        QFile file(QString::fromLocal8Bit(argv[i]));
        if (!file.open(QIODevice::ReadOnly)) {
            std::fprintf(stderr, "cannot read %s\n", argv[i]);
            return 2;
        }
        const QByteArray seed = file.readAll();
        const QByteArray first = mode + seed;
        LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(first.constData()), size_t(first.size()));
        for (int round = 0; round < rounds; ++round) {
            const QByteArray input = mode + mutate(seed);
            LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(input.constData()), size_t(input.size()));
        }
    }
    std::printf("%d inputs from %d seeds\n", seeds * (rounds + 1), seeds);
    return 0;
}
