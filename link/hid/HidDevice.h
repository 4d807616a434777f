#pragma once

#include "link/hid/HidBackend.h"
#include "link/hid/ReportDescriptor.h"

#include <QByteArray>
#include <QObject>
#include <QString>

#include <atomic>
#include <condition_variable>
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
    // Only the controller creates devices and tells them what became of them.
    class TControllerKey {
        friend class THidDeviceController;
        TControllerKey() = default;
    };

    // The backend must outlive the device or be let go by Detach first.
    THidDevice(TControllerKey, THidBackend& backend, THidDeviceInfo info, bool readWrite,
               int threadSleepTime);
    ~THidDevice() override;

    const THidDeviceInfo& Info() const { return FInfo; }
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

    // The background reader reads input reports through a handle of its own and hands each to
    // DataReceived. It runs while reading is asked for and the device is plugged in, checked
    // out and writable; asked for before the check-out, it starts then.
    void StartReading();
    // Stops the reader and waits for it; a report it read but did not hand on yet is dropped.
    void StopReading();
    bool ReaderRunning() const { return FReader.joinable(); }

    // The reader's wait slice in ms; values outside 10 to 10000 are ignored.
    int ThreadSleepTime() const { return FThreadSleepTime; }
    void SetThreadSleepTime(int milliseconds);

    // --- the controller's side ---
    // Checked out: the reader starts if reading was asked for.
    void HandOut(TControllerKey);
    // While set, the device may be queried though it is not checked out.
    void SetEnumerating(bool enumerating, TControllerKey) { FEnumerating = enumerating; }
    // The change pass found the device gone: handles close, transfers fail from now on.
    void MarkUnplugged(TControllerKey);
    // The controller goes first: the device stays with its holder, unplugged.
    void Detach(TControllerKey);

signals:
    // An input report from the reader, on the window's thread: its ID and the bytes after it.
    // The reader reads on once the receivers have returned.
    void DataReceived(quint8 reportId, const QByteArray& data);
    // A read of the reader failed, on the window's thread: ENODEV when it had no handle, EIO
    // otherwise. The reader tries again after its wait slice.
    void DataError(int error);
    // The holder destroys the checked-out device: emitted from the destructor, once the
    // handles are closed.
    void Released(QPrivateSignal);

protected:
    bool event(QEvent* event) override;

private:
    // The main handle, opened on demand; nothing when the device may not be used now.
    std::shared_ptr<THidConnection> MainHandle(bool& openedNow);
    void CloseMainHandle();
    std::shared_ptr<THidConnection> ReaderHandle();
    // A one-time query through the main handle, which is closed again if it was opened for it.
    template <class Query>
    auto QueryOnce(Query&& query) -> decltype(query(std::declval<THidConnection&>()));
    void MarkUnplugged();

    void StartReader();
    void StopReader();
    void ReaderLoop(std::size_t reportLength);
    void WaitSlice();

    THidBackend* FBackend; // null once the controller is gone
    const THidDeviceInfo FInfo;
    std::atomic<bool> FPluggedIn{true};
    std::atomic<bool> FCheckedOut{false};
    std::atomic<bool> FEnumerating{false};
    const bool FHasReadWriteAccess;

    std::mutex FHandleLock;
    std::shared_ptr<THidConnection> FMain;
    std::shared_ptr<THidConnection> FReaderHandle;
    std::atomic<int> FNumInputBuffers{0};
    std::atomic<int> FNumOverlappedBuffers{0};

    QString FProductName;
    QString FSerialNumber;
    std::optional<THidCaps> FCaps; // guarded by the handle lock

    bool FReadingWanted = false;
    std::atomic<int> FThreadSleepTime;
    std::thread FReader;
    std::mutex FReaderLock; // the reader's stop request and its wait for the receivers
    std::condition_variable FReaderWake;
    bool FStopReader = false;
    bool FDelivered = true;
};
