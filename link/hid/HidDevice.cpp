#include "link/hid/HidDevice.h"

#include "link/CrossThreadEvent.h"

#include <QCoreApplication>
#include <QEvent>

#include <cerrno>
#include <vector>

namespace {

// One input report from the background reader, delivered on the window's thread.
class TDataEvent final : public QEvent {
public:
    static QEvent::Type EventType() {
        static const int type = QEvent::registerEventType();
        return QEvent::Type(type);
    }
    // report[0] is the report ID; count is at least 1.
    TDataEvent(const std::uint8_t* report, std::size_t count)
        : QEvent(EventType())
        , ReportId(report[0])
        , Data(reinterpret_cast<const char*>(report) + 1, qsizetype(count - 1)) {}
    quint8 ReportId;
    QByteArray Data;
};

class TDataErrorEvent final : public QEvent {
public:
    static QEvent::Type EventType() {
        static const int type = QEvent::registerEventType();
        return QEvent::Type(type);
    }
    explicit TDataErrorEvent(int error)
        : QEvent(EventType())
        , Error(error) {}
    int Error;
};

constexpr int MinThreadSleepTime = 10;
constexpr int MaxThreadSleepTime = 10000;

} // namespace

THidDevice::THidDevice(TControllerKey, THidBackend& backend, THidDeviceInfo info, bool readWrite,
                       int threadSleepTime)
    : FBackend(&backend)
    , FInfo(std::move(info))
    , FHasReadWriteAccess(readWrite)
    , FThreadSleepTime(threadSleepTime) {}

THidDevice::~THidDevice() {
    // Wake a reader blocked in its read at once instead of after its wait slice.
    {
        std::lock_guard lock(FReaderLock);
        FStopReader = true;
    }
    {
        std::lock_guard lock(FHandleLock);
        if (FReaderHandle)
            FReaderHandle->Shutdown();
    }
    StopReader();
    {
        std::lock_guard lock(FHandleLock);
        if (FMain)
            FMain->Shutdown();
        if (FReaderHandle)
            FReaderHandle->Shutdown();
        FMain.reset();
        FReaderHandle.reset();
    }
    if (FCheckedOut)
        emit Released(QPrivateSignal());
}

// ---------------------------------------------------------------------------------------------
// Handles

std::shared_ptr<THidConnection> THidDevice::MainHandle(bool& openedNow) {
    openedNow = false;
    std::lock_guard lock(FHandleLock);
    if (!FPluggedIn || !FBackend || !(FCheckedOut || FEnumerating))
        return nullptr;
    if (!FMain) {
        FMain = FBackend->Open(FInfo,
                               FHasReadWriteAccess ? EHidAccess::ReadWrite : EHidAccess::QueryOnly);
        openedNow = FMain != nullptr;
    }
    return FMain;
}

void THidDevice::CloseMainHandle() {
    std::shared_ptr<THidConnection> main;
    {
        std::lock_guard lock(FHandleLock);
        main = std::move(FMain);
        FNumInputBuffers = 0;
    }
    if (main)
        main->Shutdown();
}

std::shared_ptr<THidConnection> THidDevice::ReaderHandle() {
    std::lock_guard lock(FHandleLock);
    if (!FPluggedIn || !FBackend || !FCheckedOut || !FHasReadWriteAccess)
        return nullptr;
    if (!FReaderHandle)
        FReaderHandle = FBackend->Open(FInfo, EHidAccess::ReadOnly);
    return FReaderHandle;
}

template <class Query>
auto THidDevice::QueryOnce(Query&& query) -> decltype(query(std::declval<THidConnection&>())) {
    bool openedNow = false;
    const auto handle = MainHandle(openedNow);
    if (!handle)
        return {};
    auto result = query(*handle);
    // Only a handle opened for this query is closed again: another thread may be using one
    // that was open before.
    if (openedNow)
        CloseMainHandle();
    return result;
}

void THidDevice::HandOut(TControllerKey) {
    FCheckedOut = true;
    if (FReadingWanted)
        StartReader();
}

void THidDevice::MarkUnplugged(TControllerKey) {
    MarkUnplugged();
}

void THidDevice::MarkUnplugged() {
    FPluggedIn = false;
    std::lock_guard lock(FHandleLock);
    // Transfers still holding a handle fail at once; the handles close when they let go.
    if (FMain)
        FMain->Shutdown();
    if (FReaderHandle)
        FReaderHandle->Shutdown();
    FMain.reset();
    FReaderHandle.reset();
    FNumInputBuffers = 0;
    FNumOverlappedBuffers = 0;
}

void THidDevice::Detach(TControllerKey) {
    MarkUnplugged();
    std::lock_guard lock(FHandleLock);
    FBackend = nullptr;
}

// ---------------------------------------------------------------------------------------------
// Queries

QString THidDevice::ProductName() {
    if (FProductName.isEmpty())
        FProductName =
            QueryOnce([](THidConnection& h) { return h.ProductString(); }).value_or(QString());
    return FProductName;
}

QString THidDevice::SerialNumber() {
    if (FSerialNumber.isEmpty())
        FSerialNumber =
            QueryOnce([](THidConnection& h) { return h.SerialString(); }).value_or(QString());
    return FSerialNumber;
}

THidCaps THidDevice::Caps() {
    // Asked before every transfer, from any thread: the cached lengths are read under the lock.
    {
        std::lock_guard lock(FHandleLock);
        if (FCaps)
            return *FCaps;
    }
    const auto descriptor = QueryOnce([](THidConnection& h) { return h.ReportDescriptor(); });
    if (!descriptor)
        return {};
    std::lock_guard lock(FHandleLock);
    if (!FCaps)
        FCaps = ComputeCaps(*descriptor);
    return *FCaps;
}

void THidDevice::SetNumInputBuffers(int count) {
    bool openedNow = false;
    if (const auto handle = MainHandle(openedNow))
        FNumInputBuffers = handle->SetInputQueueDepth(count);
}

void THidDevice::SetNumOverlappedBuffers(int count) {
    if (const auto handle = ReaderHandle())
        FNumOverlappedBuffers = handle->SetInputQueueDepth(count);
}

// ---------------------------------------------------------------------------------------------
// Transfers

bool THidDevice::WriteFile(const std::uint8_t* report, std::size_t length, std::size_t& written) {
    written = 0;
    bool openedNow = false;
    const auto handle = MainHandle(openedNow);
    if (!handle || !FHasReadWriteAccess || !handle->Write(report, length))
        return false;
    written = length;
    return true;
}

EHidReadResult THidDevice::ReadFile(std::uint8_t* report, std::size_t length, std::size_t& read,
                                    int timeoutMs) {
    read = 0;
    bool openedNow = false;
    const auto handle = MainHandle(openedNow);
    if (!handle || !FHasReadWriteAccess)
        return EHidReadResult::Failed;
    return handle->Read(report, length, read, timeoutMs);
}

bool THidDevice::SetFeature(const std::uint8_t* report, std::size_t length) {
    bool openedNow = false;
    const auto handle = MainHandle(openedNow);
    return handle && FHasReadWriteAccess && handle->SetFeature(report, length);
}

bool THidDevice::SetOutputReport(const std::uint8_t* report, std::size_t length) {
    bool openedNow = false;
    const auto handle = MainHandle(openedNow);
    return handle && FHasReadWriteAccess && handle->SetOutputReport(report, length);
}

// ---------------------------------------------------------------------------------------------
// The background reader

void THidDevice::SetThreadSleepTime(int milliseconds) {
    if (milliseconds >= MinThreadSleepTime && milliseconds <= MaxThreadSleepTime)
        FThreadSleepTime = milliseconds;
}

void THidDevice::StartReading() {
    FReadingWanted = true;
    StartReader();
}

void THidDevice::StopReading() {
    FReadingWanted = false;
    StopReader();
}

void THidDevice::StartReader() {
    if (FReader.joinable() || !FPluggedIn || !FCheckedOut || !FHasReadWriteAccess)
        return;
    const std::size_t length = std::size_t(Caps().InputReportByteLength);
    {
        std::lock_guard lock(FReaderLock);
        FStopReader = false;
        FDelivered = true;
    }
    FReader = std::thread([this, length] { ReaderLoop(length); });
}

void THidDevice::StopReader() {
    if (!FReader.joinable())
        return;
    {
        std::lock_guard lock(FReaderLock);
        FStopReader = true;
    }
    FReaderWake.notify_all();
    // The reader notices within one wait slice.
    FReader.join();
}

void THidDevice::WaitSlice() {
    std::unique_lock lock(FReaderLock);
    FReaderWake.wait_for(lock, std::chrono::milliseconds(FThreadSleepTime.load()),
                         [this] { return FStopReader; });
}

void THidDevice::ReaderLoop(std::size_t reportLength) {
    std::vector<std::uint8_t> buffer(std::max<std::size_t>(reportLength, 1));
    for (;;) {
        {
            std::lock_guard lock(FReaderLock);
            if (FStopReader)
                return;
        }
        const auto handle = ReaderHandle();
        std::size_t count = 0;
        const EHidReadResult result =
            handle ? handle->Read(buffer.data(), buffer.size(), count, FThreadSleepTime)
                   : EHidReadResult::Failed;
        if (result == EHidReadResult::TimedOut)
            continue;
        if (result == EHidReadResult::Failed) {
            PostCrossThreadEvent(this, new TDataErrorEvent(handle ? EIO : ENODEV));
            // A gone device fails at once; retry at the pace of the wait slice until stopped.
            WaitSlice();
            continue;
        }
        if (count == 0)
            continue;
        {
            std::lock_guard lock(FReaderLock);
            FDelivered = false;
        }
        PostCrossThreadEvent(this, new TDataEvent(buffer.data(), count));
        // Wait until the window's thread has run the receivers, or until told to stop.
        std::unique_lock lock(FReaderLock);
        FReaderWake.wait(lock, [this] { return FDelivered || FStopReader; });
    }
}

bool THidDevice::event(QEvent* event) {
    TakeCrossThreadEvent(event);
    if (event->type() == TDataEvent::EventType()) {
        const auto& report = *static_cast<TDataEvent*>(event);
        // Posted before reading was stopped: no longer wanted.
        if (FReadingWanted)
            emit DataReceived(report.ReportId, report.Data);
        {
            std::lock_guard lock(FReaderLock);
            FDelivered = true;
        }
        FReaderWake.notify_all();
        return true;
    }
    if (event->type() == TDataErrorEvent::EventType()) {
        emit DataError(static_cast<TDataErrorEvent*>(event)->Error);
        return true;
    }
    return QObject::event(event);
}
