#include "LoggerMain.h"

#include "ChildProcess.h"
#include "ConfigureSlot.h"
#include "Controller.h"
#include "PNG.h"
#include "SettingsStore.h"
#include "SlotList.h"
#include "SlotRowPainter.h"
#include "Version.h"
#include "WebServer.h"
#include "WebServerPage.h"
#include "WindowFont.h"

#include <QApplication>
#include <QCloseEvent>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QSystemTrayIcon>
#include <QTabWidget>
#include <QTimer>
#include <QVBoxLayout>

#include <iostream>

namespace {

// 454 x 448 client area at start; 470 x 110 was the smallest window with a Windows frame.
constexpr QSize StartSize{454, 448};
constexpr QSize MinimumSize{454, 71};

QWidget* Page(QWidget* content) {
    auto* page = new QWidget;
    auto* layout = new QVBoxLayout(page);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(content);
    return page;
}

} // namespace

QString TLoggerMainForm::VersionLabel() {
    const TExeVersion v = GetExeVersion();
    return QString("Version %1.%2.%3 Build %4").arg(v.Major).arg(v.Minor).arg(v.Release).arg(v.Build);
}

TLoggerMainForm::TLoggerMainForm(TDeviceCatalogue& devices, const std::filesystem::path& settingsFile,
                                 TSlotServices services, bool headless)
    : FDevices(devices) {
    setWindowTitle(Title);
    setWindowIcon(QIcon(":/rudazodudad.png"));
    setFont(WindowFont());
    BuildPages();
    BuildTray();
    FRowPainter = std::make_unique<TSlotRowPainter>(
        TSlotRowPainter::TImages{GetPNG("status_ok"), GetPNG("status_disabled"), GetPNG("status_error")}, font());

    FSettings = std::make_unique<TSettingsStore>(settingsFile);
    FSlotCount = TController::ReadSlotCount(*FSettings);
    // Log lines arrive while the slots are created, so the pages exist before the controller.
    FController = std::make_unique<TController>(
        *FSettings, devices, FSlotCount, std::move(services),
        [this](TController::TLogKind kind, const std::string& line) {
            // Also on standard error, where a headless run's journal picks it up.
            std::cerr << line << std::endl;
            AppendLogLine(kind == TController::TLogKind::Slots ? memLog : WebServerPage->memWebServerLog,
                          QString::fromStdString(line));
        });
    FController->OnUpdateSlotButtons = [this] { UpdateSlotButtons(); };
    FController->GuideNewcomer(settingsFile.string(), devices);
    DisplayLevels.assign(static_cast<std::size_t>(FSlotCount), TDisplayLevels{});
    FLastStatus.assign(static_cast<std::size_t>(FSlotCount), TSlotStatus{});
    vdtSlots->SetRowCount(FSlotCount);

    FWebServer = std::make_unique<TWebServer>(*FController);
    WebServerPage->SetServer(FWebServer.get());
    WebServerPage->SetHeadless(headless);
    WebServerPage->Load(TWebServerSettings::Read(*FSettings));

    lblVersion->setText(VersionLabel());
    MeterDecay = MeterDecayPerTick(TController::TickMs);

    timTimer = new QTimer(this);
    timTimer->setInterval(TController::TickMs);
    connect(timTimer, &QTimer::timeout, this, &TLoggerMainForm::timTimerTimer);
    timTimer->start();

    resize(StartSize);
    setMinimumSize(MinimumSize);
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        move(screen->availableGeometry().center() - rect().center());
    }
}

TLoggerMainForm::~TLoggerMainForm() {
    timTimer->stop();
    FormClose();
    const TWebServerSettings fields = WebServerPage->Fields();
    WebServerPage->SetServer(nullptr);
    FWebServer.reset();
    // A count changed from the web takes effect at the next start.
    const int nextSlotCount = FController->NextSlotCount();
    // Each slot finishes its file, detaches its input and writes its section.
    FController.reset();
    fields.WriteFields(*FSettings);
    TController::WriteSlotCount(*FSettings, nextSlotCount);
    FSettings->UpdateFile();
    FSettings.reset();
}

void TLoggerMainForm::BuildPages() {
    pcMain = new QTabWidget;
    vdtSlots = new TSlotList;
    WebServerPage = new TWebServerPage;
    memLog = new QPlainTextEdit;
    memLog->setReadOnly(true);
    memLog->setMaximumBlockCount(static_cast<int>(TController::MaxLogLines));
    memLog->setLineWrapMode(QPlainTextEdit::NoWrap);

    auto* about = new QWidget;
    auto* aboutLayout = new QVBoxLayout(about);
    auto* icon = new QLabel;
    icon->setPixmap(QPixmap(":/rudazodudad-48.png"));
    auto* name = new QLabel(Title);
    QFont big = font();
    big.setPointSize(14);
    big.setBold(true);
    name->setFont(big);
    lblVersion = new QLabel;
    auto* text = new QLabel(tr("Records sound-card inputs and Internet streams around the clock into hourly files, "
                               "keeps a catalogue of them and serves them to web browsers."));
    text->setWordWrap(true);
    for (QLabel* label : {icon, name, lblVersion, text}) {
        label->setAlignment(Qt::AlignHCenter);
        aboutLayout->addWidget(label);
    }
    aboutLayout->addStretch();

    pcMain->addTab(Page(vdtSlots), tr("Slots"));
    pcMain->addTab(WebServerPage, tr("Web Server"));
    pcMain->addTab(Page(memLog), tr("Messages"));
    pcMain->addTab(about, tr("About"));
    pcMain->setCurrentIndex(0);
    auto* central = new QWidget;
    auto* layout = new QVBoxLayout(central);
    layout->setContentsMargins(3, 3, 3, 3);
    layout->addWidget(pcMain);
    setCentralWidget(central);

    vdtSlots->DrawRow = [this](QPainter& p, int row, const QRect& r, bool highlighted) {
        vdtSlotsDrawNode(p, row, r, highlighted);
    };
    vdtSlots->OnFocusChanged = [this] { UpdateSlotButtons(); };
    connect(vdtSlots, &TSlotList::SettingsRequested, this, &TLoggerMainForm::btnSettingsClick);
    connect(vdtSlots, &TSlotList::StartRequested, this, &TLoggerMainForm::btnStartClick);
    connect(vdtSlots, &TSlotList::StopRequested, this, &TLoggerMainForm::btnStopClick);
    connect(vdtSlots, &TSlotList::OpenFolderRequested, this, &TLoggerMainForm::miOpenFolderClick);
}

void TLoggerMainForm::BuildTray() {
    if (!QSystemTrayIcon::isSystemTrayAvailable()) {
        return; // no tray: minimising leaves the window on the task bar
    }
    TrayIcon = new QSystemTrayIcon(QIcon(":/rudazodudad.png"), this);
    TrayIcon->setToolTip(Title);
    auto* menu = new QMenu(this);
    QAction* restore = menu->addAction(tr("Restore"), this, &TLoggerMainForm::TrayIconClick);
    menu->setDefaultAction(restore);
    menu->addAction(tr("Exit"), this, &QWidget::close);
    TrayIcon->setContextMenu(menu);
    connect(TrayIcon, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
        if (reason == QSystemTrayIcon::Trigger || reason == QSystemTrayIcon::DoubleClick) {
            TrayIconClick();
        }
    });
}

void TLoggerMainForm::vdtSlotsDrawNode(QPainter& p, int row, const QRect& rect, bool highlighted) {
    const auto& slots = FController->Slots();
    if (row < 0 || static_cast<std::size_t>(row) >= slots.size()) {
        return;
    }
    const TSlotInfo& slot = *slots[static_cast<std::size_t>(row)];
    TSlotStatus& status = FLastStatus[static_cast<std::size_t>(row)];
    // A slot whose work is stuck in its folder holds its lock: its row keeps
    // what it said last, and says that, rather than the window waiting.
    if (auto now = TryDescribeSlot(slot, GetMilliseconds())) {
        status = std::move(*now);
    } else if (const auto folder = slot.FolderAlarm()) {
        status.Line2 = folder->Text;
        status.Line2Alarm = true;
        status.Image = TSlotStatus::TImage::Error;
    }
    FRowPainter->Paint(p, rect, slot, status, DisplayLevels[static_cast<std::size_t>(row)], MeterDecay, highlighted);
}

void TLoggerMainForm::timTimerTimer() {
    FController->ProcessCommands();
    vdtSlots->InvalidateRows();
    FController->timTimerTimer();
}

TSlotInfo* TLoggerMainForm::FocusedSlot() const {
    const int row = vdtSlots->FocusedRow();
    const auto& slots = FController->Slots();
    return row >= 0 && static_cast<std::size_t>(row) < slots.size() ? slots[static_cast<std::size_t>(row)].get()
                                                                     : nullptr;
}

void TLoggerMainForm::UpdateSlotButtons() {
    const TSlotInfo* slot = FocusedSlot();
    if (slot == nullptr) {
        return;
    }
    const bool hasInput = slot->Source != TSlotSource::None;
    vdtSlots->StopButton()->setEnabled(hasInput && slot->Enabled);
    vdtSlots->StartButton()->setEnabled(hasInput && !slot->Enabled);
    vdtSlots->SettingsButton()->setEnabled(true);
}

void TLoggerMainForm::btnStartClick() {
    if (vdtSlots->FocusedRow() >= 0) {
        FController->SetRecording(vdtSlots->FocusedRow(), true);
    }
}

void TLoggerMainForm::btnStopClick() {
    if (vdtSlots->FocusedRow() >= 0) {
        FController->SetRecording(vdtSlots->FocusedRow(), false);
    }
}

void TLoggerMainForm::btnSettingsClick() {
    const int row = vdtSlots->FocusedRow();
    TSlotInfo* slot = FocusedSlot();
    if (slot == nullptr) {
        return;
    }
    // Recording goes on while the dialog is open: the timer keeps ticking.
    TConfigureSlotForm dialog(this, *slot, FDevices);
    if (dialog.exec() == QDialog::Accepted && !FClosed) {
        FController->ApplySlotSettings(row, dialog.InputChanged(), dialog.OutputChanged(),
                                       dialog.ReplacedOtherChange()
                                           ? "in the window, replacing a change made while the dialog was open"
                                           : "in the window");
    }
}

void TLoggerMainForm::miOpenFolderClick() {
    if (TSlotInfo* slot = FocusedSlot()) {
        try {
            // Not through Qt: the file manager must not inherit the stop signals this program blocks.
            StartDetached({"xdg-open", slot->Folder});
        } catch (const std::exception& e) {
            slot->Log(std::string("Cannot open the output folder: ") + e.what());
        }
    }
}

void TLoggerMainForm::TrayIconClick() {
    showNormal();
    raise();
    activateWindow();
    if (TrayIcon != nullptr) {
        TrayIcon->hide();
    }
}

void TLoggerMainForm::showEvent(QShowEvent* event) {
    QMainWindow::showEvent(event);
    if (FFirstShow) {
        FFirstShow = false;
        FormShow();
    }
}

void TLoggerMainForm::FormShow() {
    if (TWebServerSettings::Read(*FSettings).Enabled) {
        WebServerPage->btnWebServerStartClick();
    }
}

void TLoggerMainForm::changeEvent(QEvent* event) {
    QMainWindow::changeEvent(event);
    if (event->type() == QEvent::WindowStateChange && isMinimized() && TrayIcon != nullptr) {
        TrayIcon->show();
        // Hidden after the state change has been handled, leaving no task bar entry.
        QTimer::singleShot(0, this, [this] {
            if (isMinimized()) {
                hide();
            }
        });
    }
}

void TLoggerMainForm::closeEvent(QCloseEvent* event) {
    if (!FClosed) {
        QMessageBox question(QMessageBox::NoIcon, Title, CloseQuestion, QMessageBox::Yes | QMessageBox::No, this);
        question.setDefaultButton(QMessageBox::No);
        // A window in the tray comes back to ask.
        if (!isVisible() || isMinimized()) {
            TrayIconClick();
        }
        if (question.exec() != QMessageBox::Yes && !FClosed) {
            event->ignore();
            return;
        }
    }
    FormClose();
    event->accept();
    QCoreApplication::quit();
}

void TLoggerMainForm::CloseWithoutQuestion() {
    FormClose();
    // Ends every loop that runs now: a dialog, a message box, the close
    // question (quit() would do nothing before the main loop has started)...
    QCoreApplication::exit(0);
    // ...and the main loop should it not have started yet (a box opened while
    // the window was first shown runs before it).
    QMetaObject::invokeMethod(
        qApp, [] { QCoreApplication::exit(0); }, Qt::QueuedConnection);
}

void TLoggerMainForm::FormClose() {
    if (FClosed) {
        return;
    }
    FClosed = true;
    timTimer->stop();
    // From here on no request thread touches a slot.
    TWebServerSettings::WriteEnabled(*FSettings, FWebServer->Active());
    FWebServer->Deactivate();
    if (TrayIcon != nullptr) {
        TrayIcon->hide();
    }
}
