#include "UsbfsHandler.h"

#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstring>
#include <vector>

namespace usbfs {

// A submitted URB: the program's memory for it (resolved through umockdev, written back when it
// is reaped) and what the device made of it.
struct Urb {
    UMockdevIoctlData* urbData = nullptr;
    UMockdevIoctlData* buffer = nullptr;
    gulong clientAddress = 0;
    uint8_t type = 0;
    uint8_t endpoint = 0;
    std::vector<uint8_t> data;  // control: setup packet, then the data stage
    int status = 0;
    int actual = 0;
    bool started = false;
    bool discarded = false;

    ~Urb() {
        if (buffer != nullptr) {
            g_object_unref(buffer);
        }
        if (urbData != nullptr) {
            g_object_unref(urbData);
        }
    }
};

// One open device file of the program.
struct Client {
    std::string devnode;
    libusb_device_handle* handle = nullptr;
    bool gone = false;
    bool closing = false;
    std::deque<std::shared_ptr<Urb>> pending;  // submitted, not completed
    std::deque<std::shared_ptr<Urb>> completed;
    std::map<uint8_t, std::deque<std::shared_ptr<Urb>>> queues;
    std::map<uint8_t, std::thread> workers;
};

namespace {

constexpr auto kPollInterval = std::chrono::milliseconds(1);
// A control request waits as long as the device model holds it (a boot loader busy erasing
// answers when the erase is done), in real time at any pace: only the program's own time-out
// ends it earlier, by discarding the URB, as on a real bus.
constexpr unsigned kControlNoTimeout = 0;
// Time-outs for bulk transfers (in the program's time): a device that does not take or give
// data within them does not at all, and the URB waits until the program discards it.
constexpr unsigned kBulkOutTimeoutMs = 1;
constexpr unsigned kBulkInTimeoutMs = 100;

// The kernel's errno for a failed request, from the device model's libusb code.
int errnoFor(int result) {
    switch (result) {
        case LIBUSB_ERROR_NO_DEVICE:
            return ENODEV;
        case LIBUSB_ERROR_NOT_FOUND:
            return ENOENT;
        case LIBUSB_ERROR_BUSY:
            return EBUSY;
        case LIBUSB_ERROR_INVALID_PARAM:
            return EINVAL;
        case LIBUSB_ERROR_PIPE:
            return EPIPE;
        case LIBUSB_ERROR_ACCESS:
            return EACCES;
        case LIBUSB_ERROR_TIMEOUT:
            return ETIMEDOUT;
        case LIBUSB_ERROR_OVERFLOW:
            return EOVERFLOW;
        case LIBUSB_ERROR_NOT_SUPPORTED:
            return ENOTTY;
        default:
            return EIO;
    }
}

// A URB's status as the host controller reports it: a stall, a device that went away while
// the URB was on the bus, a babbling device.
int urbStatusFor(int result) {
    switch (result) {
        case LIBUSB_SUCCESS:
            return 0;
        case LIBUSB_ERROR_PIPE:
            return -EPIPE;
        case LIBUSB_ERROR_NO_DEVICE:
            return -ESHUTDOWN;
        case LIBUSB_ERROR_OVERFLOW:
            return -EOVERFLOW;
        default:
            return -EPROTO;
    }
}

void completeWith(UMockdevIoctlClient* ioctl, int result) {
    if (result < 0) {
        umockdev_ioctl_client_complete(ioctl, -1, errnoFor(result));
    } else {
        umockdev_ioctl_client_complete(ioctl, result, 0);
    }
}

// The ioctl's argument structure in the program's memory; null when it cannot be read.
UMockdevIoctlData* argument(UMockdevIoctlClient* ioctl, size_t size) {
    return umockdev_ioctl_data_resolve(umockdev_ioctl_client_get_arg(ioctl), 0, size, nullptr);
}

unsigned argumentValue(UMockdevIoctlClient* ioctl) {
    UMockdevIoctlData* data = argument(ioctl, sizeof(unsigned));
    unsigned value = 0;
    if (data != nullptr) {
        std::memcpy(&value, data->data, sizeof value);
        g_object_unref(data);
    }
    return value;
}

}  // namespace

UsbfsHandler::UsbfsHandler(SimLink& link) : link_(link), base_(umockdev_ioctl_base_new()) {
    g_signal_connect(base_, "handle-ioctl", G_CALLBACK(onIoctl), this);
}

UsbfsHandler::~UsbfsHandler() {
    g_signal_handlers_disconnect_by_data(base_, this);
    std::map<UMockdevIoctlClient*, std::shared_ptr<Client>> clients;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        clients.swap(clients_);
    }
    for (auto& [ioctl, client] : clients) {
        g_object_weak_unref(G_OBJECT(ioctl), onClientGone, this);
        closeClient(client);
    }
    for (auto& [devnode, device] : nodes_) {
        link_.unref_device(device);
    }
    g_object_unref(base_);
}

void UsbfsHandler::deviceArrived(const std::string& devnode, libusb_device* device) {
    std::lock_guard<std::mutex> lock(mutex_);
    libusb_device*& known = nodes_[devnode];
    if (known != nullptr) {
        link_.unref_device(known);
    }
    known = device;
}

void UsbfsHandler::deviceLeft(const std::string& devnode) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto& [ioctl, client] : clients_) {
        if (client->devnode == devnode) {
            markGone(*client);
        }
    }
}

// Every URB that has not reached the device ends with "device gone"; those on the bus end so
// as their worker notices. None is lost: the program reaps each one.
void UsbfsHandler::markGone(Client& client) {
    client.gone = true;
    for (auto& [endpoint, queue] : client.queues) {
        for (const std::shared_ptr<Urb>& urb : queue) {
            urb->status = -ESHUTDOWN;
            client.pending.erase(std::find(client.pending.begin(), client.pending.end(), urb));
            client.completed.push_back(urb);
        }
        queue.clear();
    }
    changed_.notify_all();
}

std::shared_ptr<Client> UsbfsHandler::clientFor(UMockdevIoctlClient* ioctl) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::shared_ptr<Client>& client = clients_[ioctl];
    if (client) {
        return client;
    }
    client = std::make_shared<Client>();
    client->devnode = umockdev_ioctl_client_get_devnode(ioctl);
    // umockdev does not tell when the program closes the file; its client object going away
    // does, and the device's claims must end then.
    g_object_weak_ref(G_OBJECT(ioctl), onClientGone, this);
    auto node = nodes_.find(client->devnode);
    if (node == nodes_.end() || link_.open(node->second, &client->handle) != LIBUSB_SUCCESS) {
        client->handle = nullptr;
        client->gone = true;
    }
    return client;
}

void UsbfsHandler::onClientGone(gpointer self, GObject* object) {
    auto* handler = static_cast<UsbfsHandler*>(self);
    std::shared_ptr<Client> client;
    {
        std::lock_guard<std::mutex> lock(handler->mutex_);
        auto it = handler->clients_.find(reinterpret_cast<UMockdevIoctlClient*>(object));
        if (it == handler->clients_.end()) {
            return;
        }
        client = std::move(it->second);
        handler->clients_.erase(it);
    }
    handler->closeClient(client);
}

void UsbfsHandler::closeClient(const std::shared_ptr<Client>& client) {
    std::map<uint8_t, std::thread> workers;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        client->closing = true;
        workers.swap(client->workers);
        changed_.notify_all();
    }
    for (auto& [endpoint, worker] : workers) {
        worker.join();
    }
    if (client->handle != nullptr) {
        link_.close(client->handle);
        client->handle = nullptr;
    }
}

gboolean UsbfsHandler::onIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* ioctl, gpointer self) {
    auto* handler = static_cast<UsbfsHandler*>(self);
    std::shared_ptr<Client> client = handler->clientFor(ioctl);
    return handler->handle(*client, ioctl) ? TRUE : FALSE;
}

bool UsbfsHandler::handle(Client& client, UMockdevIoctlClient* ioctl) {
    const gulong request = umockdev_ioctl_client_get_request(ioctl);
    switch (request) {
        case USBDEVFS_SUBMITURB:
            submit(client, ioctl);
            return true;
        case USBDEVFS_REAPURB:
        case USBDEVFS_REAPURBNDELAY:
            reap(client, ioctl);
            return true;
        case USBDEVFS_DISCARDURB:
            discard(client, ioctl);
            return true;
        default:
            break;
    }
    bool gone = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        gone = client.gone;
    }
    if (gone) {
        umockdev_ioctl_client_complete(ioctl, -1, ENODEV);
        return true;
    }
    switch (request) {
        case USBDEVFS_GET_CAPABILITIES: {
            UMockdevIoctlData* data = argument(ioctl, sizeof(uint32_t));
            const uint32_t capabilities = USBDEVFS_CAP_NO_PACKET_SIZE_LIM |
                                          USBDEVFS_CAP_REAP_AFTER_DISCONNECT |
                                          USBDEVFS_CAP_ZERO_PACKET;
            std::memcpy(data->data, &capabilities, sizeof capabilities);
            g_object_unref(data);
            umockdev_ioctl_client_complete(ioctl, 0, 0);
            return true;
        }
        case USBDEVFS_GETDRIVER:
        case USBDEVFS_IOCTL:
            umockdev_ioctl_client_complete(ioctl, -1, ENODATA);  // no kernel driver bound
            return true;
        case USBDEVFS_CONTROL:
            control(client, ioctl);
            return true;
        case USBDEVFS_GET_SPEED:
            umockdev_ioctl_client_complete(ioctl, 2, 0);  // the kernel's USB_SPEED_FULL
            return true;
        default:
            completeWith(ioctl, deviceRequest(client.handle, request, ioctl));
            return true;
    }
}

// The requests that change the device's configuration, as libusb codes.
int UsbfsHandler::deviceRequest(libusb_device_handle* handle, gulong request,
                                UMockdevIoctlClient* ioctl) {
    switch (request) {
        // After a reset libusb claims its interfaces again this way; no kernel driver sits on
        // the simulated devices, so it is a plain claim.
        case USBDEVFS_DISCONNECT_CLAIM:
        case USBDEVFS_CLAIMINTERFACE:
            return link_.claim_interface(handle, static_cast<int>(argumentValue(ioctl)));
        case USBDEVFS_RELEASEINTERFACE:
            return link_.release_interface(handle, static_cast<int>(argumentValue(ioctl)));
        case USBDEVFS_SETINTERFACE: {
            UMockdevIoctlData* data = argument(ioctl, sizeof(usbdevfs_setinterface));
            usbdevfs_setinterface setting{};
            std::memcpy(&setting, data->data, sizeof setting);
            g_object_unref(data);
            const int result = link_.set_interface_alt_setting(
                handle, static_cast<int>(setting.interface), static_cast<int>(setting.altsetting));
            return result == LIBUSB_ERROR_NOT_FOUND ? LIBUSB_ERROR_INVALID_PARAM : result;
        }
        case USBDEVFS_SETCONFIGURATION: {
            const int result =
                link_.set_configuration(handle, static_cast<int>(argumentValue(ioctl)));
            return result == LIBUSB_ERROR_NOT_FOUND ? LIBUSB_ERROR_INVALID_PARAM : result;
        }
        case USBDEVFS_RESET: {
            // A device that came back as another one is gone for this file.
            const int result = link_.reset_device(handle);
            return result == LIBUSB_ERROR_NOT_FOUND ? LIBUSB_ERROR_NO_DEVICE : result;
        }
        case USBDEVFS_CLEAR_HALT:
            return link_.clear_halt(handle, static_cast<unsigned char>(argumentValue(ioctl)));
        default:
            return LIBUSB_ERROR_NOT_SUPPORTED;
    }
}

// The synchronous control request: answered here, it is short and rare (libusb uses URBs).
void UsbfsHandler::control(Client& client, UMockdevIoctlClient* ioctl) {
    UMockdevIoctlData* data = argument(ioctl, sizeof(usbdevfs_ctrltransfer));
    usbdevfs_ctrltransfer request{};
    std::memcpy(&request, data->data, sizeof request);
    UMockdevIoctlData* buffer =
        request.wLength > 0
            ? umockdev_ioctl_data_resolve(data, offsetof(usbdevfs_ctrltransfer, data),
                                          request.wLength, nullptr)
            : nullptr;
    const int result = link_.control_transfer(
        client.handle, request.bRequestType, request.bRequest, request.wValue, request.wIndex,
        buffer != nullptr ? buffer->data : nullptr, buffer != nullptr ? request.wLength : 0,
        request.timeout);
    completeWith(ioctl, result);
    if (buffer != nullptr) {
        g_object_unref(buffer);
    }
    g_object_unref(data);
}

void UsbfsHandler::submit(Client& client, UMockdevIoctlClient* ioctl) {
    auto urb = std::make_shared<Urb>();
    urb->urbData = argument(ioctl, sizeof(usbdevfs_urb));
    if (urb->urbData == nullptr) {
        umockdev_ioctl_client_complete(ioctl, -1, EFAULT);
        return;
    }
    usbdevfs_urb header{};
    std::memcpy(&header, urb->urbData->data, sizeof header);
    const bool control = header.type == USBDEVFS_URB_TYPE_CONTROL;
    if ((!control && header.type != USBDEVFS_URB_TYPE_BULK &&
         header.type != USBDEVFS_URB_TYPE_INTERRUPT) ||
        header.buffer_length < (control ? 8 : 0)) {
        umockdev_ioctl_client_complete(ioctl, -1, EINVAL);
        return;
    }
    if (header.buffer_length > 0) {
        urb->buffer = umockdev_ioctl_data_resolve(urb->urbData, offsetof(usbdevfs_urb, buffer),
                                                  header.buffer_length, nullptr);
        if (urb->buffer == nullptr) {
            umockdev_ioctl_client_complete(ioctl, -1, EFAULT);
            return;
        }
        urb->data.assign(urb->buffer->data, urb->buffer->data + header.buffer_length);
    }
    urb->clientAddress = urb->urbData->client_addr;
    urb->type = header.type;
    urb->endpoint = header.endpoint;
    const uint8_t key = control ? 0 : header.endpoint;
    std::shared_ptr<Client> owner;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (client.gone) {
            umockdev_ioctl_client_complete(ioctl, -1, ENODEV);
            return;
        }
        owner = clients_[ioctl];
        client.pending.push_back(urb);
        client.queues[key].push_back(urb);
        if (client.workers.count(key) == 0) {
            client.workers[key] = std::thread([this, owner, key] { work(owner, key); });
        }
        changed_.notify_all();
    }
    umockdev_ioctl_client_complete(ioctl, 0, 0);
}

void UsbfsHandler::reap(Client& client, UMockdevIoctlClient* ioctl) {
    std::shared_ptr<Urb> urb;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (client.completed.empty()) {
            // The node is a plain file whose poll is always ready: libusb asks again.
            umockdev_ioctl_client_complete(ioctl, -1, client.gone ? ENODEV : EAGAIN);
            return;
        }
        urb = client.completed.front();
        client.completed.pop_front();
    }
    auto* header = reinterpret_cast<usbdevfs_urb*>(urb->urbData->data);
    header->status = urb->status;
    header->actual_length = urb->actual;
    const bool in = urb->type == USBDEVFS_URB_TYPE_CONTROL
                        ? urb->data.size() >= 8 && (urb->data[0] & LIBUSB_ENDPOINT_IN) != 0
                        : (urb->endpoint & LIBUSB_ENDPOINT_IN) != 0;
    if (in && urb->buffer != nullptr) {
        std::copy(urb->data.begin(), urb->data.end(), urb->buffer->data);
    }
    UMockdevIoctlData* pointer = argument(ioctl, sizeof(void*));
    umockdev_ioctl_data_set_ptr(pointer, 0, urb->urbData);
    umockdev_ioctl_client_complete(ioctl, 0, 0);
    g_object_unref(pointer);
}

void UsbfsHandler::discard(Client& client, UMockdevIoctlClient* ioctl) {
    gulong address = 0;
    std::memcpy(&address, umockdev_ioctl_client_get_arg(ioctl)->data, sizeof address);
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = std::find_if(client.pending.begin(), client.pending.end(),
                           [&](const auto& urb) { return urb->clientAddress == address; });
    if (it == client.pending.end() || (*it)->discarded) {
        umockdev_ioctl_client_complete(ioctl, -1, EINVAL);
        return;
    }
    std::shared_ptr<Urb> urb = *it;
    urb->discarded = true;
    // The host controller unlinks it at once, also a control transfer the device is holding:
    // the device model's late answer goes nowhere.
    if (!urb->started || urb->type == USBDEVFS_URB_TYPE_CONTROL) {
        for (auto& [endpoint, queue] : client.queues) {
            queue.erase(std::remove(queue.begin(), queue.end(), urb), queue.end());
        }
        urb->status = -ENOENT;
        client.pending.erase(it);
        client.completed.push_back(urb);
    }
    changed_.notify_all();
    umockdev_ioctl_client_complete(ioctl, 0, 0);
}

void UsbfsHandler::work(const std::shared_ptr<Client>& client, uint8_t endpoint) {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        auto& queue = client->queues[endpoint];
        changed_.wait(lock, [&] { return client->closing || !queue.empty(); });
        if (client->closing) {
            return;
        }
        std::shared_ptr<Urb> urb = queue.front();
        queue.pop_front();
        urb->started = true;
        lock.unlock();
        run(*client, *urb);
        lock.lock();
        finish(*client, urb);
    }
}

// Called with the lock held.
void UsbfsHandler::finish(Client& client, const std::shared_ptr<Urb>& urb) {
    const auto pending = std::find(client.pending.begin(), client.pending.end(), urb);
    if (pending == client.pending.end()) {
        return;  // discarded while the device held it, completed then
    }
    if (urb->discarded && urb->status == 0 && urb->actual == 0) {
        urb->status = -ENOENT;
    }
    if (urb->status == -ESHUTDOWN && !client.gone) {
        markGone(client);
    }
    client.pending.erase(pending);
    client.completed.push_back(urb);
}

void UsbfsHandler::runControl(Client& client, Urb& urb) {
    const uint8_t* setup = urb.data.data();
    // The device writes its answer here: the URB may be discarded and reaped meanwhile.
    std::vector<uint8_t> stage(urb.data.begin() + 8, urb.data.end());
    const auto wLength =
        static_cast<uint16_t>(std::min<size_t>(setup[6] | (setup[7] << 8), stage.size()));
    const int result = link_.control_transfer(client.handle, setup[0], setup[1],
                                              static_cast<uint16_t>(setup[2] | (setup[3] << 8)),
                                              static_cast<uint16_t>(setup[4] | (setup[5] << 8)),
                                              stage.data(), wLength, kControlNoTimeout);
    if (result == LIBUSB_ERROR_TIMEOUT) {
        waitForEnd(client, urb);  // a device that never answers
        return;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    if (!urb.discarded) {
        std::copy(stage.begin(), stage.end(), urb.data.begin() + 8);
        urb.actual = result > 0 ? result : 0;
        urb.status = result >= 0 ? 0 : urbStatusFor(result);
    }
}

void UsbfsHandler::run(Client& client, Urb& urb) {
    if (urb.type == USBDEVFS_URB_TYPE_CONTROL) {
        runControl(client, urb);
        return;
    }
    if ((urb.endpoint & LIBUSB_ENDPOINT_IN) != 0) {
        runIn(client, urb);
        return;
    }
    int moved = 0;
    const int result =
        link_.bulk_transfer(client.handle, urb.endpoint, urb.data.data(),
                            static_cast<int>(urb.data.size()), &moved, kBulkOutTimeoutMs);
    urb.actual = moved;
    if (result == LIBUSB_ERROR_TIMEOUT) {
        waitForEnd(client, urb);  // the device does not take the rest
        return;
    }
    urb.status = urbStatusFor(result);
}

// A bulk IN URB waits on the bus until the device has data; the wait asks the model whether
// data is there, which is no transfer, so per-transfer faults come where they would.
void UsbfsHandler::runIn(Client& client, Urb& urb) {
    for (;;) {
        {
            std::unique_lock<std::mutex> lock(mutex_);
            if (urb.discarded || client.gone || client.closing) {
                urb.status = urb.discarded ? -ENOENT : -ESHUTDOWN;
                return;
            }
        }
        const int ready = link_.in_ready(client.handle, urb.endpoint);
        if (ready < 0) {
            urb.status = -ESHUTDOWN;
            return;
        }
        if (ready == 0) {
            std::unique_lock<std::mutex> lock(mutex_);
            changed_.wait_for(lock, kPollInterval);
            continue;
        }
        int moved = 0;
        const int result =
            link_.bulk_transfer(client.handle, urb.endpoint, urb.data.data(),
                                static_cast<int>(urb.data.size()), &moved, kBulkInTimeoutMs);
        if (result == LIBUSB_ERROR_TIMEOUT && moved == 0) {
            continue;
        }
        urb.actual = moved;
        urb.status = result == LIBUSB_ERROR_TIMEOUT ? 0 : urbStatusFor(result);
        return;
    }
}

void UsbfsHandler::waitForEnd(Client& client, Urb& urb) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [&] { return urb.discarded || client.gone || client.closing; });
    if (!urb.discarded || urb.type != USBDEVFS_URB_TYPE_CONTROL) {  // else completed already
        urb.status = urb.discarded ? -ENOENT : -ESHUTDOWN;
    }
}

}  // namespace usbfs
