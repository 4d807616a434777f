#include "app/headless/HeadlessProgram.h"

#include "app/core/MeterSet.h"
#include "app/core/ProgramSettings.h"
#include "app/core/RunController.h"
#include "app/core/SignalCloser.h"
#include "app/headless/ProgramValues.h"
#include "app/headless/RemoteRunControl.h"
#include "model/IniFile.h"
#include "model/Meter.h"
#include "remote/TelnetServer.h"
#include "remote/TelnetSettings.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFileInfo>

#include <cstdio>
#include <utility>

THeadlessProgram::THeadlessProgram(THidBackend& backend, THeadlessOptions options,
                                   std::function<void(const QString&)> printLine)
    : FOptions(std::move(options))
    , FPrintLine(std::move(printLine))
    , FMeterSet(std::make_unique<TMeterSet>(backend, FOptions.SettingsFile))
    , FRun(std::make_unique<TRunController>(*FMeterSet))
    , FValues(std::make_unique<TProgramValues>(*FMeterSet, *FRun))
    , FTelnetHost(std::make_unique<TRemoteRunControl>(*FRun))
    , FTelnetServer(std::make_unique<TTelnetServer>(*FTelnetHost)) {
    // Without a log file name a run writes where the program was started, as command-line
    // programs do.
    FRun->SetUnattendedFolder(QDir::currentPath());
    ReadProgramKeys(TIniFile(FOptions.SettingsFile), *FValues, EKeyScope::ProgramFile);
    if (!FOptions.LogFile.isEmpty())
        FRun->SetLogFileName(FOptions.LogFile);
    FDurationTimer.setSingleShot(true);
    FProgressTimer.setInterval(FOptions.ProgressIntervalMs);
    ConnectEvents();
}

THeadlessProgram::~THeadlessProgram() {
    // As the window's program: the command server first, the meters last.
    FTelnetServer.reset();
    FTelnetHost.reset();
    FValues.reset();
    FRun.reset();
    FMeterSet.reset();
}

void THeadlessProgram::Print(const QString& line) const {
    if (FPrintLine) {
        FPrintLine(line);
        return;
    }
    const QString stamped =
        QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss ")) + line;
    std::fprintf(stderr, "%s\n", stamped.toLocal8Bit().constData());
    std::fflush(stderr);
}

void THeadlessProgram::ConnectEvents() {
    connect(FMeterSet.get(), &TMeterSet::MetersChanged, this, [this] {
        TellMeterChanges();
        FResultsSinceProgress.assign(FMeterSet->Meters().size(), 0);
        FirstDiscoveryDone();
    });
    connect(
        FMeterSet.get(), &TMeterSet::MeterFailed, this,
        [this](std::size_t meter, const QString& message) {
            Print(
                QStringLiteral("Meter %1: %2").arg(FMeterSet->Meters()[meter]->SerNum(), message));
        });
    // A run starts also when the first discovery failed: with the meters that could be set up.
    connect(FMeterSet.get(), &TMeterSet::DiscoveryFailed, this, [this](const QString& message) {
        Print(message);
        FirstDiscoveryDone();
    });
    connect(FMeterSet.get(), &TMeterSet::Result, this,
            [this](std::size_t meter, std::span<const double>, std::uint32_t) {
                if (meter < FResultsSinceProgress.size())
                    ++FResultsSinceProgress[meter];
            });

    connect(FRun.get(), &TRunController::RunningChanged, this, [this](bool running) {
        const QString file =
            QDir::toNativeSeparators(QFileInfo(FRun->RunLogFileName()).absoluteFilePath());
        if (running) {
            Print(QStringLiteral("Run started, %1, writing %2")
                      .arg(FRun->FastModeRun() ? QStringLiteral("fast mode")
                                               : QStringLiteral("timer mode"),
                           file));
            FResultsSinceProgress.assign(FMeterSet->Meters().size(), 0);
            FProgressClock.start();
            if (FOptions.Progress)
                FProgressTimer.start();
        } else {
            FProgressTimer.stop();
            Print(QStringLiteral("Run stopped: %1 rows written to %2")
                      .arg(FRun->RunLogRows())
                      .arg(file));
        }
    });
    connect(FRun.get(), &TRunController::Status, this, &THeadlessProgram::Print);
    connect(FRun.get(), &TRunController::IntervalWarningChanged, this, [this](const QString& text) {
        if (!text.isEmpty())
            Print(text);
    });
    connect(FRun.get(), &TRunController::ErrorOccurred, this,
            [this](const QString& message) { Print(QStringLiteral("Error: ") + message); });

    connect(FTelnetServer.get(), &TTelnetServer::ClientConnected, this,
            [this](const QString& address) {
                Print(QStringLiteral("Client %1 connected").arg(address));
            });
    connect(FTelnetServer.get(), &TTelnetServer::ClientDisconnected, this,
            [this] { Print(QStringLiteral("Client disconnected")); });
    connect(FTelnetServer.get(), &TTelnetServer::ClientRefused, this,
            [this](const QString& address) {
                Print(RefusedConnectionText(address, FTelnetServer->RefusedCount()));
            });
    connect(FRun.get(), &TRunController::Line, FTelnetServer.get(), &TTelnetServer::QueueLine);

    connect(&FDurationTimer, &QTimer::timeout, this, [this] {
        Print(QStringLiteral("The run's duration of %1 s is over")
                  .arg(double(*FOptions.DurationMs) / 1000.0));
        Finish(ExitDone);
    });
    connect(&FProgressTimer, &QTimer::timeout, this, &THeadlessProgram::PrintProgress);
}

void THeadlessProgram::FirstDiscoveryDone() {
    if (!std::exchange(FDiscovered, true) && FOptions.Start)
        StartRun();
}

void THeadlessProgram::TellMeterChanges() {
    QStringList serials;
    for (const TMeter* meter : FMeterSet->Meters())
        serials << meter->SerNum();
    for (const QString& serial : serials)
        if (!FSerials.contains(serial))
            Print(QStringLiteral("Meter %1 found").arg(serial));
    for (const QString& serial : std::as_const(FSerials))
        if (!serials.contains(serial))
            Print(QStringLiteral("Meter %1 lost").arg(serial));
    FSerials = serials;

    QStringList locked;
    for (const TMeterSet::TLockedMeter& meter : FMeterSet->LockedMeters()) {
        locked << meter.Serial;
        if (!FLockedSerials.contains(meter.Serial))
            Print(QStringLiteral("Meter %1 (%2) cannot be opened: permission denied; see the "
                                 "udev rule 70-dielometer.rules")
                      .arg(meter.Serial, meter.DevicePath));
    }
    FLockedSerials = locked;
}

void THeadlessProgram::StartRemoteAccess() {
    // A server that cannot start is told, and the program runs on without it, as the window does.
    try {
        StartTelnetServer(*FTelnetServer, ReadTelnetSettings(TIniFile(FOptions.SettingsFile)));
        Print(QStringLiteral("Command server listening on port %1").arg(FTelnetServer->Port()));
    } catch (const std::exception& error) {
        Print(QString::fromUtf8(error.what()));
    }
}

void THeadlessProgram::StartRun() {
    try {
        FRun->Start(TRunController::EStartedBy::Unattended);
    } catch (const std::exception& error) {
        Print(QStringLiteral("The run could not start: ") + QString::fromUtf8(error.what()));
        Finish(ExitFailed);
        return;
    }
    if (FOptions.DurationMs)
        FDurationTimer.start(int(std::min<qint64>(*FOptions.DurationMs, INT_MAX)));
}

void THeadlessProgram::PrintProgress() {
    const double seconds = double(FProgressClock.restart()) / 1000.0;
    QStringList rates;
    const std::vector<TMeter*>& meters = FMeterSet->Meters();
    for (std::size_t i = 0; i < meters.size() && i < FResultsSinceProgress.size(); ++i) {
        rates << MeterRateText(meters[i]->SerNum(), double(FResultsSinceProgress[i]), seconds);
        FResultsSinceProgress[i] = 0;
    }
    QString line = QStringLiteral("Progress: %1 rows written").arg(FRun->RunLogRows());
    if (!rates.isEmpty())
        line += QStringLiteral("; ") + rates.join(QStringLiteral(", "));
    Print(line);
}

void THeadlessProgram::WriteSettings() {
    TIniFile ini(FOptions.SettingsFile);
    FMeterSet->EndContinuousModes();
    WriteProgramKeys(ini, *FValues, EKeyScope::ProgramFile);
    FMeterSet->SaveSections(ini);
}

int THeadlessProgram::Exec() {
    TSignalCloser closer(this, [this] {
        Print(QStringLiteral("Termination signal: stopping"));
        Finish(ExitDone);
    });
    StartRemoteAccess();
    return QCoreApplication::exec();
}

void THeadlessProgram::Finish(int exitCode) {
    if (std::exchange(FFinished, true))
        return;
    FDurationTimer.stop();
    if (FRun->Running()) {
        try {
            FRun->Stop();
        } catch (const std::exception& error) {
            Print(QStringLiteral("Error: ") + QString::fromUtf8(error.what()));
            exitCode = ExitFailed;
        }
    }
    try {
        WriteSettings();
    } catch (const std::exception& error) {
        Print(QStringLiteral("The settings could not be saved: ") +
              QString::fromUtf8(error.what()));
    }
    FTelnetServer->Close();
    QCoreApplication::exit(exitCode);
}
