#pragma once

// The usbfs ioctls of the program under the bridge, answered by the simulated devices: every
// request goes to the drop-in library's device models, nothing is modelled here.

#include <umockdev.h>

#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "SimLink.h"

namespace usbfs {

struct Urb;
struct Client;

class UsbfsHandler {
  public:
    explicit UsbfsHandler(SimLink& link);
    ~UsbfsHandler();
    UsbfsHandler(const UsbfsHandler&) = delete;
    UsbfsHandler& operator=(const UsbfsHandler&) = delete;

    UMockdevIoctlBase* base() const { return base_; }
    // The device node now stands for `device` (referenced by the handler until it leaves).
    void deviceArrived(const std::string& devnode, libusb_device* device);
    // The device behind the node left the bus: its URBs end with "device gone".
    void deviceLeft(const std::string& devnode);

  private:
    static gboolean onIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self);
    static void onClientGone(gpointer self, GObject* client);
    std::shared_ptr<Client> clientFor(UMockdevIoctlClient* client);
    bool handle(Client& client, UMockdevIoctlClient* ioctl);
    int deviceRequest(libusb_device_handle* handle, gulong request, UMockdevIoctlClient* ioctl);
    void submit(Client& client, UMockdevIoctlClient* ioctl);
    void reap(Client& client, UMockdevIoctlClient* ioctl);
    void discard(Client& client, UMockdevIoctlClient* ioctl);
    void control(Client& client, UMockdevIoctlClient* ioctl);
    // Worker side: runs the URBs of one endpoint in order, off umockdev's thread.
    void work(const std::shared_ptr<Client>& client, uint8_t endpoint);
    void run(Client& client, Urb& urb);
    void runControl(Client& client, Urb& urb);
    void runIn(Client& client, Urb& urb);
    // Holds a URB the device does not answer until it is discarded or the device leaves.
    void waitForEnd(Client& client, Urb& urb);
    void finish(Client& client, const std::shared_ptr<Urb>& urb);
    void markGone(Client& client);
    void closeClient(const std::shared_ptr<Client>& client);

    SimLink& link_;
    UMockdevIoctlBase* base_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::map<std::string, libusb_device*> nodes_;
    std::map<UMockdevIoctlClient*, std::shared_ptr<Client>> clients_;
};

}  // namespace usbfs
