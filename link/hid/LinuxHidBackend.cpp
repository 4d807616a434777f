#include "link/hid/LinuxHidBackend.h"

#include <QSocketNotifier>
#include <QtDebug>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <libudev.h>
#include <linux/hidraw.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <unistd.h>

#ifndef HIDIOCSOUTPUT
#define HIDIOCSOUTPUT(len) _IOC(_IOC_WRITE | _IOC_READ, 'H', 0x0B, len)
#endif

namespace {

using Clock = std::chrono::steady_clock;

// hidraw keeps a fixed ring of 64 entries per open file, one of which is always free.
constexpr int HidrawQueueDepth = 63;
// The largest report an ioctl's size field can carry.
constexpr std::size_t MaxIoctlReport = (1u << _IOC_SIZEBITS) - 1;

struct TContextUnref {
    void operator()(udev* context) const { udev_unref(context); }
};
struct TDeviceUnref {
    void operator()(udev_device* device) const { udev_device_unref(device); }
};
struct TEnumerateUnref {
    void operator()(udev_enumerate* enumerate) const { udev_enumerate_unref(enumerate); }
};
using TUdev = std::unique_ptr<udev, TContextUnref>;
using TDevice = std::unique_ptr<udev_device, TDeviceUnref>;
using TEnumerate = std::unique_ptr<udev_enumerate, TEnumerateUnref>;

std::string OrEmpty(const char* text) {
    return text ? text : std::string();
}

udev_device* HidParent(udev_device* hidraw) {
    return udev_device_get_parent_with_subsystem_devtype(hidraw, "hid", nullptr);
}

// Calls visit(hidrawDevice) for every hidraw device udev knows, in udev's order, until it
// returns true.
template <typename TVisit>
void ForEachHidraw(udev* context, TVisit visit) {
    TEnumerate enumerate(udev_enumerate_new(context));
    if (!enumerate || udev_enumerate_add_match_subsystem(enumerate.get(), "hidraw") < 0 ||
        udev_enumerate_scan_devices(enumerate.get()) < 0)
        return;
    udev_list_entry* entry;
    udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(enumerate.get())) {
        TDevice device(udev_device_new_from_syspath(context, udev_list_entry_get_name(entry)));
        if (device && visit(device.get()))
            return;
    }
}

// Reads a whole (binary) sysfs attribute file.
std::optional<std::vector<std::uint8_t>> ReadSysfsFile(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return std::nullopt;
    std::vector<std::uint8_t> data;
    std::uint8_t chunk[4096];
    for (;;) {
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            ::close(fd);
            return std::nullopt;
        }
        if (n == 0)
            break;
        data.insert(data.end(), chunk, chunk + n);
    }
    ::close(fd);
    return data;
}

class TLinuxHidConnection final : public THidConnection {
public:
    // fd is -1 for a query-only handle.
    TLinuxHidConnection(std::string hidrawSyspath, std::string hidSyspath, int fd, int wakeFd)
        : FHidrawSyspath(std::move(hidrawSyspath))
        , FHidSyspath(std::move(hidSyspath))
        , FFd(fd)
        , FWakeFd(wakeFd) {}

    ~TLinuxHidConnection() override {
        // Whoever could still be blocked on the fd has returned by now: the owner destroys the
        // handle only after its transfers are done.
        if (FFd >= 0)
            ::close(FFd);
        if (FWakeFd >= 0)
            ::close(FWakeFd);
    }

    bool Identify() override {
        return Query([](udev_device*, udev_device* hid) {
                   return udev_device_get_property_value(hid, "HID_ID") != nullptr;
               })
            .value_or(false);
    }

    std::optional<QString> ProductString() override {
        return Query([](udev_device* hidraw, udev_device* hid) {
            if (udev_device* usb =
                    udev_device_get_parent_with_subsystem_devtype(hidraw, "usb", "usb_device"))
                return QString::fromStdString(
                    OrEmpty(udev_device_get_sysattr_value(usb, "product")));
            // Bluetooth, I2C and virtual HID devices have no USB device above them.
            return QString::fromStdString(OrEmpty(udev_device_get_property_value(hid, "HID_NAME")));
        });
    }

    std::optional<QString> SerialString() override {
        // The kernel fills HID_UNIQ from the USB serial string.
        return Query([](udev_device*, udev_device* hid) {
            return QString::fromStdString(OrEmpty(udev_device_get_property_value(hid, "HID_UNIQ")));
        });
    }

    std::optional<std::vector<std::uint8_t>> ReportDescriptor() override {
        if (FFd < 0)
            return ReadSysfsFile(FHidSyspath + "/report_descriptor");
        int size = 0;
        if (::ioctl(FFd, HIDIOCGRDESCSIZE, &size) < 0 || size < 0)
            return std::nullopt;
        hidraw_report_descriptor descriptor{};
        descriptor.size = std::uint32_t(std::min(size, HID_MAX_DESCRIPTOR_SIZE));
        if (::ioctl(FFd, HIDIOCGRDESC, &descriptor) < 0)
            return std::nullopt;
        return std::vector<std::uint8_t>(descriptor.value, descriptor.value + descriptor.size);
    }

    int SetInputQueueDepth(int) override {
        // hidraw's queue cannot be resized.
        return CanTransfer() ? HidrawQueueDepth : 0;
    }

    bool Write(const std::uint8_t* report, std::size_t length) override {
        if (!CanTransfer())
            return false;
        return WriteAll(report, length);
    }

    bool SetFeature(const std::uint8_t* report, std::size_t length) override {
        if (!CanTransfer() || length == 0 || length > MaxIoctlReport)
            return false;
        return Ioctl(HIDIOCSFEATURE(length), report) >= 0;
    }

    bool SetOutputReport(const std::uint8_t* report, std::size_t length) override {
        if (!CanTransfer() || length == 0 || length > MaxIoctlReport)
            return false;
        if (Ioctl(HIDIOCSOUTPUT(length), report) >= 0)
            return true;
        // Kernels before 5.11 know no such ioctl; there write() sends the report the same way.
        return errno == EINVAL && WriteAll(report, length);
    }

    EHidReadResult Read(std::uint8_t* buffer, std::size_t length, std::size_t& count,
                        int timeoutMs) override {
        count = 0;
        if (!CanTransfer())
            return EHidReadResult::Failed;
        const auto deadline = Clock::now() + std::chrono::milliseconds(std::max(timeoutMs, 0));
        for (;;) {
            int waitMs = -1;
            if (timeoutMs >= 0) {
                const auto left =
                    std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
                waitMs = int(std::max<std::chrono::milliseconds::rep>(left.count(), 0));
            }
            pollfd fds[2] = {{FFd, POLLIN, 0}, {FWakeFd, POLLIN, 0}};
            const int ready = ::poll(fds, 2, waitMs);
            if (ready < 0 && errno != EINTR)
                return EHidReadResult::Failed;
            if (FShutdown.load() || fds[1].revents != 0)
                return EHidReadResult::Failed;
            // hidraw reports an unplugged device as POLLHUP | POLLERR.
            if (fds[0].revents & (POLLERR | POLLHUP | POLLNVAL))
                return EHidReadResult::Failed;
            if (fds[0].revents & POLLIN) {
                const ssize_t n = ::read(FFd, buffer, length);
                if (n >= 0) {
                    count = std::size_t(n);
                    return EHidReadResult::Ok;
                }
                // EAGAIN: another reader of the same file took the report; wait on. EIO and
                // ENODEV mean the device is gone.
                if (errno != EAGAIN && errno != EINTR)
                    return EHidReadResult::Failed;
            }
            if (timeoutMs >= 0 && Clock::now() >= deadline)
                return EHidReadResult::TimedOut;
        }
    }

    void Shutdown() override {
        FShutdown.store(true);
        if (FWakeFd >= 0)
            ::eventfd_write(FWakeFd, 1);
    }

private:
    bool CanTransfer() const { return FFd >= 0 && !FShutdown.load(); }

    bool WriteAll(const std::uint8_t* report, std::size_t length) {
        ssize_t n;
        do
            n = ::write(FFd, report, length);
        while (n < 0 && errno == EINTR);
        return n >= 0 && std::size_t(n) == length;
    }

    int Ioctl(unsigned long request, const std::uint8_t* report) {
        int result;
        // The kernel only reads the report for the set requests.
        do
            result = ::ioctl(FFd, request, const_cast<std::uint8_t*>(report));
        while (result < 0 && errno == EINTR);
        return result;
    }

    // Runs query(hidrawDevice, hidDevice) on a fresh look at udev; nothing when the device is
    // gone. A udev context of its own per query keeps handles usable from any thread.
    template <typename TQuery>
    auto Query(TQuery query) -> std::optional<decltype(query(nullptr, nullptr))> {
        TUdev context(udev_new());
        if (!context)
            return std::nullopt;
        TDevice hidraw(udev_device_new_from_syspath(context.get(), FHidrawSyspath.c_str()));
        if (!hidraw)
            return std::nullopt;
        udev_device* hid = HidParent(hidraw.get());
        if (!hid)
            return std::nullopt;
        return query(hidraw.get(), hid);
    }

    const std::string FHidrawSyspath;
    const std::string FHidSyspath;
    const int FFd;
    const int FWakeFd;
    std::atomic<bool> FShutdown{false};
};

} // namespace

void TLinuxHidBackend::TUdevUnref::operator()(udev* context) const {
    udev_unref(context);
}

void TLinuxHidBackend::TMonitorUnref::operator()(udev_monitor* monitor) const {
    udev_monitor_unref(monitor);
}

TLinuxHidBackend::TLinuxHidBackend(QObject* parent)
    : THidBackend(parent)
    , FUdev(udev_new()) {
    if (FUdev)
        FMonitor.reset(udev_monitor_new_from_netlink(FUdev.get(), "udev"));
    if (!FMonitor ||
        udev_monitor_filter_add_match_subsystem_devtype(FMonitor.get(), "hidraw", nullptr) < 0 ||
        udev_monitor_enable_receiving(FMonitor.get()) < 0) {
        qWarning("No udev monitor: devices plugged in or out later go unnoticed");
        FMonitor.reset();
        return;
    }
    FNotifier =
        new QSocketNotifier(udev_monitor_get_fd(FMonitor.get()), QSocketNotifier::Read, this);
    connect(FNotifier, &QSocketNotifier::activated, this, &TLinuxHidBackend::ReceiveUevents);
}

TLinuxHidBackend::~TLinuxHidBackend() {
    // The notifier must not outlive the monitor's socket.
    delete FNotifier;
}

void TLinuxHidBackend::ReceiveUevents() {
    // The monitor's socket does not block: take every queued event.
    while (udev_device* raw = udev_monitor_receive_device(FMonitor.get())) {
        const TDevice device(raw);
        const std::string action = OrEmpty(udev_device_get_action(device.get()));
        if (action == "add" || action == "remove")
            emit DevicesChanged();
    }
}

std::vector<THidDeviceInfo> TLinuxHidBackend::Enumerate() {
    std::vector<THidDeviceInfo> devices;
    TUdev context(udev_new());
    if (!context)
        return devices;
    ForEachHidraw(context.get(), [&](udev_device* hidraw) {
        const char* devnode = udev_device_get_devnode(hidraw);
        udev_device* hid = HidParent(hidraw);
        if (devnode && hid)
            devices.push_back({devnode, OrEmpty(udev_device_get_syspath(hid))});
        return false;
    });
    return devices;
}

std::unique_ptr<THidConnection> TLinuxHidBackend::Open(const THidDeviceInfo& device,
                                                       EHidAccess access) {
    TUdev context(udev_new());
    if (!context)
        return nullptr;
    // The device must still be the one enumerated: a node name is reused by the next device
    // plugged in.
    std::string hidrawSyspath;
    std::string hidSyspath;
    unsigned vendor = 0, product = 0;
    ForEachHidraw(context.get(), [&](udev_device* hidraw) {
        udev_device* hid = HidParent(hidraw);
        if (!hid || OrEmpty(udev_device_get_devnode(hidraw)) != device.Path)
            return false;
        const std::string instance = OrEmpty(udev_device_get_syspath(hid));
        if (!device.InstanceId.empty() && instance != device.InstanceId)
            return false;
        const char* hidId = udev_device_get_property_value(hid, "HID_ID");
        if (!hidId || std::sscanf(hidId, "%*x:%x:%x", &vendor, &product) != 2)
            return false;
        hidrawSyspath = OrEmpty(udev_device_get_syspath(hidraw));
        hidSyspath = instance;
        return true;
    });
    if (hidrawSyspath.empty())
        return nullptr;

    if (access == EHidAccess::QueryOnly)
        return std::make_unique<TLinuxHidConnection>(hidrawSyspath, hidSyspath, -1, -1);

    const int flags =
        (access == EHidAccess::ReadWrite ? O_RDWR : O_RDONLY) | O_NONBLOCK | O_CLOEXEC;
    const int fd = ::open(device.Path.c_str(), flags);
    if (fd < 0)
        return nullptr;
    // The node must be the device udev described: its name passes to the next device plugged
    // in as soon as this one goes.
    hidraw_devinfo info{};
    if (::ioctl(fd, HIDIOCGRAWINFO, &info) < 0 || std::uint16_t(info.vendor) != vendor ||
        std::uint16_t(info.product) != product) {
        ::close(fd);
        return nullptr;
    }
    const int wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wakeFd < 0) {
        ::close(fd);
        return nullptr;
    }
    return std::make_unique<TLinuxHidConnection>(hidrawSyspath, hidSyspath, fd, wakeFd);
}
