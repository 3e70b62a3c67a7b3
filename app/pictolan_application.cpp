#include "pictolan_application.h"

#include <QMessageBox>
#include <QTimer>

#include "strutils.h"

namespace {
std::function<void(const std::string&)>& ErrorSink() {
    static std::function<void(const std::string&)> sink;
    return sink;
}
}  // namespace

TPictolanApplication::TPictolanApplication(int& argc, char** argv) : QApplication(argc, argv) {
    setApplicationName("Pictolan");
    setApplicationVersion("1.01");
}

bool TPictolanApplication::notify(QObject* receiver, QEvent* event) {
    try {
        return QApplication::notify(receiver, event);
    } catch (const std::exception& e) {
        ShowErrorBox(e.what());
        return false;
    }
}

std::string AppDirectory() { return AppendBackslash(QCoreApplication::applicationDirPath().toStdString()); }

void ShowErrorBox(const std::string& message) {
    if (ErrorSink()) {
        ErrorSink()(message);
        return;
    }
    // Queued: a paint or a half-finished handler must not be re-entered by the box's own loop.
    QString text = QString::fromStdString(message);
    QTimer::singleShot(0, qApp, [text] {
        QMessageBox::critical(QApplication::activeWindow(), QApplication::applicationName(), text);
    });
}

void SetErrorSink(std::function<void(const std::string&)> sink) { ErrorSink() = std::move(sink); }
