#pragma once
#include <QByteArray>
#include <QString>

#include <functional>

class LogStore;

// The log saved as a file, in the form its name's extension asks for:
//   .txt     a transcript: each arrival as a line with its time, direction and
//            length, then its bytes as text, C escapes for anything outside
//            printable ASCII (and for the backslash), one line per LF;
//   .pcapng  a packet capture: each session's bytes as a TCP conversation (or UDP
//            datagrams) between its two ends, each arrival at its time;
//   other    the bytes as they went over the wire, in order of arrival.
// The program's own notices are in the transcript only, as notes. The writers
// read a store nobody changes meanwhile, on any thread.
namespace LogFiles
{
enum Form { Raw, Transcript, Pcapng };
Form FormOf(const QString &path);

// Takes each piece of the file in turn; false stops the writing (a failure).
using Sink = std::function<bool(const char *data, qint64 n)>;
// Writes the store's bytes in the form through sink; false when sink failed.
bool Write(const LogStore &store, Form form, const Sink &sink);
QByteArray ToBytes(const LogStore &store, Form form); // the same, into memory

// Writes to a temporary file next to path that takes its name only once
// complete. Returns the reason of a failure, as the system tells it ("No space
// left on device"), and then leaves no file; empty when saved.
QString Save(const LogStore &store, const QString &path);
} // namespace LogFiles
