#pragma once

#include <QObject>
#include <QString>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

// The platform below the HID layer: which HID device interfaces are present, and handles to
// them. Two implementations: Linux (libudev and /dev/hidrawN) and the virtual USB bus.

enum class EHidAccess {
    ReadWrite, // transfers and queries
    QueryOnly, // strings and report descriptor only; every transfer fails
    ReadOnly,  // input reports only: the background reader's own handle
};

enum class EHidReadResult { Ok, TimedOut, Failed };

struct THidDeviceInfo {
    std::string Path;       // the name under which the interface is opened
    std::string InstanceId; // identifies the device across change passes
};

// One open handle to a HID device interface. Every handle that can read receives its own copy
// of each input report. Transfers may be called from any thread, one at a time per handle;
// Shutdown may be called from another thread while a transfer is blocked.
class THidConnection {
public:
    virtual ~THidConnection() = default;

    // The device answers as a usable HID interface.
    virtual bool Identify() = 0;
    // Nothing when the platform query fails; an empty string when the device has none.
    virtual std::optional<QString> ProductString() = 0;
    virtual std::optional<QString> SerialString() = 0;
    virtual std::optional<std::vector<std::uint8_t>> ReportDescriptor() = 0;

    // Asks for a depth of this handle's input-report queue; returns the depth the platform
    // gives (0 when it gives none).
    virtual int SetInputQueueDepth(int requested) = 0;

    // One output report through the interrupt pipe; report[0] is the report ID.
    virtual bool Write(const std::uint8_t* report, std::size_t length) = 0;
    // One input report into buffer (buffer[0] the report ID); count is the number of bytes
    // received. timeoutMs 0 does not wait, a negative one waits until a report comes or the
    // device goes.
    virtual EHidReadResult Read(std::uint8_t* buffer, std::size_t length, std::size_t& count,
                                int timeoutMs) = 0;
    virtual bool SetFeature(const std::uint8_t* report, std::size_t length) = 0;
    // One output report through the control pipe.
    virtual bool SetOutputReport(const std::uint8_t* report, std::size_t length) = 0;

    // The device is gone or the handle is being closed: a blocked transfer returns at once
    // with failure, and so does every later one.
    virtual void Shutdown() = 0;
};

class THidBackend : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;

    // The HID device interfaces present now, in the platform's order.
    virtual std::vector<THidDeviceInfo> Enumerate() = 0;
    // Opens a handle; nothing when the platform refuses it.
    virtual std::unique_ptr<THidConnection> Open(const THidDeviceInfo& device,
                                                 EHidAccess access) = 0;

signals:
    // A HID device was added or removed. May be emitted on any thread.
    void DevicesChanged();
};
