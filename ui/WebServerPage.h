#pragma once

#include <QWidget>

#include <string>
#include <vector>

class QCheckBox;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QTimer;
class TWebServer;
struct TWebServerSettings;

// The "Web Server" page: the server's settings, its Start and Stop buttons and
// its log. The fields are locked while the server runs, so that requests only
// ever see settings that do not change under them.
class TWebServerPage : public QWidget {
    Q_OBJECT
public:
    explicit TWebServerPage(QWidget* parent = nullptr);

    // The server that the buttons work; it must outlive the page's use of it.
    void SetServer(TWebServer* server) { FServer = server; }
    // Fills the fields from the stored keys; the stored password hash stays in
    // force until the field is edited.
    void Load(const TWebServerSettings& settings);
    // The fields with the password hash in force, for storing and starting;
    // AllowedHosts as loaded.
    TWebServerSettings Fields() const;

    void btnWebServerStartClick();
    // Where nobody can answer a message box (a program without a display), a
    // start that fails is only logged, and tried again every RetryMs until it
    // works or Stop is clicked.
    static constexpr int RetryMs = 30000;
    void SetHeadless(bool headless) { FHeadless = headless; }
    void btnWebServerStopClick();
    void edWebServerPasswordChange();

    QLineEdit* edWebServerPort;
    QLineEdit* edWebServerUser;
    QLineEdit* edWebServerPassword;
    QCheckBox* cbWebServerCommandExecution;
    QLineEdit* edWebServerCertificate;
    QLineEdit* edWebServerKey;
    QPushButton* btnWebServerStart;
    QPushButton* btnWebServerStop;
    QPlainTextEdit* memWebServerLog;

private:
    void ShowRunning(bool running);

    void StartServer(bool retry);

    TWebServer* FServer = nullptr;
    std::string FAllowedHosts;
    bool FConfiguration = false; // as loaded: the file's key alone turns it on
    std::string FAddress;        // as loaded
    bool FWebEncoderOptions = false;       // as loaded: the file's keys alone set these
    std::vector<std::string> FFolderRoots; // as loaded
    bool FHeadless = false;
    QTimer* FRetryTimer;
};

// Appends a line to a log memo that keeps at most 1000 lines, and shows the newest.
void AppendLogLine(QPlainTextEdit* memo, const QString& line);
