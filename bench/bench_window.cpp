// The real main window over a large vault: opening the store, search keystrokes with the
// categories collapsed and after Expand All, and closing (which saves). Each step is timed
// until the tree view has been laid out and painted again, as a user would wait for it. Every
// timed keystroke searches a text the window has not searched before (see typeQueries).
//
//   bench_window --entries 100000 --categories 50
//
// Stores are made once per size in a child process (so their making does not count towards
// the peak) and kept under --cache; every run works on a copy beside which the saved store
// is compared with the original, byte for byte.
#include "app/mainwindow.h"
#include "app/version.h"
#include "store/settingsstore.h"
#include "store/storestate.h"
#include "vault/randomsource.h"

#include "memory.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QKeyEvent>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QSet>
#include <QTemporaryDir>
#include <QTreeView>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <random>

namespace {

// Bumped whenever the made vault changes, so that stale cached stores are made again.
constexpr int kVaultVersion = 2;

const char* const kSyllables[] = {"ka", "lo",  "mi", "ra",  "ben", "tor", "vel", "sun", "pa", "qui", "dex", "mar",
                                  "no", "zen", "fi", "gal", "hub", "jet", "wik", "on",  "ex", "ly",  "cor", "bit"};
const char* const kSuffixes[] = {"", " login", " account", " (work)", " admin", " family", " old", " shop"};
const char* const kDomains[] = {".com", ".net", ".org", ".io", ".de", ".co.uk"};
const char* const kFirst[] = {"anna", "ben", "chris", "dana", "eli", "fay", "gus", "hana", "ivan", "jo"};
const char* const kLast[] = {"smith", "meyer", "garcia", "kowalski", "nguyen", "olsen", "rossi", "tanaka"};
const char* const kNotes[] = {
    "Security question: first pet. Recovery codes kept offline in the safe.",
    "Shared with the family; change the PIN every spring, last done in March.",
    "Two-factor app on the old phone. Backup email is the work address.",
    "Billing on the 3rd of each month, card ending 4421; cancel before renewal.",
    "",
};
const char* const kCategories[] = {
    "General",   "Banking",  "Email",     "Shopping", "Social",  "Work",       "Travel",  "Utilities", "Games",
    "Streaming", "Health",   "Insurance", "Taxes",    "Phone",   "Internet",   "Cloud",   "Forums",    "News",
    "Education", "Library",  "Cars",      "Home",     "Garden",  "Pets",       "Kids",    "School",    "Sport",
    "Gym",       "Music",    "Photos",    "Video",    "Books",   "Developers", "Servers", "Routers",   "Wi-Fi",
    "Printers",  "Old jobs", "Charity",   "Clubs",    "Hobbies", "Crypto",     "Pension", "Loans",     "Rent",
    "Energy",    "Water",    "Council",   "Doctors",  "Misc"};

// A site name of two or three syllables: a few thousand distinct names, so that a search
// narrows the way a real one does.
QString siteName(std::mt19937& random)
{
    const int parts = 2 + int(random() % 2);
    QString name;
    for (int i = 0; i < parts; ++i)
        name += QLatin1String(kSyllables[random() % std::size(kSyllables)]);
    return name;
}

// `count` entries over `categoryCount` categories with realistic fields and times.
void fillVault(StoreState& state, int count, int categoryCount)
{
    RandomSource::useSeed(1);
    std::mt19937 random(7);
    QStringList names;
    for (int c = 0; c < categoryCount; ++c)
        names << QLatin1String(kCategories[c]);
    // In the order the program keeps them, so that a save writes the file back unchanged.
    names.sort(Qt::CaseSensitive);
    EntryList list;
    list.reserve(count);
    const QDate firstDay(2018, 1, 1);
    for (int i = 0; i < count; ++i) {
        Entry entry(Entry::NoId);
        entry.id = randomString(30);
        const QString site = siteName(random);
        QString title = site;
        title[0] = title.at(0).toUpper();
        entry.title = title + QLatin1String(kSuffixes[random() % std::size(kSuffixes)]);
        entry.category = names.at(int(random() % names.size()));
        entry.url = QStringLiteral("https://www.") + site + QLatin1String(kDomains[random() % std::size(kDomains)]) +
                    QStringLiteral("/login");
        entry.account = QLatin1String(kFirst[random() % std::size(kFirst)]) + QLatin1Char('.') +
                        QLatin1String(kLast[random() % std::size(kLast)]) + QString::number(random() % 100) +
                        QStringLiteral("@mail.example.org");
        entry.password = randomString(14);
        entry.notes = QLatin1String(kNotes[random() % std::size(kNotes)]);
        const QDateTime created(firstDay.addDays(random() % 3000),
                                QTime::fromMSecsSinceStartOfDay(random() % 86400000));
        entry.dateCreated = created;
        entry.dateChanged = random() % 3 == 0 ? created : created.addSecs(random() % 40000000);
        list.append(entry);
    }
    state.preferences.firstRun = false;
    state.vault.reset(names, std::move(list));
}

QString storeFile(const QString& directory)
{
    return directory + QLatin1String(kStoreFileName);
}

// The cached store for a size, made in a child process when missing.
QString cachedStore(const QString& cache, int count, int categories)
{
    const QString directory = QStringLiteral("%1/v%2-%3-%4").arg(cache).arg(kVaultVersion).arg(count).arg(categories);
    if (QFileInfo::exists(storeFile(directory)))
        return directory;
    QDir().mkpath(directory);
    std::fprintf(stderr, "making a store of %d entries in %s\n", count, qPrintable(directory));
    const int code =
        QProcess::execute(QCoreApplication::applicationFilePath(),
                          {QStringLiteral("--make"), directory, QStringLiteral("--entries"), QString::number(count),
                           QStringLiteral("--categories"), QString::number(categories)});
    if (code != 0 || !QFileInfo::exists(storeFile(directory))) {
        std::fprintf(stderr, "could not make the store\n");
        std::exit(1);
    }
    return directory;
}

// Counts paints of the tree's viewport, to know when a change has reached the screen.
class PaintWatch : public QObject
{
public:
    int paints = 0;

protected:
    bool eventFilter(QObject*, QEvent* event) override
    {
        if (event->type() == QEvent::Paint)
            ++paints;
        return false;
    }
};

class Session
{
public:
    Session(const QString& directory) : store(directory) {}

    // Builds the window (which loads the store) and waits for its first paint.
    void open()
    {
        window = std::make_unique<MainWindow>(state, store);
        tree = window->findChild<QTreeView*>(QStringLiteral("treeView"));
        search = window->findChild<QLineEdit*>(QStringLiteral("txtSearch"));
        tree->viewport()->installEventFilter(&watch);
        window->show();
        settle();
    }

    // Runs the events a change left behind (the view's delayed layout, then the paint).
    // Stops once the viewport has painted, or after a number of rounds that did nothing.
    void settle()
    {
        const int before = watch.paints;
        for (int round = 0; round < 50; ++round) {
            QCoreApplication::processEvents(QEventLoop::AllEvents);
            if (watch.paints != before && round >= 1)
                break;
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents);
    }

    double type(int key, const QString& text)
    {
        QElapsedTimer timer;
        timer.start();
        QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier, text);
        QApplication::sendEvent(search, &press);
        QKeyEvent release(QEvent::KeyRelease, key, Qt::NoModifier, text);
        QApplication::sendEvent(search, &release);
        settle();
        return timer.nsecsElapsed() / 1e6;
    }

    // The whole text replaced in one change, as pasting over a selection does.
    double paste(const QString& text)
    {
        QElapsedTimer timer;
        timer.start();
        search->setText(text);
        settle();
        return timer.nsecsElapsed() / 1e6;
    }

    // Back to an empty search (not timed: an empty search shows everything without scanning).
    void clear()
    {
        search->clear();
        settle();
    }

    double click(const char* name)
    {
        QElapsedTimer timer;
        timer.start();
        window->findChild<QPushButton*>(QLatin1String(name))->click();
        settle();
        return timer.nsecsElapsed() / 1e6;
    }

    double close()
    {
        QElapsedTimer timer;
        timer.start();
        window->close();
        const double ms = timer.nsecsElapsed() / 1e6;
        tree = nullptr;
        search = nullptr;
        window.reset();
        return ms;
    }

    int visibleRows() const
    {
        int rows = 0;
        const QAbstractItemModel* model = tree->model();
        for (int row = 0; row < model->rowCount(); ++row) {
            ++rows;
            if (tree->isExpanded(model->index(row, 0)))
                rows += model->rowCount(model->index(row, 0));
        }
        return rows;
    }

    QString text() const { return search->text(); }

    // How many persistent indexes the view's model holds: each is walked when rows go.
    int persistentIndexes() const
    {
        struct Peek : QAbstractItemModel
        {
            using QAbstractItemModel::persistentIndexList;
        };
        const QAbstractItemModel* model = tree->model();
        return int((model->*(&Peek::persistentIndexList))().size());
    }

    StoreState state;
    SettingsStore store;
    std::unique_ptr<MainWindow> window;
    QTreeView* tree = nullptr;
    QLineEdit* search = nullptr;
    PaintWatch watch;
};

struct Figures
{
    QList<QPair<QString, double>> rows;
    void add(const QString& what, double value)
    {
        rows.append({what, value});
        std::printf("  %-44s %10.2f\n", qPrintable(what), value);
        std::fflush(stdout);
    }
};

// Every text the window has searched in this run. A text searched before would be answered from
// the search's kept results (it keeps the last 16), which is not what a keystroke costs.
QSet<QString> searched;

void mustBeNew(const QString& text)
{
    if (searched.contains(text)) {
        std::fprintf(stderr, "'%s' was searched before: its keystroke would be answered from the search's cache\n",
                     qPrintable(text));
        std::exit(3);
    }
    searched.insert(text);
}

void report(const Session& session, double ms)
{
    std::fprintf(stderr, "    '%s' %.2f ms, %d rows shown\n", qPrintable(session.text()), ms, session.visibleRows());
}

// From an empty search: `typed` a key at a time (the first key, then keys that extend the text),
// then back to empty; then `pasted` in one change and deleted back a key at a time to two
// characters. Every timed text is one the window has not searched before, so each keystroke
// scans the entries (an extending key only the entries the shorter text matched, as it would).
void typeQueries(Session& session, const QString& typed, const QString& pasted, Figures& figures, const QString& label)
{
    double firstKey = 0;
    double extendMax = 0;
    double extendSum = 0;
    for (int i = 0; i < typed.size(); ++i) {
        const QString key = typed.mid(i, 1);
        mustBeNew(typed.left(i + 1));
        const double ms = session.type(Qt::Key_A + (key.at(0).toLower().unicode() - 'a'), key);
        if (i == 0) {
            firstKey = ms;
        } else {
            extendMax = qMax(extendMax, ms);
            extendSum += ms;
        }
        report(session, ms);
    }
    session.clear();

    mustBeNew(pasted);
    const double pasteMs = session.paste(pasted);
    report(session, pasteMs);
    double deleteMax = 0;
    for (qsizetype left = pasted.size() - 1; left >= 2; --left) {
        mustBeNew(pasted.left(left));
        const double ms = session.type(Qt::Key_Backspace, QString());
        deleteMax = qMax(deleteMax, ms);
        report(session, ms);
    }
    session.clear();

    figures.add(label + QStringLiteral(": first key (ms)"), firstKey);
    figures.add(label + QStringLiteral(": extending key, mean (ms)"), extendSum / qMax(1, int(typed.size()) - 1));
    figures.add(label + QStringLiteral(": extending key, worst (ms)"), extendMax);
    figures.add(label + QStringLiteral(": pasted text (ms)"), pasteMs);
    figures.add(label + QStringLiteral(": deleting back, worst (ms)"), deleteMax);
}

bool sameBytes(const QString& a, const QString& b)
{
    QFile fa(a);
    QFile fb(b);
    if (!fa.open(QIODevice::ReadOnly) || !fb.open(QIODevice::ReadOnly) || fa.size() != fb.size())
        return false;
    while (!fa.atEnd()) {
        if (fa.read(1 << 20) != fb.read(1 << 20))
            return false;
    }
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    initVaultryResources();

    QCommandLineParser parser;
    parser.addOption(
        {QStringLiteral("entries"), QStringLiteral("Vault size."), QStringLiteral("n"), QStringLiteral("100000")});
    parser.addOption(
        {QStringLiteral("categories"), QStringLiteral("Categories."), QStringLiteral("n"), QStringLiteral("50")});
    parser.addOption({QStringLiteral("cache"), QStringLiteral("Where made stores are kept."), QStringLiteral("dir"),
                      QDir::tempPath() + QStringLiteral("/vaultry-bench")});
    // Four texts of site-name syllables, none a part of another, so that no timed keystroke
    // repeats or narrows a text of another round.
    parser.addOption({QStringLiteral("query"), QStringLiteral("The text typed with the categories collapsed."),
                      QStringLiteral("text"), QStringLiteral("kamar")});
    parser.addOption({QStringLiteral("pasted"), QStringLiteral("The text pasted, then deleted back, collapsed."),
                      QStringLiteral("text"), QStringLiteral("benvel")});
    parser.addOption({QStringLiteral("expanded-query"), QStringLiteral("The text typed after Expand All."),
                      QStringLiteral("text"), QStringLiteral("tormi")});
    parser.addOption({QStringLiteral("expanded-pasted"),
                      QStringLiteral("The text pasted, then deleted back, after Expand All."), QStringLiteral("text"),
                      QStringLiteral("suncor")});
    parser.addOption({QStringLiteral("no-expanded"), QStringLiteral("Skip the keystrokes after Expand All.")});
    parser.addOption({QStringLiteral("make"), QStringLiteral("Only make a store in dir."), QStringLiteral("dir")});
    parser.addOption({QStringLiteral("store-path"), QStringLiteral("Only print the cached store's path.")});
    parser.process(application);
    const int count = parser.value(QStringLiteral("entries")).toInt();
    const int categories = qBound(1, parser.value(QStringLiteral("categories")).toInt(), int(std::size(kCategories)));

    if (parser.isSet(QStringLiteral("make"))) {
        StoreState state;
        fillVault(state, count, categories);
        SettingsStore store(parser.value(QStringLiteral("make")));
        return store.save(state).ok ? 0 : 1;
    }

    const QString cached = cachedStore(parser.value(QStringLiteral("cache")), count, categories);
    if (parser.isSet(QStringLiteral("store-path"))) {
        std::printf("%s\n", qPrintable(storeFile(cached)));
        return 0;
    }
    const qint64 fileBytes = QFileInfo(storeFile(cached)).size();

    // A first window over an empty vault loads styles, fonts and icons, which are no part of
    // what a large vault costs.
    {
        QTemporaryDir empty;
        Session warmUp(empty.path());
        warmUp.state.preferences.firstRun = false;
        warmUp.store.save(warmUp.state);
        warmUp.open();
        warmUp.close();
    }
    const long baseHwm = statusKb("VmHWM");
    const long baseRss = statusKb("VmRSS");

    QTemporaryDir work;
    QFile::copy(storeFile(cached), storeFile(work.path()));
    std::printf("%d entries, %d categories, store %.1f MB\n", count, categories, fileBytes / 1e6);
    Figures figures;
    {
        Session session(work.path());
        QElapsedTimer timer;
        timer.start();
        session.open();
        figures.add(QStringLiteral("open: store to window painted (ms)"), timer.nsecsElapsed() / 1e6);
        typeQueries(session, parser.value(QStringLiteral("query")), parser.value(QStringLiteral("pasted")), figures,
                    QStringLiteral("collapsed"));
        if (!parser.isSet(QStringLiteral("no-expanded"))) {
            figures.add(QStringLiteral("Expand All (ms)"), session.click("btnExpandAll"));
            figures.add(QStringLiteral("persistent indexes after Expand All"), session.persistentIndexes());
            typeQueries(session, parser.value(QStringLiteral("expanded-query")),
                        parser.value(QStringLiteral("expanded-pasted")), figures, QStringLiteral("expanded"));
        }
        figures.add(QStringLiteral("close: save and close (ms)"), session.close());
    }
    const long peak = statusKb("VmHWM");
    figures.add(QStringLiteral("peak rise over an empty window (MB)"), (peak - baseHwm) / 1024.0);
    figures.add(QStringLiteral("peak rise / store file"), (peak - baseHwm) * 1024.0 / double(fileBytes));
    figures.add(QStringLiteral("peak resident, absolute (MB)"), peak / 1024.0);
    std::printf("  resident before opening %.1f MB\n", baseRss / 1024.0);
    const bool same = sameBytes(storeFile(cached), storeFile(work.path()));
    std::printf("  saved store byte-identical to the one loaded: %s\n", same ? "yes" : "NO");
    return same ? 0 : 2;
}
