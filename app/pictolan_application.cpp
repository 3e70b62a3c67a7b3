#include "pictolan_application.h"

#include <QCommandLineParser>
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
    setApplicationVersion(PICTOLAN_VERSION);
}

bool TPictolanApplication::notify(QObject* receiver, QEvent* event) {
    try {
        return QApplication::notify(receiver, event);
    } catch (const std::exception& e) {
        ShowErrorBox(e.what());
        return false;
    }
}

std::optional<TStartPath> ParseCommandLine(const QStringList& arguments, std::ostream& err) {
    QCommandLineParser parser;
    parser.setApplicationDescription("Browse folders of images and game textures as thumbnails.");
    parser.addHelpOption();
    parser.addVersionOption();
    parser.addPositionalArgument("path", "A folder to browse, or a file to view in its folder.", "[FOLDER | FILE]");
    parser.process(arguments);
    const QStringList paths = parser.positionalArguments();
    if (paths.isEmpty()) return std::nullopt;
    if (paths.size() > 1)
        err << "pictolan: one folder or file at a time; opening \"" << paths.first().toStdString() << "\"\n";
    std::string error;
    std::optional<TStartPath> start = ResolveStartPath(paths.first().toStdString(), error);
    if (!start) err << "pictolan: " << error << "\n";
    return start;
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
