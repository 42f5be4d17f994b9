#pragma once
#include <QString>
#include <exception>

// A failure raised by the socket component, the log pane or the number readers.
// Handlers with a failure path catch it; everything else lets it pass upwards
// until the guard at the event-loop entry shows it.
struct Failure : std::exception {
    Failure(qint32 number, QString description) : Number(number), Description(std::move(description)) {}
    const char *what() const noexcept override { return "Wirebench failure"; }
    qint32 Number;
    QString Description;
};

// Failure numbers, chosen after the classic socket error codes.
namespace FailureNo
{
constexpr qint32 InvalidArgument = 10022; // bad port, bad value
constexpr qint32 WrongState = 10035;      // operation does not fit the socket's state
constexpr qint32 AccessDenied = 10013;    // privileged port, permission
constexpr qint32 AddressInUse = 10048;
constexpr qint32 AddressNotAvailable = 10049;
constexpr qint32 NetworkUnreachable = 10051;
constexpr qint32 ConnectionReset = 10054;
constexpr qint32 NotConnected = 10057;
constexpr qint32 TimedOut = 10060;
constexpr qint32 ConnectionRefused = 10061;
constexpr qint32 HostUnreachable = 10065;
constexpr qint32 HostNotFound = 11001;
constexpr qint32 TlsFailure = 12157;     // the TLS handshake failed, or the peer is not speaking TLS
constexpr qint32 TlsCertificate = 12045; // the program's own certificate cannot be read or used
constexpr qint32 Overflow = 6;           // a number does not fit 32 bits
constexpr qint32 TypeMismatch = 13;      // a text is not a number
constexpr qint32 LogFailure = 7;         // the log pane could not take the text
constexpr qint32 Unexpected = 51;        // anything else
} // namespace FailureNo
