#include "app/browserlink.h"
#include "app/mainwindow.h"
#include "browser/browseraccess.h"
#include "browser/browsercrypto.h"
#include "browser/browsermanifests.h"
#include "browser/nativeframes.h"
#include "browser/sitematch.h"
#include "prefs/masterpassword.h"
#include "store/localsettings.h"
#include "store/settingsstore.h"
#include "support/dialogdriver.h"
#include "support/testvault.h"

#include <QAction>
#include <QCheckBox>
#include <QDialogButtonBox>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QPushButton>
#include <QTest>
#include <QTimer>

namespace {

const QString kPassword = QStringLiteral("open sesame");
const QString kLoginTitle = QStringLiteral("Master Application Password");
const QString kAsk = QStringLiteral("Please enter the master password:");
// The connection the browser made in an earlier session.
const QString kKnownId = QStringLiteral("Home");
const QString kKnownKey = QString::fromLatin1(QByteArray(32, 'k').toBase64());

QString base64(const QByteArray& bytes)
{
    return QString::fromLatin1(bytes.toBase64());
}

QJsonObject parse(const QByteArray& json)
{
    return QJsonDocument::fromJson(json).object();
}

// The extension's side, written from the protocol: its own keys, boxes and nonces, talking to the
// host executable's standard input and output.
class Client
{
public:
    explicit Client(QProcess& host)
        : id(base64(BrowserCrypto::randomBytes(24))), host(host), keys(BrowserCrypto::makeKeyPair())
    {
        // What is left from an earlier session is not this one's.
        QTest::qWait(20);
        reader().append(host.readAllStandardOutput());
        QByteArray frame;
        while (reader().next(frame) == NativeFrameReader::Result::Frame) {
        }
    }

    QByteArray publicKey() const { return keys.publicKey; }

    void sendRaw(const QByteArray& json) { host.write(nativeFrame(json)); }

    // The next frame from the host, notices of locking included unless `answersOnly`; empty after 20 s.
    QJsonObject next(bool answersOnly = false)
    {
        QByteArray frame;
        for (QDeadlineTimer deadline(20000); !deadline.hasExpired();) {
            reader().append(host.readAllStandardOutput());
            if (reader().next(frame) == NativeFrameReader::Result::Frame) {
                const QJsonObject message = parse(frame);
                const QString action = message.value("action").toString();
                if (!answersOnly || (action != "database-locked" && action != "database-unlocked"))
                    return message;
                continue;
            }
            QTest::qWait(5);
        }
        return QJsonObject();
    }

    bool exchangeKeys()
    {
        const QByteArray nonce = BrowserCrypto::randomBytes(24);
        sendRaw(QJsonDocument(QJsonObject{{"action", "change-public-keys"},
                                          {"publicKey", base64(keys.publicKey)},
                                          {"nonce", base64(nonce)},
                                          {"clientID", id}})
                    .toJson());
        const QJsonObject answer = next(true);
        serverKey = QByteArray::fromBase64(answer.value("publicKey").toString().toLatin1());
        return answer.value("success") == "true" &&
               answer.value("nonce") == base64(BrowserCrypto::incremented(nonce)) && serverKey.size() == 32;
    }

    // The envelope of `message` sealed for the server under a new nonce.
    QJsonObject envelope(const QString& action, QJsonObject message, QByteArray& nonce) const
    {
        nonce = BrowserCrypto::randomBytes(24);
        if (!message.contains("action"))
            message.insert("action", action);
        const QByteArray box = BrowserCrypto::seal(QJsonDocument(message).toJson(), nonce, serverKey, keys.secretKey);
        return {{"action", action}, {"message", base64(box)}, {"nonce", base64(nonce)}, {"clientID", id}};
    }

    // The answer's sealed fields, when it is sealed as the protocol says; else the answer as it came.
    QJsonObject opened(const QJsonObject& answer, const QByteArray& nonce, bool* sealed = nullptr) const
    {
        if (sealed)
            *sealed = false;
        const QByteArray next = BrowserCrypto::incremented(nonce);
        if (!answer.contains("message"))
            return answer;
        QByteArray plain;
        if (answer.value("nonce") != base64(next) ||
            !BrowserCrypto::open(QByteArray::fromBase64(answer.value("message").toString().toLatin1()), next, serverKey,
                                 keys.secretKey, plain))
            return QJsonObject{{"errorCode", "opening failed"}};
        const QJsonObject fields = parse(plain);
        if (sealed)
            *sealed = fields.value("nonce") == base64(next) && fields.value("success") == "true";
        return fields;
    }

    QJsonObject request(const QString& action, const QJsonObject& message, bool* sealed = nullptr)
    {
        QByteArray nonce;
        sendRaw(QJsonDocument(envelope(action, message, nonce)).toJson());
        return opened(next(true), nonce, sealed);
    }

    bool prove() { return request("test-associate", {{"id", kKnownId}, {"key", kKnownKey}}).value("id") == kKnownId; }

    QString id;

private:
    NativeFrameReader& reader()
    {
        static NativeFrameReader shared; // one stream from the host for the whole test
        return shared;
    }

    QProcess& host;
    BrowserCrypto::KeyPair keys;
    QByteArray serverKey;
};

int errorCode(const QJsonObject& answer)
{
    return answer.contains("errorCode") ? answer.value("errorCode").toString().toInt() : -1;
}

QStringList accounts(const QJsonObject& fields)
{
    QStringList found;
    for (const QJsonValue& entry : fields.value("entries").toArray())
        found << entry.toObject().value("login").toString() + QLatin1Char('/') +
                     entry.toObject().value("password").toString();
    return found;
}

} // namespace

// The browser link end to end: a client written here, the real host executable, the real window
// with its server, and the answers a user gives in the window.
class TestBrowser : public QObject
{
    Q_OBJECT

    QTemporaryDir home;
    QTemporaryDir runtime;
    QProcess host;
    std::unique_ptr<TestVault::Fixture> store;
    std::unique_ptr<MainWindow> window;

    // A vault with three logins, a master password, browsers allowed and one earlier connection.
    void openWindow()
    {
        window.reset();
        store = std::make_unique<TestVault::Fixture>();
        LocalSettings local;
        local.browserFillsLogins = true;
        QVERIFY(saveLocalSettings(store->dir.path(), local));
        store->state.preferences.masterPasswordHash = hashMasterPassword(kPassword);
        store->state.preferences.maxLoginAttempts = 3;
        Entry mail = TestVault::makeEntry("Mail", "General", "me", "https://mail.example.com", "", "s3cret");
        mail.id = "mail-id";
        Entry shop = TestVault::makeEntry("Shop", "Work", "buyer", "https://shop.test", "", "pw2");
        shop.id = "shop-id";
        Entry oldShop = TestVault::makeEntry("Old shop", "Work", "old", "http://shop.test", "", "pw3");
        oldShop.id = "old-id";
        QVERIFY(store->seed({"General", "Work"}, {mail, shop, oldShop}));
        QFile::remove(BrowserAccess::defaultPath());
        BrowserAccess access(BrowserAccess::defaultPath(), BrowserLink::databaseHash(store->store.filePath()));
        access.associate(kKnownId, kKnownKey);
        QVERIFY(access.save());
        DialogDriver::answerInput(kLoginTitle, kAsk, kPassword);
        window = std::make_unique<MainWindow>(store->state, store->store);
        VERIFY_DIALOGS_ANSWERED();
    }

    // Queues the user's answers: "connect:<name>", "connect-cancel", "<title>=yes" or "<title>=no" for a
    // question, else a button of "Allow <site> to use <title> login?".
    static void expectAnswers(const QStringList& answers)
    {
        for (const QString& answer : answers) {
            if (answer.startsWith("connect")) {
                DialogDriver::answerInput("Connect a Browser",
                                          "A browser asks to fill logins from this vault (KeePassXC-Browser).\n"
                                          "Allow it by giving the connection a name:",
                                          answer.section(':', 1), answer != "connect-cancel");
            } else if (answer.contains('=')) {
                DialogDriver::answerMessage(answer.section('=', 0, 0), "browser",
                                            answer.endsWith("=yes") ? QMessageBox::Yes : QMessageBox::No);
            } else {
                // The buttons' captions, with their access keys.
                const QString caption = answer == "Allow Once" ? "Allow &Once" : QLatin1Char('&') + answer;
                DialogDriver::answerMessageWithButton("Browser Access", " login?", caption);
            }
        }
    }

    const Entry* entryTitled(const QString& title) const
    {
        for (const Entry& entry : store->state.vault.entries()) {
            if (entry.title == title)
                return &entry;
        }
        return nullptr;
    }

private slots:
    void initTestCase()
    {
        DialogDriver::install();
        // Nothing of the user's own: the manifests, the answers and the socket go into folders of this test.
        qputenv("HOME", QFile::encodeName(home.path()));
        qputenv("XDG_RUNTIME_DIR", QFile::encodeName(runtime.path()));
        TestVault::prepare();
        host.setProgram(QStringLiteral(VAULTRY_BROWSER_HOST));
        host.start();
        QVERIFY(host.waitForStarted());
    }

    void cleanupTestCase()
    {
        window.reset();
        host.closeWriteChannel();
        QVERIFY(host.waitForFinished(5000));
    }

    void cleanup() { VERIFY_DIALOGS_ANSWERED(); }

    void actions_data()
    {
        QTest::addColumn<QString>("action");
        QTest::addColumn<QByteArray>("message"); // "$KEY": this session's public key
        QTest::addColumn<bool>("proven");        // test-associate first
        QTest::addColumn<bool>("locked");
        QTest::addColumn<QStringList>("answers");
        QTest::addColumn<int>("error"); // -1: a sealed answer
        QTest::addColumn<QString>("expect");

        const QByteArray keys = "\"keys\":[{\"id\":\"Home\",\"key\":\"" + kKnownKey.toLatin1() + "\"}]";
        const QByteArray mail = "{\"url\":\"https://mail.example.com/login\"," + keys + "}";
        const QStringList none;
        QTest::newRow("hash") << "get-databasehash" << QByteArray("{}") << false << false << none << -1 << "hash";
        QTest::newRow("hash, locked") << "get-databasehash" << QByteArray("{}") << false << true << none << 1 << "";
        QTest::newRow("known connection")
            << "test-associate" << QByteArray("{\"id\":\"Home\",\"key\":\"" + kKnownKey.toLatin1() + "\"}") << false
            << false << none << -1 << "id=Home";
        QTest::newRow("known name, wrong key") << "test-associate" << QByteArray("{\"id\":\"Home\",\"key\":\"AAAA\"}")
                                               << false << false << none << 8 << "";
        QTest::newRow("unknown connection")
            << "test-associate" << QByteArray("{\"id\":\"Work\",\"key\":\"" + kKnownKey.toLatin1() + "\"}") << false
            << false << none << 8 << "";
        QTest::newRow("associate allowed") << "associate" << QByteArray("{\"key\":\"$KEY\",\"idKey\":\"aWRrZXk=\"}")
                                           << false << false << QStringList{"connect:Laptop"} << -1 << "id=Laptop";
        QTest::newRow("associate refused") << "associate" << QByteArray("{\"key\":\"$KEY\",\"idKey\":\"aWRrZXk=\"}")
                                           << false << false << QStringList{"connect-cancel"} << 6 << "";
        QTest::newRow("associate, another's key")
            << "associate" << QByteArray("{\"key\":\"b3RoZXI=\",\"idKey\":\"aWRrZXk=\"}") << false << false << none << 8
            << "";
        QTest::newRow("associate, locked") << "associate" << QByteArray("{\"key\":\"$KEY\",\"idKey\":\"aWRrZXk=\"}")
                                           << false << true << none << 1 << "";
        QTest::newRow("logins, allowed once")
            << "get-logins" << mail << false << false << QStringList{"Allow Once"} << -1 << "logins=me/s3cret";
        QTest::newRow("logins, denied") << "get-logins" << mail << false << false << QStringList{"Deny"} << 15 << "";
        QTest::newRow("logins, best first")
            << "get-logins" << QByteArray("{\"url\":\"https://shop.test/cart\"," + keys + "}") << false << false
            << QStringList{"Always", "Always"} << -1 << "logins=buyer/pw2,old/pw3";
        QTest::newRow("logins, http page") << "get-logins" << QByteArray("{\"url\":\"http://shop.test/\"," + keys + "}")
                                           << false << false << QStringList{"Always"} << -1 << "logins=old/pw3";
        QTest::newRow("logins, other port")
            << "get-logins" << QByteArray("{\"url\":\"https://shop.test:8443/\"," + keys + "}") << false << false
            << none << 15 << "";
        QTest::newRow("logins, no site") << "get-logins" << QByteArray("{\"url\":\"\"," + keys + "}") << false << false
                                         << none << 14 << "";
        QTest::newRow("logins, unassociated key")
            << "get-logins"
            << QByteArray("{\"url\":\"https://mail.example.com\",\"keys\":[{\"id\":\"Home\",\"key\":\"eA==\"}]}")
            << false << false << none << 8 << "";
        QTest::newRow("logins, locked") << "get-logins" << mail << false << true << none << 1 << "";
        QTest::newRow("count") << "get-logins-count" << QByteArray("{\"url\":\"https://shop.test\"," + keys + "}")
                               << false << false << none << -1 << "count=2";
        QTest::newRow("new login") << "set-login"
                                   << QByteArray(
                                          "{\"id\":\"Home\",\"url\":\"https://new.test/signup\",\"login\":\"neu\","
                                          "\"password\":\"fresh\"}")
                                   << true << false << QStringList{"Save Login=yes"} << -1
                                   << "saved=new.test/neu/fresh";
        QTest::newRow("changed login") << "set-login"
                                       << QByteArray(
                                              "{\"id\":\"Home\",\"url\":\"https://mail.example.com\",\"login\":\"me\","
                                              "\"password\":\"changed\",\"uuid\":\"mail-id\"}")
                                       << true << false << QStringList{"Save Login=yes"} << -1
                                       << "saved=Mail/me/changed";
        QTest::newRow("login refused") << "set-login"
                                       << QByteArray("{\"id\":\"Home\",\"url\":\"https://new.test\",\"login\":\"neu\","
                                                     "\"password\":\"fresh\"}")
                                       << true << false << QStringList{"Save Login=no"} << 6 << "";
        QTest::newRow("login, unproven")
            << "set-login"
            << QByteArray("{\"id\":\"Home\",\"url\":\"https://new.test\",\"login\":\"a\",\"password\":\"b\"}") << false
            << false << none << 8 << "";
        QTest::newRow("login, no such entry")
            << "set-login"
            << QByteArray("{\"id\":\"Home\",\"url\":\"https://"
                          "new.test\",\"login\":\"a\",\"password\":\"b\",\"uuid\":\"gone\"}")
            << true << false << none << 18 << "";
        QTest::newRow("password") << "generate-password" << QByteArray("{}") << true << false << none << -1
                                  << "password";
        QTest::newRow("password, unproven")
            << "generate-password" << QByteArray("{}") << false << false << none << 8 << "";
        QTest::newRow("groups") << "get-database-groups" << QByteArray("{}") << true << false << none << -1
                                << "groups=General,Work";
        QTest::newRow("new group") << "create-new-group" << QByteArray("{\"groupName\":\"Travel\"}") << true << false
                                   << QStringList{"Add Category=yes"} << -1 << "group=Travel";
        QTest::newRow("new group refused") << "create-new-group" << QByteArray("{\"groupName\":\"Travel\"}") << true
                                           << false << QStringList{"Add Category=no"} << 6 << "";
        QTest::newRow("existing group") << "create-new-group" << QByteArray("{\"groupName\":\"Work\"}") << true << false
                                        << none << -1 << "group=Work";
        QTest::newRow("one-time code") << "get-totp" << QByteArray("{\"uuid\":\"mail-id\"}") << true << false << none
                                       << -1 << "totp";
        QTest::newRow("one-time code, no entry")
            << "get-totp" << QByteArray("{\"uuid\":\"gone\"}") << true << false << none << 18 << "";
        QTest::newRow("lock") << "lock-database" << QByteArray("{}") << false << false << none << 1 << "locked";
        QTest::newRow("unknown action") << "frobnicate" << QByteArray("{}") << true << false << none << 12 << "";
    }
    void actions()
    {
        QFETCH(QString, action);
        QFETCH(QByteArray, message);
        QFETCH(bool, proven);
        QFETCH(bool, locked);
        QFETCH(QStringList, answers);
        QFETCH(int, error);
        QFETCH(QString, expect);

        openWindow();
        Client client(host);
        QVERIFY(client.exchangeKeys());
        if (proven)
            QVERIFY(client.prove());
        if (locked) {
            window->lockWindow();
            QVERIFY(window->isWindowLocked());
            QCOMPARE(client.next().value("action").toString(), QStringLiteral("database-locked"));
        }
        const qsizetype entriesBefore = store->state.vault.entries().size();
        expectAnswers(answers);
        message.replace("$KEY", base64(client.publicKey()).toLatin1());
        bool sealed = false;
        const QJsonObject answer = client.request(action, parse(message), &sealed);
        VERIFY_DIALOGS_ANSWERED();

        QCOMPARE(errorCode(answer), error);
        QCOMPARE(sealed, error < 0);
        if (error >= 0) {
            QVERIFY(!answer.value("error").toString().isEmpty());
            QCOMPARE(store->state.vault.entries().size(), entriesBefore);
        }
        const QString key = expect.section('=', 0, 0);
        const QString value = expect.section('=', 1);
        if (key == "hash") {
            QCOMPARE(answer.value("hash").toString(), BrowserLink::databaseHash(store->store.filePath()));
        } else if (key == "id") {
            QCOMPARE(answer.value("id").toString(), value);
            // The connection is known from now on, by the identification key the browser sent.
            const QString key = value == kKnownId ? kKnownKey : QStringLiteral("aWRrZXk=");
            QCOMPARE(client.request("test-associate", {{"id", value}, {"key", key}}).value("id").toString(), value);
        } else if (key == "logins") {
            QCOMPARE(accounts(answer), value.split(','));
        } else if (key == "count") {
            QCOMPARE(answer.value("count").toInt(), value.toInt());
        } else if (key == "saved") {
            const Entry* saved = entryTitled(value.section('/', 0, 0));
            QVERIFY(saved);
            QCOMPARE(saved->account + '/' + saved->password, value.section('/', 1));
            // One step of the window's history takes it back.
            window->findChild<QAction*>("actionUndo")->trigger();
            const Entry* after = entryTitled(value.section('/', 0, 0));
            QVERIFY(!after || after->password != value.section('/', 2));
            QCOMPARE(store->state.vault.entries().size(), entriesBefore);
        } else if (key == "password") {
            const qsizetype length = answer.value("password").toString().size();
            QVERIFY(length >= store->state.preferences.genMinLength && length <= store->state.preferences.genMaxLength);
        } else if (key == "groups") {
            QStringList names;
            for (const QJsonValue& group :
                 answer.value("groups").toArray().first().toObject().value("children").toArray())
                names << group.toObject().value("name").toString();
            QCOMPARE(names, value.split(','));
        } else if (key == "group") {
            QCOMPARE(answer.value("name").toString(), value);
            QVERIFY(store->state.vault.categoryNames().contains(value));
        } else if (key == "totp") {
            QVERIFY(answer.contains("totp"));
        } else if (key == "locked") {
            QVERIFY(window->isWindowLocked());
        }
        window->close();
    }

    // Requests that must not be answered: nothing reaches the vault, and the session goes on.
    void refusedRequests_data()
    {
        QTest::addColumn<QString>("fault");
        QTest::addColumn<int>("error");
        QTest::newRow("no key exchange") << "unknown client" << 3;
        QTest::newRow("sealed for another key") << "wrong key" << 4;
        QTest::newRow("changed on the way") << "altered" << 4;
        QTest::newRow("played again") << "replayed" << 4;
        QTest::newRow("answer sent back") << "reflected" << 4;
        QTest::newRow("action swapped") << "swapped" << 12;
        QTest::newRow("short nonce") << "short nonce" << 4;
        QTest::newRow("not JSON") << "garbage" << 12;
        QTest::newRow("over the size limit") << "too large" << 0;
    }
    void refusedRequests()
    {
        QFETCH(QString, fault);
        QFETCH(int, error);
        openWindow();
        Client client(host);
        QVERIFY(client.exchangeKeys());
        const QJsonObject logins{{"url", "https://mail.example.com"},
                                 {"keys", QJsonArray{QJsonObject{{"id", kKnownId}, {"key", kKnownKey}}}}};
        QByteArray nonce;
        QJsonObject sent = client.envelope("get-logins", logins, nonce);
        if (fault == "unknown client") {
            sent["clientID"] = "someone else";
        } else if (fault == "wrong key") {
            const BrowserCrypto::KeyPair stranger = BrowserCrypto::makeKeyPair();
            sent["message"] = base64(
                BrowserCrypto::seal(QJsonDocument(logins).toJson(), nonce, stranger.publicKey, stranger.secretKey));
        } else if (fault == "altered") {
            QByteArray box = QByteArray::fromBase64(sent["message"].toString().toLatin1());
            box[box.size() / 2] = char(box[box.size() / 2] ^ 1);
            sent["message"] = base64(box);
        } else if (fault == "replayed") {
            expectAnswers({"Allow Once"});
            client.sendRaw(QJsonDocument(sent).toJson());
            QCOMPARE(accounts(client.opened(client.next(), nonce)), QStringList{"me/s3cret"});
        } else if (fault == "reflected") {
            QByteArray first;
            client.sendRaw(QJsonDocument(client.envelope("get-databasehash", {}, first)).toJson());
            sent = client.next();
            sent["clientID"] = client.id;
        } else if (fault == "swapped") {
            sent["action"] = "get-databasehash";
        } else if (fault == "short nonce") {
            sent["nonce"] = base64(nonce.left(12));
        }
        if (fault == "garbage")
            client.sendRaw("{not json");
        else if (fault == "too large")
            client.sendRaw(QByteArray(kMaxBrowserMessage + 1, ' '));
        else
            client.sendRaw(QJsonDocument(sent).toJson());
        const QJsonObject answer = client.next();
        QCOMPARE(errorCode(answer), error);
        QVERIFY(!answer.contains("message"));
        VERIFY_DIALOGS_ANSWERED();
        // The session still answers what is sent right.
        if (fault != "unknown client")
            QVERIFY(client.request("get-databasehash", {}).contains("hash"));
        window->close();
    }

    // "Always" and "Deny" are remembered per entry and site, owner-only, outside the vault.
    void answersAreRemembered()
    {
        openWindow();
        Client client(host);
        QVERIFY(client.exchangeKeys());
        const QJsonArray keys{QJsonObject{{"id", kKnownId}, {"key", kKnownKey}}};
        expectAnswers({"Always", "Deny"});
        QCOMPARE(accounts(client.request("get-logins", {{"url", "https://shop.test"}, {"keys", keys}})),
                 QStringList{"buyer/pw2"});
        VERIFY_DIALOGS_ANSWERED();
        // Asked no more, in this session or the next.
        QCOMPARE(accounts(client.request("get-logins", {{"url", "https://shop.test/x"}, {"keys", keys}})),
                 QStringList{"buyer/pw2"});
        QVERIFY(client.exchangeKeys());
        QCOMPARE(accounts(client.request("get-logins", {{"url", "https://shop.test/y"}, {"keys", keys}})),
                 QStringList{"buyer/pw2"});
        const BrowserAccess stored(BrowserAccess::defaultPath(), BrowserLink::databaseHash(store->store.filePath()));
        QCOMPARE(stored.siteAnswer("shop-id", "shop.test"), BrowserAccess::SiteAnswer::Allowed);
        QCOMPARE(stored.siteAnswer("old-id", "shop.test"), BrowserAccess::SiteAnswer::Denied);
        QCOMPARE(stored.siteAnswer("old-id", "www.shop.test"), BrowserAccess::SiteAnswer::Unknown);
        QCOMPARE(QFile::permissions(BrowserAccess::defaultPath()) & 0077, QFileDevice::Permissions());
        QVERIFY(!TestVault::readFile(store->store.filePath()).contains("shop.test/x"));
        window->close();
    }

    // The browser goes away while the window asks about its request: nothing is answered to anyone,
    // and the next browser is served.
    void browserLeavesDuringQuestion()
    {
        openWindow();
        {
            Client client(host);
            QVERIFY(client.exchangeKeys());
            QByteArray nonce;
            client.sendRaw(
                QJsonDocument(client.envelope("get-logins",
                                              {{"url", "https://mail.example.com"},
                                               {"keys", QJsonArray{QJsonObject{{"id", kKnownId}, {"key", kKnownKey}}}}},
                                              nonce))
                    .toJson());
            // The question stays open while the window's own loop hears that the browser left.
            DialogDriver::answerWith("Browser Access", [this](QWidget* dialog) {
                host.kill();
                host.waitForFinished();
                QTimer::singleShot(500, dialog,
                                   [dialog] { qobject_cast<QMessageBox*>(dialog)->buttons().first()->click(); });
            });
            QTRY_COMPARE_WITH_TIMEOUT(host.state(), QProcess::NotRunning, 20000);
            VERIFY_DIALOGS_ANSWERED();
        }
        QTest::qWait(100);
        host.start();
        QVERIFY(host.waitForStarted());
        Client next(host);
        QVERIFY(next.exchangeKeys());
        QVERIFY(next.prove());
        window->close();
    }

    void lockAndUnlockAreAnnounced()
    {
        openWindow();
        Client client(host);
        QVERIFY(client.exchangeKeys());
        QVERIFY(client.prove());
        window->lockWindow();
        QCOMPARE(client.next(), (QJsonObject{{"action", "database-locked"}}));
        DialogDriver::answerInput(kLoginTitle, kAsk, kPassword);
        window->findChild<QPushButton*>("btnUnlock")->click();
        QCOMPARE(client.next(), (QJsonObject{{"action", "database-unlocked"}}));
        window->close();
    }

    void closedVaultAnswersNotOpened()
    {
        openWindow();
        window->close();
        window.reset(); // the server goes with the window
        Client client(host);
        client.sendRaw(
            "{\"action\":\"change-public-keys\",\"publicKey\":\"eA==\",\"nonce\":\"eA==\",\"clientID\":\"x\"}");
        const QJsonObject answer = client.next();
        QCOMPARE(errorCode(answer), 1);
        QCOMPARE(answer.value("action").toString(), QStringLiteral("change-public-keys"));
    }

    // The setting writes the manifests that point the browsers at the host, and takes them away.
    void settingWritesManifests()
    {
        openWindow();
        for (const bool on : {false, true, false}) {
            DialogDriver::answerWith("Vaultry Settings", [on](QWidget* dialog) {
                dialog->findChild<QCheckBox*>("chkBrowserFillsLogins")->setChecked(on);
                dialog->findChild<QDialogButtonBox*>("buttonBox")->button(QDialogButtonBox::Ok)->click();
            });
            window->findChild<QAction*>("action_Settings")->trigger();
            VERIFY_DIALOGS_ANSWERED();
            QCOMPARE(loadLocalSettings(store->dir.path()).browserFillsLogins, on);
            for (const QString& path : BrowserManifests::userPaths()) {
                QCOMPARE(QFile::exists(path), on);
                if (!on)
                    continue;
                const QJsonObject manifest = parse(TestVault::readFile(path));
                QCOMPARE(manifest.value("name").toString(), QStringLiteral("org.keepassxc.keepassxc_browser"));
                QCOMPARE(manifest.value("path").toString(), BrowserManifests::hostExecutable());
                const bool firefox = path.contains("/.mozilla/");
                QCOMPARE(
                    manifest.value(firefox ? "allowed_extensions" : "allowed_origins").toArray().first().toString(),
                    QString(firefox ? "keepassxc-browser@keepassxc.org"
                                    : "chrome-extension://oboonakemofpalcgghocfoadofidjkkk/"));
            }
        }
        // Turned off, another program's manifest stays.
        const QString theirs = BrowserManifests::userPaths().constFirst();
        QVERIFY(QDir().mkpath(QFileInfo(theirs).path()));
        QFile file(theirs);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(BrowserManifests::manifest("/usr/bin/keepassxc-proxy", false));
        file.close();
        BrowserManifests::remove(BrowserManifests::hostExecutable());
        QVERIFY(QFile::exists(theirs));
        window->close();
    }

    void siteMatching_data()
    {
        QTest::addColumn<QString>("website");
        QTest::addColumn<QString>("page");
        QTest::addColumn<int>("rank"); // 0: does not fit; otherwise higher fits better than lower
        QTest::newRow("same address") << "https://example.com/login"
                                      << "https://example.com/login" << 6;
        QTest::newRow("entry's path") << "https://example.com/app"
                                      << "https://example.com/app/login" << 5;
        QTest::newRow("same host") << "https://example.com"
                                   << "https://example.com/login" << 4;
        QTest::newRow("no scheme") << "example.com"
                                   << "http://example.com/" << 4;
        QTest::newRow("http entry, https page") << "http://example.com"
                                                << "https://example.com" << 3;
        QTest::newRow("other path") << "https://example.com/app"
                                    << "https://example.com/else" << 2;
        QTest::newRow("subdomain") << "https://example.com"
                                   << "https://mail.example.com" << 1;
        QTest::newRow("deeper subdomain") << "https://example.com"
                                          << "https://a.b.example.com" << 1;
        QTest::newRow("https entry, http page") << "https://example.com"
                                                << "http://example.com" << 0;
        QTest::newRow("parent of the entry's host") << "https://mail.example.com"
                                                    << "https://example.com" << 0;
        QTest::newRow("look-alike") << "https://example.com"
                                    << "https://badexample.com" << 0;
        QTest::newRow("suffix trick") << "https://example.com"
                                      << "https://example.com.evil.test" << 0;
        QTest::newRow("port given, other port") << "https://example.com:8443"
                                                << "https://example.com" << 0;
        QTest::newRow("port given, same port") << "https://example.com:8443"
                                               << "https://example.com:8443/" << 6;
        QTest::newRow("no port, other port") << "https://example.com"
                                             << "https://example.com:8443" << 0;
        QTest::newRow("default port written") << "https://example.com"
                                              << "https://example.com:443/" << 6;
        QTest::newRow("address") << "http://192.168.1.1"
                                 << "http://192.168.1.1/admin" << 4;
        QTest::newRow("address is no domain") << "http://1.1"
                                              << "http://192.168.1.1" << 0;
        QTest::newRow("ftp page") << "example.com"
                                  << "ftp://example.com" << 0;
        QTest::newRow("empty website") << ""
                                       << "https://example.com" << 0;
        QTest::newRow("not an address") << "my bank"
                                        << "https://example.com" << 0;
    }
    void siteMatching()
    {
        QFETCH(QString, website);
        QFETCH(QString, page);
        QFETCH(int, rank);
        // Scores compared with those of the other rows: the order is what counts.
        static QMap<int, QPair<int, int>> seen; // rank -> lowest and highest score
        const int score = siteMatchScore(website, page);
        QCOMPARE(score > 0, rank > 0);
        if (rank == 0)
            return;
        auto& range = seen[rank];
        range = range.first ? qMakePair(qMin(range.first, score), qMax(range.second, score)) : qMakePair(score, score);
        for (auto it = seen.cbegin(); it != seen.cend(); ++it) {
            if (it.key() < rank)
                QVERIFY2(it.value().second < score, qPrintable(QString::number(score)));
            if (it.key() > rank)
                QVERIFY2(it.value().first > score, qPrintable(QString::number(score)));
        }
    }
};

QTEST_MAIN(TestBrowser)
#include "tst_browser.moc"
