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

// The next master-password dialog gets each pair of passwords in turn: every pair but the last
// must be refused with the dialog left open and saying why; the last is accepted, or the dialog
// cancelled when it is "!".
void expectPrompt(const QList<QStringList>& tries)
{
    DialogDriver::answerWith(QStringLiteral("Master Application Password"), [tries](QWidget* dialog) {
        for (int i = 0; i < tries.size(); ++i) {
            if (tries[i].value(0) == QLatin1String("!")) {
                static_cast<QDialog*>(dialog)->reject();
                return;
            }
            for (const char* name : {"txtNewPass1", "txtNewPass2"}) {
                auto* field = dialog->findChild<QLineEdit*>(QLatin1String(name));
                QCOMPARE(field->echoMode(), QLineEdit::Password);
                field->setText(tries[i].value(name[10] == '1' ? 0 : 1));
            }
            dialog->findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Ok)->click();
            const bool last = i == tries.size() - 1;
            QCOMPARE(dialog->isVisible(), !last);
            if (!last)
                QVERIFY(!dialog->findChild<QLabel*>(QStringLiteral("lblProblem"))->text().isEmpty());
        }
    });
}

void expectPrompt(const QString& password)
{
    expectPrompt({{password, password}});
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
        QTest::addColumn<QString>("commit"); // how the typed limit is committed
        QTest::addColumn<QList<QStringList>>("tries");
        QTest::addColumn<QString>("stored"); // "-": none
        const QList<QStringList> typed{{"correct horse", "correct horse"}};
        for (const char* commit : {"Return", "focus", "OK"}) {
            QTest::newRow(qPrintable(QStringLiteral("typed, %1").arg(commit))) << commit << typed << "correct horse";
            QTest::newRow(qPrintable(QStringLiteral("cancelled, %1").arg(commit)))
                << commit << QList<QStringList>{{"!"}} << "-";
        }
        QTest::newRow("empty refused") << "Return" << QList<QStringList>{{"", ""}, {"  ", " "}, {"pw", "pw"}} << "pw";
        QTest::newRow("differ refused") << "focus" << QList<QStringList>{{"pw", "wp"}, {"pw", "pw"}} << "pw";
        QTest::newRow("differ, then cancelled") << "OK" << QList<QStringList>{{"pw", "p"}, {"!"}} << "-";
    }

    // The password is asked when the typed limit is committed, not at each digit; it is asked
    // twice, masked, and neither an empty one nor two that differ is taken. Without one the
    // limit goes back to 0. Once a password exists nothing prompts, not even after 0.
    void raisingTheLimitPrompts()
    {
        QFETCH(QString, commit);
        QFETCH(QList<QStringList>, tries);
        QFETCH(QString, stored);
        SettingsDialog dialog(preferences);
        dialog.show();
        QVERIFY(QTest::qWaitForWindowActive(&dialog));
        QSpinBox* limit = child(dialog, "numMaxLoginAttempts");
        limit->setFocus();
        limit->selectAll();
        // "1" is no limit the user meant: nothing asks yet (the driver would report a dialog).
        QTest::keyClicks(limit, QStringLiteral("10"));
        QCOMPARE(limit->value(), 10);
        QCOMPARE(DialogDriver::pending(), 0);
        VERIFY_DIALOGS_ANSWERED();

        expectPrompt(tries);
        if (commit == QLatin1String("Return"))
            QTest::keyClick(limit, Qt::Key_Return);
        else if (commit == QLatin1String("focus"))
            child(dialog, "numMaxLen")->setFocus();
        else
            child<QDialogButtonBox>(dialog, "buttonBox")->button(QDialogButtonBox::Ok)->click();
        VERIFY_DIALOGS_ANSWERED();
        const bool chosen = stored != QLatin1String("-");
        QCOMPARE(preferences.masterPasswordHash, chosen ? hashMasterPassword(stored) : QString());
        QCOMPARE(limit->value(), chosen ? 10 : 0);
        if (!chosen)
            return;
        limit->setValue(5);
        limit->setValue(0);
        limit->setValue(2);
        child(dialog, "numMinLen")->setFocus();
        QCOMPARE(preferences.masterPasswordHash, hashMasterPassword(stored));
    }

    // The idle lock needs a master password in use; lock and clipboard settings have a heading
    // of their own, not the generator's.
    void lockSettings()
    {
        SettingsDialog dialog(preferences);
        dialog.show();
        QVERIFY(QTest::qWaitForWindowActive(&dialog));
        QSpinBox* limit = child(dialog, "numMaxLoginAttempts");
        QVERIFY(!child(dialog, "numIdleLockMinutes")->isEnabled());
        QVERIFY(child(dialog, "numClipboardSeconds")->isEnabled());
        expectPrompt(QStringLiteral("pw"));
        limit->setValue(3);
        limit->setFocus();
        child(dialog, "numMaxLen")->setFocus();
        VERIFY_DIALOGS_ANSWERED();
        QVERIFY(child(dialog, "numIdleLockMinutes")->isEnabled());
        limit->setValue(0);
        QVERIFY(!child(dialog, "numIdleLockMinutes")->isEnabled());

        // The nearest bold heading above each box.
        const auto headingAbove = [&dialog](QWidget* box) {
            QString found;
            int bestY = -1;
            const int boxY = box->mapTo(&dialog, QPoint()).y();
            for (QLabel* label : dialog.findChildren<QLabel*>()) {
                const int y = label->mapTo(&dialog, QPoint()).y();
                if (label->isVisible() && label->font().bold() && y < boxY && y > bestY) {
                    bestY = y;
                    found = label->text();
                }
            }
            return found;
        };
        const QString policy = headingAbove(child(dialog, "numMinLen"));
        QCOMPARE(policy, QStringLiteral("Password Generation Policy"));
        for (const char* name : {"numIdleLockMinutes", "numClipboardSeconds"}) {
            const QString heading = headingAbove(child(dialog, name));
            QVERIFY2(!heading.isEmpty() && heading != policy, name);
        }
    }

    void closing_data()
    {
        QTest::addColumn<bool>("ok");
        QTest::addColumn<QByteArray>("boxes"); // stored, in checkBoxes order
        QTest::newRow("OK copies every field") << true << QByteArray("1100");
        QTest::newRow("Cancel keeps nothing") << false << QByteArray("1010");
        QTest::newRow("OK, other values") << true << QByteArray("0111");
    }

    // Opening shows the stored values; OK on an attempt limit without a master password asks
    // for one first.
    void closing()
    {
        QFETCH(bool, ok);
        QFETCH(QByteArray, boxes);
        preferences.maxLoginAttempts = 4;
        for (int i = 0; i < 4; ++i)
            preferences.*checkBoxes[i].second = boxes.at(i) == '1';
        const Preferences before = preferences;
        SettingsDialog dialog(preferences);
        if (ok)
            expectPrompt(QStringLiteral("kept"));
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

        VERIFY_DIALOGS_ANSWERED();
        QCOMPARE(dialog.result(), int(ok ? QDialog::Accepted : QDialog::Rejected));
        QCOMPARE(preferences.masterPasswordHash, ok ? hashMasterPassword(QStringLiteral("kept")) : QString());
        for (const auto& [name, field] : checkBoxes)
            QVERIFY2(preferences.*field == (before.*field != ok), name);
        QCOMPARE(preferences.genMaxLength, ok ? 30 : before.genMaxLength);
        QCOMPARE(preferences.genMinLength, ok ? 20 : before.genMinLength);
        QCOMPARE(preferences.maxLoginAttempts, ok ? 7 : before.maxLoginAttempts);
    }
};

QTEST_MAIN(TestSettingsDialog)
#include "tst_settingsdialog.moc"
