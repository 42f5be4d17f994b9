#pragma once
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

// What the command line asks for, read before the toolkit starts so that --help,
// --version and a bad option need no display.
struct CommandLine {
    enum Action { Run, Help, Version, Error };
    Action action = Run;
    QString error;   // Error: the line to print after "wirebench: "
    QString command; // Run: the peer as one string, as the window's start-up reads it
    bool tls = false;
    // Qt's own -platform and -display, which the toolkit takes off the command line itself.
    QString platform, display;
};

// Reads the arguments after the program's name. Two arguments, HOST and a number,
// become "HOST:PORT" (an IPv6 address in brackets); any other arguments are joined
// with spaces, as the window has always read them.
CommandLine ParseCommandLine(const QStringList &arguments);

// The text --help prints.
QString CommandLineUsage();

// Why the toolkit could not open a display with this environment and command line,
// in a few words that name the variables to set; empty when it may.
QString NoDisplayReason(const CommandLine &cl, const QProcessEnvironment &env);
