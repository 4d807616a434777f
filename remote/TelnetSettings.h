#pragma once

#include <QString>

#include <stdexcept>

class TIniFile;
class TTelnetServer;

// The command server's keys in the section [Telnet] of the program settings file, as written
// there. Every program that runs the server reads them here and starts it through
// StartTelnetServer, so that they all take the same keys and report them alike.
struct TTelnetSettings {
    int Port = 23;
    // Whether the file holds Port at all: only a port the user chose is worth an error box.
    bool PortChosen = false;
    // The address to listen on; empty: every IPv4 address.
    QString Bind;
    // Client addresses and subnets, separated by commas; empty: every client.
    QString Allow;
    // The settings file, as the messages name it.
    QString SettingsFile;
};

TTelnetSettings ReadTelnetSettings(const TIniFile& ini);

// The command server did not start; the message says why and which key of which file to change.
class ETelnetStartError : public std::runtime_error {
public:
    ETelnetStartError(const QString& message, bool defaultPortRefused);
    // The default port on the default address could not be opened, which an ordinary user on
    // Linux never may: worth a note, not an error box. A key the user set is worth the box.
    bool DefaultPortRefused() const noexcept { return FDefaultPortRefused; }

private:
    bool FDefaultPortRefused;
};

// Hands the server its allowed clients and listens on Bind and Port. A malformed key is
// refused before anything is applied; a malformed key or a port that cannot be opened raises
// ETelnetStartError, and the server does not listen.
void StartTelnetServer(TTelnetServer& server, const TTelnetSettings& settings);

// What to tell the user about a client that the server refused, and how many it has refused.
QString RefusedConnectionText(const QString& clientAddress, int refusedSoFar);
