#include "remote/AddressWatcher.h"

#include <QFile>
#include <QNetworkInterface>

#include <stdexcept>

namespace {

bool IsOnline(const QString& address) {
    return !address.isEmpty() && address != QLatin1String("127.0.0.1");
}

} // namespace

TAddressWatcher::TAddressWatcher(std::function<QString()> address, QObject* parent)
    : QObject(parent)
    , FAddressSource(address ? std::move(address) : &TAddressWatcher::LocalAddress) {
    FTimer.setInterval(CheckIntervalMs);
    connect(&FTimer, &QTimer::timeout, this, &TAddressWatcher::Check);
}

QString TAddressWatcher::LocalAddress() {
    bool loopback = false;
    for (const QNetworkInterface& interface : QNetworkInterface::allInterfaces()) {
        const auto flags = interface.flags();
        if (!(flags & QNetworkInterface::IsUp) || !(flags & QNetworkInterface::IsRunning))
            continue;
        for (const QNetworkAddressEntry& entry : interface.addressEntries()) {
            const QHostAddress ip = entry.ip();
            if (ip.protocol() != QAbstractSocket::IPv4Protocol)
                continue;
            if (ip.isLoopback())
                loopback = true;
            else
                return ip.toString();
        }
    }
    return loopback ? QStringLiteral("127.0.0.1") : QString();
}

void TAddressWatcher::Start() {
    FTimer.start();
}

void TAddressWatcher::Check() {
    const QString address = FAddressSource();
    const bool online = IsOnline(address);
    if (!online && FOnline)
        Remember(FAddress);
    FAddress = address;
    if (online != FOnline) {
        FOnline = online;
        emit StatusChanged(online);
    }
}

void TAddressWatcher::Remember(const QString& address) {
    if (!IsOnline(address) || (!FHistory.isEmpty() && FHistory.constLast() == address))
        return;
    FHistory.append(address);
    while (FHistory.size() > MaxHistory)
        FHistory.removeFirst();
}

void TAddressWatcher::WriteHistory(const QString& fileName) {
    if (FOnline)
        Remember(FAddress);
    QFile file(fileName);
    QByteArray text;
    for (const QString& address : FHistory)
        text += address.toLatin1() + '\n';
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(text) != text.size())
        throw std::runtime_error(QStringLiteral("Unable to write the address history to %1: %2")
                                     .arg(fileName, file.errorString())
                                     .toStdString());
}
