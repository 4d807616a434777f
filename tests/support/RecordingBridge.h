#pragma once

#include "link/Bridge.h"

#include <QString>
#include <QStringList>

#include <deque>
#include <functional>
#include <mutex>

// A bridge that records every call, for tests of the model and its worker. Its converter is
// never busy unless told, and answers each value read with the next entry of a script of
// register images (or zeros).
class TRecordingBridge final : public TBridge {
public:
    explicit TRecordingBridge(QString serial = QStringLiteral("TEST1"))
        : FSerial(std::move(serial)) {}

    // Status reads that report busy before each conversion is seen as done.
    int BusyPolls = 0;
    // Register bytes 0 to 6 for the coming value reads, in order.
    std::deque<TRegData> Answers;
    // Called before every operation with its name; may throw EHIDError to fail it.
    std::function<void(const QString&)> BeforeCall;

    // A list of its own: a shared one would be grown by the worker while the test reads it.
    QStringList Calls() const {
        std::lock_guard lock(FLock);
        return QStringList(FCalls.cbegin(), FCalls.cend());
    }
    void ClearCalls() {
        std::lock_guard lock(FLock);
        FCalls.clear();
    }
    // Image bytes sent by the WriteRegs calls, in order.
    std::vector<TRegData> Written() const {
        std::lock_guard lock(FLock);
        return FWritten;
    }

    QString SerNum() override { return FSerial; }
    bool Init() override { return Record(QStringLiteral("Init")); }
    bool LED_on() override { return Record(QStringLiteral("LED_on")); }
    bool LED_off() override { return Record(QStringLiteral("LED_off")); }

    std::uint8_t ReadStatus() override {
        Record(QStringLiteral("ReadStatus"));
        std::lock_guard lock(FLock);
        if (FBusyLeft > 0) {
            --FBusyLeft;
            return StatusBusy;
        }
        return 0x00;
    }

    void ReadValues(TRegData& RegData) override {
        Record(QStringLiteral("ReadValues"));
        std::lock_guard lock(FLock);
        TRegData answer{};
        if (!Answers.empty()) {
            answer = Answers.front();
            Answers.pop_front();
        }
        std::copy(answer.begin(), answer.begin() + RegCapSetup, RegData.begin());
    }

    void ReadCAPValues(TRegData& RegData) override {
        WaitForConversion(*this);
        ReadValues(RegData);
    }

    void WriteRegs(std::uint8_t StartReg, std::uint8_t RegCount, TRegData RegData) override {
        const int mode = ConfigurationMode.Get(RegData[RegConfiguration]);
        Record(QStringLiteral("WriteRegs(%1,%2) mode %3").arg(StartReg).arg(RegCount).arg(mode));
        std::lock_guard lock(FLock);
        FWritten.push_back(RegData);
        // A write that starts a conversion makes the converter busy for a while.
        if (mode != ModeIdle && StartReg <= RegConfiguration &&
            StartReg + RegCount > RegConfiguration)
            FBusyLeft = BusyPolls;
    }

private:
    bool Record(const QString& call) {
        if (BeforeCall)
            BeforeCall(call);
        std::lock_guard lock(FLock);
        FCalls << call;
        return true;
    }

    const QString FSerial;
    mutable std::mutex FLock;
    QStringList FCalls;
    std::vector<TRegData> FWritten;
    int FBusyLeft = 0;
};
