// The card's answer to an Accept whose capture could not be stored: the card
// stays open with the reason and a way to keep the image.

#include "capture/panel/view_controller.h"

#include "capture/documentation_upload.h"
#include "capture/panel/style.h"
#include "capture/private_files.h"

void ViewController::makeAcceptErrorView() {
    acceptErrorView = new QWidget(patientInfoView);
    acceptErrorView->setObjectName(QStringLiteral("acceptErrorView"));
    acceptErrorView->setGeometry(52, 50, 144, 40);
    acceptErrorView->setAutoFillBackground(true);
    QPalette palette = acceptErrorView->palette();
    palette.setColor(QPalette::Window, Qt::white);
    acceptErrorView->setPalette(palette);
    acceptErrorLabel = new QLabel(acceptErrorView);
    acceptErrorLabel->setGeometry(0, 0, 144, 22);
    acceptErrorLabel->setFont(kcRalewayFont(9));
    acceptErrorLabel->setTextFormat(Qt::PlainText);
    acceptErrorLabel->setStyleSheet(QStringLiteral("color: rgb(200, 30, 30)"));
    acceptErrorLabel->setWordWrap(true);
    saveImageButton = new ::captureButton(acceptErrorView);
    saveImageButton->setGeometry(0, 22, 144, 18);
    saveImageButton->setText(tr("Save image\u2026"));
    saveImageButton->setFont(kcRalewayFont(10));
    saveImageButton->setTitleColor(QColor(255, 165, 0));
    saveImageButton->setBorder(0.5, QColor(211, 211, 211));
    connect(saveImageButton, &QAbstractButton::clicked, this, [this] { saveImageFromCard(); });
    acceptErrorView->hide();
}

void ViewController::showAcceptError(const QString &message) {
    acceptErrorLabel->setText(tr("Not saved, not sent. Keep the image?"));
    acceptErrorView->setToolTip(tr("The capture could not be stored on this computer: %1").arg(message));
    acceptErrorView->show();
    acceptErrorView->raise();
}

void ViewController::hideAcceptError() {
    if (acceptErrorView)
        acceptErrorView->hide();
}

bool ViewController::saveImageFromCard() {
    if (screenshot.isNull())
        return false;
    const QString path = chooseImagePath ? chooseImagePath() : kcChooseSavedImagePath(this);
    if (path.isEmpty())
        return false;
    const QString error = kcSaveImageFile(path, kcPngBytes(screenshot));
    if (!error.isEmpty()) {
        acceptErrorLabel->setText(tr("The image could not be written there either."));
        acceptErrorLabel->setToolTip(error);
        return false;
    }
    acceptErrorLabel->setText(tr("Image saved; not sent."));
    return true;
}
