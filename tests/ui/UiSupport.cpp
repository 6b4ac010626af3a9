#include "UiSupport.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDialog>
#include <QMessageBox>
#include <QPushButton>

namespace TestSupport {

TModalAnswerer::TModalAnswerer(std::function<void(QWidget*)> answer) : FAnswer(std::move(answer)) {
    FTimer.setInterval(20);
    QObject::connect(&FTimer, &QTimer::timeout, [this] { Poll(); });
    FTimer.start();
}

void TModalAnswerer::Poll() {
    QWidget* window = QApplication::activeModalWidget();
    if (window == nullptr || FAnswered) {
        return;
    }
    FAnswered = true;
    FTimer.stop();
    if (auto* box = qobject_cast<QMessageBox*>(window)) {
        FText = box->text();
        if (box->defaultButton() != nullptr) {
            FDefaultButton = box->defaultButton()->text().remove('&');
        }
    }
    FAnswer(window);
}

TModalAnswerer TModalAnswerer::Clicking(const QString& buttonText) {
    return TModalAnswerer([buttonText](QWidget* window) {
        if (auto* box = qobject_cast<QMessageBox*>(window)) {
            for (QAbstractButton* button : box->buttons()) {
                if (button->text().remove('&') == buttonText) {
                    button->click();
                    return;
                }
            }
        }
        if (auto* dialog = qobject_cast<QDialog*>(window)) {
            dialog->reject();
        }
    });
}

} // namespace TestSupport
