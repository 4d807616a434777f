#pragma once

#include "link/hid/VirtualHidBus.h"

#include <QString>

#include <atomic>

// Some other HID device on the bus, keyboard-like: the program must list it as nothing of its
// own and leave it alone. It accepts every report and never sends one.
class TForeignHidDevice final : public TVirtualHidDevice {
public:
    explicit TForeignHidDevice(QString product = QStringLiteral("Virtual Keyboard"),
                               QString serial = QString());

    QString Product() const override { return FProduct; }
    QString Serial() const override { return FSerial; }
    std::vector<std::uint8_t> ReportDescriptor() const override;
    bool OutputReport(const std::uint8_t* report, std::size_t length, EPipe pipe) override;
    bool FeatureReport(const std::uint8_t* report, std::size_t length) override;

    // Output and feature reports it got: a program that leaves it alone sends none.
    int ReportsReceived() const { return FReportsReceived; }

private:
    const QString FProduct;
    const QString FSerial;
    std::atomic<int> FReportsReceived{0};
};
