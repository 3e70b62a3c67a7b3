// The application object: every error that reaches the event loop is shown in the standard
// error box and the program carries on.
#pragma once

#include <QApplication>

#include <exception>
#include <functional>
#include <optional>
#include <ostream>
#include <string>

#include "start_path.h"

class TPictolanApplication : public QApplication {
public:
    TPictolanApplication(int& argc, char** argv);
    bool notify(QObject* receiver, QEvent* event) override;
};

// The command line, read as Qt programs read theirs: --help and --version answer on standard
// output and end the program. A folder or file named gives the path to open; one that cannot
// be opened is reported on err, and the program starts as it would without it.
std::optional<TStartPath> ParseCommandLine(const QStringList& arguments, std::ostream& err);

// The executable's folder with a trailing separator.
std::string AppDirectory();

// Shows a message in the standard error box once the current handler has returned.
void ShowErrorBox(const std::string& message);

// Where error messages go instead of the box (tests collect them); an empty function restores
// the box.
void SetErrorSink(std::function<void(const std::string&)> sink);

// Runs an event handler's body; an error it raises is shown in the error box. Handlers are
// wrapped at the point where Qt calls them, so no exception ever travels through Qt's frames.
template <class F>
void Guarded(F&& body) {
    try {
        body();
    } catch (const std::exception& e) {
        ShowErrorBox(e.what());
    }
}
