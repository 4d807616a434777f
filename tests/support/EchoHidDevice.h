#pragma once

#include "link/hid/VirtualHidBus.h"

#include <mutex>
#include <vector>

// A small virtual HID device for tests of the HID layer: input and output reports of 63 bytes
// behind the ID, feature reports of 4. It keeps every report it gets, and answers an output
// report 0x12 with an input report 0x13 that echoes it.
class TEchoHidDevice final : public TVirtualHidDevice {
public:
    struct TReceived {
        std::vector<std::uint8_t> Bytes;
        enum class EKind { Interrupt, Control, Feature } Kind;
    };

    TEchoHidDevice(QString product, QString serial)
        : FProduct(std::move(product))
        , FSerial(std::move(serial)) {}

    QString Product() const override { return FProduct; }
    QString Serial() const override { return FSerial; }

    std::vector<std::uint8_t> ReportDescriptor() const override {
        // Vendor page; input 0x13, output 0x10/0x12/0x14 with 63 bytes, features 0x02/0x04 with 4.
        std::vector<std::uint8_t> d = {0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01, 0x75, 0x08};
        const auto report = [&](std::uint8_t id, std::uint8_t count, std::uint8_t main) {
            d.insert(d.end(), {0x85, id, 0x95, count, 0x09, 0x01, main, 0x02});
        };
        report(0x13, 63, 0x81);
        report(0x10, 63, 0x91);
        report(0x12, 63, 0x91);
        report(0x14, 63, 0x91);
        report(0x02, 4, 0xB1);
        report(0x04, 4, 0xB1);
        d.push_back(0xC0);
        return d;
    }

    bool OutputReport(const std::uint8_t* report, std::size_t length, EPipe pipe) override {
        Keep(report, length,
             pipe == EPipe::Control ? TReceived::EKind::Control : TReceived::EKind::Interrupt);
        if (length > 0 && report[0] == 0x12) {
            std::vector<std::uint8_t> answer(report, report + length);
            answer[0] = 0x13;
            SendInputReport(answer);
        }
        return true;
    }

    bool FeatureReport(const std::uint8_t* report, std::size_t length) override {
        Keep(report, length, TReceived::EKind::Feature);
        return true;
    }

    // Sends an input report as the device would on its own, readable from deliverAt on.
    void Send(const std::vector<std::uint8_t>& report,
              std::chrono::steady_clock::time_point deliverAt = std::chrono::steady_clock::now()) {
        SendInputReport(report, deliverAt);
    }

    std::vector<TReceived> Received() const {
        std::lock_guard lock(FLock);
        return FReceived;
    }

private:
    void Keep(const std::uint8_t* report, std::size_t length, TReceived::EKind kind) {
        std::lock_guard lock(FLock);
        FReceived.push_back({std::vector<std::uint8_t>(report, report + length), kind});
    }

    const QString FProduct;
    const QString FSerial;
    mutable std::mutex FLock;
    std::vector<TReceived> FReceived;
};
