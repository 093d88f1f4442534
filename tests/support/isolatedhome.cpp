// Linked into every test executable: before anything else runs, the process gets a home and XDG
// folders of its own, so that no test (nor a program it starts) reads or writes the user's files.
#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <cstdio>
#include <cstdlib>

namespace {

class IsolatedHome
{
public:
    IsolatedHome()
    {
        if (!home.isValid()) {
            std::fprintf(stderr, "no temporary home folder: %s\n", qPrintable(home.errorString()));
            std::abort();
        }
        point("HOME", QString());
        point("XDG_CONFIG_HOME", QStringLiteral(".config"));
        point("XDG_DATA_HOME", QStringLiteral(".local/share"));
        point("XDG_CACHE_HOME", QStringLiteral(".cache"));
        point("XDG_STATE_HOME", QStringLiteral(".local/state"));
        // Qt insists on an owner-only runtime folder.
        point("XDG_RUNTIME_DIR", QStringLiteral("runtime"));
        QFile::setPermissions(home.filePath(QStringLiteral("runtime")),
                              QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    }

private:
    void point(const char* variable, const QString& below)
    {
        const QString path = below.isEmpty() ? home.path() : home.filePath(below);
        QDir().mkpath(path);
        qputenv(variable, QFile::encodeName(path));
    }

    QTemporaryDir home{QDir::tempPath() + QStringLiteral("/vaultry-test-home-XXXXXX")};
};

const IsolatedHome isolatedHome;

} // namespace
