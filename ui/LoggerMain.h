#pragma once

#include "SlotStatus.h"

#include "LevelMeter.h"
#include "SlotServices.h"

#include <QMainWindow>

#include <filesystem>
#include <memory>
#include <vector>

class QLabel;
class QPlainTextEdit;
class QSystemTrayIcon;
class QTabWidget;
class QTimer;
class TController;
class TDeviceCatalogue;
class TSettingsStore;
class TSlotInfo;
class TSlotList;
class TSlotRowPainter;
class TWebServer;
class TWebServerPage;

// The main window. It owns the settings store, the controller with its slots
// and the web server, in that order of creation, and releases them in reverse
// (the server stops before any slot goes, the store is flushed after the last
// slot wrote its section). Its 100 ms timer, its buttons and the dialog's
// result are forwarded to the controller.
//
// Threads: the user-interface thread only; the web server's request threads
// reach the slots through the controller's command queue, drained every tick.
class TLoggerMainForm : public QMainWindow {
    Q_OBJECT
public:
    static constexpr const char* Title = "Pelorand Rudaz Odudad";
    static constexpr const char* CloseQuestion = "Exit Pelorand Rudaz Odudad?";

    // FormCreate: opens the settings, creates the slots (attaching their
    // inputs) and the web server, fills the pages. No file is opened before
    // the first tick.
    // `headless`: nobody sees the window, so nothing may wait for an answer.
    TLoggerMainForm(TDeviceCatalogue& devices, const std::filesystem::path& settingsFile,
                    TSlotServices services, bool headless = false);
    // FormDestroy: frees the slots in index order, then writes the web server's
    // keys and the slot count and flushes the settings file.
    ~TLoggerMainForm() override;

    TController& Controller() const { return *FController; }
    TWebServer& WebServer() const { return *FWebServer; }

    void timTimerTimer();
    void btnSettingsClick();
    void btnStartClick();
    void btnStopClick();
    void UpdateSlotButtons();
    void miOpenFolderClick();
    // A restore request: from the tray, or from a second start of the program.
    void TrayIconClick();
    // The orderly shutdown without the close question (a stop signal).
    void CloseWithoutQuestion();

    // The text of the About page's version label.
    static QString VersionLabel();

    QTabWidget* pcMain;
    TSlotList* vdtSlots;
    TWebServerPage* WebServerPage;
    QPlainTextEdit* memLog;
    QLabel* lblVersion;
    QTimer* timTimer;
    QSystemTrayIcon* TrayIcon = nullptr; // only where the desktop has a tray

    // The displayed meter levels of each row.
    std::vector<TDisplayLevels> DisplayLevels;
    std::vector<TSlotStatus> FLastStatus; // each row's texts as last read
    float MeterDecay;

protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    void BuildPages();
    void BuildTray();
    void FormShow();
    void FormClose();
    void vdtSlotsDrawNode(QPainter& p, int row, const QRect& rect, bool highlighted);
    TSlotInfo* FocusedSlot() const;

    bool FFirstShow = true;
    bool FClosed = false;        // FormClose has run
    std::unique_ptr<TSettingsStore> FSettings;
    std::unique_ptr<TController> FController;
    std::unique_ptr<TWebServer> FWebServer;
    std::unique_ptr<TSlotRowPainter> FRowPainter;
    TDeviceCatalogue& FDevices;
    int FSlotCount = 0;
};
