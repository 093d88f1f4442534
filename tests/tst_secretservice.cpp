#include "app/mainwindow.h"
#include "prefs/masterpassword.h"
#include "secrets/attributelines.h"
#include "secrets/secrettypes.h"
#include "secrets/sessioncipher.h"
#include "store/localsettings.h"
#include "store/protectedstore.h"
#include "support/dialogdriver.h"
#include "support/testvault.h"

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusVariant>
#include <QDeadlineTimer>
#include <QDialogButtonBox>
#include <QLabel>
#include <QProcess>
#include <QPushButton>
#include <QRandomGenerator>
#include <QStandardPaths>
#include <QStatusBar>
#include <QTest>

#include <memory>

namespace {

const QString kPassword = QStringLiteral("open sesame");
const QString kTitle = QStringLiteral("Master Application Password");
const QString kAsk = QStringLiteral("Please enter the master password:");
const QString kCategory = QStringLiteral("Secret Service");
const QString kName = QStringLiteral("org.freedesktop.secrets");

struct Finished
{
    int exitCode = -1;
    QByteArray out;
    QByteArray err;
};

// Runs a client of the service, which answers from this process's event loop: it spins while waiting.
Finished runClient(const QString& program, const QStringList& arguments, const QByteArray& input = QByteArray())
{
    QProcess process;
    process.start(program, arguments);
    process.write(input);
    process.closeWriteChannel();
    const QDeadlineTimer deadline(60000);
    while (process.state() != QProcess::NotRunning && !deadline.hasExpired())
        QTest::qWait(20);
    if (process.state() != QProcess::NotRunning) {
        process.kill();
        process.waitForFinished();
    }
    return {process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1, process.readAllStandardOutput(),
            process.readAllStandardError()};
}

// A random text with the characters the attribute lines must escape.
QString trickyText(QRandomGenerator& random)
{
    static const QList<char32_t> pool = {U'a', U'Z', U'0',   U' ',    U'=',  U'%',  U'\n', U'\r', U'\t',
                                         U':', U'é', 0x2028, 0x1F511, U'\\', U'\0', U'#',  U'-'};
    QString text;
    const int length = random.bounded(8);
    for (int i = 0; i < length; ++i) {
        const char32_t c = pool.at(random.bounded(int(pool.size())));
        text += QString::fromUcs4(&c, 1);
    }
    return text;
}

} // namespace

// Receives a prompt's Completed signal.
class PromptWatcher : public QObject
{
    Q_OBJECT

public:
    int completions = 0;
    bool dismissed = false;

public slots:
    void completed(bool wasDismissed, const QDBusVariant&)
    {
        ++completions;
        dismissed = wasDismissed;
    }
};

// The Secret Service of the running window on a private session bus, worked by Debian's secret-tool,
// Python's secretstorage (an encrypted session) and a client of its own.
class TestSecretService : public QObject
{
    Q_OBJECT

    QProcess bus;
    QTemporaryDir home;
    QString secretTool;
    std::unique_ptr<TestVault::Fixture> store;

    void seed(bool masterPassword, bool protectedStore = false)
    {
        LocalSettings local;
        local.secretServiceEnabled = true;
        QVERIFY(saveLocalSettings(store->dir.path(), local));
        if (masterPassword) {
            store->state.preferences.masterPasswordHash = hashMasterPassword(kPassword);
            store->state.preferences.maxLoginAttempts = 3;
        }
        if (protectedStore)
            QVERIFY(store->store.protect(kPassword));
        Entry item = TestVault::makeEntry(QStringLiteral("Mail server"), kCategory);
        item.password = QStringLiteral("s3cret");
        item.notes =
            notesWithAttributes(QStringLiteral("kept note"), {{QStringLiteral("service"), QStringLiteral("mail")}});
        QVERIFY(store->seed({QStringLiteral("General"), kCategory},
                            {TestVault::makeEntry(QStringLiteral("Bank"), QStringLiteral("General")), item}));
    }

    std::unique_ptr<MainWindow> openWindow(bool masterPassword)
    {
        if (masterPassword)
            DialogDriver::answerInput(kTitle, kAsk, kPassword);
        return std::make_unique<MainWindow>(store->state, store->store);
    }

    QList<Entry> served() const
    {
        QList<Entry> found;
        for (const Entry& entry : store->state.vault.entries()) {
            if (entry.category == kCategory)
                found << entry;
        }
        return found;
    }

    Finished tool(const QStringList& arguments, const QByteArray& input = QByteArray())
    {
        return runClient(secretTool, arguments, input);
    }

private slots:
    void initTestCase()
    {
        TestVault::prepare();
        DialogDriver::install();
        registerSecretTypes();
        // Clients get a home of their own; the service's bus is a private one.
        qputenv("HOME", home.path().toUtf8());
        qputenv("XDG_DATA_HOME", home.filePath(QStringLiteral("data")).toUtf8());
        qputenv("XDG_CACHE_HOME", home.filePath(QStringLiteral("cache")).toUtf8());
        const QString daemon = QStandardPaths::findExecutable(QStringLiteral("dbus-daemon"));
        secretTool = QStandardPaths::findExecutable(QStringLiteral("secret-tool"));
        if (daemon.isEmpty())
            QSKIP("dbus-daemon is not installed");
        bus.start(daemon, {QStringLiteral("--session"), QStringLiteral("--nofork"), QStringLiteral("--print-address")});
        QVERIFY(bus.waitForStarted());
        QVERIFY(bus.waitForReadyRead(10000));
        qputenv("DBUS_SESSION_BUS_ADDRESS", bus.readLine().trimmed());
        QVERIFY(QDBusConnection::sessionBus().isConnected());
    }

    void cleanupTestCase()
    {
        QDBusConnection::disconnectFromBus(QStringLiteral("client"));
        bus.terminate();
        bus.waitForFinished(10000);
    }

    void init() { store = std::make_unique<TestVault::Fixture>(); }

    void cleanup()
    {
        VERIFY_DIALOGS_ANSWERED();
        store.reset();
    }

    // Any attributes survive their lines in the notes, beside the user's own lines, and a changed set
    // replaces the old one.
    void attributeLinesRoundTrip()
    {
        QRandomGenerator random(qEnvironmentVariableIntValue("VAULTRY_SEED") + 25);
        for (int round = 0; round < 500; ++round) {
            AttributeMap attributes;
            for (int i = random.bounded(4); i > 0; --i)
                attributes.insert(trickyText(random), trickyText(random));
            const QString own = QStringLiteral("first line\n  indented = 5%");
            const QString notes =
                notesWithAttributes(notesWithAttributes(own, {{QStringLiteral("old"), "1"}}), attributes);
            QCOMPARE(attributesFromNotes(notes), attributes);
            QCOMPARE(notesWithoutAttributes(notes), own);
        }
        const QString byHand = QStringLiteral("secret-attribute: user=bob\r\nnote\nsecret-attribute: a%3Db=%25x=y");
        QCOMPARE(attributesFromNotes(byHand),
                 (AttributeMap{{QStringLiteral("user"), QStringLiteral("bob")}, {QStringLiteral("a=b"), "%x=y"}}));
    }

    // Both ends of a DH session come to the same key; what one seals the other opens, and nothing else.
    void sessionCipher()
    {
        const SessionCipher::KeyPair client = SessionCipher::generateKeyPair();
        QByteArray servicePublic;
        const auto service = SessionCipher::agree(client.publicKey, &servicePublic);
        QVERIFY(service && service->encrypts());
        const QByteArray key = SessionCipher::deriveKey(client.privateKey, servicePublic);
        QCOMPARE(key.size(), 16);
        for (const QByteArray& secret : {QByteArray(), QByteArray("x"), QByteArray(16, 'a'), QByteArray(100, '\xff')}) {
            QByteArray iv;
            QByteArray sealed;
            QVERIFY(service->seal(secret, &iv, &sealed));
            QCOMPARE(sealed.size() % 16, 0);
            bool ok = false;
            QCOMPARE(SessionCipher::decrypt(key, iv, sealed, &ok), secret);
            QVERIFY(ok);
            QByteArray opened;
            QVERIFY(service->open(iv, SessionCipher::encrypt(key, iv, secret), &opened));
            QCOMPARE(opened, secret);
            sealed[sealed.size() - 1] = char(sealed.at(sealed.size() - 1) ^ 0x5A);
            QVERIFY(!service->open(iv, sealed, &opened) || opened != secret);
        }
        // Keys that are no element of the group are refused.
        QByteArray unused;
        const QByteArray prime = QByteArray::fromHex(
            "FFFFFFFFFFFFFFFFC90FDAA22168C234C4C6628B80DC1CD129024E088A67CC74020BBEA63B139B22514A08798E3404DDEF9519B3C"
            "D3A431B302B0A6DF25F14374FE1356D6D51C245E485B576625E7EC6F44C42E9A637ED6B0BFF5CB6F406B7EDEE386BFB5A899FA5AE"
            "9F24117C4B1FE649286651ECE65381FFFFFFFFFFFFFFFF");
        QByteArray belowPrime = prime;
        belowPrime[belowPrime.size() - 1] = char(0xFE);
        for (const QByteArray& bad : {QByteArray(), QByteArray(1, '\1'), prime, belowPrime})
            QVERIFY(!SessionCipher::agree(bad, &unused));
    }

    // secret-tool stores, finds, replaces and clears through the running window; the entries are the
    // vault's, and a change made in the window shows through the service.
    void secretToolThroughTheWindow()
    {
        if (secretTool.isEmpty())
            QSKIP("secret-tool (libsecret-tools) is not installed");
        seed(false);
        auto window = openWindow(false);
        QTRY_VERIFY(QDBusConnection::sessionBus().interface()->isServiceRegistered(kName));

        const QStringList attributes = {QStringLiteral("service"), QStringLiteral("git"), QStringLiteral("user"),
                                        QStringLiteral("bob=1 %")};
        Finished done =
            tool(QStringList{QStringLiteral("store"), QStringLiteral("--label=Git token")} + attributes, "hunter2");
        QVERIFY2(done.exitCode == 0, done.err);
        QCOMPARE(served().size(), 2);
        const Entry stored = served().last();
        QCOMPARE(stored.title, QStringLiteral("Git token"));
        QCOMPARE(stored.password, QStringLiteral("hunter2"));
        QCOMPARE(attributesFromNotes(stored.notes),
                 (AttributeMap{{QStringLiteral("service"), QStringLiteral("git")},
                               {QStringLiteral("user"), QStringLiteral("bob=1 %")}}));

        done = tool(QStringList{QStringLiteral("lookup")} + attributes);
        QCOMPARE(done.out, QByteArray("hunter2"));
        // Storing again under the same attributes replaces the secret.
        QCOMPARE(tool(QStringList{QStringLiteral("store"), QStringLiteral("--label=Git token")} + attributes, "new one")
                     .exitCode,
                 0);
        QCOMPARE(served().size(), 2);
        // An edit in the window is what the next client sees.
        Entry edited = served().last();
        edited.password = QStringLiteral("typed in the window");
        store->state.vault.saveEntry(edited, kCategory);
        QCOMPARE(tool(QStringList{QStringLiteral("lookup")} + attributes).out, QByteArray("typed in the window"));

        done = tool(
            {QStringLiteral("search"), QStringLiteral("--all"), QStringLiteral("service"), QStringLiteral("mail")});
        QVERIFY2(done.out.contains("label = Mail server") && done.out.contains("s3cret"), done.out + done.err);
        QVERIFY(!done.out.contains("hunter2") && !done.out.contains("Git token"));

        QCOMPARE(tool(QStringList{QStringLiteral("clear")} + attributes).exitCode, 0);
        QCOMPARE(served().size(), 1);
        QVERIFY(tool(QStringList{QStringLiteral("lookup")} + attributes).out.isEmpty());
        // The entry outside the category is no item.
        QVERIFY(
            tool({QStringLiteral("search"), QStringLiteral("--all"), QStringLiteral("title"), QStringLiteral("Bank")})
                .out.isEmpty());
        window->close();
    }

    // An encrypted session from Python's secretstorage: the item it creates is an entry, and its secret
    // comes back through the session.
    void encryptedSessionFromPython()
    {
        const QString python = QStringLiteral("/usr/bin/python3");
        if (runClient(python, {QStringLiteral("-c"), QStringLiteral("import secretstorage")}).exitCode != 0)
            QSKIP("python3-secretstorage is not installed");
        seed(false);
        auto window = openWindow(false);
        QTRY_VERIFY(QDBusConnection::sessionBus().interface()->isServiceRegistered(kName));
        const QString script = QStringLiteral(R"(
import secretstorage
from secretstorage.util import open_session
connection = secretstorage.dbus_init()
session = open_session(connection)
assert session.encrypted, "no encrypted session"
collection = secretstorage.get_default_collection(connection, session)
collection.create_item("From Python", {"app": "py", "odd": "a=b%c"}, b"p\xc3\xa9 secret", replace=True)
item = next(collection.search_items({"app": "py"}))
print(item.get_secret().decode())
mail = next(collection.search_items({"service": "mail"}))
print(mail.get_label(), mail.get_secret().decode())
)");
        const Finished done = runClient(python, {QStringLiteral("-c"), script});
        QVERIFY2(done.exitCode == 0, done.err);
        QCOMPARE(QString::fromUtf8(done.out), QStringLiteral("pé secret\nMail server s3cret\n"));
        const Entry created = served().last();
        QCOMPARE(created.title, QStringLiteral("From Python"));
        QCOMPARE(created.password, QStringLiteral("pé secret"));
        QCOMPARE(attributesFromNotes(created.notes).value(QStringLiteral("odd")), QStringLiteral("a=b%c"));
        window->close();
    }

    void lockedWindowAnswersWithAPrompt_data()
    {
        QTest::addColumn<bool>("protectedStore");
        QTest::newRow("ordinary") << false;
        QTest::newRow("protected") << true;
    }

    // Locked, the window gives no secret: the search says the item is locked, reads are refused, and
    // Unlock answers with a prompt whose Prompt() brings up the unlock dialog. secret-tool unlocks so too.
    void lockedWindowAnswersWithAPrompt()
    {
        QFETCH(bool, protectedStore);
        store->store.setKdfCalibration([] { return kLowestKdfLimits; });
        seed(true, protectedStore);
        auto window = openWindow(true);
        QTRY_VERIFY(QDBusConnection::sessionBus().interface()->isServiceRegistered(kName));
        window->lockWindow();
        QVERIFY(window->isWindowLocked());

        QDBusConnection client = QDBusConnection::connectToBus(QString::fromUtf8(qgetenv("DBUS_SESSION_BUS_ADDRESS")),
                                                               QStringLiteral("client"));
        const auto call = [&client](const QString& path, const QString& interface, const QString& method,
                                    const QVariantList& arguments) {
            QDBusMessage message = QDBusMessage::createMethodCall(kName, path, interface, method);
            message.setArguments(arguments);
            return client.call(message, QDBus::BlockWithGui);
        };
        const QString service = QStringLiteral("org.freedesktop.Secret.Service");
        const QString root = QStringLiteral("/org/freedesktop/secrets");
        const QDBusMessage opened = call(root, service, QStringLiteral("OpenSession"),
                                         {QStringLiteral("plain"), QVariant::fromValue(QDBusVariant(QString()))});
        QVERIFY2(opened.type() == QDBusMessage::ReplyMessage, qPrintable(opened.errorMessage()));
        const QDBusObjectPath session = opened.arguments().at(1).value<QDBusObjectPath>();

        const AttributeMap mail{{QStringLiteral("service"), QStringLiteral("mail")}};
        QDBusMessage found = call(root, service, QStringLiteral("SearchItems"), {QVariant::fromValue(mail)});
        QVERIFY(qdbus_cast<QList<QDBusObjectPath>>(found.arguments().at(0)).isEmpty());
        const QList<QDBusObjectPath> locked = qdbus_cast<QList<QDBusObjectPath>>(found.arguments().at(1));
        QCOMPARE(locked.size(), 1);
        const QVariantList items{QVariant::fromValue(locked)};
        const QVariantList forSession{QVariant::fromValue(locked), QVariant::fromValue(session)};
        QVERIFY(
            qdbus_cast<SecretsByPath>(call(root, service, QStringLiteral("GetSecrets"), forSession).arguments().at(0))
                .isEmpty());
        const QDBusMessage refused = call(locked.first().path(), QStringLiteral("org.freedesktop.Secret.Item"),
                                          QStringLiteral("GetSecret"), {QVariant::fromValue(session)});
        QCOMPARE(refused.errorName(), QLatin1String(SecretErrors::kIsLocked));

        // A dismissed prompt leaves it locked; an answered one unlocks the window.
        PromptWatcher watcher;
        QVERIFY(client.connect(kName, QString(), QStringLiteral("org.freedesktop.Secret.Prompt"),
                               QStringLiteral("Completed"), &watcher, SLOT(completed(bool, QDBusVariant))));
        // A round trip: the bus has the match rule before any prompt completes.
        QVERIFY(client.interface()->isServiceRegistered(kName));
        for (const bool answer : {false, true}) {
            const QDBusMessage unlocking = call(root, service, QStringLiteral("Unlock"), items);
            QVERIFY(qdbus_cast<QList<QDBusObjectPath>>(unlocking.arguments().at(0)).isEmpty());
            const QString prompt = unlocking.arguments().at(1).value<QDBusObjectPath>().path();
            QVERIFY(prompt != QLatin1String("/"));
            DialogDriver::answerInput(kTitle, kAsk, answer ? kPassword : QString(), answer);
            const int before = watcher.completions;
            call(prompt, QStringLiteral("org.freedesktop.Secret.Prompt"), QStringLiteral("Prompt"), {QString()});
            QTRY_COMPARE(watcher.completions, before + 1);
            VERIFY_DIALOGS_ANSWERED();
            QCOMPARE(watcher.dismissed, !answer);
            QCOMPARE(window->isWindowLocked(), !answer);
        }
        const SecretsByPath secrets =
            qdbus_cast<SecretsByPath>(call(root, service, QStringLiteral("GetSecrets"), forSession).arguments().at(0));
        QCOMPARE(secrets.value(locked.first()).value, QByteArray("s3cret"));

        // Lock through the service, then secret-tool's lookup brings up the unlock dialog itself.
        call(root, service, QStringLiteral("Lock"), items);
        QVERIFY(window->isWindowLocked());
        if (!secretTool.isEmpty()) {
            DialogDriver::answerInput(kTitle, kAsk, kPassword);
            QCOMPARE(tool({QStringLiteral("lookup"), QStringLiteral("service"), QStringLiteral("mail")}).out,
                     QByteArray("s3cret"));
            QVERIFY(!window->isWindowLocked());
        }
        window->close();
    }

    // The interfaces through a client of its own: aliases, creating (with and without replacing),
    // properties, secrets, deleting, and the calls that must fail.
    void interfacesFromAClient()
    {
        seed(false);
        auto window = openWindow(false);
        QTRY_VERIFY(QDBusConnection::sessionBus().interface()->isServiceRegistered(kName));
        const QString address = QString::fromUtf8(qgetenv("DBUS_SESSION_BUS_ADDRESS"));
        QDBusConnection client = QDBusConnection::connectToBus(address, QStringLiteral("client"));
        QDBusConnection other = QDBusConnection::connectToBus(address, QStringLiteral("other"));
        const auto call = [](QDBusConnection& connection, const QString& path, const QString& interface,
                             const QString& method, const QVariantList& arguments) {
            QDBusMessage message = QDBusMessage::createMethodCall(kName, path, interface, method);
            message.setArguments(arguments);
            return connection.call(message, QDBus::BlockWithGui);
        };
        const QString root = QStringLiteral("/org/freedesktop/secrets");
        const QString collection = root + QStringLiteral("/collection/vaultry");
        const QString serviceInterface = QStringLiteral("org.freedesktop.Secret.Service");
        const QString itemInterface = QStringLiteral("org.freedesktop.Secret.Item");
        const QString properties = QStringLiteral("org.freedesktop.DBus.Properties");
        const auto service = [&](const QString& method, const QVariantList& arguments) {
            return call(client, root, serviceInterface, method, arguments);
        };
        const auto path = [](const QDBusMessage& reply, int at = 0) {
            return reply.arguments().value(at).value<QDBusObjectPath>().path();
        };
        const auto open = [&](QDBusConnection& connection) {
            return call(connection, root, serviceInterface, QStringLiteral("OpenSession"),
                        {QStringLiteral("plain"), QVariant::fromValue(QDBusVariant(QString()))})
                .arguments()
                .value(1)
                .value<QDBusObjectPath>();
        };
        const QDBusObjectPath session = open(client);
        const QDBusObjectPath othersSession = open(other);

        QCOMPARE(path(service(QStringLiteral("ReadAlias"), {QStringLiteral("default")})), collection);
        QCOMPARE(path(service(QStringLiteral("ReadAlias"), {QStringLiteral("work")})), QStringLiteral("/"));
        service(QStringLiteral("SetAlias"), {QStringLiteral("work"), QVariant::fromValue(QDBusObjectPath(collection))});
        QCOMPARE(path(service(QStringLiteral("ReadAlias"), {QStringLiteral("work")})), collection);
        QCOMPARE(service(QStringLiteral("SetAlias"), {QStringLiteral("x"), QVariant::fromValue(QDBusObjectPath("/no"))})
                     .errorName(),
                 QLatin1String(SecretErrors::kNoSuchObject));
        const QDBusMessage made = service(QStringLiteral("CreateCollection"), {QVariantMap(), QStringLiteral("login")});
        QCOMPARE(path(made), collection);
        QCOMPARE(path(made, 1), QStringLiteral("/"));
        QCOMPARE(path(service(QStringLiteral("ReadAlias"), {QStringLiteral("login")})), collection);
        QCOMPARE(
            service(QStringLiteral("OpenSession"), {QStringLiteral("rot13"), QVariant::fromValue(QDBusVariant(""))})
                .errorName(),
            QLatin1String(SecretErrors::kNotSupported));

        const AttributeMap attributes{{QStringLiteral("app"), QStringLiteral("client")}};
        const auto create = [&](const QByteArray& secret, bool replace) {
            const QVariantMap itemProperties{
                {QStringLiteral("org.freedesktop.Secret.Item.Label"), QStringLiteral("Client item")},
                {QStringLiteral("org.freedesktop.Secret.Item.Attributes"), QVariant::fromValue(attributes)}};
            const SecretValue value{session, {}, secret, QStringLiteral("text/plain")};
            return call(client, collection, QStringLiteral("org.freedesktop.Secret.Collection"),
                        QStringLiteral("CreateItem"), {itemProperties, QVariant::fromValue(value), replace});
        };
        const QString item = path(create("one", false));
        QCOMPARE(path(create("two", true)), item);
        QCOMPARE(served().size(), 2);
        QCOMPARE(served().last().password, QStringLiteral("two"));
        QVERIFY(path(create("three", false)) != item);
        QCOMPARE(served().size(), 3);
        QCOMPARE(create("\xff\xfe", false).errorName(), QLatin1String(SecretErrors::kNotSupported));
        QCOMPARE(served().size(), 3);

        // Properties and secrets of one item; the user's notes stay beside new attributes.
        const QString id = served().at(1).id;
        Entry noted = *store->state.vault.entries().findById(id);
        noted.notes = notesWithAttributes(QStringLiteral("my note"), attributesFromNotes(noted.notes));
        store->state.vault.saveEntry(noted, kCategory);
        const auto set = [&](const QString& name, const QVariant& value) {
            return call(client, item, properties, QStringLiteral("Set"),
                        {itemInterface, name, QVariant::fromValue(QDBusVariant(value))});
        };
        set(QStringLiteral("Label"), QStringLiteral("Renamed"));
        const AttributeMap changed{{QStringLiteral("app"), QStringLiteral("other")}};
        set(QStringLiteral("Attributes"), QVariant::fromValue(changed));
        call(client, item, itemInterface, QStringLiteral("SetSecret"),
             {QVariant::fromValue(SecretValue{session, {}, "four", QStringLiteral("text/plain")})});
        const Entry* now = store->state.vault.entries().findById(id);
        QCOMPARE(now->title, QStringLiteral("Renamed"));
        QCOMPARE(now->password, QStringLiteral("four"));
        QCOMPARE(attributesFromNotes(now->notes), changed);
        QCOMPARE(notesWithoutAttributes(now->notes), QStringLiteral("my note"));
        const QDBusMessage label = call(client, item, properties, QStringLiteral("Get"), {itemInterface, "Label"});
        QCOMPARE(label.arguments().value(0).value<QDBusVariant>().variant().toString(), QStringLiteral("Renamed"));
        const QDBusMessage secret =
            call(client, item, itemInterface, QStringLiteral("GetSecret"), {QVariant::fromValue(session)});
        QCOMPARE(qdbus_cast<SecretValue>(secret.arguments().value(0)).value, QByteArray("four"));
        // Another client's session is not this one's.
        QCOMPARE(call(client, item, itemInterface, QStringLiteral("GetSecret"), {QVariant::fromValue(othersSession)})
                     .errorName(),
                 QLatin1String(SecretErrors::kNoSession));

        QCOMPARE(
            call(client, collection, QStringLiteral("org.freedesktop.Secret.Collection"), QStringLiteral("Delete"), {})
                .errorName(),
            QLatin1String(SecretErrors::kAccessDenied));
        call(client, item, itemInterface, QStringLiteral("Delete"), {});
        QVERIFY(!store->state.vault.entries().containsId(id));
        QCOMPARE(served().size(), 2);
        QDBusConnection::disconnectFromBus(QStringLiteral("other"));
        window->close();
    }

    // The settings switch the service on, with the category chosen, and off again; both are kept.
    void settingsSwitchTheServiceOnAndOff()
    {
        seed(false);
        QVERIFY(saveLocalSettings(store->dir.path(), LocalSettings()));
        auto window = openWindow(false);
        QDBusConnectionInterface* names = QDBusConnection::sessionBus().interface();
        QVERIFY(!names->isServiceRegistered(kName));
        const auto choose = [&window](bool on, const QString& category, const QString& status) {
            DialogDriver::answerWith(QStringLiteral("Vaultry Settings"), [=](QWidget* dialog) {
                auto* label = dialog->findChild<QLabel*>(QStringLiteral("lblSecretServiceStatus"));
                QVERIFY(label && label->text().contains(status));
                auto* combo = dialog->findChild<QComboBox*>(QStringLiteral("cmbSecretCategory"));
                QVERIFY(combo && combo->findText(QStringLiteral("General")) >= 0);
                dialog->findChild<QCheckBox*>(QStringLiteral("chkSecretService"))->setChecked(on);
                combo->setCurrentText(category);
                dialog->findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Ok)->click();
            });
            window->findChild<QAction*>(QStringLiteral("action_Settings"))->trigger();
            VERIFY_DIALOGS_ANSWERED();
        };
        choose(true, QStringLiteral("General"), QString());
        QTRY_VERIFY(names->isServiceRegistered(kName));
        LocalSettings kept = loadLocalSettings(store->dir.path());
        QVERIFY(kept.secretServiceEnabled);
        QCOMPARE(kept.secretServiceCategory, QStringLiteral("General"));
        choose(false, QStringLiteral("General"), QStringLiteral("Vaultry serves"));
        QTRY_VERIFY(!names->isServiceRegistered(kName));
        QVERIFY(!loadLocalSettings(store->dir.path()).secretServiceEnabled);
        window->close();
    }

    // A keyring holding the name is told of in the status bar; once it goes, the window takes over.
    void anotherKeyringHoldsTheName()
    {
        QDBusConnection keyring = QDBusConnection::connectToBus(QString::fromUtf8(qgetenv("DBUS_SESSION_BUS_ADDRESS")),
                                                                QStringLiteral("keyring"));
        QVERIFY(keyring.registerService(kName));
        seed(false);
        auto window = openWindow(false);
        QVERIFY2(window->statusBar()->currentMessage().contains(QLatin1String("gnome-keyring")),
                 qPrintable(window->statusBar()->currentMessage()));
        QVERIFY(keyring.unregisterService(kName));
        QTRY_VERIFY(window->statusBar()->currentMessage().contains(QLatin1String("Vaultry serves")));
        QDBusConnection::disconnectFromBus(QStringLiteral("keyring"));
        window->close();
    }
};

QTEST_MAIN(TestSecretService)
#include "tst_secretservice.moc"
