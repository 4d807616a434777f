#include "tests/support/TelnetAbuse.h"

#include "app/MainWindow.h"
#include "app/Program.h"
#include "link/hid/VirtualHidBus.h"
#include "model/IniFile.h"
#include "remote/TelnetServer.h"
#include "sim/VirtualMeter.h"
#include "tests/support/MeterSettings.h"
#include "tests/support/ScriptedPrompts.h"

#include <QElapsedTimer>
#include <QFile>
#include <QSpinBox>
#include <QTest>
#include <QTimer>

#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <mutex>
#include <netinet/in.h>
#include <poll.h>
#include <random>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

int Connect(quint16 port, int receiveBuffer = 0) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    if (receiveBuffer > 0)
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// Closes with a reset instead of an orderly shutdown, as a crashed client or a pulled cable.
void CloseAbruptly(int fd) {
    const linger reset{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    ::close(fd);
}

bool SendAll(int fd, const std::string& bytes) {
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        sent += std::size_t(n);
    }
    return true;
}

// Whether the peer closed the connection: readable with nothing to read, or an error.
bool PeerClosed(int fd, int timeoutMs) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, timeoutMs) <= 0)
        return false;
    char byte;
    const ssize_t n = ::recv(fd, &byte, 1, MSG_DONTWAIT | MSG_PEEK);
    return n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK);
}

// Reads CR LF lines until the peer closes or Stop.
class TReader {
public:
    explicit TReader(int fd)
        : FFd(fd)
        , FThread([this] { Read(); }) {}
    ~TReader() { Stop(); }
    void Stop() {
        if (!FThread.joinable())
            return;
        FStop = true;
        FThread.join();
        ::close(FFd);
    }
    std::vector<std::string> Lines() const {
        std::lock_guard lock(FLock);
        return FLines;
    }

private:
    void Read() {
        std::string pending;
        char buffer[65536];
        while (!FStop) {
            pollfd p{FFd, POLLIN, 0};
            if (::poll(&p, 1, 20) <= 0)
                continue;
            const ssize_t got = ::recv(FFd, buffer, sizeof buffer, 0);
            if (got <= 0)
                break;
            pending.append(buffer, std::size_t(got));
            std::size_t start = 0;
            std::lock_guard lock(FLock);
            for (std::size_t end; (end = pending.find("\r\n", start)) != std::string::npos;
                 start = end + 2)
                FLines.push_back(pending.substr(start, end - start));
            pending.erase(0, start);
        }
    }

    const int FFd;
    std::atomic<bool> FStop{false};
    mutable std::mutex FLock;
    std::vector<std::string> FLines;
    std::thread FThread;
};

struct TAbuseCounts {
    std::atomic<long> Sequences{0};
    std::atomic<long> Bytes{0};
    std::atomic<int> Connections{0};
    std::atomic<int> OverlongLines{0};
};

// One abusive client's life: sequences random byte sequences over connection after connection.
void SendGarbage(quint16 port, long sequences, std::uint64_t seed, TAbuseCounts& counts) {
    std::mt19937_64 random(seed);
    const auto byte = [&] {
        for (;;) {
            const char c = char(random() & 0xFF);
            if (c != 'S' && c != 'X' && c != '?')
                return c;
        }
    };
    // Option negotiation as telnet programs send it: DO/WILL/WONT/DONT and a subnegotiation.
    const std::string options("\xFF\xFD\x01\xFF\xFB\x03\xFF\xFC\x22\xFF\xFE\x05"
                              "\xFF\xFA\x18\x01\xFF\xF0",
                              18);
    int fd = -1;
    for (long sent = 0; sent < sequences;) {
        if (fd < 0) {
            fd = Connect(port);
            ++counts.Connections;
            if (fd < 0) {
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
                continue;
            }
        }
        std::string bytes(std::size_t(1 + random() % 64), '\0');
        for (char& c : bytes)
            c = byte();
        if (sent % 97 == 0)
            bytes += options;
        if (!SendAll(fd, bytes)) {
            ::close(fd); // the server ended this connection; the next one goes on
            fd = -1;
            continue;
        }
        ++sent;
        ++counts.Sequences;
        counts.Bytes += long(bytes.size());
        if (sent % 400 == 0) {
            CloseAbruptly(fd); // mid-line, most likely
            fd = -1;
        } else if (sent % 2500 == 0) {
            // Over the limit: the server ends the connection.
            ++counts.OverlongLines;
            (void)SendAll(fd, std::string(20000, 'a') + "\n");
            (void)PeerClosed(fd, 1000);
            ::close(fd);
            fd = -1;
        }
    }
    if (fd >= 0)
        CloseAbruptly(fd);
}

// The longest gap between the ticks of a fast timer on the window's thread.
class TStallMonitor {
public:
    static constexpr int IntervalMs = 2;
    TStallMonitor() {
        FTimer.setTimerType(Qt::PreciseTimer);
        FTimer.setInterval(IntervalMs);
        QObject::connect(&FTimer, &QTimer::timeout, [this] {
            FLongestNs = std::max(FLongestNs, FSince.nsecsElapsed());
            FSince.restart();
        });
        FSince.start();
        FTimer.start();
    }
    double LongestStallMs() const { return std::max(0.0, FLongestNs / 1e6 - IntervalMs); }

private:
    QTimer FTimer;
    QElapsedTimer FSince;
    qint64 FLongestNs = 0;
};

} // namespace

TTelnetAbuseRun::TTelnetAbuseRun(long sequences)
    : FSequences(sequences)
    , FPrompts(std::make_unique<TScriptedPrompts>())
    , FBus(std::make_unique<TVirtualHidBus>()) {
    const QString iniName = FDir.filePath(QStringLiteral("Settings.ini"));
    TIniFile ini(iniName);
    ini.WriteInteger(QStringLiteral("Telnet"), QStringLiteral("Port"), 0);
    ini.WriteString(QStringLiteral("Measurement"), QStringLiteral("Logfile"),
                    FDir.filePath(QStringLiteral("run.txt")));
    for (int i = 0; i < 2; ++i) {
        const QString serial = QStringLiteral("M%1").arg(i + 1);
        WriteCap1MeterSettings(ini, serial);
        auto meter = std::make_shared<TVirtualMeter>(serial);
        meter->SetInputCapacitance(1, 1.25 + i);
        meter->SetCapNoise(0.001); // rows differ, so that a lost or repeated one shows
        FBus->Plug(meter);
    }
    FProgram = std::make_unique<TProgram>(*FBus, iniName);
}

TTelnetAbuseRun::~TTelnetAbuseRun() = default;

TTelnetAbuseResult TTelnetAbuseRun::Run() {
    TTelnetAbuseResult result;
    TMainWindow& form = FProgram->Window();
    if (!QTest::qWaitFor([&] { return form.MeterSet().Meters().size() == 2; }, 5000))
        return result;
    form.StartRemoteAccess();
    if (!form.TelnetServer)
        return result;
    const quint16 port = form.TelnetServer->Port();

    const int goodFd = Connect(port);
    if (goodFd < 0)
        return result;
    TReader good(goodFd);
    if (!QTest::qWaitFor([&] { return good.Lines().size() >= 2; }, 5000))
        return result;

    form.Settings->IntervalSE->setValue(50);
    form.StartBtnClick();
    TStallMonitor monitor;

    // The abusive clients.
    TAbuseCounts counts;
    std::atomic<int> finished{0};
    std::vector<std::thread> abusers;
    for (int i = 0; i < 2; ++i)
        abusers.emplace_back([&, i] {
            SendGarbage(port, FSequences / 2 + (i == 0 ? FSequences % 2 : 0), 1234 + i, counts);
            ++finished;
        });
    (void)QTest::qWaitFor([&] { return finished == 2; }, 300000); // and then joined in any case
    for (std::thread& abuser : abusers)
        abuser.join();
    QTest::qWait(300); // the server notices the last of them go

    // Five clients that never read, with small receive buffers: the server holds four, the
    // fifth is its sixth connection.
    std::vector<int> silent;
    for (int i = 0; i < 5; ++i) {
        silent.push_back(Connect(port, 4096));
        QTest::qWait(150); // the server takes it in
    }
    QTest::qWait(1500); // rows go on meanwhile
    for (int fd : silent) {
        if (fd < 0)
            continue;
        if (PeerClosed(fd, 0))
            result.SixthTurnedAway = true;
        else
            ++result.NeverReadingAccepted;
    }

    result.StillRunning = form.Run().Running();
    form.StopBtnClick();
    result.LongestStallMs = monitor.LongestStallMs();
    for (int fd : silent)
        if (fd >= 0)
            CloseAbruptly(fd);

    // The rows of the log, and what the well-behaved client got.
    QFile log(FDir.filePath(QStringLiteral("run.txt")));
    QStringList rows;
    if (log.open(QIODevice::ReadOnly)) {
        const QStringList lines = QString::fromUtf8(log.readAll()).split(QStringLiteral("\r\n"));
        const qsizetype header = lines.indexOf(QStringLiteral("CAP1.M1\tCAP1.M2\t"));
        if (header >= 0)
            rows = lines.mid(header + 1, lines.size() - header - 2);
    }
    result.RowsLogged = int(rows.size());
    // The rows received are compared below, whether they all came or not.
    (void)QTest::qWaitFor([&] { return int(good.Lines().size()) >= rows.size() + 2; }, 5000);
    const std::vector<std::string> received = good.Lines();
    result.RowsReceived = int(received.size()) - 2;
    result.RowsInOrder = result.RowsReceived == rows.size();
    for (qsizetype i = 0; result.RowsInOrder && i < rows.size(); ++i)
        result.RowsInOrder = rows[i].toStdString() == received[std::size_t(i) + 2];
    good.Stop();

    // The server still takes clients, once it has seen the others go.
    QTest::qWait(300);
    const int lateFd = Connect(port);
    if (lateFd >= 0) {
        TReader late(lateFd);
        result.ServerUp = QTest::qWaitFor([&] { return late.Lines().size() >= 2; }, 5000);
    }

    result.Sequences = counts.Sequences;
    result.BytesSent = counts.Bytes;
    result.Connections = counts.Connections;
    result.OverlongLines = counts.OverlongLines;
    return result;
}
