#include "totpsetupdialog.h"
#include "ui_totpsetupdialog.h"

#include <QDateTime>
#include <QImage>
#include <QPainter>
#include <QPixmap>
#include <QPushButton>

#include <qrencode.h>

namespace {

// `text` as a QR code, `scale` pixels a module, with the quiet zone around it; null if too long.
QImage qrCodeImage(const QString& text, int scale)
{
    QRcode* code = QRcode_encodeString(text.toUtf8().constData(), 0, QR_ECLEVEL_M, QR_MODE_8, 1);
    if (!code)
        return QImage();
    const int quiet = 4;
    const int size = (code->width + 2 * quiet) * scale;
    QImage image(size, size, QImage::Format_RGB32);
    image.fill(Qt::white);
    QPainter painter(&image);
    for (int y = 0; y < code->width; ++y) {
        for (int x = 0; x < code->width; ++x) {
            if (code->data[y * code->width + x] & 1)
                painter.fillRect((x + quiet) * scale, (y + quiet) * scale, scale, scale, Qt::black);
        }
    }
    QRcode_free(code);
    return image;
}

} // namespace

TotpSetupDialog::TotpSetupDialog(const QString& issuer, const QString& account, QWidget* parent)
    : QDialog(parent), form(new Ui::TotpSetupDialog), issuer(issuer), account(account)
{
    form->setupUi(this);
    form->lblQrCode->hide();
    connect(form->txtSecret, &QLineEdit::textEdited, this, &TotpSetupDialog::onSecretEdited);
    connect(form->numDigits, &QSpinBox::valueChanged, this, &TotpSetupDialog::update);
    connect(form->numPeriod, &QSpinBox::valueChanged, this, &TotpSetupDialog::update);
    connect(form->comboAlgorithm, &QComboBox::currentIndexChanged, this, &TotpSetupDialog::update);
    connect(form->btnShowQrCode, &QPushButton::toggled, this, &TotpSetupDialog::update);
    // Return is OK wherever the focus is, the QR button included (it is no auto-default button).
    form->buttonBox->button(QDialogButtonBox::Ok)->setDefault(true);
    connect(form->buttonBox, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(form->buttonBox, &QDialogButtonBox::rejected, this, &QDialog::reject);
    update();
}

TotpSetupDialog::~TotpSetupDialog()
{
    delete form;
}

void TotpSetupDialog::setSecret(const TotpSecret& present)
{
    form->txtSecret->setText(totpUri(present));
    onSecretEdited();
}

QString TotpSetupDialog::uri() const
{
    return secret ? totpUri(*secret) : QString();
}

void TotpSetupDialog::onSecretEdited()
{
    // A pasted link sets the code's form; a bare secret leaves what the fields say.
    const std::optional<TotpSecret> pasted = parseTotpSecret(form->txtSecret->text());
    const bool isLink = form->txtSecret->text().trimmed().startsWith(QLatin1String("otpauth:"), Qt::CaseInsensitive);
    if (pasted && isLink) {
        const QSignalBlocker digits(form->numDigits), period(form->numPeriod), algorithm(form->comboAlgorithm);
        form->numDigits->setValue(pasted->digits);
        form->numPeriod->setValue(pasted->period);
        form->comboAlgorithm->setCurrentIndex(int(pasted->algorithm));
    }
    form->numDigits->setEnabled(!isLink);
    form->numPeriod->setEnabled(!isLink);
    form->comboAlgorithm->setEnabled(!isLink);
    update();
}

void TotpSetupDialog::update()
{
    QString problem;
    secret = parseTotpSecret(form->txtSecret->text(), &problem);
    if (secret) {
        secret->digits = form->numDigits->value();
        secret->period = form->numPeriod->value();
        secret->algorithm = TotpSecret::Algorithm(form->comboAlgorithm->currentIndex());
        if (secret->issuer.isEmpty() && secret->account.isEmpty()) {
            secret->issuer = issuer;
            secret->account = account;
        }
    }
    const bool empty = form->txtSecret->text().trimmed().isEmpty();
    form->buttonBox->button(QDialogButtonBox::Ok)->setEnabled(secret.has_value());
    form->btnShowQrCode->setEnabled(secret.has_value());
    if (secret) {
        const qint64 now = QDateTime::currentSecsSinceEpoch();
        form->lblStatus->setText(tr("The code now: %1 (check it against the website's)").arg(totpCode(*secret, now)));
    } else {
        form->lblStatus->setText(empty ? QString() : problem);
    }
    const bool showQr = secret && form->btnShowQrCode->isChecked();
    if (showQr)
        form->lblQrCode->setPixmap(QPixmap::fromImage(qrCodeImage(totpUri(*secret), 4)));
    if (form->lblQrCode->isVisible() != showQr) {
        form->lblQrCode->setVisible(showQr);
        adjustSize();
    }
}
