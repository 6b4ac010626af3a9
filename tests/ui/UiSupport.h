#pragma once

#include <QString>
#include <QTimer>

#include <functional>
#include <ostream>

// Readable QStrings in GoogleTest's messages.
inline void PrintTo(const QString& s, std::ostream* os) { *os << '"' << s.toStdString() << '"'; }

class QWidget;

namespace TestSupport {

// Answers the next modal window that opens (a message box, a dialog) from the
// event loop that runs it, as a user would: `answer` gets the window and
// clicks or closes it. A message box's text and default button are kept.
class TModalAnswerer {
public:
    explicit TModalAnswerer(std::function<void(QWidget* window)> answer);

    // Clicks the message box's button with this text (or rejects any other window).
    static TModalAnswerer Clicking(const QString& buttonText);

    bool Answered() const { return FAnswered; }
    const QString& Text() const { return FText; }
    const QString& DefaultButton() const { return FDefaultButton; }

    TModalAnswerer(TModalAnswerer&&) = delete;

private:
    void Poll();

    std::function<void(QWidget*)> FAnswer;
    QTimer FTimer;
    bool FAnswered = false;
    QString FText;
    QString FDefaultButton;
};

} // namespace TestSupport
