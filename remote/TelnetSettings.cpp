#include "remote/TelnetSettings.h"

#include "model/IniFile.h"
#include "remote/TelnetServer.h"

#include <QDir>
#include <QHostAddress>

namespace {

const QString Section = QStringLiteral("Telnet");

// The address to listen on; "::" listens on IPv6 and IPv4 alike.
QHostAddress BindAddress(const TTelnetSettings& settings) {
    if (settings.Bind.isEmpty())
        return QHostAddress(QHostAddress::AnyIPv4);
    const QHostAddress address(settings.Bind);
    if (address.isNull())
        throw ETelnetStartError(
            QStringLiteral("The telnet server does not start: \"%1\" is no IP address. Set an "
                           "IPv4 or IPv6 address of this computer, such as 127.0.0.1, with the "
                           "key Bind in the section [Telnet] of %2, or leave the key empty to "
                           "listen on every IPv4 address. The program runs on without remote "
                           "access.")
                .arg(settings.Bind, settings.SettingsFile),
            false);
    return address == QHostAddress::AnyIPv6 ? QHostAddress(QHostAddress::Any) : address;
}

QList<TTelnetServer::TSubnet> AllowedSubnets(const TTelnetSettings& settings) {
    const auto malformed = [&](const QString& entry) {
        return ETelnetStartError(
            QStringLiteral("The telnet server does not start: \"%1\" is no IP address or subnet. "
                           "List the addresses and subnets of the clients that may connect, such "
                           "as 192.168.10.0/24, 10.1.2.3, with the key Allow in the section "
                           "[Telnet] of %2, or leave the key empty to let every client connect. "
                           "The program runs on without remote access.")
                .arg(entry, settings.SettingsFile),
            false);
    };
    QList<TTelnetServer::TSubnet> subnets;
    for (const QString& part : settings.Allow.split(u',')) {
        const QString entry = part.trimmed();
        if (entry.isEmpty())
            continue;
        const TTelnetServer::TSubnet subnet = QHostAddress::parseSubnet(entry);
        if (subnet.first.isNull() || subnet.second < 0)
            throw malformed(entry);
        subnets.append(subnet);
    }
    // A list of commas alone must not open the server to everyone.
    if (subnets.isEmpty() && !settings.Allow.isEmpty())
        throw malformed(settings.Allow);
    return subnets;
}

} // namespace

TTelnetSettings ReadTelnetSettings(const TIniFile& ini) {
    TTelnetSettings settings;
    settings.PortChosen = ini.KeyExists(Section, QStringLiteral("Port"));
    settings.Port = ini.ReadInteger(Section, QStringLiteral("Port"), settings.Port);
    settings.Bind = ini.ReadString(Section, QStringLiteral("Bind"), QString()).trimmed();
    settings.Allow = ini.ReadString(Section, QStringLiteral("Allow"), QString()).trimmed();
    settings.SettingsFile = QDir::toNativeSeparators(ini.FileName());
    return settings;
}

ETelnetStartError::ETelnetStartError(const QString& message, bool defaultPortRefused)
    : std::runtime_error(message.toStdString())
    , FDefaultPortRefused(defaultPortRefused) {}

void StartTelnetServer(TTelnetServer& server, const TTelnetSettings& settings) {
    if (settings.Port < 0 || settings.Port > 65535)
        throw ETelnetStartError(
            QStringLiteral("The telnet server cannot listen on port %1: no such TCP port. Set "
                           "a port from 1024 to 65535 with the key Port in the section "
                           "[Telnet] of %2. The program runs on without remote access.")
                .arg(settings.Port)
                .arg(settings.SettingsFile),
            false);
    const QHostAddress address = BindAddress(settings);
    server.SetAllowedClients(AllowedSubnets(settings));
    try {
        server.Listen(quint16(settings.Port), settings.SettingsFile, address);
    } catch (const std::runtime_error& error) {
        throw ETelnetStartError(QString::fromUtf8(error.what()),
                                !settings.PortChosen && settings.Bind.isEmpty());
    }
}

QString RefusedConnectionText(const QString& clientAddress, int refusedSoFar) {
    return QStringLiteral("Refused a telnet connection from %1 (not in [Telnet] Allow); %2 "
                          "refused so far")
        .arg(clientAddress)
        .arg(refusedSoFar);
}
