#include "app/version.h"
#include "ui_mainwindow.h"
#include "ui_passwordresetdialog.h"
#include "ui_plaintextwindow.h"
#include "ui_settingsdialog.h"

#include <QAccessible>
#include <QScopeGuard>
#include <QTest>

#include <memory>

namespace {

// One generated form on a bare widget of its base class, without the program's own window code.
template <typename Form, typename Base> std::unique_ptr<QWidget> formOn()
{
    auto widget = std::make_unique<Base>();
    Form().setupUi(widget.get());
    return widget;
}

std::unique_ptr<QWidget> createForm(const QString& name)
{
    if (name == QLatin1String("MainWindow"))
        return formOn<Ui::MainWindow, QMainWindow>();
    if (name == QLatin1String("SettingsDialog"))
        return formOn<Ui::SettingsDialog, QDialog>();
    if (name == QLatin1String("PasswordResetDialog"))
        return formOn<Ui::PasswordResetDialog, QDialog>();
    if (name == QLatin1String("PlainTextWindow"))
        return formOn<Ui::PlainTextWindow, QMainWindow>();
    return nullptr;
}

// Widgets Qt adds inside its own controls (a spin box's editor, a menu bar's extension button).
bool isQtPart(const QWidget* widget)
{
    return widget->objectName().startsWith(QLatin1String("qt_"));
}

bool isControl(QWidget* widget)
{
    return !isQtPart(widget) && (qobject_cast<QAbstractButton*>(widget) || qobject_cast<QLineEdit*>(widget) ||
                                 qobject_cast<QTextEdit*>(widget) || qobject_cast<QPlainTextEdit*>(widget) ||
                                 qobject_cast<QAbstractSpinBox*>(widget) || qobject_cast<QComboBox*>(widget));
}

} // namespace

class TestAccessibility : public QObject
{
    Q_OBJECT

public:
    // The forms are checked as a screen at 200 % shows them.
    static void initMain() { qputenv("QT_SCALE_FACTOR", "2"); }

private slots:
    void initTestCase() { initVaultryResources(); }

    // A screen reader must be able to tell every control from the others.
    void controlsHaveDistinctNames_data()
    {
        QTest::addColumn<QString>("form");
        for (const char* form : {"MainWindow", "SettingsDialog", "PasswordResetDialog", "PlainTextWindow"})
            QTest::newRow(form) << QString::fromLatin1(form);
    }

    void controlsHaveDistinctNames()
    {
        QFETCH(QString, form);
        const std::unique_ptr<QWidget> window = createForm(form);
        QHash<QString, QString> owners; // accessible name -> object name
        int controls = 0;
        for (QWidget* widget : window->findChildren<QWidget*>()) {
            if (!isControl(widget))
                continue;
            ++controls;
            const QString name = QAccessible::queryAccessibleInterface(widget)->text(QAccessible::Name);
            QVERIFY2(!name.isEmpty(), qPrintable(widget->objectName() + QLatin1String(" has no accessible name")));
            QVERIFY2(!owners.contains(name), qPrintable(QStringLiteral("%1 and %2 are both called \"%3\"")
                                                            .arg(owners.value(name), widget->objectName(), name)));
            owners.insert(name, widget->objectName());
        }
        QVERIFY(controls > 0);
    }

    // The dialogs keep their designed size at a usual desktop font, and grow rather than
    // clip a caption or field at a large one.
    void dialogsShowAllTheirText_data()
    {
        QTest::addColumn<QString>("form");
        QTest::addColumn<int>("points");
        QTest::addColumn<QSize>("size"); // expected size; empty: whatever fits
        QTest::newRow("settings, 9 pt") << QStringLiteral("SettingsDialog") << 9 << QSize(328, 437);
        QTest::newRow("settings, 15 pt") << QStringLiteral("SettingsDialog") << 15 << QSize();
        QTest::newRow("reset, 9 pt") << QStringLiteral("PasswordResetDialog") << 9 << QSize(228, 238);
        QTest::newRow("reset, 15 pt") << QStringLiteral("PasswordResetDialog") << 15 << QSize();
    }

    void dialogsShowAllTheirText()
    {
        QFETCH(QString, form);
        QFETCH(int, points);
        QFETCH(QSize, size);
        const QFont applicationFont = QApplication::font();
        const auto restoreFont = qScopeGuard([&] { QApplication::setFont(applicationFont); });
        QFont font = applicationFont;
        font.setPointSize(points);
        QApplication::setFont(font);

        const std::unique_ptr<QWidget> dialog = createForm(form);
        dialog->show();
        QVERIFY(QTest::qWaitForWindowExposed(dialog.get()));
        if (size.isValid())
            QCOMPARE(dialog->size(), size);

        for (QWidget* widget : dialog->findChildren<QWidget*>()) {
            // A hidden note (the settings' one on encryption) shows nothing to clip.
            if (isQtPart(widget) || widget->isHidden() || !(qobject_cast<QLabel*>(widget) || isControl(widget)))
                continue;
            QSize needed = widget->sizeHint();
            if (const auto* label = qobject_cast<QLabel*>(widget); label && label->wordWrap())
                needed = QSize(label->minimumSizeHint().width(), label->heightForWidth(label->width()));
            else if (qobject_cast<QLineEdit*>(widget))
                needed = widget->minimumSizeHint();
            QVERIFY2(needed.width() <= widget->width() && needed.height() <= widget->height(),
                     qPrintable(QStringLiteral("%1 needs %2 x %3 but has %4 x %5")
                                    .arg(widget->objectName())
                                    .arg(needed.width())
                                    .arg(needed.height())
                                    .arg(widget->width())
                                    .arg(widget->height())));
        }
    }

    // Icons come out sharp at 200 %: each picture the forms show has a double-size version,
    // and the window icon goes up to 256 pixels for docks and task switchers.
    void picturesHaveDoubleSizeVersions()
    {
        QCOMPARE(qApp->devicePixelRatio(), 2.0);
        const std::unique_ptr<QWidget> window = createForm(QStringLiteral("MainWindow"));
        QList<std::tuple<QString, QIcon, QSize>> icons = {
            {QStringLiteral("window icon"), window->windowIcon(), QSize(128, 128)},
            {QStringLiteral(":/files/img-doc"), QIcon(QStringLiteral(":/files/img-doc")), QSize(24, 24)},
            {QStringLiteral(":/files/img-folder"), QIcon(QStringLiteral(":/files/img-folder")), QSize(24, 24)},
        };
        for (const QAbstractButton* button : window->findChildren<QAbstractButton*>()) {
            if (!isQtPart(button) && !button->icon().isNull())
                icons.append({button->objectName(), button->icon(), button->iconSize()});
        }
        QCOMPARE(icons.size(), 3 + 6);
        for (const auto& [what, icon, size] : icons) {
            const QPixmap pixmap = icon.pixmap(size, 2.0);
            QVERIFY2(pixmap.size() == size * 2, qPrintable(what));
        }
    }
};

QTEST_MAIN(TestAccessibility)
#include "tst_accessibility.moc"
