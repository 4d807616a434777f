#pragma once

#include "link/hid/LinuxHidBackend.h"
#include "link/hid/VirtualHidBus.h"

#include <cstdint>
#include <memory>
#include <string>

// How a virtual device shows up in the testbed.
struct TUmockdevDeviceOptions {
    // false: the node cannot be opened, as a device the user may not open. (It is a directory:
    // a mode would not stop root.)
    bool ReadWriteAllowed = true;
    // false: no USB device above the HID device, as over Bluetooth; the product string then
    // comes from the HID name.
    bool UsbParent = true;
    // false: HIDIOCSOUTPUT fails with EINVAL, as on kernels before 5.11.
    bool SetOutputIoctl = true;
    std::uint16_t VendorId = 0x1234;
    std::uint16_t ProductId = 0x5678;
};

// A umockdev testbed whose /dev/hidrawN nodes are virtual HID devices. libudev, the udev
// monitor, and open/read/write/ioctl/poll on the nodes behave as for real hidraw devices:
// - each open file of a node gets its own copy of every input report, queued up to 63 deep
//   (later ones are dropped while the queue is full). The copies start once umockdev has taken
//   the file's connection, a moment after open() returns; the file's first ioctl or read waits
//   for that (TLinuxHidBackend::Open makes one). A report becomes readable at its deliverAt,
//   when a thread of the fixture moves it into the queues;
// - a read with nothing queued fails at once with EAGAIN, except while another file of the same
//   node has reports queued: poll() cannot tell the files of one node apart, so such a read
//   waits up to 2 ms (or until a report for it comes) before EAGAIN, to spare the caller a
//   busy loop;
// - after Unplug, reads fail with EIO, writes and ioctls with ENODEV, and poll() reports the
//   node readable so that a waiting reader notices;
// - a udev monitor whose thread runs no event loop holds 10 uevents; later ones are lost for
//   it, as with the kernel.
//
// The process must run under umockdev-wrapper (see Available()), and only one fixture may live
// at a time. Create the fixture before any backend: a backend sees the testbed only if it was
// created while the fixture lives. Close every handle to the nodes before the fixture goes.
class TUmockdevHidFixture {
public:
    TUmockdevHidFixture();
    ~TUmockdevHidFixture();
    TUmockdevHidFixture(const TUmockdevHidFixture&) = delete;
    TUmockdevHidFixture& operator=(const TUmockdevHidFixture&) = delete;

    // Whether the process runs under umockdev-wrapper; nothing here works without it.
    static bool Available();

    // Plugs a device in: udev gets usb_device, usb_interface, hid and hidraw devices (the first
    // two only with a USB parent), monitors get an add uevent for the hidraw device, and the
    // fixture becomes the device's host. Returns the node, /dev/hidrawN.
    std::string AddDevice(std::shared_ptr<TVirtualHidDevice> device,
                          TUmockdevDeviceOptions options = {});
    // Pulls the device at the node out: open files fail from now on, pending reads included;
    // monitors get a remove uevent, and the device loses its host.
    void Unplug(const std::string& devnode);
    // Plugs an unplugged device in again at the same USB port. As in the kernel, it gets a new
    // HID instance (so a new instance ID) and the lowest free node number. Returns the node.
    std::string Replug(const std::string& devnode);

    // How many files on the nodes the fixture itself holds open (one per node it made, kept
    // until it goes), for tests that count the process's open files.
    int OwnNodeFiles() const;

    // A Linux backend that sees the testbed.
    std::unique_ptr<TLinuxHidBackend> CreateBackend() const;

private:
    struct TImpl;
    std::unique_ptr<TImpl> FImpl;
};
