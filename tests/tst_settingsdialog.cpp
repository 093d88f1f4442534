#include "prefs/masterpassword.h"
#include "prefs/settingsdialog.h"
#include "store/preferences.h"
#include "support/dialogdriver.h"

#include <QtTest>
#include <QtWidgets>

namespace {

// Each check box and the preference it edits.
const std::pair<const char*, bool Preferences::*> checkBoxes[] = {{"chkHidePassword", &Preferences::hidePassword},
                                                                  {"chkAlphanum", &Preferences::genAlphanum},
                                                                  {"chkMixedCase", &Preferences::genMixedCase},
                                                                  {"chkSpecialChars", &Preferences::genSpecialChars}};

template <typename T = QSpinBox> T* child(QWidget& dialog, const char* name)
{
    T* widget = dialog.findChild<T*>(QLatin1String(name));
    if (!widget)
        qFatal("no widget %s", name);
    return widget;
}

// The next master-password prompt is answered with `password`, or cancelled.
void expectPrompt(const QString& password, bool accept = true)
{
    DialogDriver::answerInput(QStringLiteral("Master Application Password"),
                              QStringLiteral("Please enter a master password you wish to use for this application.\n"
                                             "Make sure you remember this password, it will not be shown again!"),
                              password, accept);
}

} // namespace

class TestSettingsDialog : public QObject
{
    Q_OBJECT

private:
    Preferences preferences;

private slots:
    void initTestCase() { DialogDriver::install(); }
    void init() { preferences = Preferences(); }
    void cleanup() { VERIFY_DIALOGS_ANSWERED(); }

    void lengthsSnapBack_data()
    {
        QTest::addColumn<int>("storedMin");  // the stored maximum is 12
        QTest::addColumn<QByteArray>("box"); // typed into, if any
        QTest::addColumn<int>("typed");
        QTest::addColumn<int>("min");
        QTest::addColumn<int>("max");
        QTest::newRow("stored minimum above maximum") << 15 << QByteArray() << 0 << 12 << 12;
        QTest::newRow("maximum below minimum") << 10 << QByteArray("numMaxLen") << 8 << 10 << 10;
        QTest::newRow("maximum raised") << 10 << QByteArray("numMaxLen") << 40 << 10 << 40;
        QTest::newRow("minimum above maximum") << 10 << QByteArray("numMinLen") << 15 << 12 << 12;
        QTest::newRow("minimum lowered") << 10 << QByteArray("numMinLen") << 1 << 1 << 12;
    }

    void lengthsSnapBack()
    {
        QFETCH(int, storedMin);
        QFETCH(QByteArray, box);
        QFETCH(int, typed);
        QFETCH(int, min);
        QFETCH(int, max);
        preferences.genMinLength = storedMin;
        SettingsDialog dialog(preferences);
        if (!box.isEmpty())
            child(dialog, box.constData())->setValue(typed);
        QCOMPARE(child(dialog, "numMinLen")->value(), min);
        QCOMPARE(child(dialog, "numMaxLen")->value(), max);
        QCOMPARE(preferences.genMinLength, storedMin); // nothing stored before OK
    }

    void raisingTheLimitPrompts_data()
    {
        QTest::addColumn<QString>("password");
        QTest::addColumn<bool>("accept");
        QTest::newRow("typed") << "correct horse" << true;
        QTest::newRow("empty") << "" << true;
        QTest::newRow("cancelled") << "ignored" << false;
    }

    // The hash is stored when the prompt is answered; a cancelled prompt stores nothing and
    // comes back on the next raise; once a password exists nothing prompts, not even after 0.
    void raisingTheLimitPrompts()
    {
        QFETCH(QString, password);
        QFETCH(bool, accept);
        SettingsDialog dialog(preferences);
        QSpinBox* limit = child(dialog, "numMaxLoginAttempts");

        expectPrompt(password, accept);
        limit->setValue(3);
        VERIFY_DIALOGS_ANSWERED();
        QCOMPARE(preferences.masterPasswordHash, accept ? hashMasterPassword(password) : QString());
        if (!accept) {
            expectPrompt(password = QStringLiteral("second"));
            limit->setValue(2);
            VERIFY_DIALOGS_ANSWERED();
        }

        limit->setValue(5);
        limit->setValue(0);
        limit->setValue(2);
        QCOMPARE(preferences.masterPasswordHash, hashMasterPassword(password));
    }

    void closing_data()
    {
        QTest::addColumn<bool>("ok");
        QTest::addColumn<QByteArray>("boxes"); // stored, in checkBoxes order
        QTest::newRow("OK copies every field") << true << QByteArray("1100");
        QTest::newRow("Cancel keeps only the password") << false << QByteArray("1010");
        QTest::newRow("OK, other values") << true << QByteArray("0111");
    }

    // Opening shows the stored values, and a stored attempt limit without a master password
    // asks for one at once; only that survives Cancel.
    void closing()
    {
        QFETCH(bool, ok);
        QFETCH(QByteArray, boxes);
        preferences.maxLoginAttempts = 4;
        for (int i = 0; i < 4; ++i)
            preferences.*checkBoxes[i].second = boxes.at(i) == '1';
        const Preferences before = preferences;
        expectPrompt(QStringLiteral("kept"));
        SettingsDialog dialog(preferences);
        VERIFY_DIALOGS_ANSWERED();
        QCOMPARE(child(dialog, "numMaxLoginAttempts")->value(), 4);
        for (const auto& [name, field] : checkBoxes) {
            QVERIFY2(child<QCheckBox>(dialog, name)->isChecked() == before.*field, name);
            child<QCheckBox>(dialog, name)->toggle();
        }
        child(dialog, "numMaxLen")->setValue(30);
        child(dialog, "numMinLen")->setValue(20);
        child(dialog, "numMaxLoginAttempts")->setValue(7);

        const auto which = ok ? QDialogButtonBox::Ok : QDialogButtonBox::Cancel;
        QTest::mouseClick(child<QDialogButtonBox>(dialog, "buttonBox")->button(which), Qt::LeftButton);

        QCOMPARE(dialog.result(), int(ok ? QDialog::Accepted : QDialog::Rejected));
        QCOMPARE(preferences.masterPasswordHash, hashMasterPassword(QStringLiteral("kept")));
        for (const auto& [name, field] : checkBoxes)
            QVERIFY2(preferences.*field == (before.*field != ok), name);
        QCOMPARE(preferences.genMaxLength, ok ? 30 : before.genMaxLength);
        QCOMPARE(preferences.genMinLength, ok ? 20 : before.genMinLength);
        QCOMPARE(preferences.maxLoginAttempts, ok ? 7 : before.maxLoginAttempts);
    }
};

QTEST_MAIN(TestSettingsDialog)
#include "tst_settingsdialog.moc"
