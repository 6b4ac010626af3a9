#include "WebServerPage.h"

#include "Controller.h"
#include "WebServer.h"

#include <QCheckBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QTimer>
#include <QVBoxLayout>

void AppendLogLine(QPlainTextEdit* memo, const QString& line) {
    memo->appendPlainText(line);
    memo->verticalScrollBar()->setValue(memo->verticalScrollBar()->maximum());
}

TWebServerPage::TWebServerPage(QWidget* parent) : QWidget(parent) {
    auto* group = new QGroupBox(tr("Settings"));
    auto* grid = new QGridLayout(group);
    edWebServerPort = new QLineEdit("5252");
    edWebServerUser = new QLineEdit;
    edWebServerPassword = new QLineEdit;
    edWebServerPassword->setEchoMode(QLineEdit::Password);
    cbWebServerCommandExecution = new QCheckBox(tr("Allow command execution"));
    cbWebServerCommandExecution->setChecked(true);
    edWebServerCertificate = new QLineEdit;
    edWebServerCertificate->setPlaceholderText(tr("PEM file; with a key: HTTPS only"));
    edWebServerKey = new QLineEdit;
    edWebServerKey->setPlaceholderText(tr("PEM file"));
    btnWebServerStart = new QPushButton(tr("Start Server"));
    btnWebServerStop = new QPushButton(tr("Stop Server"));
    btnWebServerStop->setEnabled(false);
    grid->addWidget(new QLabel(tr("Port:")), 0, 0);
    grid->addWidget(edWebServerPort, 0, 1);
    grid->addWidget(new QLabel(tr("User:")), 1, 0);
    grid->addWidget(edWebServerUser, 1, 1);
    grid->addWidget(new QLabel(tr("Password:")), 2, 0);
    grid->addWidget(edWebServerPassword, 2, 1);
    grid->addWidget(cbWebServerCommandExecution, 3, 1);
    grid->addWidget(new QLabel(tr("Certificate:")), 4, 0);
    grid->addWidget(edWebServerCertificate, 4, 1);
    grid->addWidget(new QLabel(tr("Key:")), 5, 0);
    grid->addWidget(edWebServerKey, 5, 1);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(btnWebServerStart);
    buttons->addWidget(btnWebServerStop);
    grid->addLayout(buttons, 6, 0, 1, 2);
    grid->setColumnStretch(1, 1);

    memWebServerLog = new QPlainTextEdit;
    memWebServerLog->setReadOnly(true);
    memWebServerLog->setMaximumBlockCount(static_cast<int>(TController::MaxLogLines));
    memWebServerLog->setLineWrapMode(QPlainTextEdit::NoWrap);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(group);
    layout->addWidget(memWebServerLog, 1);

    FRetryTimer = new QTimer(this);
    FRetryTimer->setInterval(RetryMs);
    connect(FRetryTimer, &QTimer::timeout, this, [this] {
        if (FServer != nullptr && !FServer->Active()) {
            StartServer(true);
        } else {
            FRetryTimer->stop();
        }
    });
    connect(btnWebServerStart, &QPushButton::clicked, this, &TWebServerPage::btnWebServerStartClick);
    connect(btnWebServerStop, &QPushButton::clicked, this, &TWebServerPage::btnWebServerStopClick);
    connect(edWebServerPassword, &QLineEdit::textChanged, this, &TWebServerPage::edWebServerPasswordChange);
}

void TWebServerPage::Load(const TWebServerSettings& settings) {
    edWebServerPort->setText(QString::fromStdString(settings.Port));
    edWebServerUser->setText(QString::fromStdString(settings.User));
    // The field shows the stored hash; filling it counts as an edit, so the
    // stored hash is put back in force afterwards.
    edWebServerPassword->setText(QString::fromStdString(settings.Password));
    if (FServer != nullptr) {
        FServer->SetPasswordHash(settings.Password);
    }
    cbWebServerCommandExecution->setChecked(settings.CommandExecution);
    edWebServerCertificate->setText(QString::fromStdString(settings.CertificateFile));
    edWebServerKey->setText(QString::fromStdString(settings.KeyFile));
    FAllowedHosts = settings.AllowedHosts;
    FConfiguration = settings.Configuration;
    FAddress = settings.Address;
    FWebEncoderOptions = settings.WebEncoderOptions;
    FFolderRoots = settings.FolderRoots;
}

TWebServerSettings TWebServerPage::Fields() const {
    TWebServerSettings s;
    s.Port = edWebServerPort->text().toStdString();
    s.User = edWebServerUser->text().toStdString();
    s.Password = FServer != nullptr ? FServer->PasswordHash() : std::string();
    s.CommandExecution = cbWebServerCommandExecution->isChecked();
    s.CertificateFile = edWebServerCertificate->text().toStdString();
    s.KeyFile = edWebServerKey->text().toStdString();
    s.AllowedHosts = FAllowedHosts;
    s.Configuration = FConfiguration;
    s.Address = FAddress;
    s.WebEncoderOptions = FWebEncoderOptions;
    s.FolderRoots = FFolderRoots;
    return s;
}

void TWebServerPage::edWebServerPasswordChange() {
    if (FServer != nullptr) {
        FServer->SetPasswordHash(HashWebServerPassword(edWebServerPassword->text().toStdString()));
    }
}

void TWebServerPage::ShowRunning(bool running) {
    edWebServerPort->setEnabled(!running);
    edWebServerUser->setEnabled(!running);
    edWebServerPassword->setEnabled(!running);
    cbWebServerCommandExecution->setEnabled(!running);
    edWebServerCertificate->setEnabled(!running);
    edWebServerKey->setEnabled(!running);
    btnWebServerStop->setEnabled(running);
    btnWebServerStart->setEnabled(!running);
}

void TWebServerPage::btnWebServerStartClick() {
    if (FServer == nullptr || FServer->Active()) {
        return;
    }
    StartServer(false);
}

void TWebServerPage::StartServer(bool retry) {
    try {
        // The server logs "Web server started", or the error line before it throws.
        FServer->Start(Fields(), retry);
    } catch (const std::exception& e) {
        if (FHeadless) {
            // A box that nobody can answer would stop the program here; the log has said it.
            FRetryTimer->start();
        } else {
            QMessageBox::critical(this, windowTitle(), QString::fromStdString(e.what()), QMessageBox::Ok);
        }
        return;
    }
    FRetryTimer->stop();
    ShowRunning(true);
}

void TWebServerPage::btnWebServerStopClick() {
    FRetryTimer->stop();
    if (FServer == nullptr) {
        return;
    }
    FServer->Stop();
    ShowRunning(false);
}
