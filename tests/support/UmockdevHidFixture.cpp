#include "tests/support/UmockdevHidFixture.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <glob.h>
#include <linux/hidraw.h>
#include <linux/input.h>
#include <map>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>
#include <vector>

// GLib uses "signals" as a name; Qt's keyword macros must not reach its headers. No Qt header
// may follow.
#undef signals
#undef slots
#undef emit
#include <umockdev.h>

#ifndef HIDIOCSOUTPUT
#define HIDIOCSOUTPUT(len) _IOC(_IOC_WRITE | _IOC_READ, 'H', 0x0B, len)
#endif

namespace {

using Clock = std::chrono::steady_clock;

// hidraw's per-file ring holds 64 entries, one always free.
constexpr std::size_t QueueDepth = 63;
// How long a read waits while only other files of its node have reports queued.
constexpr auto ForeignReportPause = std::chrono::milliseconds(2);
// How long the fixture waits at the end for umockdev to drop the clients of closed files.
constexpr auto ClientsGoneTimeout = std::chrono::seconds(5);
constexpr int HidrawMajor = 241;
const std::string Manufacturer = "Virtual Devices";

struct TGObjectUnref {
    void operator()(gpointer object) const { g_object_unref(object); }
};
using TIoctlData = std::unique_ptr<UMockdevIoctlData, TGObjectUnref>;

struct TGFree {
    void operator()(gpointer memory) const { g_free(memory); }
};

std::string Hex4(std::uint16_t value) {
    char text[8];
    std::snprintf(text, sizeof text, "%04X", value);
    return text;
}

// MurmurHash2 with seed 0: udev's hash of subsystem names, which the socket filters of libudev
// monitors compare.
std::uint32_t StringHash(const std::string& text) {
    constexpr std::uint32_t M = 0x5bd1e995;
    std::uint32_t h = std::uint32_t(text.size());
    const auto* data = reinterpret_cast<const std::uint8_t*>(text.data());
    std::size_t left = text.size();
    for (; left >= 4; data += 4, left -= 4) {
        std::uint32_t k;
        std::memcpy(&k, data, 4);
        k *= M;
        k ^= k >> 24;
        k *= M;
        h = h * M ^ k;
    }
    switch (left) {
    case 3:
        h ^= std::uint32_t(data[2]) << 16;
        [[fallthrough]];
    case 2:
        h ^= std::uint32_t(data[1]) << 8;
        [[fallthrough]];
    case 1:
        h ^= data[0];
        h *= M;
    }
    h ^= h >> 13;
    h *= M;
    h ^= h >> 15;
    return h;
}

// The header udevd puts before a device's properties when it passes a uevent on to libudev
// monitors.
struct TUdevMessageHeader {
    char Prefix[8] = "libudev";
    std::uint32_t Magic = htonl(0xfeedcafe);
    std::uint32_t HeaderSize = sizeof(TUdevMessageHeader);
    std::uint32_t PropertiesOffset = sizeof(TUdevMessageHeader);
    std::uint32_t PropertiesLength = 0;
    std::uint32_t SubsystemHash = 0;
    std::uint32_t DevtypeHash = 0;
    std::uint32_t TagBloomHigh = 0;
    std::uint32_t TagBloomLow = 0;
};

// One request to answer once the fixture's lock is released. Holds a reference on the client.
struct TCompletion {
    UMockdevIoctlClient* Client = nullptr;
    long Result = -1;
    int Errno = 0;
    std::optional<std::vector<std::uint8_t>> Report; // a read answered with this report

    void Run() {
        if (Report) {
            UMockdevIoctlData* buffer = umockdev_ioctl_client_get_arg(Client);
            const std::size_t length = std::min(std::size_t(buffer->data_len), Report->size());
            std::memcpy(buffer->data, Report->data(), length);
            Result = long(length);
            Errno = 0;
        }
        umockdev_ioctl_client_complete(Client, Result, Errno);
        g_object_unref(Client);
    }
};

TCompletion Answer(UMockdevIoctlClient* client, long result, int error = 0) {
    return {UMOCKDEV_IOCTL_CLIENT(g_object_ref(client)), result, error, std::nullopt};
}

// One open file of a node.
struct TClient {
    std::deque<std::vector<std::uint8_t>> Reports;
    UMockdevIoctlClient* WaitingRead = nullptr; // with a reference of ours
    Clock::time_point WaitingUntil;
};

} // namespace

struct TUmockdevHidFixture::TImpl {
    // One plugged-in device behind /dev/hidrawN. Stays until the fixture goes, unplugged or
    // not, since umockdev may still ask about files opened before an unplug.
    struct TNode final : TVirtualHidHost {
        TImpl* Owner = nullptr;
        std::shared_ptr<TVirtualHidDevice> Device;
        TUmockdevDeviceOptions Options;
        std::vector<std::uint8_t> Descriptor;
        int Port = 0;
        int Number = 0;
        std::string Devnode;
        std::vector<std::string> Syspaths; // top down: usb_device, interface, hid, hidraw
        UMockdevIoctlBase* Handler = nullptr;
        // The fixture's own end of the FIFO behind the node: it holds one byte per report
        // queued for any file, so that poll() on the node works.
        int TokenFd = -1;

        // Guarded by TImpl::Lock.
        bool Plugged = true;
        std::size_t Tokens = 0;
        std::map<UMockdevIoctlClient*, TClient> Clients;

        void InputReport(const std::vector<std::uint8_t>& report,
                         Clock::time_point deliverAt) override {
            Owner->InputReport(this, report, deliverAt);
        }
    };

    UMockdevTestbed* Testbed = nullptr;
    std::string Root;
    int NextPort = 1;
    int NextHidInstance = 1;
    unsigned long long NextSeqnum = 1;
    std::vector<std::unique_ptr<TNode>> Nodes;

    std::mutex Lock;
    std::condition_variable Changed;
    bool Stopping = false;
    std::multimap<Clock::time_point, std::pair<TNode*, std::vector<std::uint8_t>>> Scheduled;
    std::thread Timer;

    TImpl() {
        Testbed = umockdev_testbed_new();
        std::unique_ptr<gchar, TGFree> root(umockdev_testbed_get_root_dir(Testbed));
        Root = root.get();
        Timer = std::thread([this] { RunTimer(); });
    }

    ~TImpl() {
        {
            std::lock_guard lock(Lock);
            Stopping = true;
        }
        Changed.notify_all();
        Timer.join();
        for (const auto& node : Nodes)
            if (node->Plugged)
                node->Device->AttachHost(nullptr);
        WaitForClientsGone();
        for (const auto& node : Nodes) {
            if (!node->Handler)
                continue;
            g_signal_handlers_disconnect_by_data(node->Handler, node.get());
            if (node->Plugged)
                umockdev_testbed_detach_ioctl(Testbed, node->Devnode.c_str(), nullptr);
            g_object_unref(node->Handler);
        }
        g_object_unref(Testbed);
        for (const auto& node : Nodes)
            if (node->TokenFd >= 0)
                ::close(node->TokenFd);
    }

    // umockdev drops the client of a closed file on its own thread, a little after the close.
    void WaitForClientsGone() {
        std::unique_lock lock(Lock);
        const auto allGone = [this] {
            return std::all_of(Nodes.begin(), Nodes.end(),
                               [](const auto& node) { return node->Clients.empty(); });
        };
        if (Changed.wait_for(lock, ClientsGoneTimeout, allGone))
            return;
        std::fprintf(stderr, "TUmockdevHidFixture: a device node is still open at the end\n");
        std::vector<TCompletion> done;
        for (const auto& node : Nodes) {
            for (auto& [client, state] : node->Clients) {
                g_object_weak_unref(G_OBJECT(client), &TImpl::ClientFinalized, node.get());
                if (state.WaitingRead)
                    done.push_back({state.WaitingRead, -1, EIO, std::nullopt});
            }
            node->Clients.clear();
        }
        lock.unlock();
        for (TCompletion& completion : done)
            completion.Run();
    }

    // ---- plugging

    TNode& FindNode(const std::string& devnode, bool plugged) {
        for (auto it = Nodes.rbegin(); it != Nodes.rend(); ++it)
            if ((*it)->Devnode == devnode && (*it)->Plugged == plugged)
                return **it;
        throw std::invalid_argument("no " + std::string(plugged ? "plugged" : "unplugged") +
                                    " device at " + devnode);
    }

    int LowestFreeNumber() {
        int number = 0;
        while (std::any_of(Nodes.begin(), Nodes.end(), [&](const auto& node) {
            return node->Plugged && node->Number == number;
        }))
            ++number;
        return number;
    }

    std::string AddSysfsDevice(const char* subsystem, const std::string& name,
                               const std::string& parent, std::vector<std::string> attributes,
                               std::vector<std::string> properties) {
        std::vector<gchar*> attributeList;
        for (std::string& item : attributes)
            attributeList.push_back(item.data());
        attributeList.push_back(nullptr);
        std::vector<gchar*> propertyList;
        for (std::string& item : properties)
            propertyList.push_back(item.data());
        propertyList.push_back(nullptr);
        std::unique_ptr<gchar, TGFree> syspath(umockdev_testbed_add_devicev(
            Testbed, subsystem, name.c_str(), parent.empty() ? nullptr : parent.c_str(),
            attributeList.data(), propertyList.data()));
        if (!syspath)
            throw std::runtime_error("umockdev refused the device " + name);
        return syspath.get();
    }

    std::string Plug(std::shared_ptr<TVirtualHidDevice> device, TUmockdevDeviceOptions options,
                     int port) {
        auto owned = std::make_unique<TNode>();
        TNode& node = *owned;
        node.Owner = this;
        node.Device = std::move(device);
        node.Options = options;
        node.Descriptor = node.Device->ReportDescriptor();
        node.Port = port;
        {
            std::lock_guard lock(Lock);
            node.Number = LowestFreeNumber();
        }
        node.Devnode = "/dev/hidraw" + std::to_string(node.Number);

        const std::string product = node.Device->Product().toStdString();
        const std::string serial = node.Device->Serial().toStdString();
        const std::string vid = Hex4(options.VendorId);
        const std::string pid = Hex4(options.ProductId);
        const std::string portName = "1-" + std::to_string(port);
        char instance[8];
        std::snprintf(instance, sizeof instance, "%04X", unsigned(NextHidInstance++ & 0xFFFF));

        std::string hidParent;
        std::string bus = "0005"; // Bluetooth, when there is no USB device above
        std::string hidName = product;
        if (options.UsbParent) {
            bus = "0003";
            // The kernel names a USB HID device after manufacturer and product.
            hidName = Manufacturer + " " + product;
            node.Syspaths.push_back(AddSysfsDevice(
                "usb", "pci0000:00/0000:00:14.0/usb1/" + portName, {},
                {"idVendor", vid, "idProduct", pid, "manufacturer", Manufacturer, "product",
                 product, "serial", serial, "busnum", "1", "devnum", std::to_string(port + 1)},
                {"DEVTYPE", "usb_device", "BUSNUM", "001", "DEVNUM", std::to_string(port + 1)}));
            node.Syspaths.push_back(
                AddSysfsDevice("usb", portName + ":1.0", node.Syspaths.back(),
                               {"bInterfaceClass", "03", "bInterfaceNumber", "00"},
                               {"DEVTYPE", "usb_interface", "INTERFACE", "3/0/0"}));
            hidParent = node.Syspaths.back();
        }
        const std::string hidDevice = bus + ":" + vid + ":" + pid + "." + instance;
        node.Syspaths.push_back(AddSysfsDevice(
            "hid", options.UsbParent ? hidDevice : "virtual/misc/uhid/" + hidDevice, hidParent, {},
            {"HID_ID", bus + ":0000" + vid + ":0000" + pid, "HID_NAME", hidName, "HID_UNIQ", serial,
             "MODALIAS", "hid:b" + bus + "g0001v0000" + vid + "p0000" + pid}));
        umockdev_testbed_set_attribute_binary(Testbed, node.Syspaths.back().c_str(),
                                              "report_descriptor", node.Descriptor.data(),
                                              int(node.Descriptor.size()));
        const std::string hidrawName = "hidraw" + std::to_string(node.Number);
        node.Syspaths.push_back(
            AddSysfsDevice("hidraw", "hidraw/" + hidrawName, node.Syspaths.back(),
                           {"dev", std::to_string(HidrawMajor) + ":" + std::to_string(node.Number)},
                           {"DEVNAME", node.Devnode, "MAJOR", std::to_string(HidrawMajor), "MINOR",
                            std::to_string(node.Number)}));
        umockdev_testbed_set_attribute_link(Testbed, node.Syspaths.back().c_str(), "device",
                                            "../..");

        MakeNode(node);
        {
            std::lock_guard lock(Lock);
            Nodes.push_back(std::move(owned));
        }
        node.Device->AttachHost(&node);
        SendUevent(node, "add");
        return node.Devnode;
    }

    // Tells every udev monitor of the process about the hidraw device, the only kind they
    // listen to. The preload makes each monitor's socket a datagram socket named event<fd> in
    // the testbed. umockdev_testbed_uevent() would abort the process when such a socket's queue
    // is full (its owner's thread runs no event loop for a while); like the kernel, this drops
    // the event instead.
    void SendUevent(const TNode& node, const char* action) {
        const std::string& syspath = node.Syspaths.back();
        std::string properties;
        for (const std::string& property :
             {"ACTION=" + std::string(action), "DEVPATH=" + syspath.substr(4),
              std::string("SUBSYSTEM=hidraw"), "SEQNUM=" + std::to_string(NextSeqnum++),
              "DEVNAME=" + node.Devnode}) {
            properties += property;
            properties += '\0';
        }
        TUdevMessageHeader header;
        header.PropertiesLength = std::uint32_t(properties.size());
        header.SubsystemHash = htonl(StringHash("hidraw"));
        iovec parts[2] = {{&header, sizeof header}, {properties.data(), properties.size()}};

        glob_t listeners{};
        if (::glob((Root + "/event[0-9]*").c_str(), GLOB_NOSORT, nullptr, &listeners) != 0)
            return;
        const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        for (std::size_t i = 0; fd >= 0 && i < listeners.gl_pathc; ++i) {
            sockaddr_un address{};
            address.sun_family = AF_UNIX;
            std::strncpy(address.sun_path, listeners.gl_pathv[i], sizeof address.sun_path - 1);
            msghdr message{};
            message.msg_name = &address;
            message.msg_namelen = sizeof address;
            message.msg_iov = parts;
            message.msg_iovlen = 2;
            // A full queue or a monitor closed since: the event is lost for it.
            (void)::sendmsg(fd, &message, MSG_DONTWAIT | MSG_NOSIGNAL);
        }
        if (fd >= 0)
            ::close(fd);
        ::globfree(&listeners);
    }

    // The node under the testbed root: a FIFO whose reads, writes and ioctls the handler
    // answers, while poll() sees the bytes in the FIFO.
    void MakeNode(TNode& node) {
        const std::string path = Root + node.Devnode;
        ::mkdir((Root + "/dev").c_str(), 0755);
        ::unlink(path.c_str());
        if (!node.Options.ReadWriteAllowed) {
            // Nobody opens a directory read-write, root included (a mode would not stop root),
            // and what opens read-only answers no hidraw ioctl. No handler: an open that fails
            // would still leave umockdev a client that never goes.
            if (::mkdir(path.c_str(), 0555) != 0)
                throw std::runtime_error("cannot create " + path);
            return;
        }
        if (::mkfifo(path.c_str(), 0666) != 0)
            throw std::runtime_error("cannot create " + path);
        // This end also keeps the FIFO from reporting a hang-up to read-only openers.
        node.TokenFd = ::open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
        if (node.TokenFd < 0)
            throw std::runtime_error("cannot open " + path);

        node.Handler = umockdev_ioctl_base_new();
        g_signal_connect(node.Handler, "client-connected", G_CALLBACK(&TImpl::ClientConnected),
                         &node);
        g_signal_connect(node.Handler, "handle-read", G_CALLBACK(&TImpl::HandleRead), &node);
        g_signal_connect(node.Handler, "handle-write", G_CALLBACK(&TImpl::HandleWrite), &node);
        g_signal_connect(node.Handler, "handle-ioctl", G_CALLBACK(&TImpl::HandleIoctl), &node);
        GError* error = nullptr;
        if (!umockdev_testbed_attach_ioctl(Testbed, node.Devnode.c_str(), node.Handler, &error)) {
            const std::string message = error ? error->message : "unknown error";
            g_clear_error(&error);
            throw std::runtime_error("cannot attach to " + node.Devnode + ": " + message);
        }
    }

    void Unplug(TNode& node) {
        std::vector<TCompletion> done;
        {
            std::lock_guard lock(Lock);
            node.Plugged = false;
            for (auto& [client, state] : node.Clients) {
                if (state.WaitingRead)
                    done.push_back({state.WaitingRead, -1, EIO, std::nullopt});
                state.WaitingRead = nullptr;
                state.Reports.clear();
            }
            std::erase_if(Scheduled,
                          [&](const auto& entry) { return entry.second.first == &node; });
            // From now on the node stays readable: a waiting poll() wakes, and the read that
            // follows fails.
            if (node.TokenFd >= 0) {
                TakeTokens(node, node.Tokens);
                PutToken(node);
            }
        }
        for (TCompletion& completion : done)
            completion.Run();
        node.Device->AttachHost(nullptr);

        SendUevent(node, "remove");
        for (auto it = node.Syspaths.rbegin(); it != node.Syspaths.rend(); ++it)
            umockdev_testbed_remove_device(Testbed, it->c_str());
        if (node.Handler)
            umockdev_testbed_detach_ioctl(Testbed, node.Devnode.c_str(), nullptr);
        const std::string path = Root + node.Devnode;
        if (::unlink(path.c_str()) != 0)
            ::rmdir(path.c_str());
    }

    // ---- input reports

    void PutToken(TNode& node) {
        const char token = 'r';
        if (::write(node.TokenFd, &token, 1) == 1)
            ++node.Tokens;
    }

    void TakeTokens(TNode& node, std::size_t count) {
        char buffer[256];
        while (count > 0) {
            const ssize_t n = ::read(node.TokenFd, buffer, std::min(count, sizeof buffer));
            if (n <= 0)
                break;
            count -= std::size_t(n);
            node.Tokens -= std::size_t(n);
        }
    }

    // Hands a report to every open file of the node. Called with the lock held.
    void DeliverLocked(TNode& node, const std::vector<std::uint8_t>& report,
                       std::vector<TCompletion>& done) {
        if (!node.Plugged)
            return;
        for (auto& [client, state] : node.Clients) {
            if (state.WaitingRead) {
                done.push_back({state.WaitingRead, -1, 0, report});
                state.WaitingRead = nullptr;
            } else if (state.Reports.size() < QueueDepth) {
                state.Reports.push_back(report);
                PutToken(node);
            }
        }
    }

    void DeliverDueLocked(Clock::time_point now, std::vector<TCompletion>& done) {
        while (!Scheduled.empty() && Scheduled.begin()->first <= now) {
            auto& [node, report] = Scheduled.begin()->second;
            DeliverLocked(*node, report, done);
            Scheduled.erase(Scheduled.begin());
        }
    }

    void InputReport(TNode* node, const std::vector<std::uint8_t>& report,
                     Clock::time_point deliverAt) {
        std::vector<TCompletion> done;
        {
            std::lock_guard lock(Lock);
            if (!node->Plugged)
                return;
            const Clock::time_point now = Clock::now();
            if (deliverAt <= now) {
                // Reports that fell due before this one go first.
                DeliverDueLocked(now, done);
                DeliverLocked(*node, report, done);
            } else {
                Scheduled.emplace(deliverAt, std::make_pair(node, report));
                Changed.notify_all();
            }
        }
        for (TCompletion& completion : done)
            completion.Run();
    }

    // Moves reports into the queues when they fall due, and ends reads that waited long
    // enough.
    void RunTimer() {
        std::unique_lock lock(Lock);
        while (!Stopping) {
            const Clock::time_point now = Clock::now();
            std::vector<TCompletion> done;
            DeliverDueLocked(now, done);
            Clock::time_point next =
                Scheduled.empty() ? Clock::time_point::max() : Scheduled.begin()->first;
            for (const auto& node : Nodes) {
                for (auto& [client, state] : node->Clients) {
                    if (!state.WaitingRead)
                        continue;
                    if (state.WaitingUntil <= now) {
                        done.push_back({state.WaitingRead, -1, EAGAIN, std::nullopt});
                        state.WaitingRead = nullptr;
                    } else {
                        next = std::min(next, state.WaitingUntil);
                    }
                }
            }
            if (!done.empty()) {
                lock.unlock();
                for (TCompletion& completion : done)
                    completion.Run();
                lock.lock();
                continue;
            }
            if (next == Clock::time_point::max())
                Changed.wait(lock);
            else
                Changed.wait_until(lock, next);
        }
    }

    // ---- the handler's signals; they come on umockdev's thread

    static void ClientConnected(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer data) {
        auto* node = static_cast<TNode*>(data);
        {
            std::lock_guard lock(node->Owner->Lock);
            node->Clients.emplace(client, TClient{});
        }
        // umockdev does not say when a file is closed; its client object goes then.
        g_object_weak_ref(G_OBJECT(client), &TImpl::ClientFinalized, node);
    }

    static void ClientFinalized(gpointer data, GObject* gone) {
        auto* node = static_cast<TNode*>(data);
        TImpl* self = node->Owner;
        std::lock_guard lock(self->Lock);
        const auto it = node->Clients.find(reinterpret_cast<UMockdevIoctlClient*>(gone));
        if (it == node->Clients.end())
            return;
        if (node->Plugged && node->TokenFd >= 0)
            self->TakeTokens(*node, it->second.Reports.size());
        node->Clients.erase(it);
        // Under the lock: the fixture may be waiting for this to go away.
        self->Changed.notify_all();
    }

    static gboolean HandleRead(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer data) {
        auto* node = static_cast<TNode*>(data);
        TImpl* self = node->Owner;
        TCompletion completion = Answer(client, -1, EAGAIN);
        {
            std::lock_guard lock(self->Lock);
            const auto it = node->Clients.find(client);
            if (!node->Plugged) {
                completion.Errno = EIO;
            } else if (it != node->Clients.end() && !it->second.Reports.empty()) {
                completion.Report = std::move(it->second.Reports.front());
                it->second.Reports.pop_front();
                self->TakeTokens(*node, 1);
            } else if (it != node->Clients.end() && node->Tokens > 0) {
                it->second.WaitingRead = completion.Client;
                it->second.WaitingUntil = Clock::now() + ForeignReportPause;
                self->Changed.notify_all();
                return TRUE;
            }
        }
        completion.Run();
        return TRUE;
    }

    static bool IsPlugged(TNode* node) {
        std::lock_guard lock(node->Owner->Lock);
        return node->Plugged;
    }

    // hidraw takes reports of 2 bytes and more (an ID and at least one byte) for every kind of
    // sending.
    static TCompletion Send(UMockdevIoctlClient* client, TNode* node, const std::uint8_t* report,
                            std::size_t length, bool feature, TVirtualHidDevice::EPipe pipe) {
        if (length < 2 || length > 4096)
            return Answer(client, -1, EINVAL);
        const bool accepted = feature ? node->Device->FeatureReport(report, length)
                                      : node->Device->OutputReport(report, length, pipe);
        return accepted ? Answer(client, long(length)) : Answer(client, -1, EPIPE);
    }

    static gboolean HandleWrite(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer data) {
        auto* node = static_cast<TNode*>(data);
        UMockdevIoctlData* buffer = umockdev_ioctl_client_get_arg(client);
        TCompletion completion =
            IsPlugged(node) ? Send(client, node, buffer->data, std::size_t(buffer->data_len), false,
                                   TVirtualHidDevice::EPipe::Interrupt)
                            : Answer(client, -1, ENODEV);
        completion.Run();
        return TRUE;
    }

    static gboolean HandleIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer data) {
        auto* node = static_cast<TNode*>(data);
        TCompletion completion = IsPlugged(node) ? Ioctl(client, node) : Answer(client, -1, ENODEV);
        completion.Run();
        return TRUE;
    }

    static TCompletion Ioctl(UMockdevIoctlClient* client, TNode* node) {
        const unsigned long request = umockdev_ioctl_client_get_request(client);
        UMockdevIoctlData* argument = umockdev_ioctl_client_get_arg(client);
        if (_IOC_TYPE(request) != 'H')
            return Answer(client, -1, ENOTTY);
        const std::size_t size = _IOC_SIZE(request);
        // The argument points to a buffer of the client's; resolving copies it here, and
        // completing copies it back.
        TIoctlData data(umockdev_ioctl_data_resolve(argument, 0, size, nullptr));
        if (!data)
            return Answer(client, -1, size > 0 ? EFAULT : EINVAL);

        switch (_IOC_NR(request)) {
        case _IOC_NR(HIDIOCGRDESCSIZE): {
            const int descriptorSize = int(node->Descriptor.size());
            std::memcpy(data->data, &descriptorSize, sizeof descriptorSize);
            return Answer(client, 0);
        }
        case _IOC_NR(HIDIOCGRDESC): {
            auto* descriptor = reinterpret_cast<hidraw_report_descriptor*>(data->data);
            if (descriptor->size > HID_MAX_DESCRIPTOR_SIZE - 1)
                return Answer(client, -1, EINVAL);
            const std::size_t length =
                std::min<std::size_t>(descriptor->size, node->Descriptor.size());
            std::memcpy(descriptor->value, node->Descriptor.data(), length);
            return Answer(client, 0);
        }
        case _IOC_NR(HIDIOCGRAWINFO): {
            hidraw_devinfo info{};
            info.bustype = node->Options.UsbParent ? BUS_USB : BUS_BLUETOOTH;
            info.vendor = std::int16_t(node->Options.VendorId);
            info.product = std::int16_t(node->Options.ProductId);
            std::memcpy(data->data, &info, sizeof info);
            return Answer(client, 0);
        }
        case _IOC_NR(HIDIOCSFEATURE(0)):
            return Send(client, node, data->data, size, true, TVirtualHidDevice::EPipe::Control);
        case _IOC_NR(HIDIOCSOUTPUT(0)):
            if (!node->Options.SetOutputIoctl)
                return Answer(client, -1, EINVAL);
            return Send(client, node, data->data, size, false, TVirtualHidDevice::EPipe::Control);
        default:
            return Answer(client, -1, ENOTTY);
        }
    }
};

TUmockdevHidFixture::TUmockdevHidFixture()
    : FImpl(std::make_unique<TImpl>()) {}

TUmockdevHidFixture::~TUmockdevHidFixture() = default;

bool TUmockdevHidFixture::Available() {
    // umockdev_in_mock_environment() of this umockdev version only answers right once a testbed
    // exists, and keeps its first answer.
    const char* preload = std::getenv("LD_PRELOAD");
    return preload && std::strstr(preload, "libumockdev-preload");
}

std::string TUmockdevHidFixture::AddDevice(std::shared_ptr<TVirtualHidDevice> device,
                                           TUmockdevDeviceOptions options) {
    return FImpl->Plug(std::move(device), options, FImpl->NextPort++);
}

void TUmockdevHidFixture::Unplug(const std::string& devnode) {
    FImpl->Unplug(FImpl->FindNode(devnode, true));
}

std::string TUmockdevHidFixture::Replug(const std::string& devnode) {
    const TImpl::TNode& node = FImpl->FindNode(devnode, false);
    return FImpl->Plug(node.Device, node.Options, node.Port);
}

std::unique_ptr<TLinuxHidBackend> TUmockdevHidFixture::CreateBackend() const {
    return std::make_unique<TLinuxHidBackend>();
}

int TUmockdevHidFixture::OwnNodeFiles() const {
    return int(std::count_if(FImpl->Nodes.begin(), FImpl->Nodes.end(),
                             [](const auto& node) { return node->TokenFd >= 0; }));
}
