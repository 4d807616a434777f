#pragma once

#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <functional>

// Watches whether the computer is on line: it is while its local address is neither empty nor
// "127.0.0.1". Checks every 500 ms on the thread it lives on and reports changes of that state
// (not changes of the address while on line). Keeps a history of the addresses it had.
class TAddressWatcher : public QObject {
    Q_OBJECT
public:
    static constexpr int CheckIntervalMs = 500;
    static constexpr qsizetype MaxHistory = 25;

    // address: where the local address comes from; by default the first IPv4 address of a
    // network interface that is up and not a loopback, else "127.0.0.1" or empty.
    explicit TAddressWatcher(std::function<QString()> address = {}, QObject* parent = nullptr);

    static QString LocalAddress();

    // Starts checking; the watcher starts off line.
    void Start();
    // One check, as the timer runs it.
    void Check();
    bool Online() const { return FOnline; }
    const QString& Address() const { return FAddress; }
    const QStringList& History() const { return FHistory; }
    // Adds the current address to the history when on line, and writes the history, one
    // address per line, to fileName. Raises when the file cannot be written.
    void WriteHistory(const QString& fileName);

signals:
    void StatusChanged(bool online);

private:
    void Remember(const QString& address);

    std::function<QString()> FAddressSource;
    QTimer FTimer;
    bool FOnline = false;
    QString FAddress;
    QStringList FHistory;
};
