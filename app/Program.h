// The program's start-up pieces shared by the entry and the tests: the hand-over of the serial
// library's worker-thread calls into the Qt event loop, the creation of the five windows, the
// command line, and the end on a signal.
#pragma once

#include "HandOver.h"

#include <QString>
#include <QStringList>

#include <string>

// Creates the windows in their order: the main window, the text transfer settings, the about box,
// the XMODEM dialog and the update dialog. Each reads its settings as it is created.
void createWindows();
// Destroys them again (in reverse order).
void destroyWindows();

// What the command line asks for. Only what is given is read: no argument starts the program as
// it always starts.
struct TCommandLine {
    enum TAction { caRun, caHelp, caVersion, caError };
    TAction action = caRun;
    QString port;  // caRun: the port to connect to at start (empty: none)
    QString error; // caError: what is wrong
};
// Reads the arguments (without the program's name): --help (or -h) and --version win over
// everything else; otherwise at most one PORT, "--" ending the options.
TCommandLine parseCommandLine(const QStringList& arguments);
// The text --help prints.
QString usageText();

// Selects port (bytes, as the command line gives it) in the main window's port list and connects,
// as picking it and pressing the connect button does: an entry of that text, else the entry whose
// device is that path, else the name is added to the list (a pseudo-terminal, a link, any name
// the port accepts). A port that cannot be opened is reported as the connect button reports it.
void connectAtStart(const std::string& port);

// Ends the program the way closing its main window does, for when no one can answer a question:
// message boxes go to standard error, unsaved snippet library work is kept in a recovery file
// beside the library (reported in the status pane and on standard error), then the port is
// closed, the settings written, the device's state saved and the event loop left.
void endWithoutQuestions(const QString& why);
// SIGTERM, SIGINT and SIGHUP (the session ending, Ctrl+C in the starting shell) end the program
// through endWithoutQuestions, run from the event loop: the signal handler only writes the
// signal's number into a pipe that the event loop watches.
void installEndingSignals();
