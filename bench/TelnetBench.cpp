// The command server on loopback with 5 clients connected: 10,000 lines queued one every
// millisecond, as the window queues them; each client notes when every line arrives.
// - telnet_latency_median_ms, telnet_latency_p99_ms: from queuing a line to a client having
//   read it, over all lines and clients.
#include "remote/TelnetServer.h"

#include <QCoreApplication>
#include <QTimer>

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

constexpr int Clients = 5;
constexpr int Lines = 10000;

std::int64_t NowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

class TQueueHost final : public TTelnetHost {
public:
    void TelnetStart() override {}
    void TelnetStop() override {}
    QStringList TelnetStatus() override { return {}; }
    bool ShowsModalDialog() override { return false; }
};

// A plain blocking client on its own thread: reads lines "stamp" and notes their latency.
void Client(quint16 port, std::vector<double>& latencies, std::atomic<int>& done) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        std::perror("connect");
        ++done;
        return;
    }
    std::string pending;
    char buffer[65536];
    int greetingLines = 2;
    while (int(latencies.size()) < Lines) {
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got <= 0)
            break;
        const std::int64_t now = NowNs();
        pending.append(buffer, std::size_t(got));
        std::size_t start = 0;
        for (std::size_t end; (end = pending.find("\r\n", start)) != std::string::npos;
             start = end + 2) {
            if (greetingLines > 0) {
                --greetingLines;
                continue;
            }
            const std::int64_t stamp = std::stoll(pending.substr(start, end - start));
            latencies.push_back(double(now - stamp) / 1e6);
        }
        pending.erase(0, start);
    }
    ::close(fd);
    ++done;
}

} // namespace

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    TQueueHost host;
    TTelnetServer server(host);
    server.Listen(0);
    std::vector<std::vector<double>> latencies(Clients);
    std::atomic<int> done{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < Clients; ++i)
        threads.emplace_back(Client, server.Port(), std::ref(latencies[std::size_t(i)]),
                             std::ref(done));

    int queued = 0;
    QTimer tick;
    tick.setTimerType(Qt::PreciseTimer);
    tick.setInterval(1);
    QObject::connect(&tick, &QTimer::timeout, [&] {
        if (queued < Lines) {
            server.QueueLine(QString::number(NowNs()));
            ++queued;
        }
        if (done == Clients)
            app.quit();
    });
    // The lines start once every client has its greeting.
    QTimer::singleShot(500, [&] { tick.start(); });
    app.exec();
    for (std::thread& thread : threads)
        thread.join();

    std::vector<double> all;
    for (const auto& client : latencies)
        all.insert(all.end(), client.begin(), client.end());
    if (all.size() != std::size_t(Clients) * Lines) {
        std::fprintf(stderr, "%zu of %d lines arrived\n", all.size(), Clients * Lines);
        return 1;
    }
    std::sort(all.begin(), all.end());
    std::printf("telnet_lines = %zu\n", all.size());
    std::printf("telnet_latency_median_ms = %.3f\n", all[all.size() / 2]);
    std::printf("telnet_latency_p99_ms = %.3f\n", all[all.size() * 99 / 100]);
    return 0;
}
