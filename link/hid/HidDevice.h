#pragma once

#include "link/hid/HidBackend.h"
#include "link/hid/ReportDescriptor.h"

#include <QObject>
#include <QString>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>

class THidDeviceController;

// One HID device interface. The controller creates it in a change pass and hands it out by
// CheckOut; whoever checked it out releases it by destroying it, and the controller then keeps a
// fresh entry for the device in its place.
//
// Transfers may run on any thread, one per device at a time; everything else runs on the
// window's thread. The handle lock guards only the handles and flags that transfers share with
// the window's thread, never a transfer itself.
class THidDevice : public QObject {
    Q_OBJECT
public:
    // The report ID, the bytes after it and their count.
    using TDataHandler = std::function<void(THidDevice* device, std::uint8_t reportId,
                                            const std::uint8_t* data, std::uint16_t size)>;
    using TDataErrorHandler = std::function<void(THidDevice* device, int error)>;

    ~THidDevice() override;

    const std::string& DevicePath() const { return FInfo.Path; }
    const std::string& InstanceId() const { return FInfo.InstanceId; }
    bool IsPluggedIn() const { return FPluggedIn; }
    bool IsCheckedOut() const { return FCheckedOut; }
    bool HasReadWriteAccess() const { return FHasReadWriteAccess; }

    // Read once and cached; empty when the device cannot be asked (a failed query is tried
    // again on the next use).
    QString ProductName();
    QString SerialNumber();
    // Report byte lengths including the ID byte; fetched once from the report descriptor.
    THidCaps Caps();

    // Input-report queue depths of the main and the reader's handle, as the platform gives them
    // (0 while the handle is closed).
    int NumInputBuffers() const { return FNumInputBuffers; }
    void SetNumInputBuffers(int count);
    int NumOverlappedBuffers() const { return FNumOverlappedBuffers; }
    void SetNumOverlappedBuffers(int count);

    // One output report through the interrupt pipe.
    bool WriteFile(const std::uint8_t* report, std::size_t length, std::size_t& written);
    // One input report from the main handle's queue, waiting at most timeoutMs (negative: until
    // one comes or the device goes).
    EHidReadResult ReadFile(std::uint8_t* report, std::size_t length, std::size_t& read,
                            int timeoutMs);
    bool SetFeature(const std::uint8_t* report, std::size_t length);
    // One output report through the control pipe.
    bool SetOutputReport(const std::uint8_t* report, std::size_t length);

    // Installing a handler starts the background reader (when the device is plugged in, checked
    // out and writable); installing none stops it. The handler runs on the window's thread.
    void SetOnData(TDataHandler handler);
    void SetOnDataError(TDataErrorHandler handler) { FOnDataError = std::move(handler); }
    bool ReaderRunning() const { return FReader.joinable(); }

    // The reader's wait slice in ms; values outside 10 to 10000 are ignored.
    int ThreadSleepTime() const { return FThreadSleepTime; }
    void SetThreadSleepTime(int milliseconds);

protected:
    bool event(QEvent* event) override;

private:
    friend class THidDeviceController;
    THidDevice(THidDeviceController* controller, THidBackend* backend, THidDeviceInfo info,
               bool readWrite, int threadSleepTime);

    // The main handle, opened on demand; nothing when the device may not be used now.
    std::shared_ptr<THidConnection> MainHandle(bool& openedNow);
    void CloseMainHandle();
    std::shared_ptr<THidConnection> ReaderHandle();
    // A one-time query through the main handle, which is closed again if it was opened for it.
    template <class Query>
    auto QueryOnce(Query&& query) -> decltype(query(std::declval<THidConnection&>()));

    void StartReader();
    void StopReader();
    void ReaderLoop(std::size_t reportLength);
    void WaitSlice();
    // The change pass found the device gone: handles close, transfers fail from now on.
    void MarkUnplugged();
    // The controller goes first: the device stays with its holder, unplugged.
    void Detach();

    THidDeviceController* FController;
    THidBackend* FBackend;
    const THidDeviceInfo FInfo;
    std::atomic<bool> FPluggedIn{true};
    std::atomic<bool> FCheckedOut{false};
    bool FEnumerating = false;
    const bool FHasReadWriteAccess;

    std::mutex FHandleLock;
    std::shared_ptr<THidConnection> FMain;
    std::shared_ptr<THidConnection> FReaderHandle;
    std::atomic<int> FNumInputBuffers{0};
    std::atomic<int> FNumOverlappedBuffers{0};

    QString FProductName;
    QString FSerialNumber;
    std::optional<THidCaps> FCaps; // guarded by the handle lock

    TDataHandler FOnData;
    TDataErrorHandler FOnDataError;
    std::atomic<int> FThreadSleepTime;
    std::thread FReader;
    std::mutex FReaderLock; // the reader's stop request and its wait for the handler
    std::condition_variable FReaderWake;
    bool FStopReader = false;
    bool FDelivered = true;
};
