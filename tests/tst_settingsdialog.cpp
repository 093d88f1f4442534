#include "prefs/masterpassword.h"
#include "prefs/settingsdialog.h"
#include "store/preferences.h"
#include "support/dialogdriver.h"
#include "support/testvault.h"

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QPushButton>
#include <QSpinBox>
#include <QTest>

namespace {

const QString promptTitle = QStringLiteral("Master Application Password");
const QString promptLabel = QStringLiteral("Please enter a master password you wish to use for this application.\n"
                                           "Make sure you remember this password, it will not be shown again!");

template <typename T> T* child(QWidget& dialog, const char* name)
{
    T* widget = dialog.findChild<T*>(QLatin1String(name));
    if (!widget)
        qFatal("no widget %s", name);
    return widget;
}

QSpinBox* spin(QWidget& dialog, const char* name)
{
    return child<QSpinBox>(dialog, name);
}

void press(QWidget& dialog, QDialogButtonBox::StandardButton which)
{
    QTest::mouseClick(child<QDialogButtonBox>(dialog, "buttonBox")->button(which), Qt::LeftButton);
}

} // namespace

class TestSettingsDialog : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { DialogDriver::install(); }
    void init() { TestVault::reset(); }
    void cleanup() { VERIFY_DIALOGS_ANSWERED(); }

    void loadsPreferences_data()
    {
        QTest::addColumn<int>("storedMin");
        QTest::addColumn<int>("storedMax");
        QTest::addColumn<int>("shownMin");
        QTest::addColumn<int>("shownMax");
        QTest::newRow("defaults") << 10 << 12 << 10 << 12;
        QTest::newRow("equal") << 7 << 7 << 7 << 7;
        QTest::newRow("minimum above maximum") << 15 << 12 << 12 << 12;
        QTest::newRow("minimum far above maximum") << 99 << 1 << 1 << 1;
        QTest::newRow("below the range") << 0 << -4 << 1 << 1;
        QTest::newRow("above the range") << 150 << 200 << 99 << 99;
        QTest::newRow("minimum above the range") << 150 << 20 << 20 << 20;
    }

    void loadsPreferences()
    {
        QFETCH(int, storedMin);
        QFETCH(int, storedMax);
        QFETCH(int, shownMin);
        QFETCH(int, shownMax);
        preferences.genMinLength = storedMin;
        preferences.genMaxLength = storedMax;
        preferences.genAlphanum = false;
        preferences.genMixedCase = true;
        preferences.genSpecialChars = false;
        preferences.hidePassword = false;
        preferences.maxLoginAttempts = 4;
        preferences.masterPasswordHash = hashMasterPassword(QStringLiteral("set"));

        SettingsDialog dialog;

        QCOMPARE(spin(dialog, "numMinLen")->value(), shownMin);
        QCOMPARE(spin(dialog, "numMaxLen")->value(), shownMax);
        QCOMPARE(spin(dialog, "numMaxLoginAttempts")->value(), 4);
        QVERIFY(!child<QCheckBox>(dialog, "chkAlphanum")->isChecked());
        QVERIFY(child<QCheckBox>(dialog, "chkMixedCase")->isChecked());
        QVERIFY(!child<QCheckBox>(dialog, "chkSpecialChars")->isChecked());
        QVERIFY(!child<QCheckBox>(dialog, "chkHidePassword")->isChecked());
        // Loading alone changes nothing stored.
        QCOMPARE(preferences.genMinLength, storedMin);
        QCOMPARE(preferences.genMaxLength, storedMax);
    }

    void lengthsSnapBack_data()
    {
        QTest::addColumn<QByteArray>("box");
        QTest::addColumn<int>("typed");
        QTest::addColumn<int>("min");
        QTest::addColumn<int>("max");
        QTest::newRow("maximum below minimum") << QByteArray("numMaxLen") << 8 << 10 << 10;
        QTest::newRow("maximum to minimum") << QByteArray("numMaxLen") << 10 << 10 << 10;
        QTest::newRow("maximum raised") << QByteArray("numMaxLen") << 40 << 10 << 40;
        QTest::newRow("minimum above maximum") << QByteArray("numMinLen") << 15 << 12 << 12;
        QTest::newRow("minimum to maximum") << QByteArray("numMinLen") << 12 << 12 << 12;
        QTest::newRow("minimum lowered") << QByteArray("numMinLen") << 1 << 1 << 12;
    }

    void lengthsSnapBack()
    {
        QFETCH(QByteArray, box);
        QFETCH(int, typed);
        QFETCH(int, min);
        QFETCH(int, max);
        SettingsDialog dialog;
        spin(dialog, box.constData())->setValue(typed);
        QCOMPARE(spin(dialog, "numMinLen")->value(), min);
        QCOMPARE(spin(dialog, "numMaxLen")->value(), max);
    }

    void raisingTheLimitSetsThePassword_data()
    {
        QTest::addColumn<QString>("password");
        QTest::newRow("typed") << "correct horse";
        QTest::newRow("empty") << "";
    }

    void raisingTheLimitSetsThePassword()
    {
        QFETCH(QString, password);
        SettingsDialog dialog;
        QSpinBox* limit = spin(dialog, "numMaxLoginAttempts");

        DialogDriver::answerInput(promptTitle, promptLabel, password);
        limit->setValue(3);
        VERIFY_DIALOGS_ANSWERED();
        QCOMPARE(preferences.masterPasswordHash, hashMasterPassword(password));

        // Once a password exists nothing prompts, not even after going back to 0.
        limit->setValue(5);
        limit->setValue(0);
        limit->setValue(2);
        QCOMPARE(preferences.masterPasswordHash, hashMasterPassword(password));
    }

    void cancelledPromptStoresNothing()
    {
        SettingsDialog dialog;
        QSpinBox* limit = spin(dialog, "numMaxLoginAttempts");

        DialogDriver::answerInput(promptTitle, promptLabel, QStringLiteral("ignored"), false);
        limit->setValue(1);
        VERIFY_DIALOGS_ANSWERED();
        QVERIFY(preferences.masterPasswordHash.isEmpty());

        DialogDriver::answerInput(promptTitle, promptLabel, QStringLiteral("second"));
        limit->setValue(2);
        VERIFY_DIALOGS_ANSWERED();
        QCOMPARE(preferences.masterPasswordHash, hashMasterPassword(QStringLiteral("second")));
    }

    void storedLimitWithoutPasswordPromptsOnOpening()
    {
        preferences.maxLoginAttempts = 3;
        DialogDriver::answerInput(promptTitle, promptLabel, QStringLiteral("late"));
        SettingsDialog dialog;
        VERIFY_DIALOGS_ANSWERED();
        QCOMPARE(preferences.masterPasswordHash, hashMasterPassword(QStringLiteral("late")));
        QCOMPARE(spin(dialog, "numMaxLoginAttempts")->value(), 3);
    }

    void okCopiesEveryField()
    {
        preferences.masterPasswordHash = hashMasterPassword(QStringLiteral("set"));
        SettingsDialog dialog;
        child<QCheckBox>(dialog, "chkHidePassword")->setChecked(false);
        child<QCheckBox>(dialog, "chkAlphanum")->setChecked(false);
        child<QCheckBox>(dialog, "chkMixedCase")->setChecked(false);
        child<QCheckBox>(dialog, "chkSpecialChars")->setChecked(false);
        spin(dialog, "numMaxLen")->setValue(30);
        spin(dialog, "numMinLen")->setValue(20);
        spin(dialog, "numMaxLoginAttempts")->setValue(7);

        press(dialog, QDialogButtonBox::Ok);

        QCOMPARE(dialog.result(), int(QDialog::Accepted));
        QVERIFY(!preferences.hidePassword);
        QVERIFY(!preferences.genAlphanum);
        QVERIFY(!preferences.genMixedCase);
        QVERIFY(!preferences.genSpecialChars);
        QCOMPARE(preferences.genMaxLength, 30);
        QCOMPARE(preferences.genMinLength, 20);
        QCOMPARE(preferences.maxLoginAttempts, 7);
        QCOMPARE(preferences.masterPasswordHash, hashMasterPassword(QStringLiteral("set")));
    }

    void cancelKeepsOnlyThePassword()
    {
        const Preferences before = preferences;
        SettingsDialog dialog;
        child<QCheckBox>(dialog, "chkHidePassword")->setChecked(false);
        child<QCheckBox>(dialog, "chkSpecialChars")->setChecked(false);
        spin(dialog, "numMaxLen")->setValue(50);
        DialogDriver::answerInput(promptTitle, promptLabel, QStringLiteral("kept"));
        spin(dialog, "numMaxLoginAttempts")->setValue(3);
        VERIFY_DIALOGS_ANSWERED();

        press(dialog, QDialogButtonBox::Cancel);

        QCOMPARE(dialog.result(), int(QDialog::Rejected));
        QCOMPARE(preferences.masterPasswordHash, hashMasterPassword(QStringLiteral("kept")));
        QCOMPARE(preferences.hidePassword, before.hidePassword);
        QCOMPARE(preferences.genSpecialChars, before.genSpecialChars);
        QCOMPARE(preferences.genMaxLength, before.genMaxLength);
        QCOMPARE(preferences.maxLoginAttempts, before.maxLoginAttempts);
    }
};

QTEST_MAIN(TestSettingsDialog)
#include "tst_settingsdialog.moc"
