#pragma once

#include <memory>
#include <string>
#include <vector>

class TController;
class TSettingsFile;

// The keys of the "Webserver" section. Booleans are on only when the text is exactly "on".
struct TWebServerSettings {
    std::string Port = "5252";
    // The one address to listen on (127.0.0.1 keeps the page on this machine); "" for all.
    std::string Address;
    std::string User;
    std::string Password; // the hash, never the password itself
    bool CommandExecution = true;
    bool Enabled = false;
    // The settings view on the page; only together with a user.
    bool Configuration = false;
    // Without a user, Host names taken besides the machine's own (comma-separated).
    std::string AllowedHosts;
    // PEM files; with both set the server speaks HTTPS only.
    std::string CertificateFile;
    std::string KeyFile;
    // The settings view may change EncoderOptions (they reach the encoder's command line).
    bool WebEncoderOptions = false;
    // Where the settings view may put a slot's folder ("FolderRoots", separated
    // by ';'); by default the default recordings folder and the slots' folders
    // found in the file.
    std::vector<std::string> FolderRoots;

    static TWebServerSettings Read(const TSettingsFile& settings);
    // Port, User, Password, CommandExecution, CertificateFile and KeyFile, as at
    // the window's destruction.
    void WriteFields(TSettingsFile& settings) const;
    // Enabled alone, as at the window's close.
    static void WriteEnabled(TSettingsFile& settings, bool running);
};

// MD5 of the salt followed by the password, as 32 upper-case hex digits.
std::string HashWebServerPassword(const std::string& password);

// The built-in HTTP server: its lifecycle, the access check and the routes.
// It reads the controller's slots from connection threads, so whoever owns the
// controller must destroy (or Deactivate) this object before the slots go.
//
// Threads: Start, Stop, Deactivate and SetPasswordHash on the user-interface
// thread only; requests run on connection threads.
class TWebServer {
public:
    explicit TWebServer(TController& controller);
    ~TWebServer(); // deactivates without a log line

    TWebServer(const TWebServer&) = delete;
    TWebServer& operator=(const TWebServer&) = delete;

    // Does nothing when active. A port text that is not an integer keeps the
    // port in force (5252 until a start set another). Logs "Web server started";
    // on failure (also a certificate or key that cannot be read or is refused)
    // logs "Error starting web server: %s", stays stopped and throws
    // std::runtime_error whose what() is that same full text (for the message box).
    // A retry (`retry` true) does not log the error of the last failed start again.
    // Password and Enabled of `settings` are not used.
    void Start(const TWebServerSettings& settings, bool retry = false);
    // Logs "Web server stopped"; waits for the connection threads to end.
    void Stop();
    // The close of the window: stops without a log line.
    void Deactivate();
    bool Active() const;
    int Port() const;

    // Set from the stored Password at start-up, and replaced by
    // HashWebServerPassword of the whole field text on every edit of the field.
    void SetPasswordHash(const std::string& hash);
    std::string PasswordHash() const;

private:
    class TImpl;
    std::unique_ptr<TImpl> FImpl;
};
